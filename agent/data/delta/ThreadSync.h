// Couples the thread that serves a call with one worker thread that runs a
// delta job. The two take turns on a shared buffer: one side fills it and
// notifies, the other waits, takes it and notifies back; the worker finally
// announces its end. Every operation prints a trace line on standard output:
// its name, tabs, the last worker's thread id ("{Not-any-thread}" before the
// first start) and a line feed.
//
// Both waits also return when the worker announced its end or the hand-off
// was cancelled, so neither side can block for ever on a partner that is
// gone; a flag that is already set wins over either.
//
// State shared by the two sides (buffer pointers, counts, done flags) is
// read and written only inside Locked(), under the same mutex as the flags.
//
// Thread: the serving thread and the one worker; StartThread, the destructor
// and Join only from the serving thread.

#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include <boost/thread/thread.hpp>

namespace zr {

class CThreadSync {
 public:
  using ThreadFunction = void (*)(void* argument);

  CThreadSync() = default;
  // Cancels and joins the worker, if any.
  ~CThreadSync();

  CThreadSync(const CThreadSync&) = delete;
  CThreadSync& operator=(const CThreadSync&) = delete;

  // Clears the three flags and the cancel, then runs `function(argument)` on
  // a new worker thread. False, with nothing started, while an earlier
  // worker has not announced its end, or when no thread can be made. A
  // worker that announced its end is joined first.
  [[nodiscard]] bool StartThread(ThreadFunction function, void* argument);

  // Waits until data ready is set and clears it: true. False when the worker
  // ended or the hand-off was cancelled while data ready was still clear.
  [[nodiscard]] bool WaitForWriter();
  // Waits until buffer taken is set and clears it: true. False as above.
  [[nodiscard]] bool WaitForReader();
  // Sets data ready and wakes a WaitForWriter.
  void NotifyReader();
  // Sets buffer taken and wakes a WaitForReader.
  void NotifyWriter();
  // Waits until the worker announced its end (true; returns at once after
  // the end, as often as called) or the hand-off was cancelled (false);
  // clears buffer taken.
  bool WaitThreadTermination();
  // The worker's last call: marks its end and wakes every waiter.
  void NotifyThreadTermination();

  // Wakes every waiter; from now until the next StartThread both waits and
  // WaitThreadTermination return false unless their flag is set.
  void Cancel();
  bool IsCancelled() const;
  // True once the worker announced its end (until the next StartThread).
  bool IsTerminated() const;

  // Joins the worker thread, if one is held and joinable. The worker must
  // have announced its end or be on its way to it (cancelled).
  void Join();

  // True once a worker was started; stays true after it ended.
  bool IsThreadStarted() const;

  // Workers of every CThreadSync in the process that were started and have
  // not yet returned from their function; lets a test find leaked workers
  // without counting threads it does not own.
  static int RunningWorkers();

  // Writes `text` to standard output, flushed, under the lock the trace
  // lines take, so other output of the delta jobs never mixes with them.
  static void Print(const std::string& text);

  // Runs `f` under the hand-off mutex and returns its result.
  template <class F>
  auto Locked(F&& f) -> decltype(f()) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }

 private:
  // One trace line: `text`, then the last worker's id and "\n", flushed.
  void Trace(const char* text) const;
  bool Wait(std::condition_variable& condition, bool& flag);

  boost::thread worker_;
  mutable std::mutex mutex_;  // guards the flags below and workerId_
  std::condition_variable readerCondition_;
  std::condition_variable writerCondition_;
  std::condition_variable terminationCondition_;
  bool dataReady_ = false;
  bool bufferTaken_ = false;
  bool terminated_ = false;
  bool cancelled_ = false;
  // Joining or detaching a thread object empties its id; the trace and
  // IsThreadStarted keep the last worker's.
  boost::thread::id workerId_;
};

}  // namespace zr
