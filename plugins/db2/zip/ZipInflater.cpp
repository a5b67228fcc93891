#include "plugins/db2/zip/ZipInflater.h"

#include "plugins/db2/zip/Crc32.h"

bool ZipInflater::Start(const ZipEntrySums* binding, bool countCrc) {
  if (!started_) {
    stream_ = z_stream{};
    started_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
    if (!started_) return false;
  } else if (inflateReset(&stream_) != Z_OK) {
    return false;
  }
  countCrc_ = countCrc;
  bound_ = binding != nullptr;
  binding_ = bound_ ? *binding : ZipEntrySums{};
  crc_ = crc32(0, nullptr, 0);
  compressed_ = 0;
  uncompressed_ = 0;
  return true;
}

void ZipInflater::End() {
  if (started_) inflateEnd(&stream_);
  started_ = false;
}

ZipInflater::Step ZipInflater::Inflate(IZipInflateInput& input, unsigned char* out, unsigned int& size) {
  const unsigned int room = Room(size);
  stream_.next_out = out;
  stream_.avail_out = room;
  for (;;) {
    const unsigned int offered = input.Size();
    stream_.next_in = const_cast<unsigned char*>(input.Data());
    stream_.avail_in = offered;
    const int z = inflate(&stream_, Z_SYNC_FLUSH);
    const unsigned int taken = offered - stream_.avail_in;
    input.Consume(taken);
    compressed_ += taken;
    const unsigned int produced = room - stream_.avail_out;
    if (PastBinding(produced)) return Failed(size);
    if (z == Z_STREAM_END) return Deliver(out, produced, size, Step::kEnded);
    if (z == Z_BUF_ERROR && input.Size() == 0) {
      // Inflate needs input; the input may not end inside the entry.
      if (!input.Fill()) return Failed(size);
      continue;
    }
    if (z != Z_OK) return Failed(size);
    if (stream_.avail_out == 0) return Deliver(out, produced, size, Step::kData);
    // Input and room left, yet inflate stopped.
    if (input.Size() != 0) return Failed(size);
  }
}

unsigned int ZipInflater::Room(unsigned int size) const {
  if (!bound_) return size;
  // One byte past a binding size is enough to know the entry lies, so no more
  // is inflated.
  const uint64_t left =
      binding_.uncompressedSize > uncompressed_ ? binding_.uncompressedSize - uncompressed_ : 0;
  return left < size ? static_cast<unsigned int>(left) + 1 : size;
}

bool ZipInflater::PastBinding(unsigned int produced) const {
  return bound_ &&
         (uncompressed_ + produced > binding_.uncompressedSize || compressed_ > binding_.compressedSize);
}

bool ZipInflater::Matches(const ZipEntrySums& sums) const {
  return (!countCrc_ || static_cast<uint32_t>(crc_) == sums.crc) && compressed_ == sums.compressedSize &&
         uncompressed_ == sums.uncompressedSize;
}

ZipInflater::Step ZipInflater::Deliver(const unsigned char* out, unsigned int produced, unsigned int& size,
                                       Step step) {
  uncompressed_ += produced;
  if (countCrc_) crc_ = zip::Crc32(static_cast<uint32_t>(crc_), out, produced);
  size = produced;
  return step;
}

ZipInflater::Step ZipInflater::Failed(unsigned int& size) {
  size = 0;
  return Step::kFailed;
}
