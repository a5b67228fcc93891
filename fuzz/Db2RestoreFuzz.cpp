// The DB2 plug-in's restore path, loaded with dlopen, against the stand-in client: any archive handed to
// WriteFile is restored or refused without a crash or a hang; a restored database backs up, and that
// archive restores it again to the same content.
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "plugin-api/PluginExports.h"
#include "tests/support/NullLog.h"

namespace fs = std::filesystem;

namespace {

using Content = std::map<std::string, std::string>;

fs::path g_root;
GetBackupDataWriteFn g_factory = nullptr;

class CTempLink : public ILink {
 public:
  bool GetValue(const wchar_t* name, std::wstring& value) override {
    if (std::wcscmp(name, L"WSTempPath") != 0) return false;
    value = (g_root / "work").wstring() + L"/";
    return true;
  }
  bool SetValue(const wchar_t*, const std::wstring&) override { return false; }
};

void RemoveRoot() {
  std::error_code ec;
  fs::remove_all(g_root, ec);
}

fs::path DatabaseFolder() { return g_root / "standin" / "databases" / "FUZZ"; }

void SetContent(const Content& content) {
  fs::remove_all(DatabaseFolder());
  fs::create_directories(DatabaseFolder());
  for (const auto& file : content)
    std::ofstream(DatabaseFolder() / file.first, std::ios::binary) << file.second;
}

Content ReadContent() {
  Content content;
  for (const auto& entry : fs::directory_iterator(DatabaseFolder())) {
    std::ifstream in(entry.path(), std::ios::binary);
    content[entry.path().filename().string()] =
        std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  return content;
}

// Hands `archive` to a restore; the CloseFile result.
int Restore(IBackupDataWrite& plugin, const uint8_t* archive, size_t size) {
  unsigned int handle = 0;
  FUZZ_CHECK(plugin.OpenFile(L"FUZZ", FileAccessMode::Write, handle) == 0);
  for (size_t at = 0; at < size;) {
    unsigned int piece = static_cast<unsigned int>(std::min<size_t>(size - at, 64 * 1024));
    if (plugin.WriteFile(archive + at, piece, handle) != 0) break;
    FUZZ_CHECK(piece > 0);
    at += piece;
  }
  const int result = plugin.CloseFile(handle);
  // A failed restore keeps its work folder for the administrator; the next open must find none.
  std::error_code ec;
  fs::remove_all(g_root / "work", ec);
  return result;
}

std::vector<uint8_t> Backup(IBackupDataWrite& plugin) {
  unsigned int handle = 0;
  FUZZ_CHECK(plugin.OpenFile(L"FUZZ", FileAccessMode::Read, handle) == 0);
  std::vector<uint8_t> archive;
  std::vector<unsigned char> buffer(256 * 1024);
  for (;;) {
    unsigned int size = static_cast<unsigned int>(buffer.size());
    const int result = plugin.ReadFile(buffer.data(), size, handle);
    if (result == 5) break;
    FUZZ_CHECK(result == 0);
    archive.insert(archive.end(), buffer.data(), buffer.data() + size);
  }
  FUZZ_CHECK(plugin.CloseFile(handle) == 0);
  return archive;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  char pattern[] = "/tmp/zrfuzz-db2-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  g_root = pattern;
  std::atexit(RemoveRoot);
  fs::create_directories(g_root / "standin" / "databases");
  std::ofstream(g_root / "standin" / "instance") << "db2inst1\n";
  ::setenv("ZR_DB2_STANDIN_ROOT", (g_root / "standin").c_str(), 1);
  void* library = ::dlopen(DB2ZR_PATH, RTLD_NOW | RTLD_LOCAL);
  FUZZ_CHECK(library != nullptr);
  g_factory = reinterpret_cast<GetBackupDataWriteFn>(::dlsym(library, kGetBackupDataWriteName));
  FUZZ_CHECK(g_factory != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_factory == nullptr) LLVMFuzzerInitialize(nullptr, nullptr);
  SetContent({{"t1", "before"}});
  zrtest::NullLog log;
  CTempLink link;
  IBackupDataWrite* plugin = g_factory(&log, &link);
  FUZZ_CHECK(plugin != nullptr);
  if (Restore(*plugin, data, size) == 0) {
    const Content restored = ReadContent();
    const std::vector<uint8_t> archive = Backup(*plugin);
    SetContent({{"t1", "changed"}, {"t2", "more"}});
    FUZZ_CHECK(Restore(*plugin, archive.data(), archive.size()) == 0);
    FUZZ_CHECK(ReadContent() == restored);
  } else {
    FUZZ_CHECK(ReadContent() == (Content{{"t1", "before"}}));
  }
  plugin->Destroy();
  return 0;
}
