#include "agent/service/servants/WorkstationServant.h"

#include <iostream>
#include <utility>

#include "agent/data/Settings.h"
#include "agent/service/StopSignalThread.h"
#include "agent/service/TimeStamp.h"
#include "idl/CallTimeouts.h"
#include "zrlib/system/System.h"

namespace zr {

namespace {

void Line(const std::wstring& text) { std::wcerr << text << std::endl; }
void StampedLine(const std::wstring& text) { WriteTimeStampedLine(std::wcerr, text); }

[[noreturn]] void Deny(const std::wstring& line) {
  Line(line);
  throw ZavediDedozozuriz::Workstation::AccessDenied();
}

bool AuthorizationDisabled() {
  CSettings* settings = CSettings::Instance();
  return settings == nullptr || settings->GetDisableAuthorization();
}

}  // namespace

WorkstationServant::WorkstationServant(const CCorbaWrapper& server, std::wstring name,
                                       const std::wstring& programPath, const std::wstring& pluginsFolder,
                                       const std::wstring& filtersFolder,
                                       std::unique_ptr<CUserIdentity> identity)
    : CAgentServant(server.Poa()),
      name_(std::move(name)),
      identity_(identity ? std::move(identity) : std::make_unique<CUserIdentity>()),
      extensions_(std::make_unique<CExtensionLoader>(programPath, pluginsFolder, filtersFolder)) {}

WorkstationServant::~WorkstationServant() {
  // Plug-in objects of the sessions' servants must be gone before their
  // libraries are unloaded.
  CloseAllSessions();
  extensions_.reset();
}

ZavediDedozozuriz::Workstation_ptr WorkstationServant::Activate() {
  if (!active_) {
    id_ = Poa()->activate_object(this);
    active_ = true;
  }
  return _this();
}

void WorkstationServant::Deactivate() noexcept {
  CloseAllSessions();
  if (!active_) return;
  active_ = false;
  try {
    Poa()->deactivate_object(id_.in());
  } catch (const CORBA::Exception&) {
  }
}

void WorkstationServant::CloseAllSessions() noexcept {
  while (!sessions_.empty()) sessions_.pop_front();
}

CORBA::WChar* WorkstationServant::name() { return CORBA::wstring_dup(name_.c_str()); }

CORBA::WChar* WorkstationServant::host() {
  return CORBA::wstring_dup(ZRLib::system::GetComputerNetworkName().c_str());
}

ZavediDedozozuriz::Session_ptr WorkstationServant::OpenSession(Tessarine::Session_ptr session,
                                                               Tessarine::Log_ptr log) {
  StampedLine(L"Session opening requested");
  if (CORBA::is_nil(session)) Deny(L"    Access denied. Invalid server session");
  BoundCoordinatorCalls(session);
  std::wstring login;
  try {
    CORBA::WString_var text = session->login();
    login = text.in() != nullptr ? text.in() : L"";
  } catch (...) {
    Deny(L"    Access denied. Broken server session");
  }
  if (!AuthorizationDisabled()) {
    bool allowed = false;
    try {
      allowed = identity_->IsAccessAllowed(login);
    } catch (...) {
      // A locale the environment names but the system lacks: refused, not
      // an UNKNOWN for the Coordinator.
    }
    if (!allowed) Deny(L"    Access denied for the user '" + login + L"'");
  }
  BoundCoordinatorCalls(log);
  auto* servant = new SessionServant(Poa(), extensions_.get(), login, Tessarine::Session::_duplicate(session),
                                     Tessarine::Log::_duplicate(log));
  sessions_.emplace_back(servant, Poa());
  ZavediDedozozuriz::Session_ptr reference = servant->_this();
  StampedLine(servant->IsBackupServer() ? std::wstring(L"Session successfully opened for the backup server")
                                        : L"Session successfully opened for the user '" + login + L"'");
  Line(L"Tried to open session for the user '" + login + L"'");
  return reference;
}

WorkstationServant::Sessions::iterator WorkstationServant::FindSession(
    ZavediDedozozuriz::Session_ptr reference) {
  if (CORBA::is_nil(reference)) return sessions_.end();
  SessionServant* session = nullptr;
  try {
    // Raises WrongAdapter for another process's reference, ObjectNotActive
    // for a closed one.
    PortableServer::ServantBase_var servant = Poa()->reference_to_servant(reference);
    session = dynamic_cast<SessionServant*>(servant.in());
  } catch (const CORBA::Exception&) {
    return sessions_.end();
  }
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
    if (it->get() == session) return it;
  return sessions_.end();
}

void WorkstationServant::CloseSession(ZavediDedozozuriz::Session_ptr session) {
  const auto it = FindSession(session);
  if (it == sessions_.end()) {
    StampedLine(L"Attempt to close unknown session");
    return;
  }
  StampedLine((*it)->IsBackupServer() ? std::wstring(L"Close session for the backup server")
                                      : L"Close session of the user '" + (*it)->Login() + L"'");
  sessions_.erase(it);
}

void WorkstationServant::Shutdown() { RequestShutdown(); }

}  // namespace zr
