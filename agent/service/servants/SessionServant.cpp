#include "agent/service/servants/SessionServant.h"

#include <cstring>
#include <iostream>
#include <new>
#include <utility>

#include "agent/data/hosting/WsException.h"
#include "agent/service/TimeStamp.h"
#include "agent/service/servants/IBackupDataBrowse_impl.h"
#include "agent/service/servants/IBackupDataCopy_impl.h"
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
  copiers_.clear();
  writers_.clear();
  readers_.clear();
  browsers_.clear();
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
    const ZavediDedozozuriz::ISettings& settings, ZavediDedozozuriz::Session_ptr target) {
  if (CORBA::is_nil(target)) return ZavediDedozozuriz::IDLBackupDataCopy::_nil();
  const char* failure = nullptr;
  try {
    return Make(copiers_, loader_, settings, target, session_.in(), Log())->_this();
  } catch (const CWsException& e) {
    failure = e.what();
  } catch (const CORBA::SystemException& e) {
    // The target session is gone or cannot be reached.
    failure = "Can't get target write interface";
  }
  const std::wstring text(failure, failure + std::strlen(failure));
  WriteTimeStampedLine(std::wcerr, text);
  log_->Write(LogEvent::Error, text.c_str());
  throw CORBA::UNKNOWN(0, CORBA::COMPLETED_NO);
}

ZavediDedozozuriz::IDLBackupDataBrowse_ptr SessionServant::GetBackupInterface(
    const Tessarine::WStringsList& filters) {
  return Make(browsers_, session_.in(), Log(), loader_, filters)->_this();
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
