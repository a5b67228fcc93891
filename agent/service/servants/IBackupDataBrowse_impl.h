// The browse interface of a session: reads a stored backup through the
// filters ("backup" stream) and describes it from its index ("index"
// stream), both over a read-only target.

#pragma once

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/filters/FiltersPipe.h"
#include "agent/data/index/Index.h"
#include "agent/data/targets/BackupFS.h"
#include "agent/service/servants/AgentServant.h"

namespace zr {

class IBackupDataBrowse_impl : public POA_ZavediDedozozuriz::IDLBackupDataBrowse, public CAgentServant {
 public:
  using Result = ZavediDedozozuriz::IDLErrorID;

  // Both streams get the filters named in `filters`. `session`, `log` and
  // `loader` are not owned.
  IBackupDataBrowse_impl(PortableServer::POA_ptr poa, Tessarine::Session_ptr session, ILog* log,
                         CExtensionLoader* loader, const Tessarine::WStringsList& filters);

  // The index stream's root.
  Result SetRoot(const CORBA::WChar* path) override;
  // The items the index records for the folder.
  Result GetListing(const CORBA::WChar* path, ZavediDedozozuriz::List_out list) override;
  // The item's index record; on failure `attributes` keeps its default.
  Result GetElementAttributes(const CORBA::WChar* path, ZavediDedozozuriz::Attributes& attributes) override;
  CORBA::Boolean IsPathExists(const CORBA::WChar* path) override;
  // Stored files open for reading only: any other mode is NOT_SUPPORTED.
  Result OpenFile(const CORBA::WChar* path, ZavediDedozozuriz::FileAccessMode mode,
                  CORBA::ULong& handle) override;
  // NOT_SUPPORTED.
  Result OpenFileSignature(const CORBA::WChar* path, CORBA::ULong& handle) override;
  // The file rebuilt from a stored base and a stored delta.
  Result OpenFilePatch(const CORBA::WChar* basePath, const CORBA::WChar* patchPath,
                       CORBA::ULong& handle) override;
  // FAILED, with nothing read, when `size` exceeds data.length().
  Result ReadFile(Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle) override;
  Result CloseFile(CORBA::ULong handle) override;
  void OnStop() override {}
  // Commits the index stream (it writes only for an N-to-1 chain that was
  // written to).
  void Free() override;

 private:
  static ZavediDedozozuriz::ISettings Settings(const Tessarine::WStringsList& filters);

  CBackupFS target_;
  CFiltersPipe backupStream_;
  CFiltersPipe indexStream_;
  CIndex index_;
};

}  // namespace zr
