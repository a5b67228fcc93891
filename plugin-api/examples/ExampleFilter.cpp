// A minimal per-file filter, "invert": stores every byte inverted, under the
// stored name plus ".inv", and inverts it back when restoring. Build and
// install it as ../README.md says.

#include <plugin-api/ErrorBoundary.h>
#include <plugin-api/PluginApi.h>

#include <vector>

namespace {

class Info final : public IPluginInfo {
 public:
  const wchar_t* GetPluginVersion() const override { return L"1.0"; }
  const wchar_t* GetPluginName() const override { return L"invert"; }
  // The agent reads only the name and the version of a filter.
  int GetFileSystemType() const override { return 0; }
  bool IsSeekFileSupported() const override { return false; }
  bool IsMoveFileSupported() const override { return false; }
  bool IsConfigurable() const override { return false; }
};

// The agent links m_next before the first call; the operations not written
// here forward to it.
class InvertFilter final : public IBackupDataFilter {
 public:
  explicit InvertFilter(ILog* log) : log_(log) {}

  const wchar_t* GetFileExtension() const override { return L".inv"; }
  bool IsManyToOne() const override { return false; }

  // Storing: the next stage may take fewer bytes than offered; `size` tells
  // the caller how many were taken.
  int DirectTransform(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    return zr::Guard(log_, L"invert: storing failed", [&] {
      std::vector<unsigned char> inverted(data, data + size);
      for (unsigned char& byte : inverted) byte = static_cast<unsigned char>(~byte);
      return m_next->DirectTransform(inverted.data(), size, handle);
    });
  }
  // Restoring: whatever the next stage delivers, inverted back.
  int ReverseTransform(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    const int result = m_next->ReverseTransform(buffer, size, handle);
    if (result == zr::kSuccess) {
      for (unsigned int i = 0; i < size; ++i) buffer[i] = static_cast<unsigned char>(~buffer[i]);
    }
    return result;
  }

 private:
  ILog* log_;
};

}  // namespace

ZR_PLUGIN_EXPORT IPluginInfo* GetFilterInfo() { return new Info(); }

// `link` is null unless the copy named the filter with a connection.
ZR_PLUGIN_EXPORT IBackupDataFilter* GetFilter(ILog* log, ILink*) { return new InvertFilter(log); }
