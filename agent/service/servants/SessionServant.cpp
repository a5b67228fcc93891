#include "agent/service/servants/SessionServant.h"

#include <new>
#include <utility>

#include "agent/service/servants/IBackupDataRead_impl.h"
#include "agent/service/servants/IBackupDataWrite_impl.h"
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
  writers_.clear();
  readers_.clear();
  settings_.Reset();
}

template <class Servant, class... Args>
Servant* SessionServant::Make(std::list<CActivated<Servant>>& list, Args&&... args) {
  list.emplace_back(new Servant(Poa(), std::forward<Args>(args)...), Poa());
  return list.back().get();
}

ZavediDedozozuriz::IDLBackupDataRead_ptr SessionServant::GetReadInterface() {
  return Make(readers_, session_.in(), Log(), loader_)->_this();
}

ZavediDedozozuriz::IDLBackupDataWrite_ptr SessionServant::GetWriteInterface() {
  return Make(writers_, session_.in(), Log(), loader_)->_this();
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
