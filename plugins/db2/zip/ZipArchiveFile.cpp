#include "plugins/db2/zip/ZipArchiveFile.h"

#include <minizip/ioapi.h>

#include <exception>

#include "plugins/db2/zip/ZipRecords.h"
#include "zrlib/strings/Strings.h"

namespace {

constexpr unsigned int kInputSize = 256 * 1024;
constexpr uint32_t kSeeZip64 = 0xFFFFFFFF;
constexpr uint16_t kZip64ExtraTag = 0x0001;

struct UnzCloser {
  void operator()(void* zip) const { unzClose(static_cast<unzFile>(zip)); }
};
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

uint64_t Le(const unsigned char* p, int count) {
  uint64_t v = 0;
  for (int i = count - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool ReadAt(FILE* file, uint64_t at, void* data, std::size_t size) {
  if (at > static_cast<uint64_t>(INT64_MAX)) return false;
  if (fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0) return false;
  return size == 0 || std::fread(data, 1, size, file) == size;
}

// Reads the central record at `at` and takes the 64-bit values of its Zip64
// block: each field whose 32-bit value is 0xFFFFFFFF follows there in order.
bool ReadCentralRecord(FILE* file, uint64_t at, ZipDirectoryEntry& entry) {
  unsigned char fixed[zip::kCentralFileHeaderLength];
  if (!ReadAt(file, at, fixed, sizeof(fixed))) return false;
  if (Le(fixed, 4) != zip::kCentralFileHeaderSignature) return false;
  const std::size_t nameLength = Le(fixed + 28, 2);
  const std::size_t extraLength = Le(fixed + 30, 2);
  std::vector<unsigned char> variable(nameLength + extraLength);
  if (!variable.empty() && std::fread(variable.data(), 1, variable.size(), file) != variable.size()) {
    return false;
  }
  entry.rawName.assign(variable.begin(), variable.begin() + static_cast<long>(nameLength));

  uint64_t compressed = Le(fixed + 20, 4);
  uint64_t uncompressed = Le(fixed + 24, 4);
  uint64_t offset = Le(fixed + 42, 4);
  const unsigned char* extra = variable.data() + nameLength;
  std::size_t pos = 0;
  while (pos + 4 <= extraLength) {
    const uint64_t tag = Le(extra + pos, 2);
    const std::size_t size = Le(extra + pos + 2, 2);
    if (pos + 4 + size > extraLength) return false;
    if (tag == kZip64ExtraTag) {
      const unsigned char* p = extra + pos + 4;
      const unsigned char* end = p + size;
      for (uint64_t* field : {&uncompressed, &compressed, &offset}) {
        if (*field != kSeeZip64) continue;
        if (end - p < 8) return false;
        *field = Le(p, 8);
        p += 8;
      }
    }
    pos += 4 + size;
  }
  entry.info.compressed_size = compressed;
  entry.info.uncompressed_size = uncompressed;
  entry.localHeaderOffset = offset;
  return true;
}

// True when the file holds only the end records of an archive without
// entries, which minizip cannot open: it takes a Zip64 end record at offset
// 0 for a missing one.
bool IsEmptyZip64Archive(const std::string& path) {
  constexpr std::size_t kSize = zip::kZip64EndOfCentralDirectoryLength +
                                zip::kZip64EndOfCentralDirectoryLocatorLength +
                                zip::kEndOfCentralDirectoryLength;
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  unsigned char bytes[kSize + 1];
  if (!file || std::fread(bytes, 1, sizeof(bytes), file.get()) != kSize) return false;
  const unsigned char* locator = bytes + zip::kZip64EndOfCentralDirectoryLength;
  const unsigned char* end = locator + zip::kZip64EndOfCentralDirectoryLocatorLength;
  return Le(bytes, 4) == zip::kZip64EndOfCentralDirectorySignature && Le(bytes + 24, 8) == 0 &&
         Le(bytes + 32, 8) == 0 && Le(bytes + 40, 8) == 0 &&
         Le(locator, 4) == zip::kZip64EndOfCentralDirectoryLocatorSignature && Le(locator + 8, 8) == 0 &&
         Le(end, 4) == zip::kEndOfCentralDirectorySignature && Le(end + 20, 2) == 0;
}

std::wstring Latin1(const std::string& raw) {
  std::wstring wide;
  wide.reserve(raw.size());
  for (unsigned char c : raw) wide += static_cast<wchar_t>(c);
  return wide;
}

}  // namespace

std::wstring DecodeEntryName(const std::string& raw, unsigned long flags) {
  if ((flags & zip::kFlagUtf8Name) != 0) {
    std::wstring wide = ZRLib::strings::UTF8toWstr(raw);
    // The conversion stops at an ill-formed sequence: only a whole name counts.
    if (ZRLib::strings::WstrToUTF8(wide) == raw) return wide;
    return Latin1(raw);
  }
  try {
    std::wstring wide = ZRLib::strings::toWstr(raw);
    if (!wide.empty() || raw.empty()) return wide;
  } catch (const std::exception&) {
    // Not text of the current locale.
  }
  return Latin1(raw);
}

int ReadZipDirectory(const std::string& path, std::vector<ZipDirectoryEntry>& entries) {
  entries.clear();
  zlib_filefunc64_def functions{};
  fill_fopen64_filefunc(&functions);
  std::unique_ptr<void, UnzCloser> zip(unzOpen2_64(path.c_str(), &functions));
  if (!zip) return IsEmptyZip64Archive(path) ? 0 : 1;
  unzFile uf = static_cast<unzFile>(zip.get());
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(uf, &global) != UNZ_OK) return 1;
  if (global.number_entry == 0) return 0;
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return 1;
  for (int step = unzGoToFirstFile(uf); step != UNZ_END_OF_LIST_OF_FILE; step = unzGoToNextFile(uf)) {
    if (step != UNZ_OK) return 1;
    ZipDirectoryEntry entry;
    if (unzGetCurrentFileInfo64(uf, &entry.info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
        unzGetFilePos64(uf, &entry.position) != UNZ_OK ||
        !ReadCentralRecord(file.get(), unzGetOffset64(uf), entry)) {
      return 1;
    }
    entries.push_back(std::move(entry));
  }
  return 0;
}

ZipEntryReader::ZipEntryReader() : input_(new unsigned char[kInputSize]()) {}

ZipEntryReader::~ZipEntryReader() { Close(); }

int ZipEntryReader::Open(const std::string& path, const ZipDirectoryEntry& entry, bool raw) {
  Close();
  const unsigned long method = entry.info.compression_method;
  if (!raw && ((entry.info.flag & zip::kFlagEncrypted) != 0 || (method != 0 && method != 8))) {
    return 1;
  }
  file_.reset(std::fopen(path.c_str(), "rb"));
  if (!file_) return 1;
  unsigned char fixed[zip::kLocalFileHeaderLength];
  if (!ReadAt(file_.get(), entry.localHeaderOffset, fixed, sizeof(fixed)) ||
      Le(fixed, 4) != zip::kLocalFileHeaderSignature) {
    Close();
    return 1;
  }
  const uint64_t data = entry.localHeaderOffset + sizeof(fixed) + Le(fixed + 26, 2) + Le(fixed + 28, 2);
  if (!ReadAt(file_.get(), data, nullptr, 0)) {
    Close();
    return 1;
  }

  raw_ = raw;
  stored_ = !raw && method == 0;
  compressedLeft_ = entry.info.compressed_size;
  delivered_ = 0;
  expectedSize_ = raw ? entry.info.compressed_size : entry.info.uncompressed_size;
  expectedCrc_ = static_cast<uint32_t>(entry.info.crc);
  crc_ = crc32(0, nullptr, 0);
  if (!raw && !stored_) {
    stream_ = z_stream{};
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) {
      Close();
      return 1;
    }
    inflating_ = true;
  }
  return 0;
}

int ZipEntryReader::Read(unsigned char* buffer, unsigned int& size) {
  if (failed_ || !file_ || buffer == nullptr) {
    size = 0;
    return 1;
  }
  if (ended_) {
    size = 0;
    return 5;
  }
  if (size == 0) return 0;

  bool end = false;
  unsigned int produced = 0;
  if (!inflating_) {
    if (compressedLeft_ == 0) {
      end = true;
    } else {
      const unsigned int n = compressedLeft_ < size ? static_cast<unsigned int>(compressedLeft_) : size;
      if (std::fread(buffer, 1, n, file_.get()) != n) {
        size = 0;
        return Fail();
      }
      compressedLeft_ -= n;
      produced = n;
    }
  } else {
    stream_.next_out = buffer;
    stream_.avail_out = size;
    while (stream_.avail_out > 0) {
      const int z = inflate(&stream_, Z_NO_FLUSH);
      if (z == Z_STREAM_END) {
        end = true;
        break;
      }
      if (z == Z_BUF_ERROR) {
        // Needs input: none left means the data is truncated.
        if (compressedLeft_ == 0 || !FillInput()) {
          size = 0;
          return Fail();
        }
        continue;
      }
      if (z != Z_OK) {
        size = 0;
        return Fail();
      }
    }
    produced = size - stream_.avail_out;
  }
  delivered_ += produced;
  if (!raw_) crc_ = crc32(crc_, buffer, produced);
  if (end) {
    const bool allUsed = compressedLeft_ == 0 && (!inflating_ || stream_.avail_in == 0);
    if (!allUsed || delivered_ != expectedSize_ || (!raw_ && static_cast<uint32_t>(crc_) != expectedCrc_)) {
      size = 0;
      return Fail();
    }
    ended_ = true;
    if (produced == 0) {
      size = 0;
      return 5;
    }
  }
  size = produced;
  return 0;
}

void ZipEntryReader::Close() {
  file_.reset();
  if (inflating_) inflateEnd(&stream_);
  inflating_ = false;
  stored_ = false;
  ended_ = false;
  failed_ = false;
}

int ZipEntryReader::Fail() {
  failed_ = true;
  return 1;
}

bool ZipEntryReader::FillInput() {
  const unsigned int n =
      compressedLeft_ < kInputSize ? static_cast<unsigned int>(compressedLeft_) : kInputSize;
  if (std::fread(input_.get(), 1, n, file_.get()) != n) return false;
  compressedLeft_ -= n;
  stream_.next_in = input_.get();
  stream_.avail_in = n;
  return true;
}
