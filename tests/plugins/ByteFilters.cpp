// Test filters loaded by the filters-pipe tests.
//
// ZRTEST_XOR: per-file filter "xor", extension ".z": every byte XOR 0x5a.
// ZRTEST_XDELTA: filter "xdelta", no extension: passes data through and
// counts the bytes of each direction (kDirectBytes, kReverseBytes).
// Both count factory calls and Destroy; Destroy reads "WSTempPath" from the
// link it was given (a link freed before the filter shows under ASan).
// ZrTestSetFactoryMode: 0 the factory makes a filter, 1 returns null, 2 throws.
// ZrTestSetFailStage: 1 PrepareTransform answers 4, 2 FinishTransform answers 7.

#include <atomic>
#include <stdexcept>
#include <vector>

#include "plugin-api/PluginExports.h"
#include "tests/plugins/Counters.h"
#include "tests/support/FixedPluginInfo.h"

namespace {

std::atomic<int> factoryMode{0};
std::atomic<int> failStage{0};

#ifdef ZRTEST_XOR
constexpr unsigned char kKey = 0x5a;
constexpr const wchar_t* kName = L"xor";
constexpr const wchar_t* kExtension = L".z";
#else
constexpr const wchar_t* kName = L"xdelta";
constexpr const wchar_t* kExtension = L"";
#endif

class TestFilter final : public IBackupDataFilter {
 public:
  explicit TestFilter(ILink* link) : link_(link) {}

  void Destroy() override {
    zrtest::Count(zrtest::kDestroy);
    if (link_ != nullptr) {
      std::wstring value;
      if (link_->GetValue(L"WSTempPath", value)) zrtest::SetLastTempPath(value);
    }
    delete this;
  }
  const wchar_t* GetFileExtension() const override { return kExtension; }
  bool IsManyToOne() const override { return false; }

  int PrepareTransform(const std::wstring& name, bool forward, const unsigned int& handle) override {
    if (failStage == 1) return 4;
    return IBackupDataFilter::PrepareTransform(name, forward, handle);
  }
  int FinishTransform(const unsigned int& handle) override {
    const int next = IBackupDataFilter::FinishTransform(handle);
    return failStage == 2 ? 7 : next;
  }

  // Hands every byte on, in as many calls as the next stage needs.
  int DirectTransform(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    if (m_next == nullptr) return 1;
    zrtest::Add(zrtest::kDirectBytes, static_cast<int>(size));
#ifdef ZRTEST_XOR
    std::vector<unsigned char> mixed(data, data + size);
    for (unsigned char& byte : mixed) byte ^= kKey;
    const unsigned char* out = mixed.data();
#else
    const unsigned char* out = data;
#endif
    unsigned int done = 0;
    while (done < size) {
      unsigned int part = size - done;
      const int result = m_next->DirectTransform(out + done, part, handle);
      if (result != 0) {
        size = done;
        return result;
      }
      if (part == 0) {
        size = done;
        return 1;
      }
      done += part;
    }
    return 0;
  }
  int ReverseTransform(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    if (m_next == nullptr) return 1;
    const int result = m_next->ReverseTransform(buffer, size, handle);
    if (result == 0) {
      zrtest::Add(zrtest::kReverseBytes, static_cast<int>(size));
#ifdef ZRTEST_XOR
      for (unsigned int i = 0; i < size; ++i) buffer[i] ^= kKey;
#endif
    }
    return result;
  }

 private:
  ILink* link_;
};

}  // namespace

ZR_PLUGIN_EXPORT IPluginInfo* GetFilterInfo() {
  return new zrtest::FixedInfo(kName, L"1.0", 0, false, false, false);
}

ZR_PLUGIN_EXPORT IBackupDataFilter* GetFilter(ILog*, ILink* link) {
  zrtest::Count(zrtest::kFactory);
  if (factoryMode == 1) return nullptr;
  if (factoryMode == 2) throw std::runtime_error("filter factory failure");
  return new TestFilter(link);
}

ZR_PLUGIN_EXPORT void ZrTestSetFactoryMode(int mode) { factoryMode = mode; }
ZR_PLUGIN_EXPORT void ZrTestSetFailStage(int stage) { failStage = stage; }
