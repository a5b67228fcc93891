#include "agent/data/targets/TargetLocalFS.h"

#include "agent/data/targets/TemporaryFiles.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

CTargetLocalFS::CTargetLocalFS(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader,
                               const CSettings* settings)
    : loader_(loader), target_(session, log, loader, settings), source_(log, this) {}

CTargetLocalFS::~CTargetLocalFS() = default;

int CTargetLocalFS::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  const int result = target_.GetListing(path, entries);
  HideTemporaryFiles(entries);
  return result;
}

int CTargetLocalFS::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) {
  return target_.GetElementAttributes(path, attributes);
}

int CTargetLocalFS::SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) {
  return target_.SetElementAttributes(path, attributes);
}

int CTargetLocalFS::CreateFolder(const std::wstring& path) { return target_.CreateFolder(path); }
int CTargetLocalFS::DeleteFolder(const std::wstring& path) { return target_.DeleteFolder(path); }
int CTargetLocalFS::DeleteFile(const std::wstring& path) {
  const int result = target_.DeleteFile(path);
  if (result == kSuccess && CanMove(path)) static_cast<void>(target_.DeleteFile(TemporaryName(path)));
  return result;
}
int CTargetLocalFS::SetRoot(const std::wstring& path) { return target_.SetRootPath(path); }

bool CTargetLocalFS::CanMove(const std::wstring& path) {
  if (loader_ == nullptr) return false;
  const std::wstring& joined = target_.GetRootPath().empty() ? path : target_.GetRootPath();
  const size_t start = joined.find_first_not_of(L"\\/");
  if (start == std::wstring::npos) return false;
  const CPluginEntry* entry =
      loader_->FindPlugin(joined.substr(start, joined.find_first_of(L"\\/", start) - start));
  return entry != nullptr && entry->IsMoveSupported();
}

int CTargetLocalFS::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle, bool) {
  delta_ = false;
  // Asked first: a plug-in that cannot move gets no other call than before.
  if (mode != FileAccessMode::Write || !CanMove(path)) return target_.OpenFile(path, mode, handle);
  CFileAttributes attributes;
  if (target_.GetElementAttributes(path, attributes) != kSuccess || attributes.IsDirectory()) {
    return target_.OpenFile(path, mode, handle);
  }
  const int result = target_.OpenFile(TemporaryName(path), mode, handle);
  if (result == kSuccess) replacements_[handle] = path;
  return result;
}

int CTargetLocalFS::EndReplacement(std::map<unsigned int, std::wstring>::iterator replacement, bool keep) {
  const std::wstring path = replacement->second;
  const std::wstring temporary = TemporaryName(path);
  int result = target_.CloseFile(replacement->first);
  replacements_.erase(replacement);
  if (keep && result == kSuccess) {
    result = target_.MoveFile(temporary, path);
    if (result == kSuccess) return kSuccess;
  }
  static_cast<void>(target_.DeleteFile(temporary));
  return result;
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
  if (delta_) return source_.Close();
  const auto replacement = replacements_.find(handle);
  if (replacement != replacements_.end()) return EndReplacement(replacement, true);
  return target_.CloseFile(handle);
}

int CTargetLocalFS::AbortFile(const unsigned int& handle) {
  if (!delta_) {
    const auto replacement = replacements_.find(handle);
    if (replacement != replacements_.end()) return EndReplacement(replacement, false);
    return target_.CloseFile(handle);
  }
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
