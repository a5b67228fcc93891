// The inflate-and-verify step of the zip readers.
//
// ZipInflater inflates the raw-deflate data of one entry at a time from input
// its reader buffers, counts the bytes it takes and gives, keeps the CRC-32 of
// what it gives, and at the end of the entry compares all three with what the
// entry's records state. Sizes a reader knows to be binding limit the output:
// one byte past the stated size fails the entry at once. Nothing is logged
// here. Not thread-safe: one thread at a time.

#pragma once

#include <zlib.h>

#include <cstdint>

// Compressed input of a ZipInflater: bytes its reader buffers, taken from the
// front.
class IZipInflateInput {
 public:
  virtual ~IZipInflateInput() = default;

  // The first buffered byte.
  virtual const unsigned char* Data() = 0;
  // The count of buffered bytes.
  virtual unsigned int Size() const = 0;
  // Drops `count` (at most Size()) bytes from the front.
  virtual void Consume(unsigned int count) = 0;
  // Buffers more bytes; called only when none are buffered. False on a read
  // failure or when the input holds nothing more for the entry.
  virtual bool Fill() = 0;
};

// Ends a read that delivers nothing: sets `size` to 0 and returns `result`.
[[nodiscard]] inline int NoData(unsigned int& size, int result) {
  size = 0;
  return result;
}

// What the records of an entry state about its data.
struct ZipEntrySums {
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
};

class ZipInflater {
 public:
  enum class Step {
    kData,    // `size` bytes given (more than 0); the entry goes on
    kEnded,   // the deflate data ended with the `size` bytes given (maybe 0)
    kFailed,  // corrupt data, input failure or end, or a binding size passed
  };

  ZipInflater() = default;
  ~ZipInflater() { End(); }
  ZipInflater(const ZipInflater&) = delete;
  ZipInflater& operator=(const ZipInflater&) = delete;

  // Starts the next entry: starts inflate (or resets it), clears the counts
  // and the CRC. With `binding`, its sizes bind: Inflate fails once the data
  // passes either of them, never giving more than one byte past the stated
  // uncompressed size. Without `countCrc` no CRC-32 is kept (the caller
  // takes it of the bytes given) and only the sizes are matched. False when
  // inflate cannot start.
  [[nodiscard]] bool Start(const ZipEntrySums* binding, bool countCrc = true);

  // Ends inflate; harmless when it never started.
  void End();

  // Inflates into `out`, up to `size` bytes, taking input from `input`, and
  // sets `size` to the count given (0 on kFailed). REQUIRES: Start returned
  // true; `out` holds `size` > 0 bytes.
  [[nodiscard]] Step Inflate(IZipInflateInput& input, unsigned char* out, unsigned int& size);

  // True when the data so far has exactly `sums`: the CRC-32 of the bytes
  // given (when counted), the count of bytes taken and the count of bytes
  // given.
  bool Matches(const ZipEntrySums& sums) const;

 private:
  // The output room for a call asking `size` bytes: with binding sizes at
  // most one byte past the stated uncompressed size.
  unsigned int Room(unsigned int size) const;
  // True when, with `produced` more bytes given, the data passed a binding size.
  bool PastBinding(unsigned int produced) const;
  // Counts the `produced` bytes given into `out` and returns `step`.
  Step Deliver(const unsigned char* out, unsigned int produced, unsigned int& size, Step step);
  // Sets `size` to 0 and returns kFailed.
  static Step Failed(unsigned int& size);

  z_stream stream_{};
  bool started_ = false;
  bool bound_ = false;
  bool countCrc_ = true;
  ZipEntrySums binding_;
  uLong crc_ = 0;
  uint64_t compressed_ = 0;
  uint64_t uncompressed_ = 0;
};
