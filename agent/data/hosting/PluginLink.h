// The agent's ILink: named settings values for one plug-in or filter and its
// connection. A few names are answered here; the others are read from and
// written to the Coordinator's settings object ("Link") of the plug-in and
// connection.

#pragma once

#include <string>

#include "idl/RemoteRefs.h"
#include "plugin-api/ILog.h"

namespace zr {

class CPluginEntry;
class CFilterEntry;

class CPluginLink final : public ILink {
 public:
  // `session` is the Coordinator session, not owned; it must outlive the
  // link. The root is the agent's temporary folder, ending in "\".
  explicit CPluginLink(Tessarine::Session_ptr session);
  // Closes an open settings object; never throws.
  ~CPluginLink();

  CPluginLink(const CPluginLink&) = delete;
  CPluginLink& operator=(const CPluginLink&) = delete;

  // Closes the current settings object, then, for a configurable plug-in,
  // opens "Plugins\" + name for `connection`. True when a settings object is
  // open afterwards. Whatever happens, the previous one is never kept.
  bool SetPlugin(const CPluginEntry& info, const std::wstring& connection);
  // The same for a filter ("Filters\" + name), opened when the filter is valid.
  bool SetFilter(const CFilterEntry& info, const std::wstring& connection);

  // "WSTempPath", "ServerSession", "CoordinatorHost" and "CoordinatorPort"
  // are answered here; "LinkModifTime" is the settings object's header
  // "ModifTime"; any other name is a parameter of the settings object. False
  // (and `value` unchanged) when there is no answer or a remote call fails.
  bool GetValue(const wchar_t* name, std::wstring& value) override;
  // Changes an existing parameter of the settings object. False without a
  // settings object, for "WSTempPath", for a parameter that does not exist
  // and when a remote call fails.
  bool SetValue(const wchar_t* name, const std::wstring& value) override;

  // True while a settings object is open.
  bool HasLink() const;

 private:
  bool Bind(const std::wstring& path, bool open, const std::wstring& connection);
  // Closes the settings object on the Coordinator (errors ignored) and
  // releases it.
  void CloseLink() noexcept;

  Tessarine::Session_ptr session_;
  OwnedRef<Tessarine::Link_ptr> link_;  // never null: nil when none is open
  std::wstring root_;
};

}  // namespace zr
