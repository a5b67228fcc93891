#include "agent/data/delta/ThreadSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <thread>

namespace {

using zr::CThreadSync;

const std::string kRule = "//=================================//\n";

std::string IdText(boost::thread::id id) {
  std::ostringstream text;
  text << id;
  return text.str();
}

// Runs `f` on another thread; true when it returned within 5 s.
template <class F>
bool ReturnsSoon(std::future<F>& result) {
  return result.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

struct Ended {
  CThreadSync* sync;
  boost::thread::id id;
};

void AnnounceEnd(void* argument) {
  auto* ended = static_cast<Ended*>(argument);
  ended->id = boost::this_thread::get_id();
  ended->sync->NotifyThreadTermination();
}

TEST(ThreadSyncTest, TraceLinesBeforeAnyWorkerAndAnEarlyNotifyIsKept) {
  CThreadSync sync;
  EXPECT_FALSE(sync.IsThreadStarted());
  testing::internal::CaptureStdout();
  sync.NotifyReader();
  EXPECT_TRUE(sync.WaitForWriter());  // the flag set before the wait is not lost
  sync.NotifyWriter();
  EXPECT_TRUE(sync.WaitForReader());
  EXPECT_EQ(
      "NotifyReader()\t\t\t{Not-any-thread}\n"
      "WaitForWriter()\t\t\t{Not-any-thread}\n"
      "NotifyWriter()\t\t\t{Not-any-thread}\n"
      "WaitForReader()\t\t\t{Not-any-thread}\n",
      testing::internal::GetCapturedStdout());
}

TEST(ThreadSyncTest, WorkerEndTracesAndTerminationWaitReturnsAtOnceTwice) {
  CThreadSync sync;
  Ended ended{&sync, {}};
  testing::internal::CaptureStdout();
  ASSERT_TRUE(sync.StartThread(&AnnounceEnd, &ended));
  EXPECT_TRUE(sync.WaitThreadTermination());
  const std::string first = testing::internal::GetCapturedStdout();
  const std::string id = IdText(ended.id);
  ASSERT_NE("{Not-any-thread}", id);
  // The worker's lines and the starter's interleave in any order, each
  // group whole.
  EXPECT_NE(std::string::npos, first.find(kRule + "StartThread()\t\t\t" + id + "\n")) << first;
  EXPECT_NE(std::string::npos, first.find("NotifyThreadTermination()\t\t" + id + "\n" + kRule)) << first;
  EXPECT_NE(std::string::npos, first.find("WaitThreadTermination()\t\t" + id + "\n")) << first;
  EXPECT_EQ(kRule.size() * 2 + 3 * (id.size() + 1) + std::string("StartThread()\t\t\t").size() +
                std::string("NotifyThreadTermination()\t\t").size() +
                std::string("WaitThreadTermination()\t\t").size(),
            first.size());

  testing::internal::CaptureStdout();
  EXPECT_TRUE(sync.WaitThreadTermination());
  sync.Join();
  // The id stays after the thread object was joined.
  EXPECT_TRUE(sync.IsThreadStarted());
  sync.NotifyReader();
  EXPECT_EQ("WaitThreadTermination()\t\t" + id + "\nNotifyReader()\t\t\t" + id + "\n",
            testing::internal::GetCapturedStdout());
}

// A worker that blocks in WaitForWriter until it is fed or woken.
struct Waiter {
  CThreadSync* sync;
  std::atomic<int> result{-1};
};

void WaitForData(void* argument) {
  auto* waiter = static_cast<Waiter*>(argument);
  waiter->result = waiter->sync->WaitForWriter() ? 1 : 0;
  waiter->sync->NotifyThreadTermination();
}

TEST(ThreadSyncTest, CancelWakesEveryWaitAndStartRefusesARunningWorker) {
  testing::internal::CaptureStdout();
  CThreadSync sync;
  Waiter waiter{&sync};
  ASSERT_TRUE(sync.StartThread(&WaitForData, &waiter));
  // The first worker has not ended: no second one.
  EXPECT_FALSE(sync.StartThread(&WaitForData, &waiter));
  auto reader = std::async(std::launch::async, [&] { return sync.WaitForReader(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sync.Cancel();
  EXPECT_TRUE(ReturnsSoon(reader));
  EXPECT_FALSE(reader.get());
  // Cancelled: the termination wait does not block; joining waits for the end.
  sync.Join();
  EXPECT_TRUE(sync.IsTerminated());
  EXPECT_EQ(0, waiter.result.load());
  // A worker that ended may be followed by the next; the cancel is cleared.
  Waiter second{&sync};
  ASSERT_TRUE(sync.StartThread(&WaitForData, &second));
  sync.NotifyReader();
  EXPECT_TRUE(sync.WaitThreadTermination());
  EXPECT_EQ(1, second.result.load());
  testing::internal::GetCapturedStdout();
}

void HandOverThenEnd(void* argument) {
  auto* sync = static_cast<CThreadSync*>(argument);
  sync->NotifyReader();
  sync->NotifyThreadTermination();
}

TEST(ThreadSyncTest, TheEndWakesAWaiterButAFlagSetBeforeItWins) {
  testing::internal::CaptureStdout();
  CThreadSync sync;
  ASSERT_TRUE(sync.StartThread(&HandOverThenEnd, &sync));
  EXPECT_TRUE(sync.WaitThreadTermination());
  // The last hand-over came with the end: it is still taken ...
  EXPECT_TRUE(sync.WaitForWriter());
  // ... and after it the waits fail at once instead of blocking.
  EXPECT_FALSE(sync.WaitForWriter());
  EXPECT_FALSE(sync.WaitForReader());
  testing::internal::GetCapturedStdout();
}

TEST(ThreadSyncTest, DestroyingWithABlockedWorkerCancelsAndJoins) {
  testing::internal::CaptureStdout();
  Waiter waiter{nullptr};
  auto done = std::async(std::launch::async, [&] {
    CThreadSync sync;
    waiter.sync = &sync;
    if (!sync.StartThread(&WaitForData, &waiter)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return true;
  });
  EXPECT_TRUE(ReturnsSoon(done));
  EXPECT_TRUE(done.get());
  EXPECT_EQ(0, waiter.result.load());
  testing::internal::GetCapturedStdout();
}

constexpr int kRounds = 100000;

struct PingPong {
  CThreadSync* sync;
  long value = 0;  // handed over under the hand-off mutex
  bool ok = true;
};

void Pong(void* argument) {
  auto* game = static_cast<PingPong*>(argument);
  for (int round = 0; round < kRounds; ++round) {
    if (!game->sync->WaitForWriter()) {
      game->ok = false;
      break;
    }
    game->sync->Locked([&] { game->value += 1; });
    game->sync->NotifyWriter();
  }
  game->sync->NotifyThreadTermination();
}

TEST(ThreadSyncTest, HundredThousandHandOffsBetweenTwoThreads) {
  testing::internal::CaptureStdout();
  CThreadSync sync;
  PingPong game{&sync};
  ASSERT_TRUE(sync.StartThread(&Pong, &game));
  bool ok = true;
  for (int round = 0; round < kRounds && ok; ++round) {
    sync.Locked([&] { game.value += 1; });
    sync.NotifyReader();
    ok = sync.WaitForReader();
  }
  EXPECT_TRUE(sync.WaitThreadTermination());
  sync.Join();
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(game.ok);
  EXPECT_EQ(2L * kRounds, game.value);
}

}  // namespace
