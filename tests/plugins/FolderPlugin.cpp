// A plug-in that serves a real folder: rest paths ("\"-separated) are taken
// below a root folder. The root is the link value "Folder" when the link has
// one, else the environment variable ZRTEST_FOLDER_ROOT.
//
// Built several times with different ZRTEST_* definitions: the name, the
// file-system type, whether it is configurable and which factories exist.
// The environment variables ZRTEST_FOLDER_NO_SEEK and ZRTEST_FOLDER_NO_MOVE,
// read when the library's info is taken, make it report no seek or no move
// support. Faults (tests/plugins/FolderFaults.h) are set through exports.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "plugin-api/PluginBase.h"
#include "plugin-api/PluginExports.h"
#include "tests/plugins/Counters.h"
#include "tests/plugins/FolderFaults.h"
#include "tests/support/FixedPluginInfo.h"
#include "zrlib/strings/Strings.h"

namespace fs = std::filesystem;

namespace {

std::atomic<long long> faults[zrtest::kFaultCount];
std::atomic<long long> bytesWritten{0};
std::atomic<long long> bytesRead{0};

void ResetFaults() {
  for (auto& fault : faults) fault = 0;
  faults[zrtest::kFailWriteAfter] = -1;
  faults[zrtest::kFailReadAfter] = -1;
  faults[zrtest::kWriteFailCode] = 1;
  bytesWritten = 0;
  bytesRead = 0;
}

const bool faultsReady = (ResetFaults(), true);

// How many of `size` bytes may pass before the limit `fault`, given the
// `used` bytes so far; all of them when the fault is off.
unsigned int Allowed(zrtest::Fault fault, const std::atomic<long long>& used, unsigned int size) {
  const long long limit = faults[fault];
  if (limit < 0) return size;
  return static_cast<unsigned int>(std::clamp<long long>(limit - used, 0, size));
}

class FolderPlugin final : public IBackupDataWrite, private PluginBase {
 public:
  FolderPlugin(ILog* log, ILink* link) : PluginBase(log) {
    std::wstring folder;
    if (link != nullptr && link->GetValue(L"Folder", folder) && !folder.empty()) {
      root_ = fs::u8path(ZRLib::strings::WstrToUTF8(folder));
    } else if (const char* env = std::getenv("ZRTEST_FOLDER_ROOT")) {
      root_ = fs::path(env);
    }
    std::wstring tempPath;
    if (link != nullptr && link->GetValue(L"WSTempPath", tempPath)) zrtest::SetLastTempPath(tempPath);
  }
  ~FolderPlugin() override {
    for (auto& open : files_) std::fclose(open.second);
  }

  void Destroy() override {
    zrtest::Count(zrtest::kDestroy);
    delete this;
  }

  int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle) override {
    if (root_.empty()) return 1;
    const fs::path file = Resolve(path);
    std::FILE* f = nullptr;
    if (mode == FileAccessMode::Write) {
      std::error_code ec;
      fs::create_directories(file.parent_path(), ec);
      f = std::fopen(file.c_str(), "wb");
    } else {
      f = std::fopen(file.c_str(), "rb");
      if (f == nullptr && errno == ENOENT) return 3;
    }
    if (f == nullptr) return 1;
    handle = NewHandle();
    files_[handle] = f;
    if (mode == FileAccessMode::Write) writeHandles_.insert(handle);
    zrtest::Count(zrtest::kOpen);
    LogWrite(LogEvent::Debug, L"opened %ls", path.c_str());
    return 0;
  }

  int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    std::FILE* f = Find(handle);
    if (f == nullptr) return 1;
    if (faults[zrtest::kReadDelayMs] > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(faults[zrtest::kReadDelayMs]));
    unsigned int want = size;
    if (faults[zrtest::kShortRead] > 0)
      want = std::min<unsigned int>(want, static_cast<unsigned int>(faults[zrtest::kShortRead]));
    const unsigned int allowed = Allowed(zrtest::kFailReadAfter, bytesRead, want);
    const std::size_t got = std::fread(buffer, 1, allowed, f);
    size = static_cast<unsigned int>(got);
    bytesRead += static_cast<long long>(got);
    if (allowed < want && got == allowed) return got == 0 ? 1 : 0;
    if (got == 0) return std::ferror(f) ? 1 : 5;
    return 0;
  }

  int SeekFile(const unsigned int& handle, const unsigned long long& position) override {
    std::FILE* f = Find(handle);
    if (f == nullptr || faults[zrtest::kFailSeek] != 0) return 1;
    return fseeko(f, static_cast<off_t>(position), SEEK_SET) == 0 ? 0 : 1;
  }

  int CloseFile(const unsigned int& handle) override {
    zrtest::Count(zrtest::kClose);
    auto it = files_.find(handle);
    if (it == files_.end()) return 1;
    int rc = std::fclose(it->second) == 0 ? 0 : 1;
    files_.erase(it);
    if (writeHandles_.erase(handle) != 0 && faults[zrtest::kFailWriteClose] != 0)
      rc = static_cast<int>(faults[zrtest::kFailWriteClose]);
    return rc;
  }

  int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override {
    if (root_.empty()) return 1;
    struct stat st;
    if (::stat(Resolve(path).c_str(), &st) != 0) return errno == ENOENT ? 3 : 1;
    attributes = ToAttributes(st);
    return 0;
  }

  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override {
    if (root_.empty()) return 1;
    const fs::path folder = Resolve(path);
    std::error_code ec;
    if (!fs::exists(folder, ec)) return 3;
    fs::directory_iterator it(folder, ec);
    if (ec) return 1;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      struct stat st;
      if (::stat(it->path().c_str(), &st) != 0) continue;
      entries.emplace_back(ZRLib::strings::UTF8toWstr(it->path().filename().string()), ToAttributes(st));
    }
    return ec ? 1 : 0;
  }

  void OnStop() override { zrtest::Count(zrtest::kOnStop); }

  int WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    std::FILE* f = Find(handle);
    if (f == nullptr) return 1;
    const unsigned int allowed = Allowed(zrtest::kFailWriteAfter, bytesWritten, size);
    const std::size_t put = std::fwrite(data, 1, allowed, f);
    bytesWritten += static_cast<long long>(put);
    const bool refused = allowed < size;
    size = static_cast<unsigned int>(put);
    if (refused) return static_cast<int>(faults[zrtest::kWriteFailCode]);
    return std::ferror(f) ? 1 : 0;
  }

  int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) override {
    if (root_.empty()) return 1;
    const fs::path file = Resolve(path);
    std::error_code ec;
    if (!fs::exists(file, ec)) return 3;
    if (attributes.Mask & CFileAttributes::kMaskModification) {
      struct timespec times[2];
      times[0].tv_sec = 0;
      times[0].tv_nsec = UTIME_OMIT;
      times[1].tv_sec = attributes.Modification;
      times[1].tv_nsec = 0;
      if (::utimensat(AT_FDCWD, file.c_str(), times, 0) != 0) return 1;
    }
    return 0;
  }

  int CreateFolder(const std::wstring& path) override {
    if (root_.empty()) return 1;
    std::error_code ec;
    fs::create_directories(Resolve(path), ec);
    return ec ? 1 : 0;
  }

  int DeleteFolder(const std::wstring& path) override {
    if (root_.empty()) return 1;
    std::error_code ec;
    const fs::path folder = Resolve(path);
    if (!fs::is_directory(folder, ec)) return 3;
    fs::remove_all(folder, ec);
    return ec ? 1 : 0;
  }

  int DeleteFile(const std::wstring& path) override {
    if (root_.empty()) return 1;
    std::error_code ec;
    const fs::path file = Resolve(path);
    if (!fs::exists(file, ec)) return 3;
    return fs::remove(file, ec) && !ec ? 0 : 1;
  }

  int MoveFile(const std::wstring& from, const std::wstring& to) override {
    if (root_.empty()) return 1;
    std::error_code ec;
    const fs::path source = Resolve(from);
    if (!fs::exists(source, ec)) return 3;
    fs::rename(source, Resolve(to), ec);
    return ec ? 1 : 0;
  }

  int BeginTransaction() override {
    zrtest::Count(zrtest::kBegin);
    return 0;
  }

  int CommitTransaction() override {
    zrtest::Count(zrtest::kCommit);
    return 0;
  }

 private:
  // The file below the root; "." and ".." parts are dropped, so no path
  // reaches outside the root. Names are UTF-8 on disk.
  fs::path Resolve(const std::wstring& path) const {
    fs::path result = root_;
    std::wstring part;
    auto add = [&result, &part] {
      if (!part.empty() && part != L"." && part != L"..")
        result /= fs::u8path(ZRLib::strings::WstrToUTF8(part));
      part.clear();
    };
    for (wchar_t c : path) {
      if (c == L'\\' || c == L'/')
        add();
      else
        part += c;
    }
    add();
    return result;
  }

  unsigned int NewHandle() {
    if (faults[zrtest::kReuseHandles] == 0) return nextHandle_++;
    unsigned int handle = 1;
    while (files_.count(handle) != 0) ++handle;
    return handle;
  }

  std::FILE* Find(unsigned int handle) const {
    auto it = files_.find(handle);
    return it == files_.end() ? nullptr : it->second;
  }

  static CFileAttributes ToAttributes(const struct stat& st) {
    const bool dir = S_ISDIR(st.st_mode);
    return CFileAttributes(static_cast<int32_t>(st.st_ctime), static_cast<int32_t>(st.st_atime),
                           static_cast<int32_t>(st.st_mtime), dir ? 0 : static_cast<uint64_t>(st.st_size),
                           dir ? CFileAttributes::kTypeDirectory : CFileAttributes::kTypeNormal,
                           dir ? 7u : 15u);
  }

  fs::path root_;
  std::map<unsigned int, std::FILE*> files_;
  std::set<unsigned int> writeHandles_;
  unsigned int nextHandle_ = 1;
};

}  // namespace

ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo() {
  static_cast<void>(faultsReady);
  const bool seek = std::getenv("ZRTEST_FOLDER_NO_SEEK") == nullptr;
  const bool move = std::getenv("ZRTEST_FOLDER_NO_MOVE") == nullptr;
  return new zrtest::FixedInfo(ZRTEST_NAME, L"1.0", ZRTEST_FS_TYPE, seek, move, ZRTEST_CONFIGURABLE);
}

ZR_PLUGIN_EXPORT void ZrTestSetFault(int which, long long value) {
  if (which >= 0 && which < zrtest::kFaultCount) faults[which] = value;
}

ZR_PLUGIN_EXPORT void ZrTestResetFaults() { ResetFaults(); }

#ifndef ZRTEST_NO_FACTORIES
ZR_PLUGIN_EXPORT IBackupDataRead* GetBackupDataRead(ILog* log, ILink* link) {
  zrtest::Count(zrtest::kFactory);
  return new FolderPlugin(log, link);
}

ZR_PLUGIN_EXPORT IBackupDataWrite* GetBackupDataWrite(ILog* log, ILink* link) {
  zrtest::Count(zrtest::kFactory);
  return new FolderPlugin(log, link);
}
#endif
