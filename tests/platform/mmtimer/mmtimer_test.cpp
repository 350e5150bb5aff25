#include "platform/mmtimer/mmtimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Records the time of every tick; a test may run its own code in the callback.
struct TTicks {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<Clock::time_point> Times;
  std::function<void(uint32_t)> Hook;

  static void Callback(uint32_t id, uint32_t /*msg*/, uintptr_t user, uintptr_t, uintptr_t) {
    auto* ticks = reinterpret_cast<TTicks*>(user);
    {
      std::lock_guard lock(ticks->Lock);
      ticks->Times.push_back(Clock::now());
    }
    if (ticks->Hook) ticks->Hook(id);
    ticks->Changed.notify_all();
  }
  uintptr_t User() { return reinterpret_cast<uintptr_t>(this); }
  size_t Count() {
    std::lock_guard lock(Lock);
    return Times.size();
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(Lock);
    return Changed.wait_for(lock, 10s, [&] { return Times.size() >= count; });
  }
};

size_t ThreadsOfThisProcess() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

TEST(MmTimer, PeriodicTicksStayOnTheirGrid) {
  TTicks ticks;
  const Clock::time_point start = Clock::now();
  const uint32_t id = timeSetEvent(10, 0, &TTicks::Callback, ticks.User(), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(timeKillEvent(id), TIMERR_NOERROR);
  const Clock::time_point end = Clock::now();

  // Tick k is due k periods after the start and never comes early, so there can be no more
  // ticks than whole periods elapsed; a loaded machine may skip some.
  const auto& times = ticks.Times;
  for (size_t k = 0; k < times.size(); ++k) {
    EXPECT_GE(times[k] - start, (k + 1) * 10ms) << "tick " << k;
  }
  EXPECT_LE(times.size(), static_cast<size_t>((end - start) / 10ms));
  EXPECT_GE(times.size(), 10u);
}

TEST(MmTimer, OneShotFiresOnceAndIsThenGone) {
  TTicks ticks;
  const Clock::time_point start = Clock::now();
  const uint32_t id = timeSetEvent(20, 0, &TTicks::Callback, ticks.User(), TIME_ONESHOT);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(ticks.WaitFor(1));
  EXPECT_GE(ticks.Times[0] - start, 20ms);
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(ticks.Count(), 1u);
  EXPECT_EQ(timeKillEvent(id), TIMERR_NOCANDO);
}

TEST(MmTimer, ACallbackMayKillItsTimerAndStartAnother) {
  TTicks ticks;
  TTicks other;
  std::atomic<uint32_t> killResult{0xFFFF};
  std::atomic<uint32_t> otherId{0};
  ticks.Hook = [&](uint32_t id) {
    if (ticks.Count() == 3) {
      otherId = timeSetEvent(5, 0, &TTicks::Callback, other.User(), TIME_ONESHOT);
      killResult = timeKillEvent(id);
    }
  };
  const uint32_t id = timeSetEvent(5, 0, &TTicks::Callback, ticks.User(), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(other.WaitFor(1));
  EXPECT_NE(otherId, 0u);
  EXPECT_EQ(killResult, TIMERR_NOERROR);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ticks.Count(), 3u);
  EXPECT_EQ(timeKillEvent(id), TIMERR_NOCANDO);
}

TEST(MmTimer, KillWaitsForTheRunningCallbackAndEndsTheThreadWithTheLastTimer) {
  TTicks ticks;
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  ticks.Hook = [&](uint32_t) {
    if (entered.exchange(true)) return;
    std::this_thread::sleep_for(100ms);
    finished = true;
  };
  const uint32_t id = timeSetEvent(5, 0, &TTicks::Callback, ticks.User(), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  const size_t withTimerThread = ThreadsOfThisProcess();
  while (!entered) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_TRUE(finished);
  EXPECT_EQ(ThreadsOfThisProcess(), withTimerThread - 1);
}

TEST(MmTimer, CapabilitiesPeriodsAndRefusedRequests) {
  TIMECAPS caps{};
  ASSERT_EQ(timeGetDevCaps(&caps, sizeof caps), TIMERR_NOERROR);
  EXPECT_EQ(caps.wPeriodMin, 1u);
  EXPECT_EQ(caps.wPeriodMax, 1000000u);
  EXPECT_EQ(timeGetDevCaps(&caps, 4), TIMERR_STRUCT);
  EXPECT_EQ(timeGetDevCaps(nullptr, sizeof caps), TIMERR_STRUCT);

  EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timeEndPeriod(1), TIMERR_NOCANDO);
  EXPECT_EQ(timeBeginPeriod(0), TIMERR_NOCANDO);

  TTicks ticks;
  EXPECT_EQ(timeSetEvent(0, 0, &TTicks::Callback, ticks.User(), TIME_PERIODIC), 0u);
  EXPECT_EQ(timeSetEvent(10, 0, nullptr, 0, TIME_PERIODIC), 0u);
  // Event callbacks (an event handle in place of a function) are not offered.
  EXPECT_EQ(timeSetEvent(10, 0, &TTicks::Callback, ticks.User(), 0x0010), 0u);
  EXPECT_EQ(timeKillEvent(0), TIMERR_NOCANDO);
}

// The voluntary context switches (wake-ups) of this process's thread named `name`, or -1.
long WakeUpsOfThread(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm != name) continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
  }
  return -1;
}

// A one-shot timer wakes the timer thread once, when it is due: adding it sets the thread's
// deadline without waking it (two wakes a timer would double the thread's cost for a caller
// that schedules a timer a frame).
TEST(MmTimer, EachOneShotTimerWakesTheThreadOnce) {
  TTicks keeper;  // keeps the thread asleep on a far deadline between the one-shot timers
  const uint32_t keeperId =
      timeSetEvent(100000, 0, &TTicks::Callback, keeper.User(), TIME_PERIODIC);
  ASSERT_NE(keeperId, 0u);
  TTicks ticks;
  constexpr int kTimers = 20;
  long before = -1;
  for (int i = 0; i < kTimers; ++i) {
    ASSERT_NE(timeSetEvent(5, 0, &TTicks::Callback, ticks.User(), TIME_ONESHOT), 0u);
    ASSERT_TRUE(ticks.WaitFor(size_t(i) + 1));
    // Counted from the first tick on, once the thread surely exists and sleeps.
    if (i == 0) {
      std::this_thread::sleep_for(5ms);
      before = WakeUpsOfThread("nr-mmtimer");
      ASSERT_GE(before, 0);
    }
  }
  std::this_thread::sleep_for(5ms);
  const long wakes = WakeUpsOfThread("nr-mmtimer") - before;
  // kTimers - 1 timers counted; a little slack for a preempted callback.
  EXPECT_LE(wakes, kTimers + 3);
  EXPECT_EQ(timeKillEvent(keeperId), TIMERR_NOERROR);
}

}  // namespace
