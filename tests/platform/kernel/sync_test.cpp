#include "platform/kernel/sync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `pred` for up to 5 s; the generous bound keeps a loaded machine from failing tests.
template <typename Pred>
bool Eventually(Pred pred) {
  const auto deadline = Clock::now() + 5s;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  TEvent event(false, false);
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (event.WaitFor(INFINITE) == WAIT_OBJECT_0) ++released;
  };
  std::jthread first(waiter), second(waiter);
  // Declared after the threads, so it runs before they are joined, also when an assertion
  // ends the test early.
  struct TReleaseAll {
    TEvent& Event;
    std::atomic<int>& Released;
    ~TReleaseAll() {
      while (Released < 2) {
        Event.SetEvent();
        std::this_thread::sleep_for(1ms);
      }
    }
  } releaseAll{event, released};

  event.SetEvent();
  ASSERT_TRUE(Eventually([&] { return released == 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(released, 1) << "one set released both waiters";
  EXPECT_FALSE(event.IsSet()) << "the released wait did not consume the event";

  event.SetEvent();
  ASSERT_TRUE(Eventually([&] { return released == 2; }));
}

TEST(Event, ManualResetReleasesEveryWaiterAndStaysSet) {
  TEvent event(true, false);
  std::atomic<int> released{0};
  {
    auto waiter = [&] {
      if (event.WaitFor(INFINITE) == WAIT_OBJECT_0) ++released;
    };
    std::jthread first(waiter), second(waiter);
    event.SetEvent();
  }
  EXPECT_EQ(released, 2);
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(event.WaitFor(0), WAIT_OBJECT_0);
  event.ResetEvent();
  EXPECT_EQ(event.WaitFor(0), WAIT_TIMEOUT);
}

TEST(Event, InitialStateAndZeroTimeout) {
  TEvent autoSet(false, true);
  EXPECT_EQ(autoSet.WaitFor(0), WAIT_OBJECT_0);
  EXPECT_EQ(autoSet.WaitFor(0), WAIT_TIMEOUT) << "an auto-reset event is consumed by its wait";
  TEvent manualSet(true, true);
  EXPECT_EQ(manualSet.WaitFor(0), WAIT_OBJECT_0);
  EXPECT_EQ(manualSet.WaitFor(0), WAIT_OBJECT_0);
}

TEST(Event, TimedWaitTimesOut) {
  TEvent event(false, false);
  const auto start = Clock::now();
  EXPECT_EQ(event.WaitFor(50), WAIT_TIMEOUT);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 45ms);
  EXPECT_LT(waited, 2s);
}

TEST(WaitForMultipleEvents, ReturnsFirstSetAndConsumesOnlyThatOne) {
  TEvent autoA(false, false), manualB(true, false), autoC(false, false);
  TEvent* const events[] = {&autoA, &manualB, &autoC};

  autoC.SetEvent();
  EXPECT_EQ(WaitForMultipleEvents(events, 0), WAIT_OBJECT_0 + 2);
  EXPECT_FALSE(autoC.IsSet());

  manualB.SetEvent();
  autoC.SetEvent();
  EXPECT_EQ(WaitForMultipleEvents(events, 0), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(manualB.IsSet());
  EXPECT_TRUE(autoC.IsSet()) << "an event after the returned one was consumed";

  autoA.SetEvent();
  EXPECT_EQ(WaitForMultipleEvents(events, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(autoA.IsSet());
  EXPECT_TRUE(manualB.IsSet());
}

TEST(WaitForMultipleEvents, WokenBySetFromAnotherThreadOrTimesOut) {
  TEvent first(false, false), second(false, false);
  TEvent* const events[] = {&first, &second};

  std::jthread setter([&] {
    std::this_thread::sleep_for(20ms);
    second.SetEvent();
  });
  EXPECT_EQ(WaitForMultipleEvents(events, 5000), WAIT_OBJECT_0 + 1);
  EXPECT_FALSE(second.IsSet());

  const auto start = Clock::now();
  EXPECT_EQ(WaitForMultipleEvents(events, 50), WAIT_TIMEOUT);
  EXPECT_GE(Clock::now() - start, 45ms);
}

// Two threads hand a token back and forth; the receiver waits on two events and the sender
// alternates between them. A wake-up lost between a waiter's look at the events and its
// sleep shows as a 5 s timeout here.
TEST(WaitForMultipleEvents, NoWakeUpIsLostUnderPingPong) {
  constexpr int kRounds = 2000;
  TEvent even(false, false), odd(false, false), ack(false, false);
  TEvent* const events[] = {&even, &odd};
  std::atomic<int> wrongIndex{0};
  std::atomic<bool> stalled{false};

  std::jthread receiver([&] {
    for (int i = 0; i < kRounds; ++i) {
      const uint32_t result = WaitForMultipleEvents(events, 5000);
      if (result == WAIT_TIMEOUT) {
        stalled = true;
        return;
      }
      if (result != WAIT_OBJECT_0 + static_cast<uint32_t>(i % 2)) ++wrongIndex;
      ack.SetEvent();
    }
  });
  for (int i = 0; i < kRounds && !stalled; ++i) {
    (i % 2 == 0 ? even : odd).SetEvent();
    if (ack.WaitFor(5000) != WAIT_OBJECT_0) {
      stalled = true;
      break;
    }
  }
  receiver.join();
  EXPECT_FALSE(stalled);
  EXPECT_EQ(wrongIndex, 0);
}

// The calling thread's voluntary context switches: how often it went to sleep.
long OwnWakeUps() {
  std::ifstream status("/proc/thread-self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return 0;
}

// A waiter sleeps once a set: the setter wakes it after releasing the locks it would take
// next, so it does not wake only to sleep again on one of them (which doubled the wake-ups of
// every worker fed through an event or a message queue).
TEST(WaitForMultipleEvents, AWaiterSleepsOnceASet) {
  constexpr int kRounds = 400;
  TEvent work(false, false), ack(false, false);
  long sleeps = 0;
  std::jthread waiter([&] {
    const long before = OwnWakeUps();
    for (int i = 0; i < kRounds; ++i) {
      if (work.WaitFor(5000) != WAIT_OBJECT_0) return;
      ack.SetEvent();
    }
    sleeps = OwnWakeUps() - before;
  });
  for (int i = 0; i < kRounds; ++i) {
    // Set once the waiter surely sleeps, as a device's next block finds its worker.
    std::this_thread::sleep_for(100us);
    work.SetEvent();
    ASSERT_EQ(ack.WaitFor(5000), WAIT_OBJECT_0);
  }
  waiter.join();
  EXPECT_LE(sleeps, kRounds + kRounds / 4) << "a woken waiter slept again on a lock";
}

}  // namespace
