// A plug-in and filter library for the contract tests. Every operation logs
// what reached it through the ILog it was given, so a test can tell which
// implementation a call through the interfaces ran.

#include <atomic>
#include <string>

#include "plugin-api/PluginApi.h"
#include "tests/support/FixedPluginInfo.h"

namespace {

// Objects of this library that are alive, descriptions included.
std::atomic<int> g_live{0};

struct LiveCounter {
  LiveCounter() { ++g_live; }
  ~LiveCounter() { --g_live; }
  LiveCounter(const LiveCounter&) = delete;
  LiveCounter& operator=(const LiveCounter&) = delete;
};

// The shared fixed answers, counted among the live objects.
class TestInfo final : public zrtest::FixedInfo {
 public:
  using FixedInfo::FixedInfo;

 private:
  LiveCounter counter_;
};

class TestData final : public IBackupDataWrite, public PluginBase {
 public:
  TestData(ILog* log, ILink* link, const wchar_t* kind) : PluginBase(log), link_(link), kind_(kind) {
    std::wstring temp;
    const bool found = link_->GetValue(L"WSTempPath", temp);
    LogWrite(LogEvent::Info, L"created %ls live=%d temp=%ls found=%d", kind_, g_live.load(), temp.c_str(),
             found ? 1 : 0);
  }
  ~TestData() override { LogWrite(LogEvent::Debug, L"destroyed %ls live=%d", kind_, g_live - 1); }

  int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle) override {
    handle = 7 + static_cast<unsigned int>(mode);
    left_ = 5;
    LogWrite(LogEvent::Info, L"OpenFile %ls %d", path.c_str(), static_cast<int>(mode));
    return 0;
  }
  int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    LogWrite(LogEvent::Info, L"ReadFile %u %u", handle, size);
    if (left_ == 0) {
      size = 0;
      return 5;
    }
    static const char kData[] = "hello";
    const unsigned int n = size < left_ ? size : left_;
    for (unsigned int i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>(kData[5 - left_ + i]);
    left_ -= n;
    size = n;
    return 0;
  }
  int SeekFile(const unsigned int& handle, const unsigned long long& position) override {
    LogWrite(LogEvent::Info, L"SeekFile %u %llu", handle, position);
    return 0;
  }
  int CloseFile(const unsigned int& handle) override {
    LogWrite(LogEvent::Info, L"CloseFile %u", handle);
    return 0;
  }
  int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override {
    LogWrite(LogEvent::Info, L"GetElementAttributes %ls", path.c_str());
    attributes = CFileAttributes(1, 2, 3, 1ull << 40, 128, 1 | 2 | 4 | 8);
    attributes.CustomAttr = L"attr of " + path;
    return 0;
  }
  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override {
    LogWrite(LogEvent::Info, L"GetListing %ls", path.c_str());
    entries.emplace_back(L"sub", CFileAttributes(0, 0, 0, 0, 16, 0));
    entries.emplace_back(L"file.bin", CFileAttributes(0, 0, 9, 77, 128, 4 | 8));
    entries.back().Info = L"info";
    return 0;
  }
  void OnStop() override { LogWrite(LogEvent::Warning, L"OnStop"); }

  int WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    LogWrite(LogEvent::Info, L"WriteFile %u %u %c", handle, size, size > 0 ? data[0] : '-');
    size /= 2;
    return 0;
  }
  int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) override {
    LogWrite(LogEvent::Info, L"SetElementAttributes %ls %llu %u %ls", path.c_str(),
             static_cast<unsigned long long>(attributes.Size), attributes.Mask,
             attributes.CustomAttr.c_str());
    return 0;
  }
  int CreateFolder(const std::wstring& path) override {
    LogWrite(LogEvent::Info, L"CreateFolder %ls", path.c_str());
    return 0;
  }
  int DeleteFolder(const std::wstring& path) override {
    LogWrite(LogEvent::Info, L"DeleteFolder %ls", path.c_str());
    return 4;
  }
  int DeleteFile(const std::wstring& path) override {
    LogWrite(LogEvent::Info, L"DeleteFile %ls", path.c_str());
    return 3;
  }
  int MoveFile(const std::wstring& from, const std::wstring& to) override {
    LogWrite(LogEvent::Info, L"MoveFile %ls %ls", from.c_str(), to.c_str());
    return 6;
  }
  int BeginTransaction() override {
    LogWrite(LogEvent::Info, L"BeginTransaction");
    return 0;
  }
  int CommitTransaction() override {
    const bool stored = link_->SetValue(L"Committed", L"yes");
    LogWrite(LogEvent::Info, L"CommitTransaction %d", stored ? 1 : 0);
    return 0;
  }

 private:
  LiveCounter counter_;
  ILink* link_;
  const wchar_t* kind_;
  unsigned int left_ = 0;
};

// Implements only what a filter must; the rest stays the forwarding default.
class TestFilter final : public IBackupDataFilter, public PluginBase {
 public:
  explicit TestFilter(ILog* log) : PluginBase(log) {}
  ~TestFilter() override { LogWrite(LogEvent::Debug, L"destroyed filter live=%d", g_live - 1); }

  const wchar_t* GetFileExtension() const override { return L".tst"; }
  bool IsManyToOne() const override { return true; }
  int DirectTransform(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    LogWrite(LogEvent::Info, L"DirectTransform %u %u %c", handle, size, size > 0 ? data[0] : '-');
    return 0;
  }
  int ReverseTransform(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    LogWrite(LogEvent::Info, L"ReverseTransform %u %u", handle, size);
    if (size >= 3) {
      buffer[0] = 'r';
      buffer[1] = 'e';
      buffer[2] = 'v';
      size = 3;
    }
    return 0;
  }

 private:
  LiveCounter counter_;
};

}  // namespace

// Not exported: the library hides everything but its factories.
extern "C" int TestPluginHiddenFunction() { return 1; }

ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo() {
  return new TestInfo(L"TestPlugin", L"1.2.3", 42, true, false, true);
}

ZR_PLUGIN_EXPORT IBackupDataRead* GetBackupDataRead(ILog* log, ILink* link) {
  return new TestData(log, link, L"read");
}

ZR_PLUGIN_EXPORT IBackupDataWrite* GetBackupDataWrite(ILog* log, ILink* link) {
  return new TestData(log, link, L"write");
}

ZR_PLUGIN_EXPORT IPluginInfo* GetFilterInfo() {
  return new TestInfo(L"TestFilter", L"0.9", 0, false, true, false);
}

ZR_PLUGIN_EXPORT IBackupDataFilter* GetFilter(ILog* log, ILink* /*link*/) { return new TestFilter(log); }
