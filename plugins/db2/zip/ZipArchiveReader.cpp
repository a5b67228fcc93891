#include "plugins/db2/zip/ZipArchiveReader.h"

#include <exception>
#include <set>
#include <vector>

#include "plugin-api/ResultCodes.h"
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
  if (open_ && CloseZip() != zr::kSuccess) return zr::kFailed;
  entries_.clear();
  if (path == nullptr) return zr::kFailed;
  std::string narrow;
  try {
    if (!ZRLib::filesystem::IsFileExists(path)) return zr::kPathNotFound;
    narrow = ZRLib::strings::toAstr(path);
  } catch (const std::exception&) {
    return zr::kFailed;
  }
  std::vector<ZipDirectoryEntry> entries;
  if (ReadZipDirectory(narrow, entries) != zr::kSuccess) return zr::kFailed;
  for (ZipDirectoryEntry& entry : entries) {
    std::wstring name = Normalize(DecodeEntryName(entry.rawName, entry.info.flag));
    entries_.emplace(std::move(name), std::move(entry));
  }
  path_ = narrow;
  open_ = true;
  return zr::kSuccess;
}

int CZipReader::GetListing(std::wstring path, std::list<ZipFileInfo>& entries) {
  if (entries_.empty()) return zr::kPathNotFound;
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
  return found ? zr::kSuccess : zr::kPathNotFound;
}

int CZipReader::GetFileInfo(const wchar_t* path, unz_file_info64* info) {
  if (path == nullptr || info == nullptr) return zr::kFailed;
  const auto it = entries_.find(Normalize(path));
  if (it == entries_.end()) return zr::kPathNotFound;
  *info = it->second.info;
  return zr::kSuccess;
}

int CZipReader::OpenFile(const wchar_t* path, bool raw) {
  if (!open_ || path == nullptr) return zr::kFailed;
  const auto it = entries_.find(Normalize(path));
  if (it == entries_.end()) return zr::kPathNotFound;
  entry_.Close();
  if (entry_.Open(path_, it->second, raw) != zr::kSuccess) return zr::kFailed;
  raw_ = raw;
  return zr::kSuccess;
}

int CZipReader::ReadFile(unsigned char* buffer, unsigned int& size) {
  if (!open_) return NoData(size, zr::kFailed);
  if (size == 0) return zr::kSuccess;
  return entry_.Read(buffer, size);
}

int CZipReader::CloseFile() {
  entry_.Close();
  return zr::kSuccess;
}

int CZipReader::CloseZip() {
  entry_.Close();
  entries_.clear();
  path_.clear();
  open_ = false;
  return zr::kSuccess;
}
