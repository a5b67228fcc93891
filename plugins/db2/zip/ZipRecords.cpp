#include "plugins/db2/zip/ZipRecords.h"

#include <initializer_list>

namespace {

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

// A Zip64 extra block holding `values` in order.
std::vector<unsigned char> Zip64Extra(std::initializer_list<uint64_t> values) {
  ByteWriter w(4 + 8 * values.size());
  w.U16(zip::kZip64ExtraTag);
  w.U16(static_cast<uint16_t>(8 * values.size()));
  for (uint64_t value : values) w.U64(value);
  return w.Take();
}

// The fields both file headers share, from the flags to the extra length;
// the sizes point to the Zip64 block.
void PutEntryFields(ByteWriter& w, const ZipFileHeader& header) {
  w.U16(header.flags);
  w.U16(header.method);
  w.U16(header.modificationTime);
  w.U16(header.modificationDate);
  w.U32(header.crc);
  w.U32(zip::kSeeZip64Field32);
  w.U32(zip::kSeeZip64Field32);
  w.U16(static_cast<uint16_t>(header.name.size()));
  w.U16(static_cast<uint16_t>(header.extra.size()));
}

}  // namespace

namespace zip {

uint64_t ByteReader::Uint(int bytes) {
  const unsigned char* p = Bytes(static_cast<std::size_t>(bytes));
  if (!ok_) return 0;
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

const unsigned char* ByteReader::Bytes(std::size_t count) {
  if (!ok_ || count > left()) {
    ok_ = false;
    return nullptr;
  }
  const unsigned char* p = data_ + position_;
  position_ += count;
  return p;
}

}  // namespace zip

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
  extra = Zip64Extra({uncompressedSize, compressedSize});
  ByteWriter w(zip::kLocalFileHeaderLength + name.size() + extra.size());
  w.U32(zip::kLocalFileHeaderSignature);
  w.U16(zip::kZip64Version);
  PutEntryFields(w, *this);
  w.Bytes(name.data(), name.size());
  w.Bytes(extra.data(), extra.size());
  return w.Take();
}

std::vector<unsigned char> ZipFileHeader::GetCentralFileHeader() {
  extra = Zip64Extra({uncompressedSize, compressedSize, localHeaderOffset});
  ByteWriter w(zip::kCentralFileHeaderLength + name.size() + extra.size() + comment.size());
  w.U32(zip::kCentralFileHeaderSignature);
  w.U16(zip::kZip64Version);
  w.U16(zip::kZip64Version);
  PutEntryFields(w, *this);
  w.U16(static_cast<uint16_t>(comment.size()));
  w.U16(diskNumberStart);
  w.U16(internalAttributes);
  w.U32(externalAttributes);
  w.U32(zip::kSeeZip64Field32);
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
  zip::ByteReader r(data, length);
  ZipFileHeader loaded;
  loaded.versionNeeded = r.U16();
  loaded.flags = r.U16();
  loaded.method = r.U16();
  loaded.modificationTime = r.U16();
  loaded.modificationDate = r.U16();
  loaded.crc = r.U32();
  loaded.compressedSize = r.U32();
  loaded.uncompressedSize = r.U32();
  const uint16_t nameLength = r.U16();
  const uint16_t extraLength = r.U16();
  const unsigned char* nameBytes = r.Bytes(nameLength);
  const unsigned char* extraBytes = r.Bytes(extraLength);
  if (!r.ok()) return 0;  // this header stays as it was

  loaded.name.assign(reinterpret_cast<const char*>(nameBytes), nameLength);
  loaded.extra.assign(extraBytes, extraBytes + extraLength);
  // A block that runs past the field ends the walk; the blocks before it count.
  (void)zip::ForEachExtraBlock(loaded.extra.data(), loaded.extra.size(),
                               [&loaded](uint16_t tag, zip::ByteReader block) {
                                 if (tag == zip::kZip64ExtraTag && block.left() >= 16) {
                                   loaded.uncompressedSize = block.U64();
                                   loaded.compressedSize = block.U64();
                                   loaded.hasZip64Extra = true;
                                 }
                                 return true;
                               });
  *this = std::move(loaded);
  return static_cast<unsigned int>(r.position());
}

unsigned int ZipFileHeader::LoadLocalDataDescriptor(const unsigned char* data, unsigned int length) {
  zip::ByteReader r(data, length);
  const uint32_t crcValue = r.U32();
  const uint64_t compressed = r.U64();
  const uint64_t uncompressed = r.U64();
  if (!r.ok()) return 0;
  crc = crcValue;
  compressedSize = compressed;
  uncompressedSize = uncompressed;
  return static_cast<unsigned int>(r.position());
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
  w.U16(zip::kSeeZip64Field16);
  w.U16(zip::kSeeZip64Field16);
  w.U32(zip::kSeeZip64Field32);
  w.U32(zip::kSeeZip64Field32);
  w.U16(static_cast<uint16_t>(comment.size()));
  w.Bytes(comment.data(), comment.size());
  return w.Take();
}
