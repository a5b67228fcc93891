// Writes the unpacked image behind the unpacker on a thread of its own.
//
// The unpacking worker spends its time in inflate; writing each piece to the
// image file and computing the CRC-32 of what is written happen here, on a
// second thread, while the worker inflates the next piece. Memory: kSlots
// pieces.

#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "plugins/db2/zip/SlotLine.h"

namespace db2 {

class CImageWriteBehind {
 public:
  // Starts writing to `file` (not owned; it must stay open until this object
  // is destroyed). Throws std::bad_alloc or std::system_error when it cannot
  // start.
  CImageWriteBehind(std::FILE* file, unsigned int pieceSize);
  // Drops what is not written yet, stops the writing thread and joins it.
  ~CImageWriteBehind() = default;
  CImageWriteBehind(const CImageWriteBehind&) = delete;
  CImageWriteBehind& operator=(const CImageWriteBehind&) = delete;

  // A buffer of pieceSize bytes to fill, blocking while every buffer waits to
  // be written; the same buffer again until it is queued. Null once a write
  // failed.
  unsigned char* Buffer();
  // Queues the first `size` bytes (at most pieceSize) of the last Buffer().
  void Queue(unsigned int size);
  // Waits until everything queued is written; false when a write failed.
  bool Finish();
  // The CRC-32 of every byte written; valid after Finish returned true.
  uint32_t Crc() const { return crc_; }

 private:
  static constexpr unsigned kSlots = 3;

  // The writing thread's work on one slot.
  bool Write(unsigned slot);

  std::FILE* const file_;
  std::vector<std::unique_ptr<unsigned char[]>> buffers_;
  std::vector<unsigned int> sizes_;  // per slot, set before it is queued
  int filling_ = -1;                 // the slot the caller fills
  bool failed_ = false;
  uint32_t crc_ = 0;  // the writing thread's until Finish
  CSlotLine line_;    // last: its thread stops before the buffers go
};

}  // namespace db2
