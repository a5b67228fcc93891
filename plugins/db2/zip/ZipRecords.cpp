#include "plugins/db2/zip/ZipRecords.h"

namespace {

constexpr uint16_t kZip64ExtraTag = 0x0001;
constexpr uint32_t kSeeZip64Field32 = 0xFFFFFFFF;
constexpr uint16_t kSeeZip64Field16 = 0xFFFF;

class ByteWriter {
 public:
  explicit ByteWriter(std::size_t reserve) { bytes_.reserve(reserve); }
  void U16(uint16_t v) { Put(v, 2); }
  void U32(uint32_t v) { Put(v, 4); }
  void U64(uint64_t v) { Put(v, 8); }
  void Bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
  }
  std::vector<unsigned char> Take() { return std::move(bytes_); }

 private:
  void Put(uint64_t v, int count) {
    for (int i = 0; i < count; ++i) bytes_.push_back(static_cast<unsigned char>(v >> (8 * i)));
  }
  std::vector<unsigned char> bytes_;
};

uint64_t Read(const unsigned char* p, int count) {
  uint64_t v = 0;
  for (int i = count - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint16_t Read16(const unsigned char* p) { return static_cast<uint16_t>(Read(p, 2)); }
uint32_t Read32(const unsigned char* p) { return static_cast<uint32_t>(Read(p, 4)); }
uint64_t Read64(const unsigned char* p) { return Read(p, 8); }

}  // namespace

void ZipFileHeader::Clear() {
  versionMadeBy = 0;
  versionNeeded = 0;
  flags = 0;
  method = zip::kMethodDeflate;
  modificationTime = 0;
  modificationDate = 0;
  crc = 0;
  compressedSize = 0;
  uncompressedSize = 0;
  name.clear();
  extra.clear();
  comment.clear();
  diskNumberStart = 0;
  internalAttributes = 0;
  externalAttributes = 0;
  localHeaderOffset = 0;
  hasZip64Extra = false;
}

std::vector<unsigned char> ZipFileHeader::GetLocalFileHeader() {
  ByteWriter extraBlock(zip::kLocalZip64ExtraLength);
  extraBlock.U16(kZip64ExtraTag);
  extraBlock.U16(16);
  extraBlock.U64(uncompressedSize);
  extraBlock.U64(compressedSize);
  extra = extraBlock.Take();

  ByteWriter w(zip::kLocalFileHeaderLength + name.size() + extra.size());
  w.U32(zip::kLocalFileHeaderSignature);
  w.U16(zip::kZip64Version);
  w.U16(flags);
  w.U16(method);
  w.U16(modificationTime);
  w.U16(modificationDate);
  w.U32(crc);
  w.U32(kSeeZip64Field32);
  w.U32(kSeeZip64Field32);
  w.U16(static_cast<uint16_t>(name.size()));
  w.U16(static_cast<uint16_t>(extra.size()));
  w.Bytes(name.data(), name.size());
  w.Bytes(extra.data(), extra.size());
  return w.Take();
}

std::vector<unsigned char> ZipFileHeader::GetCentralFileHeader() {
  ByteWriter extraBlock(zip::kCentralZip64ExtraLength);
  extraBlock.U16(kZip64ExtraTag);
  extraBlock.U16(24);
  extraBlock.U64(uncompressedSize);
  extraBlock.U64(compressedSize);
  extraBlock.U64(localHeaderOffset);
  extra = extraBlock.Take();

  ByteWriter w(zip::kCentralFileHeaderLength + name.size() + extra.size() + comment.size());
  w.U32(zip::kCentralFileHeaderSignature);
  w.U16(zip::kZip64Version);
  w.U16(zip::kZip64Version);
  w.U16(flags);
  w.U16(method);
  w.U16(modificationTime);
  w.U16(modificationDate);
  w.U32(crc);
  w.U32(kSeeZip64Field32);
  w.U32(kSeeZip64Field32);
  w.U16(static_cast<uint16_t>(name.size()));
  w.U16(static_cast<uint16_t>(extra.size()));
  w.U16(static_cast<uint16_t>(comment.size()));
  w.U16(diskNumberStart);
  w.U16(internalAttributes);
  w.U32(externalAttributes);
  w.U32(kSeeZip64Field32);
  w.Bytes(name.data(), name.size());
  w.Bytes(extra.data(), extra.size());
  w.Bytes(comment.data(), comment.size());
  return w.Take();
}

std::vector<unsigned char> ZipFileHeader::GetLocalDataDescriptor(bool withSignature) const {
  ByteWriter w(zip::kDataDescriptorLength);
  if (withSignature) w.U32(zip::kDataDescriptorSignature);
  w.U32(crc);
  w.U64(compressedSize);
  w.U64(uncompressedSize);
  return w.Take();
}

unsigned int ZipFileHeader::LoadLocalFileHeader(const unsigned char* data, unsigned int length) {
  constexpr unsigned int kFixed = zip::kLocalFileHeaderLength - 4;
  if (data == nullptr || length < kFixed) return 0;
  const unsigned int nameLength = Read16(data + 22);
  const unsigned int extraLength = Read16(data + 24);
  const unsigned int total = kFixed + nameLength + extraLength;
  if (length < total) return 0;

  Clear();
  versionNeeded = Read16(data);
  flags = Read16(data + 2);
  method = Read16(data + 4);
  modificationTime = Read16(data + 6);
  modificationDate = Read16(data + 8);
  crc = Read32(data + 10);
  compressedSize = Read32(data + 14);
  uncompressedSize = Read32(data + 18);
  name.assign(reinterpret_cast<const char*>(data + kFixed), nameLength);
  extra.assign(data + kFixed + nameLength, data + total);

  // Walk the extra blocks: 16-bit tag, 16-bit data size, data.
  std::size_t pos = 0;
  while (pos + 4 <= extra.size()) {
    const uint16_t tag = Read16(extra.data() + pos);
    const std::size_t size = Read16(extra.data() + pos + 2);
    if (pos + 4 + size > extra.size()) break;
    if (tag == kZip64ExtraTag && size >= 16) {
      uncompressedSize = Read64(extra.data() + pos + 4);
      compressedSize = Read64(extra.data() + pos + 12);
      hasZip64Extra = true;
    }
    pos += 4 + size;
  }
  return total;
}

unsigned int ZipFileHeader::LoadLocalDataDescriptor(const unsigned char* data, unsigned int length) {
  if (data == nullptr || length < zip::kDataDescriptorLength - 4) return 0;
  crc = Read32(data);
  compressedSize = Read64(data + 4);
  uncompressedSize = Read64(data + 12);
  return zip::kDataDescriptorLength - 4;
}

std::vector<unsigned char> EndOfCentralDirectory::GetZip64EndOfCentralDirectory() const {
  ByteWriter w(zip::kZip64EndOfCentralDirectoryLength);
  w.U32(zip::kZip64EndOfCentralDirectorySignature);
  w.U64(zip::kZip64EndOfCentralDirectoryLength - 12);
  w.U16(zip::kZip64Version);
  w.U16(zip::kZip64Version);
  w.U32(0);
  w.U32(0);
  w.U64(entries);
  w.U64(entries);
  w.U64(centralDirectorySize);
  w.U64(centralDirectoryOffset);
  return w.Take();
}

std::vector<unsigned char> EndOfCentralDirectory::GetZip64EndOfCentralDirectoryLocator() const {
  ByteWriter w(zip::kZip64EndOfCentralDirectoryLocatorLength);
  w.U32(zip::kZip64EndOfCentralDirectoryLocatorSignature);
  w.U32(0);
  w.U64(zip64EndOffset);
  w.U32(1);
  return w.Take();
}

std::vector<unsigned char> EndOfCentralDirectory::GetEndOfCentralDirectory() const {
  ByteWriter w(zip::kEndOfCentralDirectoryLength + comment.size());
  w.U32(zip::kEndOfCentralDirectorySignature);
  w.U16(0);
  w.U16(0);
  w.U16(kSeeZip64Field16);
  w.U16(kSeeZip64Field16);
  w.U32(kSeeZip64Field32);
  w.U32(kSeeZip64Field32);
  w.U16(static_cast<uint16_t>(comment.size()));
  w.Bytes(comment.data(), comment.size());
  return w.Take();
}
