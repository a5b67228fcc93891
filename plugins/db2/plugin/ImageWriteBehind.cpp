#include "plugins/db2/plugin/ImageWriteBehind.h"

#include "plugins/db2/zip/Crc32.h"

namespace db2 {

CImageWriteBehind::CImageWriteBehind(std::FILE* file, unsigned int pieceSize)
    : file_(file),
      sizes_(kSlots, 0),
      line_(kSlots, 1, [this](unsigned slot, unsigned) { return Write(slot); }) {
  for (unsigned i = 0; i < kSlots; ++i) buffers_.emplace_back(new unsigned char[pieceSize]);
}

unsigned char* CImageWriteBehind::Buffer() {
  if (failed_) return nullptr;
  if (filling_ < 0) {
    filling_ = line_.Take();
    unsigned slot = 0;
    if (filling_ < 0) {
      // Every buffer is queued: the oldest is the next one free.
      if (line_.Next(slot) != 1) {
        failed_ = true;
        return nullptr;
      }
      filling_ = static_cast<int>(slot);
    }
  }
  return buffers_[static_cast<unsigned>(filling_)].get();
}

void CImageWriteBehind::Queue(unsigned int size) {
  if (filling_ < 0) return;
  sizes_[static_cast<unsigned>(filling_)] = size;
  line_.Queue(static_cast<unsigned>(filling_));
  filling_ = -1;
}

bool CImageWriteBehind::Finish() {
  unsigned slot = 0;
  int next;
  while (!failed_ && (next = line_.Next(slot)) != 0) {
    if (next < 0) failed_ = true;
    line_.Release(slot);
  }
  return !failed_;
}

bool CImageWriteBehind::Write(unsigned slot) {
  const unsigned char* data = buffers_[slot].get();
  const unsigned int size = sizes_[slot];
  // The CRC is taken here so that the inflating thread only inflates.
  crc_ = zip::Crc32(crc_, data, size);
  return std::fwrite(data, 1, size, file_) == size;
}

}  // namespace db2
