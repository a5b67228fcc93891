// A minimal plug-in, "Example": one read-only file, "hello.txt", at the root
// of its paths. Build and install it as ../README.md says.

#include <plugin-api/ErrorBoundary.h>
#include <plugin-api/PluginApi.h>

#include <cstring>
#include <list>
#include <string>

namespace {

constexpr char kText[] = "Hello from the example plug-in\n";
constexpr unsigned int kSize = sizeof(kText) - 1;
constexpr unsigned int kHandle = 1;
const wchar_t kFileName[] = L"hello.txt";

class Info final : public IPluginInfo {
 public:
  const wchar_t* GetPluginVersion() const override { return L"1.0"; }
  const wchar_t* GetPluginName() const override { return L"Example"; }
  int GetFileSystemType() const override { return 1; }
  bool IsSeekFileSupported() const override { return true; }
  bool IsMoveFileSupported() const override { return false; }
  bool IsConfigurable() const override { return false; }
};

// Serves both factories: the write interface derives from the read one.
class ExamplePlugin final : public IBackupDataWrite, private PluginBase {
 public:
  explicit ExamplePlugin(ILog* log) : PluginBase(log) {}

  int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle) override {
    if (path != kFileName) return zr::kPathNotFound;
    if (mode != FileAccessMode::Read) return zr::kAccessDenied;
    open_ = true;
    position_ = 0;
    handle = kHandle;
    LogWrite(LogEvent::Debug, L"Opened %ls", path.c_str());
    return zr::kSuccess;
  }
  int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    if (!open_ || handle != kHandle) return zr::kFailed;
    const unsigned int count = size < kSize - position_ ? size : kSize - position_;
    std::memcpy(buffer, kText + position_, count);
    position_ += count;
    size = count;
    return count == 0 ? zr::kHandleEof : zr::kSuccess;
  }
  int SeekFile(const unsigned int& handle, const unsigned long long& position) override {
    if (!open_ || handle != kHandle || position > kSize) return zr::kFailed;
    position_ = static_cast<unsigned int>(position);
    return zr::kSuccess;
  }
  int CloseFile(const unsigned int& handle) override {
    if (!open_ || handle != kHandle) return zr::kFailed;
    open_ = false;
    return zr::kSuccess;
  }
  int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override {
    if (path.empty()) {
      attributes = CFileAttributes(0, 0, 0, 0, CFileAttributes::kTypeDirectory, 0);
    } else if (path == kFileName) {
      attributes = CFileAttributes(0, 0, 0, kSize, CFileAttributes::kTypeNormal, CFileAttributes::kMaskSize);
    } else {
      return zr::kPathNotFound;
    }
    return zr::kSuccess;
  }
  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override {
    if (!path.empty()) return zr::kPathNotFound;
    CFileAttributes attributes;
    (void)GetElementAttributes(kFileName, attributes);
    // Allocation may throw; nothing may leave an operation.
    return zr::Guard(m_log, L"Example: listing failed", [&] {
      entries.emplace_back(kFileName, attributes);
      return zr::kSuccess;
    });
  }
  void OnStop() override {}

  // The store is read-only.
  int WriteFile(const unsigned char*, unsigned int& size, const unsigned int&) override {
    size = 0;
    return zr::kNotSupported;
  }
  int SetElementAttributes(const std::wstring&, const CFileAttributes&) override { return zr::kNotSupported; }
  int CreateFolder(const std::wstring&) override { return zr::kNotSupported; }
  int DeleteFolder(const std::wstring&) override { return zr::kNotSupported; }
  int DeleteFile(const std::wstring&) override { return zr::kNotSupported; }
  int MoveFile(const std::wstring&, const std::wstring&) override { return zr::kNotSupported; }
  int BeginTransaction() override { return zr::kSuccess; }
  int CommitTransaction() override { return zr::kSuccess; }

 private:
  bool open_ = false;
  unsigned int position_ = 0;
};

}  // namespace

ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo() { return new Info(); }

ZR_PLUGIN_EXPORT IBackupDataRead* GetBackupDataRead(ILog* log, ILink*) { return new ExamplePlugin(log); }

ZR_PLUGIN_EXPORT IBackupDataWrite* GetBackupDataWrite(ILog* log, ILink*) { return new ExamplePlugin(log); }
