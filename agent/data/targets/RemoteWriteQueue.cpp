#include "agent/data/targets/RemoteWriteQueue.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "plugin-api/ResultCodes.h"

namespace zr {

CRemoteWriteQueue::CRemoteWriteQueue(Send send, unsigned int chunkBytes)
    : send_(std::move(send)), chunkBytes_(chunkBytes) {}

CRemoteWriteQueue::~CRemoteWriteQueue() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queued_.empty() && !busy_; });
    stopping_ = true;
  }
  changed_.notify_all();
  if (sender_.joinable()) sender_.join();
}

int CRemoteWriteQueue::Submit(const unsigned char* data, unsigned int size, unsigned int handle) {
  if (size > chunkBytes_) return kFailed;
  Chunk chunk;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return failure_ != kSuccess || queued_.size() + (busy_ ? 1 : 0) < kDepth; });
    if (failure_ != kSuccess) return failure_;
    if (!spare_.empty()) {
      chunk = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  // The copy runs while the sender may be sending an earlier chunk.
  chunk.bytes.resize(chunkBytes_);
  if (size > 0) std::memcpy(chunk.bytes.data(), data, size);
  chunk.size = size;
  chunk.handle = handle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back(std::move(chunk));
    if (!sender_.joinable()) sender_ = std::thread(&CRemoteWriteQueue::Run, this);
  }
  changed_.notify_all();
  return kSuccess;
}

int CRemoteWriteQueue::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queued_.empty() && !busy_; });
  return failure_;
}

int CRemoteWriteQueue::Reset() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queued_.empty() && !busy_; });
  const int failure = failure_;
  failure_ = kSuccess;
  return failure;
}

void CRemoteWriteQueue::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
    if (queued_.empty()) return;  // stopping
    Chunk chunk = std::move(queued_.front());
    queued_.pop_front();
    // After a failure nothing more reaches the peer.
    int result = failure_;
    if (result == kSuccess) {
      busy_ = true;
      lock.unlock();
      unsigned int done = 0;
      while (result == kSuccess && done < chunk.size) {
        unsigned int taken = chunk.size - done;
        try {
          result = send_(chunk.bytes.data() + done, chunk.size - done, chunk.handle, taken);
        } catch (...) {
          result = kFailed;
        }
        if (result == kSuccess && taken == 0) result = kFailed;
        done += std::min(taken, chunk.size - done);
      }
      lock.lock();
      busy_ = false;
      if (failure_ == kSuccess) failure_ = result;
    }
    spare_.push_back(std::move(chunk));
    changed_.notify_all();
  }
}

}  // namespace zr
