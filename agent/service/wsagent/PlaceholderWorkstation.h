#ifndef AGENT_SERVICE_WSAGENT_PLACEHOLDERWORKSTATION_H
#define AGENT_SERVICE_WSAGENT_PLACEHOLDERWORKSTATION_H

// TEMPORARY: stands in for the real workstation servant until it is part of the
// build, so that the program's start, stop, registration and watchdog can run.
// It loads and unloads the extensions as the real one does, answers name, host,
// ping and Shutdown, and refuses sessions (NO_IMPLEMENT).

#include <memory>
#include <string>

#include "ZavediDedozozuriz.hh"
#include "agent/data/hosting/ExtensionLoader.h"

namespace zr {

class CPlaceholderWorkstation : public POA_ZavediDedozozuriz::Workstation {
 public:
  // Loads the extensions (the loader logs "Loading extensions..."). `poa` is the
  // POA the servant lives in (returned by _default_POA).
  CPlaceholderWorkstation(const std::wstring& name, const std::wstring& programPath, PortableServer::POA_ptr poa);
  // Unloads the extensions ("Unloading extensions...").
  ~CPlaceholderWorkstation() override;

  PortableServer::POA_ptr _default_POA() override;

  CORBA::WChar* name() override;
  CORBA::WChar* host() override;
  ZavediDedozozuriz::Session_ptr OpenSession(Tessarine::Session_ptr session, Tessarine::Log_ptr log) override;
  void CloseSession(ZavediDedozozuriz::Session_ptr session) override;
  void ping() override;
  void Shutdown() override;

 private:
  std::wstring m_name;
  PortableServer::POA_var m_poa;
  std::unique_ptr<CExtensionLoader> m_loader;
};

}  // namespace zr

#endif
