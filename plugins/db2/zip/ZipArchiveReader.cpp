#include "plugins/db2/zip/ZipArchiveReader.h"

#include <exception>
#include <set>
#include <vector>

#include "plugins/db2/zip/ZipEntryReader.h"
#include "plugins/db2/zip/ZipRecords.h"
#include "zrlib/filesystem/FileSystem.h"
#include "zrlib/strings/Strings.h"

CZipReader::CZipReader() = default;

CZipReader::~CZipReader() { CloseZip(); }

std::wstring CZipReader::Normalize(std::wstring path) {
  return ZRLib::strings::Replace(std::move(path), L"\\", L"/");
}

int CZipReader::OpenZip(const wchar_t* path) {
  if (open_ && CloseZip() != 0) return 1;
  entries_.clear();
  if (path == nullptr) return 1;
  std::string narrow;
  try {
    if (!ZRLib::filesystem::IsFileExists(path)) return 3;
    narrow = ZRLib::strings::toAstr(path);
  } catch (const std::exception&) {
    return 1;
  }
  std::vector<ZipDirectoryEntry> entries;
  if (ReadZipDirectory(narrow, entries) != 0) return 1;
  for (ZipDirectoryEntry& entry : entries) {
    std::wstring name = Normalize(DecodeEntryName(entry.rawName, entry.info.flag));
    entries_.emplace(std::move(name), std::move(entry));
  }
  path_ = narrow;
  open_ = true;
  return 0;
}

int CZipReader::GetListing(std::wstring path, std::list<ZipFileInfo>& entries) {
  if (entries_.empty()) return 3;
  std::wstring prefix = Normalize(std::move(path));
  if (!prefix.empty() && prefix.back() != L'/') prefix += L'/';

  bool found = prefix.empty();
  std::set<std::wstring> folders;
  for (auto it = entries_.lower_bound(prefix);
       it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    found = true;
    const std::wstring rest = it->first.substr(prefix.size());
    if (rest.empty()) continue;  // the folder itself
    const unz_file_info64& info = it->second.info;
    const std::size_t slash = rest.find(L'/');
    ZipFileInfo item;
    if (slash == std::wstring::npos) {
      item.name = rest;
      item.uncompressedSize = info.uncompressed_size;
      item.compressedSize = info.compressed_size;
      item.crc = static_cast<uint32_t>(info.crc);
      item.dosDate = static_cast<uint32_t>(info.dosDate);
    } else {
      item.name = rest.substr(0, slash + 1);
      item.isDirectory = true;
      if (!folders.insert(item.name).second) continue;
      if (slash + 1 == rest.size()) item.dosDate = static_cast<uint32_t>(info.dosDate);
    }
    entries.push_back(std::move(item));
  }
  return found ? 0 : 3;
}

int CZipReader::GetFileInfo(const wchar_t* path, unz_file_info64* info) {
  if (path == nullptr || info == nullptr) return 1;
  const auto it = entries_.find(Normalize(path));
  if (it == entries_.end()) return 3;
  *info = it->second.info;
  return 0;
}

int CZipReader::OpenFile(const wchar_t* path, bool raw) {
  if (!open_ || path == nullptr) return 1;
  const auto it = entries_.find(Normalize(path));
  if (it == entries_.end()) return 3;
  entry_.Close();
  if (entry_.Open(path_, it->second, raw) != 0) return 1;
  raw_ = raw;
  return 0;
}

int CZipReader::ReadFile(unsigned char* buffer, unsigned int& size) {
  if (!open_) {
    size = 0;
    return 1;
  }
  if (size == 0) return 0;
  return entry_.Read(buffer, size);
}

int CZipReader::CloseFile() {
  entry_.Close();
  return 0;
}

int CZipReader::CloseZip() {
  entry_.Close();
  entries_.clear();
  path_.clear();
  open_ = false;
  return 0;
}
