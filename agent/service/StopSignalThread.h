#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace zr {

// The process-wide stop request. Set once by RequestShutdown; read by any thread.
extern std::atomic<bool> StopRequested;
// Waiters on StopCondition hold StopMutex; RequestShutdown notifies under it,
// so a waiter that tested the flag under the mutex cannot miss the wake-up.
extern std::mutex StopMutex;
extern std::condition_variable StopCondition;

// Sets StopRequested, writes the time-stamped "Workstation shutdown command recieved"
// to the wide error stream and wakes every waiter. A second call does nothing.
// Not for signal handlers: use CStopSignalThread for SIGINT and SIGTERM.
void RequestShutdown();

// Blocks until the stop is requested (spurious wake-ups are absorbed).
void WaitForStop();

// Blocks until the stop is requested or `timeout` passed. True when it was requested.
bool WaitForStopFor(std::chrono::milliseconds timeout);

// Turns SIGINT and SIGTERM into RequestShutdown on a thread of its own. The
// constructor blocks both in the calling thread (threads started later inherit the
// mask) and starts a thread that takes them with sigwait, so no work runs in signal
// context.
// REQUIRES: constructed on the main thread before any other thread is started.
class CStopSignalThread {
 public:
  CStopSignalThread();
  ~CStopSignalThread();
  CStopSignalThread(const CStopSignalThread&) = delete;
  CStopSignalThread& operator=(const CStopSignalThread&) = delete;

 private:
  void Body();

  sigset_t previousMask_;
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

}  // namespace zr
