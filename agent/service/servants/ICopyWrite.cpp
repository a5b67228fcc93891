#include "agent/service/servants/ICopyWrite.h"

#include <list>
#include <utility>

#include "agent/data/adapters/AttributeConversion.h"

namespace zr {

using Result = ICopyWrite::Result;

ICopyWrite::ICopyWrite(PortableServer::POA_ptr poa, std::shared_ptr<CCopyImpl> engine, bool source,
                       bool index)
    : CAgentServant(poa), engine_(std::move(engine)), source_(source), index_(index) {}

Result ICopyWrite::SetRoot(const CORBA::WChar* path) {
  return ToRemoteResult(engine_->SetRoot(Wide(path), source_));
}

Result ICopyWrite::GetListing(const CORBA::WChar* path, ZavediDedozozuriz::List_out list) {
  std::list<CFileInfo> entries;
  const int result = engine_->GetListing(Wide(path), entries, source_, index_);
  list = ToRemoteList(entries);
  return ToRemoteResult(result);
}

Result ICopyWrite::GetElementAttributes(const CORBA::WChar* path, ZavediDedozozuriz::Attributes& attributes) {
  CFileAttributes found;
  const int result = engine_->GetElementAttributes(Wide(path), found, source_, index_);
  attributes = ToRemoteAttributes(found);
  return ToRemoteResult(result);
}

CORBA::Boolean ICopyWrite::IsPathExists(const CORBA::WChar* path) {
  return engine_->IsPathExists(Wide(path), source_, index_);
}

Result ICopyWrite::OpenFile(const CORBA::WChar* path, ZavediDedozozuriz::FileAccessMode mode,
                            CORBA::ULong& handle) {
  const FileAccessMode::ID pluginMode =
      mode == ZavediDedozozuriz::Write ? FileAccessMode::Write : FileAccessMode::Read;
  unsigned int opened = 0;
  CCopyImpl::Opener opener = CCopyImpl::Opener::kTarget;
  const int result = engine_->OpenFile(Wide(path), pluginMode, opened, source_, opener);
  if (result == 0) {
    handle = opened;
    openers_[opened] = opener;
  }
  return ToRemoteResult(result);
}

Result ICopyWrite::OpenFileSignature(const CORBA::WChar*, CORBA::ULong&) {
  return ZavediDedozozuriz::NOT_SUPPORTED;
}

Result ICopyWrite::OpenFilePatch(const CORBA::WChar*, const CORBA::WChar*, CORBA::ULong&) {
  return ZavediDedozozuriz::NOT_SUPPORTED;
}

Result ICopyWrite::OpenFilePatching(const CORBA::WChar*, const CORBA::WChar*, CORBA::ULong&) {
  return ZavediDedozozuriz::NOT_SUPPORTED;
}

Result ICopyWrite::ReadFile(Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle) {
  const auto opener = openers_.find(handle);
  if (opener == openers_.end() || size > data.length()) return ZavediDedozozuriz::FAILED;
  unsigned int count = size;
  const int result = engine_->ReadFile(data.get_buffer(), count, handle, opener->second);
  size = count;
  return ToRemoteResult(result);
}

Result ICopyWrite::WriteFile(const Tessarine::BinaryData& data, CORBA::ULong& size, CORBA::ULong handle) {
  const auto opener = openers_.find(handle);
  if (opener == openers_.end() || size > data.length()) return ZavediDedozozuriz::FAILED;
  unsigned int count = size;
  const int result = engine_->WriteFile(data.get_buffer(), count, handle, opener->second);
  size = count;
  return ToRemoteResult(result);
}

Result ICopyWrite::CloseFile(CORBA::ULong handle) {
  const auto opener = openers_.find(handle);
  if (opener == openers_.end()) return ZavediDedozozuriz::FAILED;
  const CCopyImpl::Opener which = opener->second;
  openers_.erase(opener);
  return ToRemoteResult(engine_->CloseFile(handle, which));
}

Result ICopyWrite::BeginTransaction() { return ToRemoteResult(engine_->BeginTransaction(source_)); }

Result ICopyWrite::CommitTransaction() { return ToRemoteResult(engine_->CommitTransaction(source_)); }

Result ICopyWrite::SetElementAttributes(const CORBA::WChar* path,
                                        const ZavediDedozozuriz::Attributes& attributes) {
  return ToRemoteResult(
      engine_->SetElementAttributes(Wide(path), FromRemoteAttributes(attributes), source_, index_));
}

Result ICopyWrite::CreateFolder(const CORBA::WChar* path) {
  return ToRemoteResult(engine_->CreateFolder(Wide(path), source_, index_));
}

Result ICopyWrite::DeleteFolder(const CORBA::WChar* path) {
  return ToRemoteResult(engine_->DeleteFolder(Wide(path), source_, index_));
}

Result ICopyWrite::DeleteFile(const CORBA::WChar* path) {
  return ToRemoteResult(engine_->DeleteFile(Wide(path), source_, index_));
}

}  // namespace zr
