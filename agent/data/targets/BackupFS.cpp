#include "agent/data/targets/BackupFS.h"

#include "agent/data/targets/TemporaryFiles.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

CBackupFS::CBackupFS(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader)
    : broker_(session, log, loader) {}

int CBackupFS::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  const int result = broker_.GetListing(path, entries);
  HideTemporaryFiles(entries);
  return result;
}

int CBackupFS::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) {
  return broker_.GetElementAttributes(path, attributes);
}

int CBackupFS::SetRoot(const std::wstring& path) { return broker_.SetRootPath(path); }

int CBackupFS::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle, bool) {
  // A write open would let a plug-in truncate or restore what is browsed.
  if (mode != FileAccessMode::Read) return kAccessDenied;
  return broker_.OpenFile(path, mode, handle);
}

int CBackupFS::ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  return broker_.ReadFile(buffer, size, handle);
}

int CBackupFS::CloseFile(const unsigned int& handle) { return broker_.CloseFile(handle); }

int CBackupFS::SetElementAttributes(const std::wstring&, const CFileAttributes&) { return kAccessDenied; }
int CBackupFS::CreateFolder(const std::wstring&) { return kAccessDenied; }
int CBackupFS::DeleteFolder(const std::wstring&) { return kAccessDenied; }
int CBackupFS::DeleteFile(const std::wstring&) { return kAccessDenied; }
int CBackupFS::WriteFile(const unsigned char*, unsigned int& size, const unsigned int&) {
  size = 0;
  return kAccessDenied;
}
int CBackupFS::BeginTransaction() { return kAccessDenied; }
int CBackupFS::CommitTransaction() { return kAccessDenied; }

int CBackupFS::OpenFilePatch(const std::wstring&, const std::wstring&, FileAccessMode::ID, unsigned int&) {
  return kNotSupported;
}

}  // namespace zr
