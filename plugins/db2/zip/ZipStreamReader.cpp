#include "plugins/db2/zip/ZipStreamReader.h"

#include <array>
#include <cstring>

#include "plugin-api/ResultCodes.h"

namespace {

// Offset of the first local header signature in data, or size when none.
unsigned int FindSignature(const unsigned char* data, unsigned int size) {
  const unsigned char sig[4] = {static_cast<unsigned char>(zip::kLocalFileHeaderSignature),
                                static_cast<unsigned char>(zip::kLocalFileHeaderSignature >> 8),
                                static_cast<unsigned char>(zip::kLocalFileHeaderSignature >> 16),
                                static_cast<unsigned char>(zip::kLocalFileHeaderSignature >> 24)};
  for (unsigned int i = 0; i + 4 <= size; ++i) {
    const void* hit = std::memchr(data + i, sig[0], size - i - 3);
    if (hit == nullptr) break;
    i = static_cast<unsigned int>(static_cast<const unsigned char*>(hit) - data);
    if (std::memcmp(data + i, sig, 4) == 0) return i;
  }
  return size;
}

// The CRC-32 and sizes the local header states.
ZipEntrySums HeaderSums(const ZipFileHeader& header) {
  ZipEntrySums sums;
  sums.crc = header.crc;
  sums.compressedSize = header.compressedSize;
  sums.uncompressedSize = header.uncompressedSize;
  return sums;
}

// Without a data descriptor the header's sizes are binding.
bool SizesAreStated(const ZipFileHeader& header) { return (header.flags & zip::kFlagDataDescriptor) == 0; }

}  // namespace

CZipStreamReader::CZipStreamReader() : buffer_(new unsigned char[kBufferSize]) {}

CZipStreamReader::~CZipStreamReader() { CloseZip(); }

int CZipStreamReader::OpenZip(IZipFilterInputReader* input) {
  if (input == nullptr) return zr::kFailed;
  CloseZip();
  input_ = input;
  start_ = 0;
  buffered_ = 0;
  header_.Clear();
  headerLoaded_ = entryEnded_ = streamEnded_ = false;
  open_ = inflater_.Start(nullptr);
  return open_ ? zr::kSuccess : zr::kFailed;
}

int CZipStreamReader::OpenCurrentFile(ZipFileHeader*& header) {
  if (!open_ || streamEnded_) return zr::kFailed;
  // A new entry follows the current one, whether or not it was read to its
  // end: the search starts after what was consumed so far.
  headerLoaded_ = entryEnded_ = false;
  statedCrcs_.clear();
  const int loaded = LoadNextHeader();
  if (loaded == zr::kHandleEof) return zr::kFailed;
  if (loaded != zr::kSuccess) return Fail();
  headerLoaded_ = true;
  if ((header_.flags & zip::kFlagEncrypted) != 0 || header_.method != zip::kMethodDeflate) {
    // Only deflated, unencrypted data can be inflated and verified.
    return Fail();
  }
  const ZipEntrySums stated = HeaderSums(header_);
  if (!inflater_.Start(SizesAreStated(header_) ? &stated : nullptr, !crcByCaller_)) return Fail();
  header = &header_;
  return zr::kSuccess;
}

int CZipStreamReader::ReadFile(unsigned char* buffer, unsigned int& size) {
  if (!open_ || !headerLoaded_) return NoData(size, zr::kFailed);
  if (entryEnded_) return NoData(size, zr::kHandleEof);
  if (size == 0) return zr::kSuccess;
  if (buffer == nullptr) return NoData(size, zr::kFailed);
  const ZipInflater::Step step = inflater_.Inflate(*this, buffer, size);
  if (step == ZipInflater::Step::kData) return zr::kSuccess;
  if (step == ZipInflater::Step::kEnded) {
    entryEnded_ = true;
    if (VerifyEntry() == zr::kSuccess) return zr::kSuccess;
  }
  size = 0;
  return Fail();
}

int CZipStreamReader::CloseFile() {
  entryEnded_ = true;
  return zr::kSuccess;
}

int CZipStreamReader::CloseZip() {
  if (input_ == nullptr) return zr::kSuccess;
  inflater_.End();
  open_ = false;
  input_ = nullptr;
  return zr::kSuccess;
}

int CZipStreamReader::LoadNextHeader() {
  bool signatureFound = false;
  for (;;) {
    if (!signatureFound) {
      const unsigned int at = FindSignature(Data(), buffered_);
      if (at < buffered_) {
        Consume(at + 4);
        signatureFound = true;
        continue;
      }
      // A signature may straddle two reads: keep the last 3 bytes.
      if (buffered_ > 3) Consume(buffered_ - 3);
    } else {
      const unsigned int used = header_.LoadLocalFileHeader(Data(), buffered_);
      if (used != 0) {
        Consume(used);
        return zr::kSuccess;
      }
    }
    if (streamEnded_) return zr::kHandleEof;
    if (!ReadMore()) return zr::kFailed;
  }
}

int CZipStreamReader::ReadInput() {
  if (start_ != 0) {
    std::memmove(buffer_.get(), buffer_.get() + start_, buffered_);
    start_ = 0;
  }
  const unsigned int room = kBufferSize - buffered_;
  if (room == 0) return zr::kFailed;
  unsigned int size = room;
  const int result = input_->Read(buffer_.get() + buffered_, size);
  if (size > room) return zr::kFailed;                          // the input overran the buffer
  if (result == zr::kSuccess && size == 0) return zr::kFailed;  // no progress and no end: never loop
  if (result == zr::kSuccess || result == zr::kHandleEof) buffered_ += size;
  return result;
}

bool CZipStreamReader::Fill() {
  // Inside an entry even the input's end is a failure.
  return ReadInput() == zr::kSuccess;
}

bool CZipStreamReader::ReadMore() {
  const int result = ReadInput();
  if (result == zr::kHandleEof) streamEnded_ = true;
  return result == zr::kSuccess || result == zr::kHandleEof;
}

int CZipStreamReader::VerifyEntry() {
  // Without the CRC (left to the caller) a record whose sizes match is kept
  // for VerifyCrc; with it, the first record that matches all is taken.
  const auto take = [this](const ZipEntrySums& sums, unsigned int length) {
    if (!inflater_.Matches(sums)) return false;
    if (crcByCaller_) {
      statedCrcs_.push_back({sums.crc, length});
      return false;
    }
    Consume(length);
    return true;
  };
  if (SizesAreStated(header_)) {
    if (take(HeaderSums(header_), 0)) return zr::kSuccess;
    return statedCrcs_.empty() ? zr::kFailed : zr::kSuccess;
  }
  // The descriptor follows the data: CRC and sizes, 64-bit when the local
  // header has a Zip64 block, 32-bit otherwise, with or without signature.
  // The expected layout is tried first.
  while (buffered_ < zip::kDataDescriptorLength && !streamEnded_) {
    if (!ReadMore()) return zr::kFailed;
  }
  struct Layout {
    bool signature;
    int sizeBytes;
  };
  using Layouts = std::array<Layout, 4>;
  const Layouts zip64 = {{{true, 8}, {false, 8}, {true, 4}, {false, 4}}};
  const Layouts classic = {{{true, 4}, {false, 4}, {true, 8}, {false, 8}}};
  for (const Layout& layout : header_.hasZip64Extra ? zip64 : classic) {
    zip::ByteReader descriptor(Data(), buffered_);
    if (layout.signature && descriptor.U32() != zip::kDataDescriptorSignature) continue;
    ZipEntrySums sums;
    sums.crc = descriptor.U32();
    sums.compressedSize = descriptor.Uint(layout.sizeBytes);
    sums.uncompressedSize = descriptor.Uint(layout.sizeBytes);
    if (descriptor.ok() && take(sums, static_cast<unsigned int>(descriptor.position()))) return zr::kSuccess;
  }
  return statedCrcs_.empty() ? zr::kFailed : zr::kSuccess;
}

int CZipStreamReader::VerifyCrc(uint32_t crc) {
  if (!open_ || !entryEnded_) return Fail();
  for (const StatedCrc& stated : statedCrcs_) {
    if (stated.crc == crc) {
      Consume(stated.length);
      statedCrcs_.clear();
      return zr::kSuccess;
    }
  }
  statedCrcs_.clear();
  return Fail();
}

int CZipStreamReader::Fail() {
  inflater_.End();
  open_ = false;
  return zr::kFailed;
}

void CZipStreamReader::Consume(unsigned int count) {
  start_ += count;
  buffered_ -= count;
  if (buffered_ == 0) start_ = 0;
}
