#include "agent/data/delta/ThreadSync.h"

#include <atomic>
#include <iostream>
#include <sstream>
#include <string>

namespace zr {
namespace {

const char kRule[] = "//=================================//\n";

std::atomic<int> runningWorkers{0};

// Keeps trace lines of different threads whole.
std::mutex& TraceMutex() {
  static std::mutex mutex;
  return mutex;
}

void Print(const std::string& text) {
  std::lock_guard<std::mutex> lock(TraceMutex());
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.flush();
}

}  // namespace

CThreadSync::~CThreadSync() {
  Cancel();
  Join();
}

void CThreadSync::Trace(const char* text) const {
  boost::thread::id id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = workerId_;
  }
  std::ostringstream line;
  line << text << id << "\n";
  Print(line.str());
}

bool CThreadSync::StartThread(ThreadFunction function, void* argument) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (worker_.joinable()) {
      if (!terminated_) return false;
      lock.unlock();
      // It announced its end: nothing is left for it but to return.
      worker_.join();
      lock.lock();
    }
    dataReady_ = false;
    bufferTaken_ = false;
    terminated_ = false;
    cancelled_ = false;
    ++runningWorkers;
    try {
      worker_ = boost::thread([function, argument] {
        function(argument);
        --runningWorkers;
      });
    } catch (const boost::thread_resource_error&) {
      --runningWorkers;
      return false;
    }
    workerId_ = worker_.get_id();
  }
  Print(kRule);
  Trace("StartThread()\t\t\t");
  return true;
}

bool CThreadSync::Wait(std::condition_variable& condition, bool& flag) {
  std::unique_lock<std::mutex> lock(mutex_);
  condition.wait(lock, [&] { return flag || terminated_ || cancelled_; });
  if (!flag) return false;
  flag = false;
  return true;
}

bool CThreadSync::WaitForWriter() {
  Trace("WaitForWriter()\t\t\t");
  return Wait(writerCondition_, dataReady_);
}

bool CThreadSync::WaitForReader() {
  Trace("WaitForReader()\t\t\t");
  return Wait(readerCondition_, bufferTaken_);
}

void CThreadSync::NotifyReader() {
  Trace("NotifyReader()\t\t\t");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dataReady_ = true;
  }
  writerCondition_.notify_one();
}

void CThreadSync::NotifyWriter() {
  Trace("NotifyWriter()\t\t\t");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bufferTaken_ = true;
  }
  readerCondition_.notify_one();
}

bool CThreadSync::WaitThreadTermination() {
  Trace("WaitThreadTermination()\t\t");
  std::unique_lock<std::mutex> lock(mutex_);
  terminationCondition_.wait(lock, [this] { return terminated_ || cancelled_; });
  bufferTaken_ = false;
  return terminated_;
}

void CThreadSync::NotifyThreadTermination() {
  Trace("NotifyThreadTermination()\t\t");
  Print(kRule);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    terminated_ = true;
  }
  // Both sides may be waiting: the serving thread on any of the three.
  readerCondition_.notify_all();
  writerCondition_.notify_all();
  terminationCondition_.notify_all();
}

void CThreadSync::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  readerCondition_.notify_all();
  writerCondition_.notify_all();
  terminationCondition_.notify_all();
}

bool CThreadSync::IsCancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

bool CThreadSync::IsTerminated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return terminated_;
}

void CThreadSync::Join() {
  if (worker_.joinable() && worker_.get_id() != boost::this_thread::get_id()) worker_.join();
}

bool CThreadSync::IsThreadStarted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return workerId_ != boost::thread::id();
}

int CThreadSync::RunningWorkers() { return runningWorkers.load(); }

void CThreadSync::Print(const std::string& text) { zr::Print(text); }

}  // namespace zr
