#include "agent/data/targets/TargetLocalFS.h"

#include "plugin-api/ResultCodes.h"

namespace zr {

CTargetLocalFS::CTargetLocalFS(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader,
                               const CSettings* settings)
    : target_(session, log, loader, settings), source_(log, this) {}

CTargetLocalFS::~CTargetLocalFS() = default;

int CTargetLocalFS::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  return target_.GetListing(path, entries);
}

int CTargetLocalFS::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) {
  return target_.GetElementAttributes(path, attributes);
}

int CTargetLocalFS::SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) {
  return target_.SetElementAttributes(path, attributes);
}

int CTargetLocalFS::CreateFolder(const std::wstring& path) { return target_.CreateFolder(path); }
int CTargetLocalFS::DeleteFolder(const std::wstring& path) { return target_.DeleteFolder(path); }
int CTargetLocalFS::DeleteFile(const std::wstring& path) { return target_.DeleteFile(path); }
int CTargetLocalFS::SetRoot(const std::wstring& path) { return target_.SetRootPath(path); }

int CTargetLocalFS::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle, bool) {
  delta_ = false;
  return target_.OpenFile(path, mode, handle);
}

int CTargetLocalFS::OpenFilePatch(const std::wstring& basePath, const std::wstring& path,
                                  FileAccessMode::ID mode, unsigned int& handle) {
  delta_ = false;
  if (mode != FileAccessMode::Write) return target_.OpenFilePatch(basePath, path, handle);
  delta_ = true;
  const int result = source_.Open(basePath, path, handle);
  if (result != kSuccess) delta_ = false;
  return result;
}

int CTargetLocalFS::ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  return target_.ReadFile(buffer, size, handle);
}

int CTargetLocalFS::WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) {
  return delta_ ? source_.Write(data, size) : target_.WriteFile(data, size, handle);
}

int CTargetLocalFS::CloseFile(const unsigned int& handle) {
  return delta_ ? source_.Close() : target_.CloseFile(handle);
}

int CTargetLocalFS::AbortFile(const unsigned int& handle) {
  if (!delta_) return CloseFile(handle);
  delta_ = false;
  source_.Abort();
  return kSuccess;
}

int CTargetLocalFS::BeginTransaction() { return target_.BeginTransaction(); }
int CTargetLocalFS::CommitTransaction() { return target_.CommitTransaction(); }

int CTargetLocalFS::OpenFileSignature(const std::wstring& path, unsigned int& handle) {
  return target_.OpenFileSignature(path, handle);
}

int CTargetLocalFS::ReadFileSignature(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  return target_.ReadFile(buffer, size, handle);
}

int CTargetLocalFS::CloseFileSignature(const unsigned int& handle) { return target_.CloseFile(handle); }

int CTargetLocalFS::OpenFilePatching(const std::wstring& basePath, const std::wstring& path,
                                     unsigned int& handle) {
  if (basePath == path) return target_.OpenFilePatching(basePath, path, handle);
  return target_.OpenFile(path, FileAccessMode::Write, handle);
}

int CTargetLocalFS::WriteFilePatching(const unsigned char* data, unsigned int& size,
                                      const unsigned int& handle) {
  return target_.WriteFile(data, size, handle);
}

int CTargetLocalFS::CloseFilePatching(const unsigned int& handle) { return target_.CloseFile(handle); }

int CTargetLocalFS::OpenFilePatch(const std::wstring& basePath, const std::wstring& path,
                                  unsigned int& handle) {
  return target_.OpenFilePatch(basePath, path, handle);
}

int CTargetLocalFS::ReadFilePatch(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  return target_.ReadFile(buffer, size, handle);
}

int CTargetLocalFS::CloseFilePatch(const unsigned int& handle) { return target_.CloseFile(handle); }

}  // namespace zr
