#include "agent/service/StopSignalThread.h"

#include <signal.h>

#include <iostream>

#include "agent/service/TimeStamp.h"

namespace zr {

std::atomic<bool> StopRequested{false};
std::mutex StopMutex;
std::condition_variable StopCondition;

void RequestShutdown() {
  if (StopRequested.exchange(true)) return;
  // Under the mutex the agent holds while it swaps the log stream in.
  std::lock_guard<std::mutex> lock(StopMutex);
  WriteTimeStampedLine(std::wcerr, L"Workstation shutdown command recieved");
  StopCondition.notify_all();
}

void WaitForStop() {
  std::unique_lock<std::mutex> lock(StopMutex);
  StopCondition.wait(lock, [] { return StopRequested.load(); });
}

bool WaitForStopFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(StopMutex);
  return StopCondition.wait_for(lock, timeout, [] { return StopRequested.load(); });
}

namespace {

// SIGINT from a terminal, SIGTERM from a service manager: both stop the agent.
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

CStopSignalThread::CStopSignalThread() {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, &previousMask_);
  thread_ = std::thread([this] { Body(); });
}

CStopSignalThread::~CStopSignalThread() {
  quit_ = true;
  pthread_kill(thread_.native_handle(), SIGINT);
  thread_.join();
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void CStopSignalThread::Body() {
  const sigset_t signals = StopSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (quit_) return;
    RequestShutdown();
  }
}

}  // namespace zr
