// Records of a Zip64 archive: the local and central file headers with their
// data descriptor, and the three end records.
//
// The builders always produce the Zip64 form this writer uses: 32-bit sizes
// and offsets hold 0xFFFFFFFF and the real values sit in a Zip64 extra block.
// All multi-byte values are little-endian.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zip {

// Signatures of the records.
inline constexpr uint32_t kLocalFileHeaderSignature = 0x04034b50;
inline constexpr uint32_t kDataDescriptorSignature = 0x08074b50;
inline constexpr uint32_t kCentralFileHeaderSignature = 0x02014b50;
inline constexpr uint32_t kZip64EndOfCentralDirectorySignature = 0x06064b50;
inline constexpr uint32_t kZip64EndOfCentralDirectoryLocatorSignature = 0x07064b50;
inline constexpr uint32_t kEndOfCentralDirectorySignature = 0x06054b50;

// Fixed record lengths (without name, extra field and comment).
inline constexpr unsigned int kLocalFileHeaderLength = 30;
inline constexpr unsigned int kLocalZip64ExtraLength = 20;
inline constexpr unsigned int kCentralFileHeaderLength = 46;
inline constexpr unsigned int kCentralZip64ExtraLength = 28;
inline constexpr unsigned int kDataDescriptorLength = 24;  // with signature
inline constexpr unsigned int kZip64EndOfCentralDirectoryLength = 56;
inline constexpr unsigned int kZip64EndOfCentralDirectoryLocatorLength = 20;
inline constexpr unsigned int kEndOfCentralDirectoryLength = 22;

// Version made by and version needed of every record (Zip64).
inline constexpr uint16_t kZip64Version = 45;
// Extra block of the 64-bit sizes and offset, and the values of the 32-bit
// and 16-bit fields that say "the real value is in that block".
inline constexpr uint16_t kZip64ExtraTag = 0x0001;
inline constexpr uint32_t kSeeZip64Field32 = 0xFFFFFFFF;
inline constexpr uint16_t kSeeZip64Field16 = 0xFFFF;
// Flag bits.
inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8Name = 0x0800;
// Compression methods: stored and deflate.
inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflate = 8;
// Longest name a header can carry.
inline constexpr std::size_t kMaxNameLength = 0xFFFF;

// Reads little-endian values from a byte span, front to back. A read that
// would pass the end of the span returns 0, takes nothing and fails the
// reader: every later read then returns 0 too, and ok() stays false. The
// span is not owned and must outlive the reader.
class ByteReader {
 public:
  ByteReader(const unsigned char* data, std::size_t size) : data_(data), size_(data == nullptr ? 0 : size) {}

  uint16_t U16() { return static_cast<uint16_t>(Uint(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Uint(4)); }
  uint64_t U64() { return Uint(8); }
  // An unsigned value of `bytes` bytes. REQUIRES: 1 <= bytes <= 8.
  uint64_t Uint(int bytes);
  // The next `count` bytes (null when they are not all there), passed over.
  const unsigned char* Bytes(std::size_t count);
  // Passes over `count` bytes.
  void Skip(std::size_t count) { Bytes(count); }

  // False once a read passed the end.
  bool ok() const { return ok_; }
  // Bytes taken so far.
  std::size_t position() const { return position_; }
  // Bytes not taken yet.
  std::size_t left() const { return size_ - position_; }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

// Calls `visit(tag, block)` for each extra block of an extra field (16-bit
// tag, 16-bit data size, data), `block` reading that block's data, in order,
// while `visit` returns true. Returns false when `visit` returned false or a
// block runs past the end of the field (the blocks before it were visited);
// a tail shorter than a block header is ignored.
template <typename Visit>
bool ForEachExtraBlock(const unsigned char* field, std::size_t size, Visit visit) {
  ByteReader reader(field, size);
  while (reader.left() >= 4) {
    const uint16_t tag = reader.U16();
    const std::size_t length = reader.U16();
    const unsigned char* data = reader.Bytes(length);
    if (!reader.ok() || !visit(tag, ByteReader(data, length))) return false;
  }
  return true;
}

}  // namespace zip

// One entry of an archive as its headers describe it.
struct ZipFileHeader {
  ZipFileHeader() { Clear(); }

  // Everything 0 except method 8; name, extra field and comment empty; CRC of
  // no data (0).
  void Clear();

  // The local file header: 30 bytes, the name and a 20-byte Zip64 extra block
  // with the uncompressed and compressed size. The CRC field holds `crc`.
  // Resets `extra` to exactly that block. REQUIRES: name.size() <= 65535.
  std::vector<unsigned char> GetLocalFileHeader();
  // The central file header: 46 bytes, the name, a 28-byte Zip64 extra block
  // (uncompressed size, compressed size, local header offset) and the comment.
  // Resets `extra` to exactly that block.
  // REQUIRES: name.size() and comment.size() <= 65535.
  std::vector<unsigned char> GetCentralFileHeader();
  // The Zip64 data descriptor: signature, CRC, compressed size, uncompressed
  // size (24 bytes); without the signature the last 20 of them.
  std::vector<unsigned char> GetLocalDataDescriptor(bool withSignature) const;

  // Reads a local file header from `data`, which points just after its
  // signature. Returns the bytes used (26 + name + extra), or 0 when `length`
  // does not hold all of them. Sizes come from the 32-bit fields, replaced by
  // those of a Zip64 extra block (tag 1, at least 16 bytes) when there is one;
  // `hasZip64Extra` records whether there was.
  unsigned int LoadLocalFileHeader(const unsigned char* data, unsigned int length);
  // Reads a Zip64 data descriptor without signature (20 bytes): CRC,
  // compressed size, uncompressed size. Returns 20, or 0 when `length` < 20.
  unsigned int LoadLocalDataDescriptor(const unsigned char* data, unsigned int length);

  uint16_t versionMadeBy;
  uint16_t versionNeeded;
  uint16_t flags;
  uint16_t method;
  uint16_t modificationTime;
  uint16_t modificationDate;
  uint32_t crc;
  uint64_t compressedSize;
  uint64_t uncompressedSize;
  std::string name;  // raw bytes as stored (UTF-8 when flag bit 11 is set)
  std::vector<unsigned char> extra;
  std::string comment;
  uint16_t diskNumberStart;
  uint16_t internalAttributes;
  uint32_t externalAttributes;
  uint64_t localHeaderOffset;
  bool hasZip64Extra;  // set by LoadLocalFileHeader
};

// The end of an archive: Zip64 end record, its locator and the classic end
// record, whose counts, size and offset all hold their "see Zip64" values.
struct EndOfCentralDirectory {
  // 56 bytes.
  std::vector<unsigned char> GetZip64EndOfCentralDirectory() const;
  // 20 bytes.
  std::vector<unsigned char> GetZip64EndOfCentralDirectoryLocator() const;
  // 22 bytes and the comment. REQUIRES: comment.size() <= 65535.
  std::vector<unsigned char> GetEndOfCentralDirectory() const;

  uint64_t entries = 0;
  uint64_t centralDirectorySize = 0;
  uint64_t centralDirectoryOffset = 0;
  std::string comment;
  uint64_t zip64EndOffset = 0;
};
