// One open session of the Coordinator on this workstation: hands out the
// per-session data, copy, browse and settings servants and keeps them until
// the session ends.

#pragma once

#include <list>
#include <memory>
#include <string>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/hosting/LogWrapper.h"
#include "agent/service/servants/AgentServant.h"

namespace zr {

class IBackupDataRead_impl;
class IBackupDataWrite_impl;
class IBackupDataCopy_impl;
class IBackupDataBrowse_impl;
class WorkstationSettings_impl;

class SessionServant : public POA_ZavediDedozozuriz::Session, public CAgentServant {
 public:
  // The login the Coordinator's own process opens sessions with.
  static constexpr const wchar_t* kBackupServerLogin = L"Quillanbreck.exe";

  // `session` and `log` are taken over (either may be nil; a nil log drops
  // every line). `loader` is not owned and must outlive the servant.
  SessionServant(PortableServer::POA_ptr poa, CExtensionLoader* loader, std::wstring login,
                 Tessarine::Session_ptr session, Tessarine::Log_ptr log);
  // Ends the session: deactivates and releases every copy, write, read and
  // browse servant (in that order), then the settings servant.
  ~SessionServant() override;

  SessionServant(const SessionServant&) = delete;
  SessionServant& operator=(const SessionServant&) = delete;

  // Each call makes a new servant, kept until the session ends.
  ZavediDedozozuriz::IDLBackupDataRead_ptr GetReadInterface() override;
  ZavediDedozozuriz::IDLBackupDataWrite_ptr GetWriteInterface() override;
  // Nil (and nothing made) for a nil `target`. A copy servant that cannot be
  // built (no write interface of the target) is logged, freed, and reaches
  // the caller as CORBA::UNKNOWN.
  ZavediDedozozuriz::IDLBackupDataCopy_ptr GetCopyInterface(const ZavediDedozozuriz::ISettings& settings,
                                                            ZavediDedozozuriz::Session_ptr target) override;
  ZavediDedozozuriz::IDLBackupDataBrowse_ptr GetBackupInterface(
      const Tessarine::WStringsList& filters) override;
  // Made on the first call; later calls give the same object. Nil when it
  // cannot be made.
  ZavediDedozozuriz::WorkstationSettings_ptr GetSettings() override;

  // Copy servants made so far and not ended.
  size_t CopyServantCount() const { return copiers_.size(); }
  const std::wstring& Login() const { return login_; }
  bool IsBackupServer() const { return login_ == kBackupServerLogin; }
  ILog* Log() { return log_.get(); }
  Tessarine::Session_ptr CoordinatorSession() const { return session_.in(); }

 private:
  // A new servant of `list`, activated and kept there.
  template <class Servant, class... Args>
  Servant* Make(std::list<CActivated<Servant>>& list, Args&&... args);

  CExtensionLoader* loader_;
  std::wstring login_;
  Tessarine::Session_var session_;
  std::unique_ptr<CLogWrapper> log_;
  std::list<CActivated<IBackupDataWrite_impl>> writers_;
  std::list<CActivated<IBackupDataRead_impl>> readers_;
  std::list<CActivated<IBackupDataCopy_impl>> copiers_;
  std::list<CActivated<IBackupDataBrowse_impl>> browsers_;
  CActivated<WorkstationSettings_impl> settings_;
};

}  // namespace zr
