// The copy interface of a session: drives one copy engine from this
// agent's plug-ins into a backup target and back, and hands out write views
// of the copy's two sides. The engine's results are mapped here, once, by
// ToRemoteResult.

#pragma once

#include <memory>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/copy/CopyImpl.h"
#include "agent/service/servants/AgentServant.h"
#include "agent/service/servants/ICopyWrite.h"

namespace zr {

class IBackupDataCopy_impl : public POA_ZavediDedozozuriz::IDLBackupDataCopy, public CAgentServant {
 public:
  using Result = ZavediDedozozuriz::IDLErrorID;

  // The target is written locally when `target` is a session of this agent
  // (a servant in `poa`) and delta copying is not in its "debug" mode; else
  // through the write interface that `target` hands out. Throws
  // CWsException("Can't get target write interface") for a nil target or a
  // nil write interface, and passes on the CORBA exception of a target that
  // cannot be reached. `session`, `log` and `loader` are not owned. Calls on
  // `target` and on the progress object of `settings` get the Coordinator
  // time-out, calls on the write interface the agent-data one (CallTimeouts.h).
  IBackupDataCopy_impl(PortableServer::POA_ptr poa, CExtensionLoader* loader,
                       const ZavediDedozozuriz::ISettings& settings, ZavediDedozozuriz::Session_ptr target,
                       Tessarine::Session_ptr session, ILog* log);
  // Deactivates the views handed out, then lets the engine go.
  ~IBackupDataCopy_impl() override;

  Result StartCopying(const CORBA::WChar* root) override;
  // `direct`: plug-in file into the backup; else back.
  Result CopyFile(const CORBA::WChar* sourcePath, const CORBA::WChar* targetPath,
                  CORBA::Boolean direct) override;
  Result CopyFileDiff(const CORBA::WChar* sourcePath, const CORBA::WChar* targetPath,
                      const CORBA::WChar* basePath, CORBA::Boolean direct) override;
  Result FinishCopying() override;
  // The same view on every call.
  ZavediDedozozuriz::IDLBackupDataWrite_ptr GetSourceFS() override;
  // The index view when `index` and the settings keep an index, else the
  // backup view; each made once.
  ZavediDedozozuriz::IDLBackupDataWrite_ptr GetTargetFS(CORBA::Boolean index) override;
  void OnStop() override { engine_->OnStop(); }

  // True when the copy writes through another write interface.
  bool IsTargetRemote() const { return !CORBA::is_nil(targetWrite_); }

 private:
  ZavediDedozozuriz::IDLBackupDataWrite_ptr View(CActivated<ICopyWrite>& view, bool source, bool index);

  ZavediDedozozuriz::IDLBackupDataWrite_var targetWrite_;
  const bool useIndex_;
  std::shared_ptr<CCopyImpl> engine_;
  CActivated<ICopyWrite> sourceView_;
  CActivated<ICopyWrite> indexView_;
  CActivated<ICopyWrite> backupView_;
};

}  // namespace zr
