// Reads the backup image ahead of the packer on a thread of its own.
//
// The packing worker spends its time in deflate; reading the image and
// computing each piece's CRC-32 happen here, on a second thread, while the
// worker deflates the piece before. Memory: kSlots pieces.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace db2 {

class CImageReadAhead {
 public:
  struct Piece {
    const unsigned char* data = nullptr;
    unsigned int size = 0;
    uint32_t crc = 0;  // crc32(0, data, size)
  };

  // Starts reading `file` (not owned; it must stay open until this object is
  // destroyed) in pieces of `pieceSize` bytes; only the last may be shorter.
  // Throws std::bad_alloc or std::system_error when it cannot start.
  CImageReadAhead(std::FILE* file, unsigned int pieceSize);
  // Stops the reading thread and joins it.
  ~CImageReadAhead();
  CImageReadAhead(const CImageReadAhead&) = delete;
  CImageReadAhead& operator=(const CImageReadAhead&) = delete;

  // Blocks until the next piece is read; the piece stays valid until the
  // next call, which hands its buffer back. 1 with a piece, 0 at the end of
  // the file, -1 when reading failed.
  int Next(Piece& piece);

 private:
  static constexpr int kSlots = 4;
  struct Slot {
    std::unique_ptr<unsigned char[]> buffer;
    Piece piece;
  };

  void Run() noexcept;

  std::FILE* const file_;
  const unsigned int pieceSize_;
  std::mutex mutex_;                 // guards everything below
  std::condition_variable changed_;  // a slot moved, or stop/end/failure was set
  std::vector<std::unique_ptr<unsigned char[]>> free_;
  std::deque<Slot> ready_;
  std::unique_ptr<unsigned char[]> held_;  // the buffer of the piece the caller holds
  bool stop_ = false;
  bool ended_ = false;
  bool failed_ = false;
  std::thread thread_;
};

}  // namespace db2
