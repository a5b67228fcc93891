#include "plugins/db2/zip/ZipStreamReader.h"

#include <cstring>

namespace {

uint64_t ReadLittle(const unsigned char* p, int count) {
  uint64_t v = 0;
  for (int i = count - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Offset of the first local header signature in data, or size when none.
unsigned int FindSignature(const unsigned char* data, unsigned int size) {
  const unsigned char sig[4] = {0x50, 0x4b, 0x03, 0x04};
  for (unsigned int i = 0; i + 4 <= size; ++i) {
    const void* hit = std::memchr(data + i, sig[0], size - i - 3);
    if (hit == nullptr) break;
    i = static_cast<unsigned int>(static_cast<const unsigned char*>(hit) - data);
    if (std::memcmp(data + i, sig, 4) == 0) return i;
  }
  return size;
}

}  // namespace

CZipStreamReader::CZipStreamReader() : buffer_(new unsigned char[kBufferSize]) {}

CZipStreamReader::~CZipStreamReader() { CloseZip(); }

int CZipStreamReader::OpenZip(IZipFilterInputReader* input) {
  if (input == nullptr) return 1;
  CloseZip();
  input_ = input;
  start_ = 0;
  buffered_ = 0;
  header_.Clear();
  signatureFound_ = headerLoaded_ = entryEnded_ = streamEnded_ = false;
  crc_ = crc32(0, nullptr, 0);
  compressedRead_ = uncompressedRead_ = 0;
  stream_ = z_stream{};
  open_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
  return open_ ? 0 : 1;
}

int CZipStreamReader::OpenCurrentFile(ZipFileHeader*& header) {
  if (!open_ || streamEnded_) return 1;
  if (headerLoaded_) {
    // A new entry follows the current one, whether or not it was read to
    // its end: the search starts after what was consumed so far.
    signatureFound_ = headerLoaded_ = entryEnded_ = false;
    if (inflateReset(&stream_) != Z_OK) return Fail();
  }
  for (;;) {
    if (!signatureFound_) {
      const unsigned int at = FindSignature(Data(), buffered_);
      if (at < buffered_) {
        Consume(at + 4);
        signatureFound_ = true;
        continue;
      }
      // A signature may straddle two reads: keep the last 3 bytes.
      if (buffered_ > 3) Consume(buffered_ - 3);
    } else {
      const unsigned int used = header_.LoadLocalFileHeader(Data(), buffered_);
      if (used != 0) {
        Consume(used);
        headerLoaded_ = true;
        if ((header_.flags & zip::kFlagEncrypted) != 0 || header_.method != zip::kMethodDeflate) {
          // Only deflated, unencrypted data can be inflated and verified.
          return Fail();
        }
        crc_ = crc32(0, nullptr, 0);
        compressedRead_ = uncompressedRead_ = 0;
        header = &header_;
        return 0;
      }
    }
    if (streamEnded_) return 1;
    const int result = Fill();
    if (result == 5) {
      streamEnded_ = true;
    } else if (result != 0) {
      return Fail();
    }
  }
}

int CZipStreamReader::ReadFile(unsigned char* buffer, unsigned int& size) {
  if (!open_ || !headerLoaded_) {
    size = 0;
    return 1;
  }
  if (entryEnded_) {
    size = 0;
    return 5;
  }
  if (size == 0) return 0;
  if (buffer == nullptr) {
    size = 0;
    return 1;
  }
  // Without a data descriptor the header's sizes are binding: one byte past the
  // stated size is enough to know the entry lies, so no more is inflated.
  const bool stated = (header_.flags & zip::kFlagDataDescriptor) == 0;
  unsigned int room = size;
  if (stated) {
    const uint64_t left =
        header_.uncompressedSize > uncompressedRead_ ? header_.uncompressedSize - uncompressedRead_ : 0;
    if (left < room) room = static_cast<unsigned int>(left) + 1;
  }
  stream_.next_out = buffer;
  stream_.avail_out = room;
  for (;;) {
    stream_.next_in = Data();
    stream_.avail_in = buffered_;
    const int z = inflate(&stream_, Z_SYNC_FLUSH);
    const unsigned int taken = buffered_ - stream_.avail_in;
    Consume(taken);
    compressedRead_ += taken;
    const unsigned int produced = room - stream_.avail_out;
    if (stated && (uncompressedRead_ + produced > header_.uncompressedSize ||
                   compressedRead_ > header_.compressedSize)) {
      size = 0;
      return Fail();
    }
    if (z == Z_STREAM_END) {
      size = produced;
      uncompressedRead_ += produced;
      crc_ = crc32(crc_, buffer, produced);
      entryEnded_ = true;
      if (inflateReset(&stream_) != Z_OK || VerifyEntry() != 0) {
        size = 0;
        return Fail();
      }
      return 0;
    }
    if (z == Z_BUF_ERROR && buffered_ == 0) {
      // Inflate needs input; the input may not end inside an entry.
      if (Fill() != 0) {
        size = 0;
        return Fail();
      }
      continue;
    }
    if (z != Z_OK) {
      size = 0;
      return Fail();
    }
    if (stream_.avail_out == 0) {
      uncompressedRead_ += produced;
      crc_ = crc32(crc_, buffer, produced);
      return 0;
    }
    if (buffered_ != 0) {
      // Input and room left, yet inflate stopped.
      size = 0;
      return Fail();
    }
  }
}

int CZipStreamReader::CloseFile() {
  entryEnded_ = true;
  return 0;
}

int CZipStreamReader::CloseZip() {
  if (input_ == nullptr) return 0;
  if (open_) inflateEnd(&stream_);
  open_ = false;
  input_ = nullptr;
  return 0;
}

int CZipStreamReader::Fill() {
  if (start_ != 0) {
    std::memmove(buffer_.get(), buffer_.get() + start_, buffered_);
    start_ = 0;
  }
  const unsigned int room = kBufferSize - buffered_;
  if (room == 0) return 1;
  unsigned int size = room;
  const int result = input_->Read(buffer_.get() + buffered_, size);
  if (size > room) return 1;               // the input overran the buffer
  if (result == 0 && size == 0) return 1;  // no progress and no end: never loop
  if (result == 0 || result == 5) buffered_ += size;
  return result;
}

int CZipStreamReader::VerifyEntry() {
  const uint32_t crc = static_cast<uint32_t>(crc_);
  if ((header_.flags & zip::kFlagDataDescriptor) == 0) {
    return header_.crc == crc && header_.compressedSize == compressedRead_ &&
                   header_.uncompressedSize == uncompressedRead_
               ? 0
               : 1;
  }
  // The descriptor follows the data: CRC and sizes, 64-bit when the local
  // header has a Zip64 block, 32-bit otherwise, with or without signature.
  // The expected layout is tried first; any layout whose values all match
  // the entry is taken.
  constexpr unsigned int kLongest = 24;
  while (buffered_ < kLongest && !streamEnded_) {
    const int result = Fill();
    if (result == 5) {
      streamEnded_ = true;
    } else if (result != 0) {
      return 1;
    }
  }
  struct Layout {
    bool signature;
    int sizeBytes;
  };
  const Layout zip64[] = {{true, 8}, {false, 8}, {true, 4}, {false, 4}};
  const Layout classic[] = {{true, 4}, {false, 4}, {true, 8}, {false, 8}};
  const Layout* layouts = header_.hasZip64Extra ? zip64 : classic;
  for (int i = 0; i < 4; ++i) {
    const Layout& layout = layouts[i];
    const unsigned int length = (layout.signature ? 4 : 0) + 4 + 2 * layout.sizeBytes;
    if (buffered_ < length) continue;
    const unsigned char* p = Data();
    if (layout.signature) {
      if (ReadLittle(p, 4) != zip::kDataDescriptorSignature) continue;
      p += 4;
    }
    if (ReadLittle(p, 4) == crc && ReadLittle(p + 4, layout.sizeBytes) == compressedRead_ &&
        ReadLittle(p + 4 + layout.sizeBytes, layout.sizeBytes) == uncompressedRead_) {
      Consume(length);
      return 0;
    }
  }
  return 1;
}

int CZipStreamReader::Fail() {
  if (open_) inflateEnd(&stream_);
  open_ = false;
  return 1;
}

void CZipStreamReader::Consume(unsigned int count) {
  start_ += count;
  buffered_ -= count;
  if (buffered_ == 0) start_ = 0;
}
