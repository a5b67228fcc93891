// Write-behind for the remote target's WriteFile calls: the caller's bytes
// are copied into one of a few chunk buffers and one sender thread makes
// the calls, strictly in the order submitted, each waiting for its reply.
// The caller meanwhile reads its next chunk, so the file read on this side
// overlaps the transfer and the write on the peer.
//
// The first failure of a call is kept: every later Submit returns it
// without sending, and Drain returns it until Reset.
// Thread: Submit, Drain and Reset from one caller thread at a time; the
// send function runs on the sender thread only.

#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zr {

class CRemoteWriteQueue {
 public:
  // Sends `size` bytes to `handle`; `taken` starts at `size` and becomes what
  // the peer took. Returns a result code.
  using Send = std::function<int(const unsigned char* data, unsigned int size, unsigned int handle,
                                 unsigned int& taken)>;

  // Chunks queued or in flight at most.
  static constexpr std::size_t kDepth = 3;

  // `chunkBytes` is the most one Submit may carry.
  CRemoteWriteQueue(Send send, unsigned int chunkBytes);
  // Sends what is queued, then stops the sender thread.
  ~CRemoteWriteQueue();

  CRemoteWriteQueue(const CRemoteWriteQueue&) = delete;
  CRemoteWriteQueue& operator=(const CRemoteWriteQueue&) = delete;

  // Queues a copy of `size` (at most chunkBytes) bytes for `handle` and
  // returns 0, waiting while kDepth chunks are out. The kept failure instead
  // when a call failed. A chunk the peer takes only part of is sent on in
  // further calls; a call that takes nothing fails with 1.
  [[nodiscard]] int Submit(const unsigned char* data, unsigned int size, unsigned int handle);
  // Waits until every queued chunk was sent; the kept failure, else 0.
  [[nodiscard]] int Drain();
  // Drain, then forgets the kept failure and returns it.
  [[nodiscard]] int Reset();

 private:
  struct Chunk {
    std::vector<unsigned char> bytes;
    unsigned int size = 0;
    unsigned int handle = 0;
  };

  void Run();

  Send send_;
  unsigned int chunkBytes_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> queued_;  // oldest first; the front is in flight while busy_
  std::vector<Chunk> spare_;  // buffers to reuse
  bool busy_ = false;
  bool stopping_ = false;
  int failure_ = 0;
  std::thread sender_;  // started at the first Submit
};

}  // namespace zr
