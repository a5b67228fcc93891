#include "plugins/db2/plugin/ImageReadAhead.h"

#include <zlib.h>

#include <utility>

namespace db2 {

CImageReadAhead::CImageReadAhead(std::FILE* file, unsigned int pieceSize)
    : file_(file), pieceSize_(pieceSize) {
  for (int i = 0; i < kSlots; ++i) free_.emplace_back(new unsigned char[pieceSize_]);
  thread_ = std::thread(&CImageReadAhead::Run, this);
}

CImageReadAhead::~CImageReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

int CImageReadAhead::Next(Piece& piece) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (held_) free_.push_back(std::move(held_));
  changed_.notify_all();
  changed_.wait(lock, [this] { return !ready_.empty() || ended_ || failed_; });
  if (ready_.empty()) return failed_ ? -1 : 0;
  held_ = std::move(ready_.front().buffer);
  piece = ready_.front().piece;
  ready_.pop_front();
  return 1;
}

void CImageReadAhead::Run() noexcept {
  for (;;) {
    std::unique_ptr<unsigned char[]> buffer;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stop_ || !free_.empty(); });
      if (stop_) return;
      buffer = std::move(free_.back());
      free_.pop_back();
    }
    const size_t count = std::fread(buffer.get(), 1, pieceSize_, file_);
    const bool error = count < pieceSize_ && std::ferror(file_) != 0;
    Slot slot;
    slot.piece.data = buffer.get();
    slot.piece.size = static_cast<unsigned int>(count);
    slot.piece.crc = static_cast<uint32_t>(crc32(0, buffer.get(), static_cast<uInt>(count)));
    slot.buffer = std::move(buffer);
    std::lock_guard<std::mutex> lock(mutex_);
    if (error) {
      failed_ = true;
    } else if (count == 0) {
      ended_ = true;
    } else {
      ready_.push_back(std::move(slot));
      if (count < pieceSize_) ended_ = true;
    }
    changed_.notify_all();
    if (failed_ || ended_) return;
  }
}

}  // namespace db2
