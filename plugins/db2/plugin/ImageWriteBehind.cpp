#include "plugins/db2/plugin/ImageWriteBehind.h"

namespace db2 {

CImageWriteBehind::CImageWriteBehind(std::FILE* file, unsigned int pieceSize) : file_(file) {
  for (int i = 0; i < kSlots; ++i) free_.emplace_back(new unsigned char[pieceSize]);
  thread_ = std::thread(&CImageWriteBehind::Run, this);
}

CImageWriteBehind::~CImageWriteBehind() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

unsigned char* CImageWriteBehind::Buffer() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (filling_) return failed_ ? nullptr : filling_.get();
  changed_.wait(lock, [this] { return failed_ || !free_.empty(); });
  if (failed_) return nullptr;
  filling_ = std::move(free_.back());
  free_.pop_back();
  return filling_.get();
}

void CImageWriteBehind::Queue(unsigned int size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!filling_) return;
    queued_.emplace_back(std::move(filling_), size);
  }
  changed_.notify_all();
}

bool CImageWriteBehind::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return failed_ || (queued_.empty() && writing_ == 0); });
  return !failed_;
}

void CImageWriteBehind::Run() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !queued_.empty(); });
    if (stop_) return;
    auto piece = std::move(queued_.front());
    queued_.pop_front();
    writing_ = 1;
    lock.unlock();
    const bool written = std::fwrite(piece.first.get(), 1, piece.second, file_) == piece.second;
    lock.lock();
    writing_ = 0;
    free_.push_back(std::move(piece.first));
    if (!written) failed_ = true;
    changed_.notify_all();
    if (failed_) return;
  }
}

}  // namespace db2
