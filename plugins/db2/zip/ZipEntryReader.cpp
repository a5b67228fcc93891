#include "plugins/db2/zip/ZipEntryReader.h"

#include <minizip/ioapi.h>

#include <exception>
#include <initializer_list>

#include "plugin-api/ResultCodes.h"
#include "plugins/db2/zip/Crc32.h"
#include "plugins/db2/zip/ZipRecords.h"
#include "zrlib/strings/Strings.h"

namespace {

constexpr unsigned int kInputSize = 256 * 1024;

struct UnzCloser {
  void operator()(void* zip) const { unzClose(static_cast<unzFile>(zip)); }
};
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

bool ReadAt(FILE* file, uint64_t at, void* data, std::size_t size) {
  if (at > static_cast<uint64_t>(INT64_MAX)) return false;
  if (fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0) return false;
  return size == 0 || std::fread(data, 1, size, file) == size;
}

// Replaces each of `fields` that holds the "see Zip64" value by the next
// 64-bit value of the Zip64 block, in order; false when the block is short.
bool TakeZip64Values(zip::ByteReader block, std::initializer_list<uint64_t*> fields) {
  for (uint64_t* field : fields) {
    if (*field != zip::kSeeZip64Field32) continue;
    const uint64_t value = block.U64();
    if (!block.ok()) return false;
    *field = value;
  }
  return true;
}

// Reads the central record at `at` and takes the 64-bit values of its Zip64
// block: each field whose 32-bit value is 0xFFFFFFFF follows there in order.
bool ReadCentralRecord(FILE* file, uint64_t at, ZipDirectoryEntry& entry) {
  unsigned char fixed[zip::kCentralFileHeaderLength];
  if (!ReadAt(file, at, fixed, sizeof(fixed))) return false;
  zip::ByteReader record(fixed, sizeof(fixed));
  if (record.U32() != zip::kCentralFileHeaderSignature) return false;
  record.Skip(16);  // versions, flags, method, time, date, CRC
  uint64_t compressed = record.U32();
  uint64_t uncompressed = record.U32();
  const std::size_t nameLength = record.U16();
  const std::size_t extraLength = record.U16();
  record.Skip(10);  // comment length, disk, attributes
  uint64_t offset = record.U32();
  std::vector<unsigned char> variable(nameLength + extraLength);
  if (!variable.empty() && std::fread(variable.data(), 1, variable.size(), file) != variable.size()) {
    return false;
  }
  entry.rawName.assign(variable.begin(), variable.begin() + static_cast<long>(nameLength));
  const auto takeZip64 = [&](uint16_t tag, zip::ByteReader block) {
    return tag != zip::kZip64ExtraTag || TakeZip64Values(block, {&uncompressed, &compressed, &offset});
  };
  if (!zip::ForEachExtraBlock(variable.data() + nameLength, extraLength, takeZip64)) return false;
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
  zip::ByteReader r(bytes, kSize);
  const uint32_t zip64EndSignature = r.U32();
  r.Skip(20);  // record size, versions, disk numbers
  const uint64_t diskEntries = r.U64();
  const uint64_t entries = r.U64();
  const uint64_t directorySize = r.U64();
  r.Skip(8);  // directory offset
  const uint32_t locatorSignature = r.U32();
  r.Skip(4);  // disk number
  const uint64_t zip64EndOffset = r.U64();
  r.Skip(4);  // disk count
  const uint32_t endSignature = r.U32();
  r.Skip(16);  // disk numbers, counts, directory size and offset
  const uint16_t commentLength = r.U16();
  return zip64EndSignature == zip::kZip64EndOfCentralDirectorySignature && diskEntries == 0 && entries == 0 &&
         directorySize == 0 && locatorSignature == zip::kZip64EndOfCentralDirectoryLocatorSignature &&
         zip64EndOffset == 0 && endSignature == zip::kEndOfCentralDirectorySignature && commentLength == 0;
}

// Positions `file` at the data of the entry whose local header starts at
// `at`; false when there is no local header.
bool SeekToData(FILE* file, uint64_t at) {
  unsigned char fixed[zip::kLocalFileHeaderLength];
  if (!ReadAt(file, at, fixed, sizeof(fixed))) return false;
  zip::ByteReader header(fixed, sizeof(fixed));
  if (header.U32() != zip::kLocalFileHeaderSignature) return false;
  header.Skip(22);  // version, flags, method, time, date, CRC, sizes
  const uint64_t nameLength = header.U16();
  const uint64_t extraLength = header.U16();
  return ReadAt(file, at + sizeof(fixed) + nameLength + extraLength, nullptr, 0);
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
  if (!zip) return IsEmptyZip64Archive(path) ? zr::kSuccess : zr::kFailed;
  unzFile uf = static_cast<unzFile>(zip.get());
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(uf, &global) != UNZ_OK) return zr::kFailed;
  if (global.number_entry == 0) return zr::kSuccess;
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return zr::kFailed;
  for (int step = unzGoToFirstFile(uf); step != UNZ_END_OF_LIST_OF_FILE; step = unzGoToNextFile(uf)) {
    if (step != UNZ_OK) return zr::kFailed;
    ZipDirectoryEntry entry;
    if (unzGetCurrentFileInfo64(uf, &entry.info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
        unzGetFilePos64(uf, &entry.position) != UNZ_OK ||
        !ReadCentralRecord(file.get(), unzGetOffset64(uf), entry)) {
      return zr::kFailed;
    }
    entries.push_back(std::move(entry));
  }
  return zr::kSuccess;
}

ZipEntryReader::ZipEntryReader() : input_(new unsigned char[kInputSize]()) {}

ZipEntryReader::~ZipEntryReader() { Close(); }

int ZipEntryReader::Open(const std::string& path, const ZipDirectoryEntry& entry, bool raw) {
  Close();
  const unsigned long method = entry.info.compression_method;
  if (!raw && ((entry.info.flag & zip::kFlagEncrypted) != 0 ||
               (method != zip::kMethodStored && method != zip::kMethodDeflate))) {
    return zr::kFailed;
  }
  file_.reset(std::fopen(path.c_str(), "rb"));
  raw_ = raw;
  inflating_ = !raw && method == zip::kMethodDeflate;
  expected_.crc = static_cast<uint32_t>(entry.info.crc);
  expected_.compressedSize = entry.info.compressed_size;
  expected_.uncompressedSize = entry.info.uncompressed_size;
  // The directory's sizes are binding: output past them fails at once.
  if (!file_ || !SeekToData(file_.get(), entry.localHeaderOffset) ||
      (inflating_ && !inflater_.Start(&expected_))) {
    Close();
    return zr::kFailed;
  }
  compressedLeft_ = entry.info.compressed_size;
  inputStart_ = inputSize_ = 0;
  delivered_ = 0;
  crc_ = crc32(0, nullptr, 0);
  return zr::kSuccess;
}

int ZipEntryReader::Read(unsigned char* buffer, unsigned int& size) {
  if (failed_ || !file_ || buffer == nullptr) return NoData(size, zr::kFailed);
  if (ended_) return NoData(size, zr::kHandleEof);
  if (size == 0) return zr::kSuccess;
  const ZipInflater::Step step = inflating_ ? inflater_.Inflate(*this, buffer, size) : Copy(buffer, size);
  if (step == ZipInflater::Step::kFailed || (step == ZipInflater::Step::kEnded && !Verified())) {
    failed_ = true;
    return NoData(size, zr::kFailed);
  }
  if (step == ZipInflater::Step::kEnded) {
    ended_ = true;
    if (size == 0) return zr::kHandleEof;
  }
  return zr::kSuccess;
}

void ZipEntryReader::Close() {
  file_.reset();
  inflater_.End();
  inflating_ = false;
  ended_ = false;
  failed_ = false;
}

ZipInflater::Step ZipEntryReader::Copy(unsigned char* buffer, unsigned int& size) {
  if (compressedLeft_ == 0) {
    size = 0;
    return ZipInflater::Step::kEnded;
  }
  const unsigned int n = compressedLeft_ < size ? static_cast<unsigned int>(compressedLeft_) : size;
  if (std::fread(buffer, 1, n, file_.get()) != n) {
    size = 0;
    return ZipInflater::Step::kFailed;
  }
  compressedLeft_ -= n;
  delivered_ += n;
  if (!raw_) crc_ = zip::Crc32(static_cast<uint32_t>(crc_), buffer, n);
  size = n;
  return ZipInflater::Step::kData;
}

bool ZipEntryReader::Verified() const {
  if (inflating_) return inflater_.Matches(expected_);
  // Raw bytes are the stored ones: their count is the compressed size.
  if (raw_) return delivered_ == expected_.compressedSize;
  return delivered_ == expected_.uncompressedSize && static_cast<uint32_t>(crc_) == expected_.crc;
}

void ZipEntryReader::Consume(unsigned int count) {
  inputStart_ += count;
  inputSize_ -= count;
}

bool ZipEntryReader::Fill() {
  if (compressedLeft_ == 0) return false;
  const unsigned int n =
      compressedLeft_ < kInputSize ? static_cast<unsigned int>(compressedLeft_) : kInputSize;
  if (std::fread(input_.get(), 1, n, file_.get()) != n) return false;
  compressedLeft_ -= n;
  inputStart_ = 0;
  inputSize_ = n;
  return true;
}
