// Hands the archive bytes of a restore from the caller's WriteFile straight
// to the unpacking worker.
//
// A restore's archive went through the kernel twice (into the pipe, out
// again) on its way from the caller's buffer to the unpacker's. Here the
// caller's WriteFile lends its buffer: Give waits until the worker has
// copied every byte out of it, once, into the unpacker's input buffer, so
// the caller may reuse its buffer at once and at most one caller buffer is
// ever lent. The worker inflates what it took while the caller fetches the
// next piece.
//
// Thread use: Give and End from the calling thread; Take and Discard from
// the worker.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace db2 {

class CArchiveHandoff {
 public:
  CArchiveHandoff() = default;
  CArchiveHandoff(const CArchiveHandoff&) = delete;
  CArchiveHandoff& operator=(const CArchiveHandoff&) = delete;

  // Blocks until the worker has taken all `size` bytes at `data`, or drops
  // them at once once the worker discards.
  void Give(const unsigned char* data, std::size_t size);
  // No more bytes: Take returns 0 once the given ones are taken.
  void End();

  // Copies up to `capacity` (> 0) given bytes into `buffer`, blocking until
  // some are given or End; returns their count, 0 at the end.
  std::size_t Take(unsigned char* buffer, std::size_t capacity);
  // The worker reads no more: a Give waiting now, and every later one,
  // returns at once.
  void Discard();

 private:
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  const unsigned char* data_ = nullptr;  // the lent bytes not taken yet
  std::size_t left_ = 0;
  bool ended_ = false;
  bool discarding_ = false;
};

}  // namespace db2
