// A write interface over one side of a copy: the source view acts on the
// copy's plug-in side, the target views on its backup side (the index
// target view records its changes in the index too). The delta streams are
// not served here. The engine answers unmapped codes; each answer is mapped
// here, once, by ToRemoteResult.

#pragma once

#include <map>
#include <memory>

#include "ZavediDedozozuriz.hh"
#include "agent/data/copy/CopyImpl.h"
#include "agent/service/servants/AgentServant.h"

namespace zr {

class ICopyWrite : public POA_ZavediDedozozuriz::IDLBackupDataWrite, public CAgentServant {
 public:
  using Result = ZavediDedozozuriz::IDLErrorID;

  // Shares the engine, so a view that outlives its copy servant (an upcall
  // still running at deactivation) still has it.
  ICopyWrite(PortableServer::POA_ptr poa, std::shared_ptr<CCopyImpl> engine, bool source, bool index);

  Result SetRoot(const CORBA::WChar* path) override;
  Result GetListing(const CORBA::WChar* path, ZavediDedozozuriz::List_out list) override;
  Result GetElementAttributes(const CORBA::WChar* path, ZavediDedozozuriz::Attributes& attributes) override;
  CORBA::Boolean IsPathExists(const CORBA::WChar* path) override;
  // The handle is recorded with the object that opened it; reads, writes
  // and closes go to that object.
  Result OpenFile(const CORBA::WChar* path, ZavediDedozozuriz::FileAccessMode mode,
                  CORBA::ULong& handle) override;
  // NOT_SUPPORTED.
  Result OpenFileSignature(const CORBA::WChar* path, CORBA::ULong& handle) override;
  Result OpenFilePatch(const CORBA::WChar* basePath, const CORBA::WChar* patchPath,
                       CORBA::ULong& handle) override;
  Result OpenFilePatching(const CORBA::WChar* basePath, const CORBA::WChar* resultPath,
                          CORBA::ULong& handle) override;
  // FAILED, with nothing touched, when `size` exceeds data.length() or the
  // handle was not opened here.
  Result ReadFile(Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle) override;
  Result WriteFile(const Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle) override;
  Result CloseFile(CORBA::ULong handle) override;
  void OnStop() override { engine_->OnStop(); }
  Result BeginTransaction() override;
  Result CommitTransaction() override;
  Result SetElementAttributes(const CORBA::WChar* path,
                              const ZavediDedozozuriz::Attributes& attributes) override;
  Result CreateFolder(const CORBA::WChar* path) override;
  Result DeleteFolder(const CORBA::WChar* path) override;
  Result DeleteFile(const CORBA::WChar* path) override;

 private:
  std::shared_ptr<CCopyImpl> engine_;
  const bool source_;
  const bool index_;
  std::map<CORBA::ULong, CCopyImpl::Opener> openers_;
};

}  // namespace zr
