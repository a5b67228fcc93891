// A fixed set of slots passed from one caller through worker threads and
// back in the order queued.
//
// The caller owns the slots' data (indexed 0 .. slots-1) and the line moves
// only their indices: it takes a free slot, fills it, queues it; a worker runs
// the work on it; the caller gets the slots back in the order it queued them
// and frees them again. With one worker the work runs in queue order. Memory
// is what the caller gives its slots; the line adds none per piece.
//
// Thread use: Take, Queue, Next and Release from one caller thread at a time;
// the work runs on the line's workers.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace db2 {

class CSlotLine {
 public:
  // Runs on a worker for a queued slot; `worker` (0 .. workers-1) lets the
  // work keep state per thread. False (or an exception) fails the line.
  using Work = std::function<bool(unsigned slot, unsigned worker)>;

  // Starts `workers` (at least 1) threads over `slots` (at least 1) free
  // slots. Throws std::system_error when a thread cannot start (those that
  // did are joined first).
  CSlotLine(unsigned slots, unsigned workers, Work work);
  // Stops the workers and joins them: a work in progress runs to its end,
  // queued slots are dropped.
  ~CSlotLine();
  CSlotLine(const CSlotLine&) = delete;
  CSlotLine& operator=(const CSlotLine&) = delete;

  // A free slot for the caller to fill, or -1 when none is free (all are
  // queued or held by the caller) or a work failed.
  int Take();
  // Hands `slot` (from Take or Next) to the workers.
  void Queue(unsigned slot);
  // Blocks until the work on the oldest queued slot has ended and hands that
  // slot to the caller: 1 with `slot` set; 0 when no slot is queued; -1 when
  // its work failed, or was skipped because an earlier one failed.
  int Next(unsigned& slot);
  // Makes `slot` (held by the caller) free again.
  void Release(unsigned slot);

 private:
  enum class State { kFree, kHeld, kQueued, kWorking, kDone, kFailed };

  void Run(unsigned worker) noexcept;
  void Stop() noexcept;

  const Work work_;
  std::mutex mutex_;                 // guards everything below
  std::condition_variable changed_;  // a slot changed state, or stop was set
  std::vector<State> states_;
  std::deque<unsigned> order_;    // queued slots not yet given back, oldest first
  std::deque<unsigned> waiting_;  // queued slots no worker took yet, oldest first
  bool failed_ = false;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace db2
