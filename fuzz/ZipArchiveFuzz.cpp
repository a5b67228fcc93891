// The zip archive reader on any file: lists and extracts every entry, then re-packs the archive with the
// writer's archive copy; every entry that extracted cleanly must come back identical under the same name.
#include <stdlib.h>
#include <unistd.h>

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "plugins/db2/zip/ZipArchiveReader.h"
#include "plugins/db2/zip/ZipStreamWriter.h"

namespace {

constexpr size_t kMaxEntries = 64;
constexpr size_t kMaxDepth = 16;
constexpr size_t kMaxOutput = 32u << 20;

std::string g_folder;

void RemoveFolder() {
  std::remove((g_folder + "/in.zip").c_str());
  std::remove((g_folder + "/copy.zip").c_str());
  ::rmdir(g_folder.c_str());
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

class CMemoryWriter : public IZipFilterOutputWriter {
 public:
  int Write(const unsigned char* data, unsigned int& size) override {
    bytes.insert(bytes.end(), data, data + size);
    return 0;
  }
  std::vector<unsigned char> bytes;
};

// Every file entry below `folder` (recursively), by its path.
void ListFiles(CZipReader& reader, const std::wstring& folder, size_t depth,
               std::vector<std::wstring>& files) {
  std::list<ZipFileInfo> entries;
  if (depth > kMaxDepth || reader.GetListing(folder, entries) != 0) return;
  for (const ZipFileInfo& entry : entries) {
    FUZZ_CHECK(!entry.name.empty());
    if (files.size() >= kMaxEntries) return;
    if (entry.isDirectory) {
      FUZZ_CHECK(entry.name.back() == L'/');
      ListFiles(reader, folder + entry.name, depth + 1, files);
    } else {
      files.push_back(folder + entry.name);
    }
  }
}

// Extracts `path`; true with the data when the reader reported a clean end.
bool Extract(CZipReader& reader, const std::wstring& path, std::string& data, size_t& budget) {
  data.clear();
  if (reader.OpenFile(path.c_str(), false) != 0) return false;
  std::vector<unsigned char> buffer(64 * 1024);
  int result = 0;
  while (result == 0 && budget > 0) {
    unsigned int size = static_cast<unsigned int>(buffer.size());
    result = reader.ReadFile(buffer.data(), size);
    if (result == 0) {
      FUZZ_CHECK(size <= buffer.size());
      data.append(reinterpret_cast<const char*>(buffer.data()), size);
      budget = size < budget ? budget - size : 0;
    }
  }
  (void)reader.CloseFile();
  return result == 5;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The agent runs in a UTF-8 locale; entry names without the UTF-8 flag are read in it.
  std::setlocale(LC_ALL, "C.UTF-8");
  char pattern[] = "/tmp/zrfuzz-zip-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  g_folder = pattern;
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_folder.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
  const std::string in = g_folder + "/in.zip";
  const std::string out = g_folder + "/copy.zip";
  FUZZ_CHECK(WriteFile(in, data, size));

  std::map<std::wstring, std::string> clean;
  {
    CZipReader reader;
    const std::wstring path(in.begin(), in.end());
    if (reader.OpenZip(path.c_str()) != 0) return 0;
    std::vector<std::wstring> files;
    ListFiles(reader, L"", 0, files);
    size_t budget = kMaxOutput;
    for (const std::wstring& file : files) {
      std::string content;
      if (Extract(reader, file, content, budget)) clean.emplace(file, content);
    }
    reader.CloseZip();
  }

  CMemoryWriter writer;
  CZipFilter packer;
  FUZZ_CHECK(packer.BeginTransaction(&writer) == 0);
  FUZZ_CHECK(packer.PrepareTransform(L"\x7f.fuzz-marker", true) == 0);
  FUZZ_CHECK(packer.FinishTransform() == 0);
  const std::wstring inPath(in.begin(), in.end());
  if (packer.CopyMissingFilesFromExistingArchive(inPath.c_str()) != 0) return 0;
  FUZZ_CHECK(packer.CommitTransaction() == 0);
  FUZZ_CHECK(WriteFile(out, writer.bytes.data(), writer.bytes.size()));

  CZipReader copy;
  const std::wstring outPath(out.begin(), out.end());
  FUZZ_CHECK(copy.OpenZip(outPath.c_str()) == 0);
  size_t budget = kMaxOutput;
  for (const auto& entry : clean) {
    if (entry.first == L"\x7f.fuzz-marker") continue;
    std::string content;
    FUZZ_CHECK(Extract(copy, entry.first, content, budget) || budget == 0);
    FUZZ_CHECK(content == entry.second || budget == 0);
  }
  copy.CloseZip();
  return 0;
}
