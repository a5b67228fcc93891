#include "agent/service/servants/IBackupDataBrowse_impl.h"

#include <list>

#include "agent/data/adapters/AttributeConversion.h"

namespace zr {

ZavediDedozozuriz::ISettings IBackupDataBrowse_impl::Settings(const Tessarine::WStringsList& filters) {
  ZavediDedozozuriz::ISettings settings;
  settings.useIndex = true;
  settings.filters = filters;
  return settings;
}

IBackupDataBrowse_impl::IBackupDataBrowse_impl(PortableServer::POA_ptr poa, Tessarine::Session_ptr session,
                                               ILog* log, CExtensionLoader* loader,
                                               const Tessarine::WStringsList& filters)
    : CAgentServant(poa),
      target_(session, log, loader),
      backupStream_(&target_, Settings(filters), L"backup", session, log, loader, false),
      indexStream_(&target_, Settings(filters), L"index", session, log, loader, true),
      index_(log, &indexStream_) {}

IBackupDataBrowse_impl::Result IBackupDataBrowse_impl::SetRoot(const CORBA::WChar* path) {
  return ToRemoteResult(indexStream_.SetRoot(Wide(path)));
}

IBackupDataBrowse_impl::Result IBackupDataBrowse_impl::GetListing(const CORBA::WChar* path,
                                                                  ZavediDedozozuriz::List_out list) {
  std::list<CFileInfo> entries;
  const int result = index_.GetListing(Wide(path), entries);
  list = ToRemoteList(entries);
  return ToRemoteResult(result);
}

IBackupDataBrowse_impl::Result IBackupDataBrowse_impl::GetElementAttributes(
    const CORBA::WChar* path, ZavediDedozozuriz::Attributes& attributes) {
  CFileAttributes found;
  const int result = index_.GetElementAttributes(Wide(path), found);
  if (result != 0) return ToRemoteResult(result);
  attributes = ToRemoteAttributes(found);
  return ZavediDedozozuriz::SUCCESS;
}

CORBA::Boolean IBackupDataBrowse_impl::IsPathExists(const CORBA::WChar* path) {
  ZavediDedozozuriz::Attributes attributes{};
  return GetElementAttributes(path, attributes) == ZavediDedozozuriz::SUCCESS;
}

IBackupDataBrowse_impl::Result IBackupDataBrowse_impl::OpenFile(const CORBA::WChar* path,
                                                                ZavediDedozozuriz::FileAccessMode mode,
                                                                CORBA::ULong& handle) {
  // A write open would reach the plug-in through the read-only target.
  if (mode != ZavediDedozozuriz::Read) return ZavediDedozozuriz::NOT_SUPPORTED;
  unsigned int opened = 0;
  const int result = backupStream_.OpenFile(Wide(path), FileAccessMode::Read, opened);
  if (result == 0) handle = opened;
  return ToRemoteResult(result);
}

IBackupDataBrowse_impl::Result IBackupDataBrowse_impl::OpenFileSignature(const CORBA::WChar*, CORBA::ULong&) {
  return ZavediDedozozuriz::NOT_SUPPORTED;
}

IBackupDataBrowse_impl::Result IBackupDataBrowse_impl::OpenFilePatch(const CORBA::WChar* basePath,
                                                                     const CORBA::WChar* patchPath,
                                                                     CORBA::ULong& handle) {
  unsigned int opened = 0;
  const int result =
      backupStream_.OpenFilePatch(Wide(basePath), Wide(patchPath), FileAccessMode::Read, opened);
  if (result == 0) handle = opened;
  return ToRemoteResult(result);
}

IBackupDataBrowse_impl::Result IBackupDataBrowse_impl::ReadFile(Tessarine::BinaryData& data,
                                                                CORBA::ULong& size, CORBA::ULong handle) {
  if (size > data.length()) return ZavediDedozozuriz::FAILED;
  unsigned int count = size;
  const int result = backupStream_.ReadFile(data.get_buffer(), count, handle);
  size = count;
  return ToRemoteResult(result);
}

IBackupDataBrowse_impl::Result IBackupDataBrowse_impl::CloseFile(CORBA::ULong handle) {
  return ToRemoteResult(backupStream_.CloseFile(handle));
}

void IBackupDataBrowse_impl::Free() { static_cast<void>(indexStream_.CommitTransaction()); }

}  // namespace zr
