// Reads the backup image ahead of the packer on a thread of its own.
//
// The packing worker spends its time in deflate; reading the image and
// computing each piece's CRC-32 happen here, on a second thread, while the
// worker deflates the piece before. Memory: kSlots pieces.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "plugins/db2/zip/SlotLine.h"

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
  ~CImageReadAhead() = default;
  CImageReadAhead(const CImageReadAhead&) = delete;
  CImageReadAhead& operator=(const CImageReadAhead&) = delete;

  // Blocks until the next piece is read; the piece stays valid until the
  // next call, which hands its buffer back. 1 with a piece, 0 at the end of
  // the file, -1 when reading failed.
  int Next(Piece& piece);

 private:
  static constexpr unsigned kSlots = 4;

  // The reading thread's work on one slot.
  bool Read(unsigned slot);

  std::FILE* const file_;
  const unsigned int pieceSize_;
  std::vector<std::unique_ptr<unsigned char[]>> buffers_;
  std::vector<Piece> pieces_;  // per slot; written by the reading thread before it hands the slot on
  int held_ = -1;              // the slot of the piece the caller holds
  int result_ = 1;             // 0 once the end was reached, -1 once reading failed
  CSlotLine line_;             // last: its thread stops before the buffers go
};

}  // namespace db2
