#pragma once

#include <mutex>
#include <streambuf>
#include <string>

namespace zr {

// A wide stream buffer that many threads may write through at once (the agent's
// log: main thread, watchdog, stop thread, upcalls, plug-in workers). Each thread
// collects its own characters until a line end; the whole line then goes to the
// target buffer under one lock and the target is flushed. So lines never mix,
// whatever the threads do, and each line is in the file as soon as it ends.
//
// sync() (called by unit-buffered streams after every insertion) does not cut a
// line: text without a line end stays with its thread until the line end comes,
// or until FlushPending is called on that thread.
//
// The target is not owned and must outlive this buffer. The buffer itself keeps
// no per-thread state after a line end, so it may be destroyed while other
// threads still hold unfinished lines (they are then dropped).
class CLineLockedBuffer : public std::wstreambuf {
 public:
  explicit CLineLockedBuffer(std::wstreambuf* target);
  ~CLineLockedBuffer() override;
  CLineLockedBuffer(const CLineLockedBuffer&) = delete;
  CLineLockedBuffer& operator=(const CLineLockedBuffer&) = delete;

  // Writes the calling thread's unfinished line, if any, as it stands.
  void FlushPending();

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char_type* text, std::streamsize count) override;
  int sync() override;

 private:
  // The calling thread's unfinished line for this buffer.
  std::wstring& Pending();
  void WriteLine(const std::wstring& line);

  std::wstreambuf* const target_;
  const unsigned long serial_;  // tells this buffer's pending lines from a destroyed one's
  std::mutex mutex_;            // guards writes to target_
};

}  // namespace zr
