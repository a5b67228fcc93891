#include "plugins/db2/zip/SlotLine.h"

#include <utility>

namespace db2 {

CSlotLine::CSlotLine(unsigned slots, unsigned workers, Work work)
    : work_(std::move(work)), states_(slots == 0 ? 1 : slots, State::kFree) {
  try {
    for (unsigned i = 0; i < (workers == 0 ? 1 : workers); ++i)
      threads_.emplace_back(&CSlotLine::Run, this, i);
  } catch (...) {
    Stop();
    throw;
  }
}

CSlotLine::~CSlotLine() { Stop(); }

void CSlotLine::Stop() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

int CSlotLine::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) return -1;
  for (unsigned slot = 0; slot < states_.size(); ++slot) {
    if (states_[slot] == State::kFree) {
      states_[slot] = State::kHeld;
      return static_cast<int>(slot);
    }
  }
  return -1;
}

void CSlotLine::Queue(unsigned slot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    states_[slot] = State::kQueued;
    order_.push_back(slot);
    waiting_.push_back(slot);
  }
  changed_.notify_all();
}

int CSlotLine::Next(unsigned& slot) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (order_.empty()) return 0;
  const unsigned oldest = order_.front();
  changed_.wait(lock, [&] { return states_[oldest] == State::kDone || states_[oldest] == State::kFailed; });
  order_.pop_front();
  const bool done = states_[oldest] == State::kDone;
  states_[oldest] = State::kHeld;
  slot = oldest;
  return done ? 1 : -1;
}

void CSlotLine::Release(unsigned slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  states_[slot] = State::kFree;
}

void CSlotLine::Run(unsigned worker) noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
    if (stop_) return;
    const unsigned slot = waiting_.front();
    waiting_.pop_front();
    bool ok = false;
    if (!failed_) {
      states_[slot] = State::kWorking;
      lock.unlock();
      try {
        ok = work_(slot, worker);
      } catch (...) {
        ok = false;
      }
      lock.lock();
    }
    states_[slot] = ok ? State::kDone : State::kFailed;
    if (!ok) failed_ = true;
    changed_.notify_all();
  }
}

}  // namespace db2
