#include "agent/data/targets/RemoteWriteQueue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using zr::CRemoteWriteQueue;

// Records every call the sender makes; answers from a script.
struct Peer {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> calls;  // "<handle>:<bytes>"
  int failAt = -1;                 // the call that fails (result 7)
  unsigned int mostTaken = ~0u;    // a call takes at most this many bytes
  bool hold = false;               // calls wait while set

  int Send(const unsigned char* data, unsigned int size, unsigned int handle, unsigned int& taken) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return !hold; });
    taken = std::min(size, mostTaken);
    calls.push_back(std::to_string(handle) + ":" + std::string(reinterpret_cast<const char*>(data), taken));
    return static_cast<int>(calls.size()) - 1 == failAt ? 7 : 0;
  }
  CRemoteWriteQueue::Send Function() {
    return [this](const unsigned char* data, unsigned int size, unsigned int handle, unsigned int& taken) {
      return Send(data, size, handle, taken);
    };
  }
};

int Submit(CRemoteWriteQueue& queue, const std::string& text, unsigned int handle) {
  return queue.Submit(reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<unsigned int>(text.size()), handle);
}

TEST(RemoteWriteQueueTest, CallsGoInOrderAndPartialTakesAreSentOn) {
  Peer peer;
  peer.hold = true;  // the caller runs ahead of the peer
  {
    CRemoteWriteQueue queue(peer.Function(), 8);
    std::string buffer = "abc";
    EXPECT_EQ(0, Submit(queue, buffer, 1));
    buffer = "defgh";  // the queue holds its own copy
    EXPECT_EQ(0, Submit(queue, buffer, 1));
    EXPECT_EQ(1, Submit(queue, "123456789", 1));  // more than a chunk
    {
      std::lock_guard<std::mutex> lock(peer.mutex);
      peer.hold = false;
      peer.mostTaken = 2;
    }
    peer.changed.notify_all();
    EXPECT_EQ(0, queue.Drain());
    EXPECT_EQ(0, Submit(queue, "xy", 2));
  }  // the destructor sends what is queued
  EXPECT_EQ((std::vector<std::string>{"1:ab", "1:c", "1:de", "1:fg", "1:h", "2:xy"}), peer.calls);
}

TEST(RemoteWriteQueueTest, TheFirstFailureStopsTheSendingAndIsKeptUntilReset) {
  Peer peer;
  peer.failAt = 1;
  CRemoteWriteQueue queue(peer.Function(), 8);
  EXPECT_EQ(0, Submit(queue, "a", 1));
  EXPECT_EQ(0, Submit(queue, "b", 1));
  EXPECT_EQ(7, queue.Drain());
  EXPECT_EQ(7, Submit(queue, "c", 1));
  EXPECT_EQ(7, queue.Reset());
  EXPECT_EQ(0, queue.Drain());
  EXPECT_EQ(0, Submit(queue, "d", 1));
  EXPECT_EQ(0, queue.Drain());
  EXPECT_EQ((std::vector<std::string>{"1:a", "1:b", "1:d"}), peer.calls);

  // A call that takes nothing would never end: it fails.
  peer.mostTaken = 0;
  EXPECT_EQ(0, Submit(queue, "e", 1));
  EXPECT_EQ(1, queue.Reset());
}

}  // namespace
