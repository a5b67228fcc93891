#include "plugins/db2/zip/SlotLine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

TEST(SlotLineTest, SlotsComeBackInQueueOrderWhateverOrderTheyEnd) {
  // The work on slot 0 waits until every other slot's work has ended.
  constexpr unsigned kSlots = 6;
  std::mutex mutex;
  std::condition_variable changed;
  unsigned ended = 0;
  std::vector<unsigned> doneBy(kSlots, 99);
  {
    db2::CSlotLine line(kSlots, 3, [&](unsigned slot, unsigned worker) {
      std::unique_lock<std::mutex> lock(mutex);
      if (slot == 0) changed.wait(lock, [&] { return ended == kSlots - 1; });
      doneBy[slot] = worker;
      ++ended;
      changed.notify_all();
      return true;
    });
    std::vector<unsigned> queued;
    for (int slot; (slot = line.Take()) >= 0;) {
      queued.push_back(static_cast<unsigned>(slot));
      line.Queue(static_cast<unsigned>(slot));
    }
    ASSERT_EQ(queued.size(), kSlots);
    for (const unsigned expected : queued) {
      unsigned slot = 99;
      ASSERT_EQ(line.Next(slot), 1);
      EXPECT_EQ(slot, expected);
      line.Release(slot);
    }
    unsigned slot = 0;
    EXPECT_EQ(line.Next(slot), 0) << "nothing queued";
    EXPECT_GE(line.Take(), 0) << "released slots are free again";
  }
  for (const unsigned worker : doneBy) EXPECT_LT(worker, 3u);
}

TEST(SlotLineTest, AFailedWorkFailsTheLineAfterTheGoodSlots) {
  std::atomic<int> runs{0};
  // The work waits until every slot is queued: a failed line hands out no
  // more slots, so the failure must not come first.
  std::mutex mutex;
  std::condition_variable changed;
  bool allQueued = false;
  db2::CSlotLine line(4, 1, [&](unsigned slot, unsigned) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return allQueued; });
    }
    ++runs;
    if (slot == 1) throw std::runtime_error("work failed");
    return true;
  });
  int queued = 0;
  for (int slot; (slot = line.Take()) >= 0; ++queued) line.Queue(static_cast<unsigned>(slot));
  ASSERT_EQ(4, queued);
  {
    std::lock_guard<std::mutex> lock(mutex);
    allQueued = true;
  }
  changed.notify_all();
  unsigned slot = 99;
  EXPECT_EQ(line.Next(slot), 1);
  EXPECT_EQ(slot, 0u);
  EXPECT_EQ(line.Next(slot), -1);
  EXPECT_EQ(slot, 1u);
  EXPECT_EQ(line.Next(slot), -1) << "skipped after the failure";
  EXPECT_EQ(line.Next(slot), -1);
  EXPECT_EQ(line.Next(slot), 0);
  EXPECT_EQ(runs, 2);
  line.Release(0);
  EXPECT_EQ(line.Take(), -1) << "a failed line hands out no slot";
}

TEST(SlotLineTest, DestroyedWithQueuedSlotsStopsItsWorkers) {
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  db2::CSlotLine line(8, 2, [&](unsigned, unsigned) {
    std::lock_guard<std::mutex> lock(mutex);
    started = true;
    changed.notify_all();
    return true;
  });
  for (int slot; (slot = line.Take()) >= 0;) line.Queue(static_cast<unsigned>(slot));
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [&] { return started; });
}

}  // namespace
