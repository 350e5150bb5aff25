// The periodic timer: when it runs at all, where OnTimer runs, a handler that stops its own
// timer, slow handlers and unhandled ticks that must not pile up, and the timer resolution it
// asks for only while it runs.
#include "stream/hi_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/kernel/clock.h"
#include "platform/mmtimer/mmtimer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The timer thread frees itself; tests wait for it to be gone before the next one.
void ExpectNoThreadLeft() {
  EXPECT_TRUE(RunUntil([] { return LiveThreadCount() == 0; }, 5000));
  ReapFinishedThreads();
}

// The 1 ms resolution is asked for while a timer runs and given back when it stops: ending a
// period that nobody began fails.
bool PeriodHeld() {
  if (timeEndPeriod(1) != TIMERR_NOERROR) return false;
  timeBeginPeriod(1);
  return true;
}

TEST(HiTimer, RunsOnlyEnabledWithAnIntervalAndAHandler) {
  struct Case {
    const char* name;
    bool enabled;
    uint32_t interval;
    bool handler;
    bool runs;
  };
  const Case cases[] = {
      {"all three", true, 20, true, true},
      {"interval 0", true, 0, true, false},
      {"disabled", false, 20, true, false},
      {"no handler", true, 20, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TMMHiTimer timer(nullptr);
    timer.SetEnabled(c.enabled);
    timer.SetInterval(c.interval);
    if (c.handler) timer.SetOnTimer([](TObject*) {});
    EXPECT_EQ(timer.Running(), c.runs);
    EXPECT_EQ(PeriodHeld(), c.runs);
  }
  EXPECT_FALSE(PeriodHeld()) << "every stop gave the resolution back";
}

TEST(HiTimer, OnTimerRunsOnTheMainThreadInWindowAndSynchronizedThreadModes) {
  for (const TMMCBMode mode : {cmThread, cmWindow}) {
    SCOPED_TRACE(mode == cmThread ? "thread" : "window");
    TMMHiTimer timer(nullptr);
    timer.SetCallBackMode(mode);
    timer.SetInterval(10);
    std::atomic<int> calls{0}, elsewhere{0};
    TObject* sender = nullptr;
    timer.SetOnTimer([&](TObject* s) {
      sender = s;
      if (!IsMainThread()) ++elsewhere;
      ++calls;
    });
    EXPECT_TRUE(RunUntil([&] { return calls >= 3; }, 5000));
    EXPECT_EQ(elsewhere, 0);
    EXPECT_EQ(sender, &timer);
    timer.SetEnabled(false);
  }
  ExpectNoThreadLeft();
}

TEST(HiTimer, AHandlerThatStopsItsOwnTimerReturnsAtOnce) {
  TMMHiTimer timer(nullptr);
  timer.SetCallBackMode(cmThread);
  timer.SetWaitForTerminate(true);
  timer.SetInterval(10);
  int calls = 0;
  Clock::duration stopTook{};
  timer.SetOnTimer([&](TObject*) {
    ++calls;
    const auto began = Clock::now();
    timer.SetEnabled(false);  // the timer thread waits for this very call
    stopTook = Clock::now() - began;
  });
  ASSERT_TRUE(RunUntil([&] { return calls > 0; }, 5000));
  EXPECT_FALSE(timer.Running());
  // Far below the 5 s it would wait for a thread that cannot end before the call returns.
  EXPECT_LT(stopTook, 2s);
  ExpectNoThreadLeft();
  ProcessMessages();
  EXPECT_EQ(calls, 1);
}

TEST(HiTimer, ASlowHandlerGetsOneCallPerCompletionNotABacklog) {
  TMMHiTimer timer(nullptr);
  timer.SetCallBackMode(cmThread);
  timer.SetSynchronize(false);  // the timer thread runs the handler itself
  timer.SetInterval(5);
  std::atomic<int> calls{0};
  std::atomic<bool> slow{true};
  timer.SetOnTimer([&](TObject*) {
    ++calls;
    if (slow) std::this_thread::sleep_for(60ms);
  });
  const auto began = Clock::now();
  std::this_thread::sleep_for(600ms);
  slow = false;
  const int during = calls;
  const double elapsedMs =
      std::chrono::duration<double, std::milli>(Clock::now() - began).count();
  // At most one call per 60 ms handler (ticks merge while it runs), plus the one in progress.
  EXPECT_LE(during, int(elapsedMs / 60.0) + 2) << elapsedMs << " ms";
  EXPECT_GE(during, 1);
  // Once fast, it does not catch up on the ticks it missed: at most one call is queued.
  const int fastStart = calls;
  std::this_thread::sleep_for(20ms);
  EXPECT_LE(calls - fastStart, 20 / 5 + 2);
  timer.SetEnabled(false);
  ExpectNoThreadLeft();
}

TEST(HiTimer, WindowModeKeepsAtMostTenTicksWaiting) {
  TMMHiTimer timer(nullptr);
  timer.SetInterval(2);
  int calls = 0;
  timer.SetOnTimer([&](TObject*) { ++calls; });
  std::this_thread::sleep_for(200ms);  // about 100 ticks while the main loop is not drained
  timer.SetEnabled(false);             // drops what is still queued
  ProcessMessages();
  EXPECT_EQ(calls, 0);
  timer.SetEnabled(true);
  std::this_thread::sleep_for(200ms);
  ProcessMessages();
  EXPECT_GE(calls, 1);
  EXPECT_LE(calls, 10);
}

TEST(HiTimer, ErrorsInTheHandlerAreReportedAndTheTimerGoesOn) {
  std::atomic<int> reports{0};
  SetExceptionHandler([&](std::exception_ptr) { ++reports; });
  for (const TMMCBMode mode : {cmThread, cmWindow}) {
    SCOPED_TRACE(mode == cmThread ? "thread" : "window");
    TMMHiTimer timer(nullptr);
    timer.SetCallBackMode(mode);
    timer.SetInterval(10);
    int calls = 0;
    timer.SetOnTimer([&](TObject*) {
      ++calls;
      throw EMMError("handler failed");
    });
    const int before = reports;
    EXPECT_TRUE(RunUntil([&] { return calls >= 3; }, 5000));
    EXPECT_GE(reports - before, 2);
    timer.SetEnabled(false);
  }
  SetExceptionHandler(nullptr);
  ExpectNoThreadLeft();
}

TEST(HiTimer, CallbackModeIsRefusedWithANotice) {
  std::string text, caption;
  SetMessageBoxHook([&](const std::string& t, const std::string& c) {
    text = t;
    caption = c;
  });
  TMMHiTimer timer(nullptr);
  timer.SetCallBackMode(cmThread);
  timer.SetCallBackMode(cmCallback);
  SetMessageBoxHook(nullptr);
  EXPECT_EQ(timer.CallBackMode(), cmThread);
  EXPECT_EQ(caption, "TMMHiTimer");
  EXPECT_EQ(text,
            "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported "
            "under Windows 95");
}

}  // namespace
