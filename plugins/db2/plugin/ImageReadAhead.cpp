#include "plugins/db2/plugin/ImageReadAhead.h"

#include "plugins/db2/zip/Crc32.h"

namespace db2 {

CImageReadAhead::CImageReadAhead(std::FILE* file, unsigned int pieceSize)
    : file_(file),
      pieceSize_(pieceSize),
      pieces_(kSlots),
      line_(kSlots, 1, [this](unsigned slot, unsigned) { return Read(slot); }) {
  for (unsigned i = 0; i < kSlots; ++i) buffers_.emplace_back(new unsigned char[pieceSize_]);
  // Every slot goes to the reader at once; the one worker reads them in order.
  for (int slot; (slot = line_.Take()) >= 0;) line_.Queue(static_cast<unsigned>(slot));
}

int CImageReadAhead::Next(Piece& piece) {
  if (held_ >= 0) {
    line_.Queue(static_cast<unsigned>(held_));
    held_ = -1;
  }
  if (result_ != 1) return result_;
  unsigned slot = 0;
  if (line_.Next(slot) < 0) return result_ = -1;
  if (pieces_[slot].size == 0) return result_ = 0;
  held_ = static_cast<int>(slot);
  piece = pieces_[slot];
  return 1;
}

bool CImageReadAhead::Read(unsigned slot) {
  unsigned char* buffer = buffers_[slot].get();
  const size_t count = std::fread(buffer, 1, pieceSize_, file_);
  if (count < pieceSize_ && std::ferror(file_) != 0) return false;
  Piece& piece = pieces_[slot];
  piece.data = buffer;
  piece.size = static_cast<unsigned int>(count);
  piece.crc = zip::Crc32(0, buffer, count);
  return true;
}

}  // namespace db2
