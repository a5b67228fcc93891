#include "plugins/db2/plugin/ArchiveHandoff.h"

#include <cstring>

namespace db2 {

void CArchiveHandoff::Give(const unsigned char* data, std::size_t size) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (discarding_ || size == 0) return;
  data_ = data;
  left_ = size;
  changed_.notify_all();
  // The buffer is lent until the worker has copied it all or stops taking;
  // both happen on the worker's thread, so no copy from it is left running.
  changed_.wait(lock, [this] { return left_ == 0 || discarding_; });
  data_ = nullptr;
  left_ = 0;
}

void CArchiveHandoff::End() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

std::size_t CArchiveHandoff::Take(unsigned char* buffer, std::size_t capacity) {
  if (capacity == 0) return 0;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return left_ > 0 || ended_; });
  if (left_ == 0) return 0;
  const std::size_t count = left_ < capacity ? left_ : capacity;
  const unsigned char* from = data_;
  // The caller waits in Give while its buffer is lent: copy without the lock.
  lock.unlock();
  std::memcpy(buffer, from, count);
  lock.lock();
  data_ += count;
  left_ -= count;
  if (left_ == 0) changed_.notify_all();
  return count;
}

void CArchiveHandoff::Discard() {
  std::lock_guard<std::mutex> lock(mutex_);
  discarding_ = true;
  changed_.notify_all();
}

}  // namespace db2
