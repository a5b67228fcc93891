#include "plugins/db2/zip/ZipReader.h"

#include <climits>
#include <exception>
#include <memory>
#include <set>
#include <vector>

#include "plugins/db2/zip/ZipRecords.h"
#include "zrlib/filesystem/FileSystem.h"
#include "zrlib/strings/Strings.h"

namespace {

constexpr unsigned int kNameBufferSize = 65536;
// Largest read passed to minizip, whose result is an int.
constexpr unsigned int kMaxRead = 1u << 30;

// An entry name as wide text.
std::wstring DecodeName(const std::string& raw, unsigned long flags) {
  if ((flags & zip::kFlagUtf8Name) != 0) return ZRLib::strings::UTF8toWstr(raw);
  try {
    return ZRLib::strings::toWstr(raw);
  } catch (const std::bad_alloc&) {
    // Not text of the current locale: take each byte as one character.
    return std::wstring(raw.begin(), raw.end());
  }
}

}  // namespace

CZipReader::CZipReader() { fill_fopen64_filefunc(&functions_); }

CZipReader::~CZipReader() { CloseZip(); }

std::wstring CZipReader::Normalize(std::wstring path) {
  return ZRLib::strings::Replace(std::move(path), L"\\", L"/");
}

int CZipReader::OpenZip(const wchar_t* path) {
  if (zip_ != nullptr && CloseZip() != 0) return 1;
  entries_.clear();
  if (path == nullptr) return 1;
  std::string narrow;
  try {
    if (!ZRLib::filesystem::IsFileExists(path)) return 3;
    narrow = ZRLib::strings::toAstr(path);
  } catch (const std::exception&) {
    return 1;
  }
  zip_ = unzOpen2_64(narrow.c_str(), &functions_);
  if (zip_ == nullptr) return 1;
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zip_, &global) != UNZ_OK) {
    CloseZip();
    return 1;
  }
  std::unique_ptr<char[]> name(new char[kNameBufferSize]());
  int step = unzGoToFirstFile(zip_);
  while (step == UNZ_OK) {
    Entry entry{};
    if (unzGetCurrentFileInfo64(zip_, &entry.info, name.get(), kNameBufferSize, nullptr, 0, nullptr,
                                0) != UNZ_OK ||
        unzGetFilePos64(zip_, &entry.position) != UNZ_OK) {
      break;
    }
    const std::size_t size =
        entry.info.size_filename < kNameBufferSize ? entry.info.size_filename : kNameBufferSize;
    entries_.emplace(Normalize(DecodeName(std::string(name.get(), size), entry.info.flag)), entry);
    step = unzGoToNextFile(zip_);
  }
  if (step != UNZ_END_OF_LIST_OF_FILE) {
    CloseZip();
    return 1;
  }
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
  if (zip_ == nullptr || path == nullptr) return 1;
  const auto it = entries_.find(Normalize(path));
  if (it == entries_.end()) return 3;
  if (CloseFile() != 0) return 1;
  // Encrypted data can only be handed out as stored.
  if (!raw && (it->second.info.flag & zip::kFlagEncrypted) != 0) return 1;
  unz64_file_pos position = it->second.position;
  if (unzGoToFilePos64(zip_, &position) != UNZ_OK) return 1;
  if (unzOpenCurrentFile2(zip_, nullptr, nullptr, raw ? 1 : 0) != UNZ_OK) return 1;
  raw_ = raw;
  entryOpen_ = true;
  entryEnded_ = false;
  entryFailed_ = false;
  delivered_ = 0;
  expected_ = raw ? it->second.info.compressed_size : it->second.info.uncompressed_size;
  return 0;
}

int CZipReader::ReadFile(unsigned char* buffer, unsigned int& size) {
  if (zip_ == nullptr) {
    size = 0;
    return 1;
  }
  if (size == 0) return 0;
  if (entryFailed_) {
    size = 0;
    return 1;
  }
  if (entryEnded_) {
    size = 0;
    return 5;
  }
  if (!entryOpen_ || buffer == nullptr) {
    size = 0;
    return 1;
  }
  const int n = unzReadCurrentFile(zip_, buffer, size < kMaxRead ? size : kMaxRead);
  if (n > 0) {
    size = static_cast<unsigned int>(n);
    delivered_ += size;
    return 0;
  }
  size = 0;
  if (n < 0) {
    entryFailed_ = true;
    return 1;
  }
  // The end: a short entry or (inflated) a CRC mismatch is a failure.
  entryEnded_ = true;
  entryOpen_ = false;
  const int closed = unzCloseCurrentFile(zip_);
  if (closed != UNZ_OK || delivered_ != expected_) {
    entryFailed_ = true;
    return 1;
  }
  return 5;
}

int CZipReader::CloseFile() {
  entryEnded_ = false;
  entryFailed_ = false;
  if (zip_ == nullptr || !entryOpen_) return 0;
  entryOpen_ = false;
  return unzCloseCurrentFile(zip_) == UNZ_OK ? 0 : 1;
}

int CZipReader::CloseZip() {
  if (zip_ != nullptr) {
    if (entryOpen_) unzCloseCurrentFile(zip_);
    unzClose(zip_);
  }
  zip_ = nullptr;
  entryOpen_ = false;
  entryEnded_ = false;
  entryFailed_ = false;
  entries_.clear();
  return 0;
}
