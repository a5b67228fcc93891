// The read operations of the read and write servants: each turns its wide
// character arrays into wide strings and calls the plug-in adapter, whose
// filtered result it returns.

#pragma once

#include <string>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/adapters/PluginsAdapter.h"
#include "agent/service/servants/AgentServant.h"

namespace zr {

// Skeleton: POA_ZavediDedozozuriz::IDLBackupDataRead or ::IDLBackupDataWrite;
// I: the plug-in interface of the adapter.
template <class Skeleton, class I>
class CAdapterServant : public Skeleton, public CPluginsAdapter<I>, public CAgentServant {
 public:
  using Adapter = CPluginsAdapter<I>;
  using Result = ZavediDedozozuriz::IDLErrorID;

  // `session`, `log` and `loader` go to the adapter (not owned).
  CAdapterServant(PortableServer::POA_ptr poa, Tessarine::Session_ptr session, ILog* log,
                  CExtensionLoader* loader)
      : Adapter(session, log, loader), CAgentServant(poa) {}

  Result SetRoot(const CORBA::WChar* path) override { return Adapter::SetRoot(Wide(path)); }
  Result GetListing(const CORBA::WChar* path, ZavediDedozozuriz::List_out list) override {
    return Adapter::GetListing(Wide(path), list);
  }
  Result GetElementAttributes(const CORBA::WChar* path, ZavediDedozozuriz::Attributes& attributes) override {
    return Adapter::GetElementAttributes(Wide(path), attributes);
  }
  // True exactly when GetElementAttributes answers SUCCESS.
  CORBA::Boolean IsPathExists(const CORBA::WChar* path) override {
    ZavediDedozozuriz::Attributes attributes{};
    return GetElementAttributes(path, attributes) == ZavediDedozozuriz::SUCCESS;
  }
  Result OpenFile(const CORBA::WChar* path, ZavediDedozozuriz::FileAccessMode mode,
                  CORBA::ULong& handle) override {
    return Adapter::OpenFile(Wide(path), mode, handle);
  }
  Result OpenFileSignature(const CORBA::WChar* path, CORBA::ULong& handle) override {
    return Adapter::OpenFileSignature(Wide(path), handle);
  }
  Result OpenFilePatch(const CORBA::WChar* basePath, const CORBA::WChar* patchPath,
                       CORBA::ULong& handle) override {
    return Adapter::OpenFilePatch(Wide(basePath), Wide(patchPath), handle);
  }
  Result ReadFile(Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle) override {
    return Adapter::ReadFile(data, size, handle);
  }
  Result CloseFile(CORBA::ULong handle) override { return Adapter::CloseFile(handle); }
  void OnStop() override { Adapter::OnStop(); }
};

}  // namespace zr
