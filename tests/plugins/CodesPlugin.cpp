// A plug-in whose every operation answers a result chosen by the test
// (ZrTestSetResult). The result kThrowCorba makes every operation raise
// CORBA::TRANSIENT, as a call through the Coordinator would; kThrowOther
// makes it throw something that is neither a CORBA nor a standard exception.

#include <omniORB4/CORBA.h>

#include <atomic>
#include <new>

#include "plugin-api/PluginExports.h"
#include "tests/plugins/Counters.h"
#include "tests/support/FixedPluginInfo.h"

namespace {

constexpr int kThrowCorba = -1;
constexpr int kThrowOther = -2;
// Factory modes.
constexpr int kFactoryNormal = 0;
constexpr int kFactoryNull = 1;
constexpr int kFactoryThrow = 2;

std::atomic<int> result{0};
std::atomic<int> factoryMode{kFactoryNormal};

int Answer() {
  const int code = result.load();
  if (code == kThrowCorba) throw CORBA::TRANSIENT();
  if (code == kThrowOther) throw code;
  return code;
}

class CodesPlugin final : public IBackupDataWrite {
 public:
  void Destroy() override {
    zrtest::Count(zrtest::kDestroy);
    delete this;
  }
  int OpenFile(const std::wstring&, FileAccessMode::ID, unsigned int& handle) override {
    const int code = Answer();
    if (code == 0) {
      handle = 77;
      zrtest::Count(zrtest::kOpen);
    }
    return code;
  }
  int ReadFile(unsigned char*, unsigned int& size, const unsigned int&) override {
    const int code = Answer();
    if (code != 0) size = 0;
    return code;
  }
  int SeekFile(const unsigned int&, const unsigned long long&) override { return Answer(); }
  int CloseFile(const unsigned int&) override {
    zrtest::Count(zrtest::kClose);
    return Answer();
  }
  int GetElementAttributes(const std::wstring&, CFileAttributes& attributes) override {
    attributes.Type = CFileAttributes::kTypeNormal;
    attributes.Size = 5;
    attributes.Mask = CFileAttributes::kMaskSize;
    return Answer();
  }
  // Appends two entries whatever the result, so that callers can be seen
  // dropping them on a failure.
  int GetListing(const std::wstring&, std::list<CFileInfo>& entries) override {
    entries.emplace_back(L"b", CFileAttributes(0, 0, 0, 1, CFileAttributes::kTypeNormal, 8));
    entries.emplace_back(L"A", CFileAttributes(0, 0, 0, 1, CFileAttributes::kTypeNormal, 8));
    return Answer();
  }
  void OnStop() override {
    zrtest::Count(zrtest::kOnStop);
    Answer();
  }
  int WriteFile(const unsigned char*, unsigned int&, const unsigned int&) override { return Answer(); }
  int SetElementAttributes(const std::wstring&, const CFileAttributes&) override { return Answer(); }
  int CreateFolder(const std::wstring&) override { return Answer(); }
  int DeleteFolder(const std::wstring&) override { return Answer(); }
  int DeleteFile(const std::wstring&) override { return Answer(); }
  int MoveFile(const std::wstring&, const std::wstring&) override { return Answer(); }
  int BeginTransaction() override {
    zrtest::Count(zrtest::kBegin);
    return Answer();
  }
  int CommitTransaction() override {
    zrtest::Count(zrtest::kCommit);
    return Answer();
  }
};

CodesPlugin* Make() {
  zrtest::Count(zrtest::kFactory);
  switch (factoryMode.load()) {
    case kFactoryNull: return nullptr;
    case kFactoryThrow: throw std::bad_alloc();
    default: return new CodesPlugin();
  }
}

}  // namespace

// The result every operation answers from now on (kThrowCorba, kThrowOther:
// raise).
ZR_PLUGIN_EXPORT void ZrTestSetResult(int code) { result = code; }
// 0: factories make objects; 1: they return null; 2: they throw bad_alloc.
ZR_PLUGIN_EXPORT void ZrTestSetFactoryMode(int mode) { factoryMode = mode; }

ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo() {
  return new zrtest::FixedInfo(L"TestCodes", L"2.5", 3, false, false, false);
}
ZR_PLUGIN_EXPORT IBackupDataRead* GetBackupDataRead(ILog*, ILink*) { return Make(); }
ZR_PLUGIN_EXPORT IBackupDataWrite* GetBackupDataWrite(ILog*, ILink*) { return Make(); }
