// A filter library that passes data through unchanged. Without
// ZRTEST_WITH_INFO it lacks GetFilterInfo.

#include "plugin-api/PluginExports.h"
#include "tests/plugins/Counters.h"
#include "tests/support/FixedPluginInfo.h"

namespace {

class PassFilter final : public IBackupDataFilter {
 public:
  void Destroy() override {
    zrtest::Count(zrtest::kDestroy);
    delete this;
  }
  const wchar_t* GetFileExtension() const override { return L""; }
  bool IsManyToOne() const override { return false; }
  int DirectTransform(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    return m_next != nullptr ? m_next->DirectTransform(data, size, handle) : 0;
  }
  int ReverseTransform(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    return m_next != nullptr ? m_next->ReverseTransform(buffer, size, handle) : 0;
  }
};

}  // namespace

#ifdef ZRTEST_WITH_INFO
ZR_PLUGIN_EXPORT IPluginInfo* GetFilterInfo() {
  return new zrtest::FixedInfo(L"TestFilter", L"3.1", 0, false, false, false);
}
#endif

ZR_PLUGIN_EXPORT IBackupDataFilter* GetFilter(ILog*, ILink*) {
  zrtest::Count(zrtest::kFactory);
  return new PassFilter();
}
