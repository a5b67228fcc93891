// Writes the unpacked image behind the unpacker on a thread of its own.
//
// The unpacking worker spends its time in inflate; writing each piece to the
// image file happens here, on a second thread, while the worker inflates the
// next piece. Memory: kSlots pieces.

#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace db2 {

class CImageWriteBehind {
 public:
  // Starts writing to `file` (not owned; it must stay open until this object
  // is destroyed). Throws std::bad_alloc or std::system_error when it cannot
  // start.
  CImageWriteBehind(std::FILE* file, unsigned int pieceSize);
  // Drops what is not written yet, stops the writing thread and joins it.
  ~CImageWriteBehind();
  CImageWriteBehind(const CImageWriteBehind&) = delete;
  CImageWriteBehind& operator=(const CImageWriteBehind&) = delete;

  // A buffer of pieceSize bytes to fill, blocking while every buffer waits to
  // be written; the same buffer again until it is queued. Null once a write
  // failed.
  unsigned char* Buffer();
  // Queues the first `size` bytes (at most pieceSize) of the last Buffer().
  void Queue(unsigned int size);
  // Waits until everything queued is written; false when a write failed.
  bool Finish();

 private:
  static constexpr int kSlots = 3;

  void Run() noexcept;

  std::FILE* const file_;
  std::mutex mutex_;                 // guards everything below
  std::condition_variable changed_;  // a buffer moved, or stop/failure was set
  std::vector<std::unique_ptr<unsigned char[]>> free_;
  std::deque<std::pair<std::unique_ptr<unsigned char[]>, unsigned int>> queued_;
  std::unique_ptr<unsigned char[]> filling_;  // the buffer the caller fills
  unsigned int writing_ = 0;                  // buffers the thread holds (0 or 1)
  bool stop_ = false;
  bool failed_ = false;
  std::thread thread_;
};

}  // namespace db2
