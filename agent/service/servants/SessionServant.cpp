#include "agent/service/servants/SessionServant.h"

#include <new>
#include <utility>

#include "agent/service/servants/WorkstationSettings_impl.h"

namespace zr {

SessionServant::SessionServant(PortableServer::POA_ptr poa, CExtensionLoader* loader, std::wstring login,
                               Tessarine::Session_ptr session, Tessarine::Log_ptr log)
    : CAgentServant(poa),
      loader_(loader),
      login_(std::move(login)),
      session_(session),
      log_(std::make_unique<CLogWrapper>(log)) {}

SessionServant::~SessionServant() {
  settings_.Reset();
}

ZavediDedozozuriz::IDLBackupDataRead_ptr SessionServant::GetReadInterface() {
  throw CORBA::NO_IMPLEMENT();
}

ZavediDedozozuriz::IDLBackupDataWrite_ptr SessionServant::GetWriteInterface() {
  throw CORBA::NO_IMPLEMENT();
}

ZavediDedozozuriz::IDLBackupDataCopy_ptr SessionServant::GetCopyInterface(
    const ZavediDedozozuriz::ISettings&, ZavediDedozozuriz::Session_ptr) {
  throw CORBA::NO_IMPLEMENT();
}

ZavediDedozozuriz::IDLBackupDataBrowse_ptr SessionServant::GetBackupInterface(
    const Tessarine::WStringsList&) {
  throw CORBA::NO_IMPLEMENT();
}

ZavediDedozozuriz::WorkstationSettings_ptr SessionServant::GetSettings() {
  if (!settings_) {
    try {
      settings_ = CActivated<WorkstationSettings_impl>(new WorkstationSettings_impl(Poa()), Poa());
    } catch (const std::exception&) {
      return ZavediDedozozuriz::WorkstationSettings::_nil();
    }
  }
  return settings_->_this();
}

}  // namespace zr
