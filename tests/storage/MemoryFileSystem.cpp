#include "tests/storage/MemoryFileSystem.h"

#include <algorithm>
#include <cstring>

namespace zrtest {

namespace {

std::wstring Parent(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

const wchar_t* ModeText(FileAccessMode::ID mode) { return mode == FileAccessMode::Write ? L"w" : L"r"; }

}  // namespace

void MemoryFileSystem::Record(const std::string& operation, std::vector<std::wstring> args) {
  calls.push_back({operation, std::move(args)});
}

bool MemoryFileSystem::Forced(const std::string& operation, int& result) const {
  auto found = results_.find(operation);
  if (found == results_.end()) return false;
  result = found->second;
  return true;
}

std::vector<std::string> MemoryFileSystem::Operations() const {
  std::vector<std::string> names;
  for (const Call& call : calls) names.push_back(call.operation);
  return names;
}

std::vector<MemoryFileSystem::Call> MemoryFileSystem::CallsOf(const std::string& operation) const {
  std::vector<Call> found;
  for (const Call& call : calls)
    if (call.operation == operation) found.push_back(call);
  return found;
}

bool MemoryFileSystem::IsFolder(const std::wstring& path) const {
  if (path.empty() || folders.count(path) != 0) return true;
  const std::wstring prefix = path + L"\\";
  for (const auto& file : files)
    if (file.first.compare(0, prefix.size(), prefix) == 0) return true;
  for (const auto& folder : folders)
    if (folder.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

int MemoryFileSystem::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  Record("GetListing", {path});
  int result;
  if (Forced("GetListing", result)) return result;
  if (!IsFolder(path)) return 3;
  std::set<std::wstring> names;
  const std::wstring prefix = path.empty() ? std::wstring() : path + L"\\";
  auto collect = [&](const std::wstring& item) {
    if (item.compare(0, prefix.size(), prefix) != 0 || item.size() == prefix.size()) return;
    names.insert(item.substr(prefix.size(), item.find(L'\\', prefix.size()) - prefix.size()));
  };
  for (const auto& file : files) collect(file.first);
  for (const auto& folder : folders) collect(folder);
  for (const std::wstring& name : names) {
    CFileAttributes attrs;
    (void)GetElementAttributes(prefix + name, attrs);
    calls.pop_back();  // the inner lookup is not a call of the caller
    entries.emplace_back(name, attrs);
  }
  return 0;
}

int MemoryFileSystem::GetElementAttributes(const std::wstring& path, CFileAttributes& attrs) {
  Record("GetElementAttributes", {path});
  int result;
  if (Forced("GetElementAttributes", result)) return result;
  auto stored = attributes.find(path);
  CFileAttributes found = stored != attributes.end() ? stored->second : CFileAttributes();
  auto file = files.find(path);
  if (file != files.end()) {
    found.Type = CFileAttributes::kTypeNormal;
    found.Size = file->second.size();
    found.Mask |= CFileAttributes::kMaskSize;
  } else if (IsFolder(path)) {
    found.Type = CFileAttributes::kTypeDirectory;
  } else {
    return 3;
  }
  attrs = found;
  return 0;
}

int MemoryFileSystem::SetElementAttributes(const std::wstring& path, const CFileAttributes& attrs) {
  Record("SetElementAttributes", {path});
  int result;
  if (Forced("SetElementAttributes", result)) return result;
  if (files.count(path) == 0 && !IsFolder(path)) return 3;
  attributes[path] = attrs;
  return 0;
}

int MemoryFileSystem::CreateFolder(const std::wstring& path) {
  Record("CreateFolder", {path});
  int result;
  if (Forced("CreateFolder", result)) return result;
  for (std::wstring folder = path; !folder.empty(); folder = Parent(folder)) folders.insert(folder);
  return 0;
}

int MemoryFileSystem::DeleteFolder(const std::wstring& path) {
  Record("DeleteFolder", {path});
  int result;
  if (Forced("DeleteFolder", result)) return result;
  if (folders.erase(path) == 0) return 3;
  return 0;
}

int MemoryFileSystem::DeleteFile(const std::wstring& path) {
  Record("DeleteFile", {path});
  int result;
  if (Forced("DeleteFile", result)) return result;
  return files.erase(path) == 0 ? 3 : 0;
}

int MemoryFileSystem::SetRoot(const std::wstring& path) {
  Record("SetRoot", {path});
  int result;
  if (Forced("SetRoot", result)) return result;
  return 0;
}

int MemoryFileSystem::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle,
                               bool deltaAllowed) {
  Record("OpenFile", {path, ModeText(mode)});
  int result;
  if (Forced("OpenFile", result)) return result;
  const int opened = OpenStream(path, mode, handle);
  if (opened == 0) deltaAllowedOf[handle] = deltaAllowed;
  return opened;
}

int MemoryFileSystem::OpenStream(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle) {
  const bool write = mode == FileAccessMode::Write;
  if (write) {
    files[path].clear();
  } else if (files.count(path) == 0) {
    return 3;
  }
  handle = nextHandle_++;
  open_[handle] = Open{path, write, 0};
  return 0;
}

int MemoryFileSystem::OpenFilePatch(const std::wstring& basePath, const std::wstring& path,
                                    FileAccessMode::ID mode, unsigned int& handle) {
  Record("OpenFilePatch", {basePath, path, ModeText(mode)});
  int result;
  if (Forced("OpenFilePatch", result)) return result;
  // Without delta machinery: a patch stream is the file `path` itself.
  return OpenStream(path, mode, handle);
}

int MemoryFileSystem::ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  Record("ReadFile", {});
  int result;
  if (Forced("ReadFile", result)) {
    size = 0;
    return result;
  }
  auto open = open_.find(handle);
  if (open == open_.end() || open->second.write) {
    size = 0;
    return 1;
  }
  const std::string& data = files[open->second.path];
  size_t count = std::min<size_t>(size, data.size() - open->second.position);
  if (readChunk_ != 0) count = std::min<size_t>(count, readChunk_);
  if (count == 0) {
    size = 0;
    return 5;
  }
  std::memcpy(buffer, data.data() + open->second.position, count);
  open->second.position += count;
  size = static_cast<unsigned int>(count);
  return 0;
}

int MemoryFileSystem::WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) {
  Record("WriteFile", {});
  int result;
  if (Forced("WriteFile", result)) {
    size = 0;
    return result;
  }
  auto open = open_.find(handle);
  if (open == open_.end() || !open->second.write) {
    size = 0;
    return 1;
  }
  if (writeChunk_ != 0) size = std::min(size, writeChunk_);
  files[open->second.path].append(reinterpret_cast<const char*>(data), size);
  return 0;
}

int MemoryFileSystem::EndHandle(const std::string& operation, unsigned int handle) {
  Record(operation, {});
  const bool known = open_.erase(handle) != 0;
  int result;
  if (Forced(operation, result)) return result;
  return known ? 0 : 1;
}

int MemoryFileSystem::CloseFile(const unsigned int& handle) { return EndHandle("CloseFile", handle); }
int MemoryFileSystem::AbortFile(const unsigned int& handle) { return EndHandle("AbortFile", handle); }

int MemoryFileSystem::BeginTransaction() {
  Record("BeginTransaction", {});
  int result;
  if (Forced("BeginTransaction", result)) return result;
  return 0;
}

int MemoryFileSystem::CommitTransaction() {
  Record("CommitTransaction", {});
  int result;
  if (Forced("CommitTransaction", result)) return result;
  return 0;
}

}  // namespace zrtest
