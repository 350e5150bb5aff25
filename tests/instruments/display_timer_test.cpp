// The shared display timer: items fire every interval rounded up to whole 25 ms ticks, in the
// order they were added; suspended items do not count; the last item stops the timer.
#include "instruments/display_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Ticks of an every-tick item and the tick at which each firing of the items under test came.
struct TLog {
  std::mutex Lock;
  std::condition_variable Changed;
  int Ticks = 0;
  std::vector<int> Fired;       // the item under test
  std::vector<int> OtherFired;  // a second one
  // An item the ticker resumes on its next tick, and that tick.
  TDisplayTimerItem* ResumeItem = nullptr;
  int ResumedAt = 0;

  bool WaitForTicks(int count) {
    std::unique_lock lock(Lock);
    return Changed.wait_for(lock, 20s, [&] { return Ticks >= count; });
  }
};

TDisplayTimerItem* AddTicker(TLog& log) {
  return DisplayTimerAdd(
      10, false,
      [&log](TDisplayTimerItem*, void*) {
        std::lock_guard lock(log.Lock);
        ++log.Ticks;
        if (log.ResumeItem) {
          DisplayTimerResume(log.ResumeItem);
          log.ResumedAt = log.Ticks;
          log.ResumeItem = nullptr;
        }
        log.Changed.notify_all();
      },
      nullptr);
}

TDisplayTimerItem* AddRecorder(TLog& log, int interval, bool suspended, bool other = false) {
  return DisplayTimerAdd(
      interval, suspended,
      [&log, other](TDisplayTimerItem*, void* data) {
        EXPECT_EQ(data, &log);
        std::lock_guard lock(log.Lock);
        (other ? log.OtherFired : log.Fired).push_back(log.Ticks);
      },
      &log);
}

TEST(DisplayTimer, ItemsFireOnWholeTicksOfTheirInterval) {
  TLog log;
  // The ticker comes first in the list, so each firing sees the count of its own tick.
  TDisplayTimerItem* ticker = AddTicker(log);
  TDisplayTimerItem* every75 = AddRecorder(log, 60, false);
  TDisplayTimerItem* every25 = AddRecorder(log, 10, false, true);
  ASSERT_NE(ticker, nullptr);
  ASSERT_NE(every75, nullptr);
  ASSERT_NE(every25, nullptr);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  DisplayTimerRemove(every75);
  DisplayTimerRemove(every25);
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  DisplayTimerRemove(ticker);
  EXPECT_EQ(DisplayTimerCount(), 0);

  std::lock_guard lock(log.Lock);
  // 60 ms is three ticks (75 ms): exactly on ticks 3, 6, 9, ...
  ASSERT_FALSE(log.Fired.empty());
  for (size_t i = 0; i < log.Fired.size(); ++i) EXPECT_EQ(log.Fired[i], int(3 * (i + 1)));
  for (size_t i = 0; i < log.OtherFired.size(); ++i) EXPECT_EQ(log.OtherFired[i], int(i + 1));
  // About 13 firings in a second; a busy machine skips ticks, never adds them.
  EXPECT_LE(double(log.Fired.size()), seconds.count() * 1000 / 75 + 1);
  EXPECT_GE(log.Fired.size(), 4u);
}

TEST(DisplayTimer, SuspendedItemsNeverFireAndResumeCountingFromZero) {
  TLog log;
  TDisplayTimerItem* ticker = AddTicker(log);
  TDisplayTimerItem* item = AddRecorder(log, 60, true);
  ASSERT_TRUE(log.WaitForTicks(20));
  {
    std::lock_guard lock(log.Lock);
    EXPECT_TRUE(log.Fired.empty());
  }
  // Suspensions nest: after one more suspend and its resume the item is still suspended.
  DisplayTimerSuspend(item);
  DisplayTimerResume(item);
  int ticks;
  {
    std::lock_guard lock(log.Lock);
    ticks = log.Ticks;
  }
  ASSERT_TRUE(log.WaitForTicks(ticks + 4));
  {
    std::lock_guard lock(log.Lock);
    EXPECT_TRUE(log.Fired.empty());
    // The last resume, from the ticker's next tick (before the item's turn in that tick).
    log.ResumeItem = item;
  }
  ASSERT_TRUE(log.WaitForTicks(ticks + 15));
  DisplayTimerRemove(item);
  DisplayTimerRemove(ticker);
  std::lock_guard lock(log.Lock);
  ASSERT_GE(log.Fired.size(), 2u);
  // Counting from 0 at the resume: 25 ms in the resuming tick, the third tick fires.
  EXPECT_EQ(log.Fired[0], log.ResumedAt + 2);
  EXPECT_EQ(log.Fired[1], log.ResumedAt + 5);
}

TEST(DisplayTimer, UnknownItemsAreIgnoredAndTheTimerStartsAgain) {
  DisplayTimerSuspend(nullptr);
  DisplayTimerResume(nullptr);
  DisplayTimerRemove(nullptr);
  EXPECT_EQ(DisplayTimerAdd(25, false, nullptr, nullptr), nullptr);
  for (int round = 0; round < 2; ++round) {
    TLog log;
    TDisplayTimerItem* ticker = AddTicker(log);
    ASSERT_NE(ticker, nullptr);
    EXPECT_EQ(DisplayTimerCount(), 1);
    ASSERT_TRUE(log.WaitForTicks(2)) << round;
    DisplayTimerRemove(ticker);
    DisplayTimerRemove(ticker);  // no longer registered: ignored
    EXPECT_EQ(DisplayTimerCount(), 0);
  }
}

}  // namespace
