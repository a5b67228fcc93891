#include "agent/service/servants/IBackupDataCopy_impl.h"

#include "agent/data/Settings.h"
#include "agent/data/adapters/AttributeConversion.h"
#include "agent/data/hosting/WsException.h"
#include "agent/service/servants/SessionServant.h"
#include "idl/CallTimeouts.h"

namespace zr {

namespace {

// True when `target` is a session servant active in `poa`. References of
// other processes (WrongAdapter) and closed local ones (ObjectNotActive)
// are not local.
bool IsLocalSession(PortableServer::POA_ptr poa, ZavediDedozozuriz::Session_ptr target) {
  try {
    PortableServer::ServantBase_var servant = poa->reference_to_servant(target);
    return dynamic_cast<SessionServant*>(servant.in()) != nullptr;
  } catch (const CORBA::Exception&) {
    return false;
  }
}

bool DeltaDebug() {
  CSettings* settings = CSettings::Instance();
  return settings != nullptr && settings->GetUseDeltaCopyingDebug();
}

ZavediDedozozuriz::IDLBackupDataWrite_ptr TargetWrite(PortableServer::POA_ptr poa,
                                                      ZavediDedozozuriz::Session_ptr target) {
  if (CORBA::is_nil(target)) throw CWsException("Can't get target write interface");
  if (IsLocalSession(poa, target) && !DeltaDebug()) return ZavediDedozozuriz::IDLBackupDataWrite::_nil();
  // The Coordinator handed the session over; only its write interface may take long.
  BoundCoordinatorCalls(target);
  ZavediDedozozuriz::IDLBackupDataWrite_var writer = target->GetWriteInterface();
  if (CORBA::is_nil(writer)) throw CWsException("Can't get target write interface");
  return writer._retn();
}

}  // namespace

IBackupDataCopy_impl::IBackupDataCopy_impl(PortableServer::POA_ptr poa, CExtensionLoader* loader,
                                           const ZavediDedozozuriz::ISettings& settings,
                                           ZavediDedozozuriz::Session_ptr target,
                                           Tessarine::Session_ptr session, ILog* log)
    : CAgentServant(poa),
      targetWrite_(TargetWrite(poa, target)),
      useIndex_(settings.useIndex),
      engine_(std::make_shared<CCopyImpl>(settings, session, log, settings.progress.in(), loader,
                                          targetWrite_.in())) {
  BoundCoordinatorCalls(settings.progress.in());
  // After the engine: its remote target sets a bound of its own on the same reference.
  BoundAgentDataCalls(targetWrite_.in());
}

IBackupDataCopy_impl::~IBackupDataCopy_impl() {
  sourceView_.Reset();
  indexView_.Reset();
  backupView_.Reset();
  engine_.reset();
}

IBackupDataCopy_impl::Result IBackupDataCopy_impl::StartCopying(const CORBA::WChar* root) {
  return ToRemoteResult(engine_->StartCopying(Wide(root), useIndex_));
}

IBackupDataCopy_impl::Result IBackupDataCopy_impl::CopyFile(const CORBA::WChar* sourcePath,
                                                            const CORBA::WChar* targetPath,
                                                            CORBA::Boolean direct) {
  return ToRemoteResult(direct ? engine_->CopyFileToBackup(Wide(sourcePath), Wide(targetPath))
                               : engine_->CopyFileFromBackup(Wide(sourcePath), Wide(targetPath)));
}

IBackupDataCopy_impl::Result IBackupDataCopy_impl::CopyFileDiff(const CORBA::WChar* sourcePath,
                                                                const CORBA::WChar* targetPath,
                                                                const CORBA::WChar* basePath,
                                                                CORBA::Boolean direct) {
  return ToRemoteResult(engine_->CopyFileDiff(Wide(sourcePath), Wide(targetPath), Wide(basePath), direct));
}

IBackupDataCopy_impl::Result IBackupDataCopy_impl::FinishCopying() {
  return ToRemoteResult(engine_->FinishCopying(useIndex_));
}

ZavediDedozozuriz::IDLBackupDataWrite_ptr IBackupDataCopy_impl::View(CActivated<ICopyWrite>& view,
                                                                     bool source, bool index) {
  if (!view) view = CActivated<ICopyWrite>(new ICopyWrite(Poa(), engine_, source, index), Poa());
  return view->_this();
}

ZavediDedozozuriz::IDLBackupDataWrite_ptr IBackupDataCopy_impl::GetSourceFS() {
  return View(sourceView_, true, false);
}

ZavediDedozozuriz::IDLBackupDataWrite_ptr IBackupDataCopy_impl::GetTargetFS(CORBA::Boolean index) {
  if (index && useIndex_) return View(indexView_, false, true);
  return View(backupView_, false, false);
}

}  // namespace zr
