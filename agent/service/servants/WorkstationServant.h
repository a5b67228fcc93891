// The agent's root object, bound in the naming service: opens and closes the
// Coordinator's sessions and owns the loaded plug-in and filter libraries.
//
// Lifecycle (the owner, on the main thread):
//   auto* workstation = new zr::WorkstationServant(server, name, programPath);
//   Workstation_var reference = workstation->Activate();
//   ... serve ...
//   workstation->Deactivate();   // closes the open sessions, deactivates
//   workstation->_remove_ref();  // deleted once the POA has let it go
// The destructor closes sessions still open before the libraries are
// unloaded. Every remote operation runs on the ORB thread.

#pragma once

#include <list>
#include <memory>
#include <string>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/service/CorbaWrapper.h"
#include "agent/service/identity/UserIdentity.h"
#include "agent/service/servants/AgentServant.h"
#include "agent/service/servants/SessionServant.h"

namespace zr {

class WorkstationServant : public POA_ZavediDedozozuriz::Workstation, public CAgentServant {
 public:
  // Serves in `server`'s POA (REQUIRES: its ORB runs). Loads the extensions
  // of the two folders (the loader logs "Loading extensions..."); the home
  // folder is taken from `programPath`. `identity` checks logins when
  // authorization is on; null: the account the process runs as.
  WorkstationServant(const CCorbaWrapper& server, std::wstring name, const std::wstring& programPath,
                     const std::wstring& pluginsFolder = CExtensionLoader::kPluginsFolder,
                     const std::wstring& filtersFolder = CExtensionLoader::kFiltersFolder,
                     std::unique_ptr<CUserIdentity> identity = nullptr);
  // Closes the sessions still open, then unloads the extensions.
  ~WorkstationServant() override;

  WorkstationServant(const WorkstationServant&) = delete;
  WorkstationServant& operator=(const WorkstationServant&) = delete;

  // Activates the servant in the POA (once; later calls give the same
  // object) and returns a new reference. Throws the POA's CORBA exception.
  ZavediDedozozuriz::Workstation_ptr Activate();
  // Closes every open session, then deactivates the servant by the id kept
  // at activation. Never throws; does nothing when not active.
  void Deactivate() noexcept;

  CORBA::WChar* name() override;
  // The host's network name, read on every call.
  CORBA::WChar* host() override;
  // Raises AccessDenied for a nil session, a session whose login cannot be
  // read, and (unless authorization is disabled in the settings) a login the
  // identity refuses; each with its line in the agent's log.
  ZavediDedozozuriz::Session_ptr OpenSession(Tessarine::Session_ptr session, Tessarine::Log_ptr log) override;
  // Ends one of this workstation's sessions. Any other reference (unknown,
  // already closed, another object of the agent, another process's) is only
  // logged: "Attempt to close unknown session". Never raises.
  void CloseSession(ZavediDedozozuriz::Session_ptr session) override;
  void ping() override {}
  // Asks the main thread to stop the agent.
  void Shutdown() override;

  // Sessions open now.
  size_t SessionCount() const { return sessions_.size(); }
  CExtensionLoader& Extensions() { return *extensions_; }

 private:
  using Sessions = std::list<CActivated<SessionServant>>;

  // The session of `reference`, or end() when it is not one of this list.
  Sessions::iterator FindSession(ZavediDedozozuriz::Session_ptr reference);
  void CloseAllSessions() noexcept;

  std::wstring name_;
  std::unique_ptr<CUserIdentity> identity_;
  std::unique_ptr<CExtensionLoader> extensions_;
  Sessions sessions_;
  PortableServer::ObjectId_var id_;  // kept at activation
  bool active_ = false;
};

}  // namespace zr
