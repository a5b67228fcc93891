// Stored names and bytes through CFiltersPipe with the test filters, over an in-memory target.
//
// First byte, bit 0 set: the rest is the stored archive of the many-to-one filter "pack" (vault\backup.pk
// and vault\index.pk). Every item the listings reach is read back with its listed size; the index
// lists what the archive records; a pipe that wrote nothing leaves the target as it was; after adding
// one item and committing, a new pipe reads back every item as before plus the new one.
// Bit 0 clear: the rest is files of the per-file filter "xor" (".z") below vault, each a name length
// byte, the name (one character per byte), a 16-bit little-endian data length and the data. The listing
// shows each stored name without the extension, sorted; a listed file reads back the stored bytes
// undone; IsPathExists agrees with the target (a folder is stored without the extension).
#include <stdlib.h>

#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "Tessarine.hh"
#include "agent/data/filters/FiltersPipe.h"
#include "agent/data/index/Index.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzStreams.h"
#include "tests/plugins/PluginControl.h"
#include "tests/storage/MemoryFileSystem.h"

namespace fs = std::filesystem;

namespace {

fs::path g_root;
std::unique_ptr<zr::CExtensionLoader> g_filters;

void Release() { g_filters.reset(); }

std::unique_ptr<zr::CFiltersPipe> MakePipe(zrtest::MemoryFileSystem& target, const wchar_t* filter,
                                           const wchar_t* stream, ILog& log) {
  return std::make_unique<zr::CFiltersPipe>(&target, std::vector<std::wstring>{filter}, stream,
                                            Tessarine::Session::_nil(), &log, g_filters.get(),
                                            std::wstring(stream) == L"index");
}

// The whole of `path` read through `pipe` in 7-byte pieces; `result` gets the first failure or 0.
std::string ReadThrough(zr::CFiltersPipe& pipe, const std::wstring& path, int& result) {
  unsigned int handle = 0;
  result = pipe.OpenFile(path, FileAccessMode::Read, handle);
  if (result != 0) return std::string();
  std::string data;
  for (;;) {
    unsigned char buffer[7];
    unsigned int size = sizeof(buffer);
    if (pipe.ReadFile(buffer, size, handle) != 0 || size == 0) break;
    FUZZ_CHECK(size <= sizeof(buffer));
    data.append(reinterpret_cast<const char*>(buffer), size);
  }
  result = pipe.CloseFile(handle);
  return data;
}

using Tree = std::map<std::wstring, std::string>;

// Every file the listings reach below `folder` (at most `budget` entries, 6 levels), read back.
void Walk(zr::CFiltersPipe& pipe, const std::wstring& folder, int depth, Tree& tree, int& budget) {
  std::list<CFileInfo> entries;
  const int listed = pipe.GetListing(folder, entries);
  if (depth == 0) FUZZ_CHECK(listed == 0);
  FUZZ_CHECK(std::is_sorted(entries.begin(), entries.end()));
  for (const CFileInfo& entry : entries) {
    if (--budget < 0) return;
    // An archive name with an empty part ("a\\b", "\a") lists an empty name: no path leads to it.
    if (entry.Name.empty()) continue;
    const std::wstring path = folder + L"\\" + entry.Name;
    if (entry.Attrs.IsDirectory()) {
      if (depth < 6) Walk(pipe, path, depth + 1, tree, budget);
      continue;
    }
    CFileAttributes attributes;
    FUZZ_CHECK(pipe.GetElementAttributes(path, attributes) == 0);
    int result = 0;
    const std::string data = ReadThrough(pipe, path, result);
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(data.size() == entry.Attrs.Size);
    // Reading one byte is how the pipe tells that an item exists.
    FUZZ_CHECK(pipe.IsPathExists(path) == !data.empty());
    tree[path] = data;
  }
}

void Packed(const std::string& archive) {
  zrtest::NullLog log;
  zrtest::MemoryFileSystem target;
  target.files[L"vault\\backup.pk"] = archive;
  target.files[L"vault\\index.pk"] = archive;
  const auto stored = target.files;

  Tree before;
  int budget = 2000;
  {
    auto pipe = MakePipe(target, L"pack", L"backup", log);
    FUZZ_CHECK(pipe->SetRoot(L"vault") == 0);
    Walk(*pipe, L"vault", 0, before, budget);
    FUZZ_CHECK(pipe->CommitTransaction() == 0);
    FUZZ_CHECK(target.files == stored);
  }
  {
    auto pipe = MakePipe(target, L"pack", L"index", log);
    FUZZ_CHECK(pipe->SetRoot(L"vault") == 0);
    zr::CIndex index(&log, pipe.get());
    std::list<CFileInfo> entries;
    FUZZ_CHECK(index.GetListing(L"vault", entries) == 0);
    for (const CFileInfo& entry : entries) {
      CFileAttributes attributes;
      FUZZ_CHECK(index.GetElementAttributes(L"vault\\" + entry.Name, attributes) == 0);
      FUZZ_CHECK(attributes.Size == entry.Attrs.Size && attributes.CustomAttr == entry.Attrs.CustomAttr);
    }
  }
  if (budget < 0) return;

  const std::wstring added = L"vault\\added";
  {
    auto pipe = MakePipe(target, L"pack", L"backup", log);
    FUZZ_CHECK(pipe->SetRoot(L"vault") == 0);
    unsigned int handle = 0;
    FUZZ_CHECK(pipe->OpenFile(added, FileAccessMode::Write, handle) == 0);
    unsigned int size = 5;
    FUZZ_CHECK(pipe->WriteFile(reinterpret_cast<const unsigned char*>("fresh"), size, handle) == 0);
    FUZZ_CHECK(pipe->CloseFile(handle) == 0);
    FUZZ_CHECK(pipe->CommitTransaction() == 0);
  }
  // An item below "added" would make it a folder in the listing.
  for (const auto& item : before)
    if (item.first.compare(0, added.size() + 1, added + L"\\") == 0) return;
  Tree expected = before;
  expected[added] = "fresh";
  Tree after;
  budget = 2001;
  auto pipe = MakePipe(target, L"pack", L"backup", log);
  FUZZ_CHECK(pipe->SetRoot(L"vault") == 0);
  Walk(*pipe, L"vault", 0, after, budget);
  if (budget >= 0) FUZZ_CHECK(after == expected);
}

void PerFile(fuzzio::Input& input) {
  zrtest::NullLog log;
  zrtest::MemoryFileSystem target;
  while (input.at < input.size) {
    const std::string name = input.Take(input.Byte());
    const std::string data = input.Take(input.Word());
    std::wstring wide;
    for (unsigned char c : name) wide += static_cast<wchar_t>(c);
    // A file system's names have no empty parts.
    if (wide.empty() || wide.front() == L'\\' || wide.back() == L'\\' ||
        wide.find(L"\\\\") != std::wstring::npos)
      continue;
    target.files[L"vault\\" + wide] = data;
  }
  // Nor is a name both a file and a folder.
  for (auto file = target.files.begin(); file != target.files.end();)
    file = target.IsFolder(file->first) ? target.files.erase(file) : std::next(file);
  target.folders.insert(L"vault");
  auto pipe = MakePipe(target, L"xor", L"backup", log);
  std::list<CFileInfo> entries;
  FUZZ_CHECK(pipe->GetListing(L"vault", entries) == 0);
  FUZZ_CHECK(std::is_sorted(entries.begin(), entries.end()));
  std::list<CFileInfo> raw;
  FUZZ_CHECK(target.GetListing(L"vault", raw) == 0);
  FUZZ_CHECK(raw.size() == entries.size());
  std::multiset<std::wstring> shown, expected;
  for (const CFileInfo& entry : entries) shown.insert(entry.Name);
  for (const CFileInfo& entry : raw) {
    const std::wstring& name = entry.Name;
    const bool cut = name.size() > 2 && name.compare(name.size() - 2, 2, L".z") == 0;
    expected.insert(cut ? name.substr(0, name.size() - 2) : name);
  }
  FUZZ_CHECK(shown == expected);
  for (const CFileInfo& entry : entries) {
    const std::wstring path = L"vault\\" + entry.Name;
    const auto file = target.files.find(path + L".z");
    const bool stored = file != target.files.end();
    FUZZ_CHECK(pipe->IsPathExists(path) ==
               (stored || target.IsFolder(path + L".z") || target.IsFolder(path)));
    if (entry.Attrs.IsDirectory()) continue;
    int result = 0;
    const std::string data = ReadThrough(*pipe, path, result);
    FUZZ_CHECK((result == 0) == stored);
    if (!stored) continue;
    std::string undone = file->second;
    for (char& c : undone) c = static_cast<char>(c ^ 0x5a);
    FUZZ_CHECK(data == undone);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  g_root = fuzzio::MakeTempRoot("filters", &Release);
  fs::create_directories(g_root / "Filters");
  zrtest::InstallLibrary(ZRTEST_XORFILTER_PATH, g_root / "Filters", "xor.so");
  zrtest::InstallLibrary(ZRTEST_PACKFILTER_PATH, g_root / "Filters", "pack.so");
  const std::string filters = (g_root / "Filters").string() + "/";
  std::wstringstream quiet;
  std::wstreambuf* old = std::wcerr.rdbuf(quiet.rdbuf());
  g_filters = std::make_unique<zr::CExtensionLoader>(L"wsagent", L"/nonexistent/Plugins/",
                                                     std::wstring(filters.begin(), filters.end()));
  std::wcerr.rdbuf(old);
  FUZZ_CHECK(g_filters->FindFilter(L"pack") != nullptr && g_filters->FindFilter(L"xor") != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_filters == nullptr) LLVMFuzzerInitialize(nullptr, nullptr);
  fuzzio::Input input{data, size};
  if ((input.Byte() & 1) != 0) {
    Packed(input.Rest());
  } else {
    PerFile(input);
  }
  return 0;
}
