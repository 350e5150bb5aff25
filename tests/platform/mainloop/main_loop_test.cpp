#include "platform/mainloop/main_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A hidden window that records what it receives.
struct TRecordingWindow {
  std::vector<std::pair<uint32_t, WPARAM>> Received;
  bool WrongWindow = false;
  TMessageWindow Window{[this](TMessage& msg) {
    WrongWindow = WrongWindow || msg.hwnd != Window.Handle();
    Received.emplace_back(msg.message, msg.wParam);
  }};
  HWND Handle() const { return Window.Handle(); }
};

using TReceived = std::vector<std::pair<uint32_t, WPARAM>>;

// Each test starts with an empty main queue and the default hooks, and leaves them so.
class MainLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(IsMainThread());
    RemoveMessages(nullptr, 0, 0);
    ResetApplicationTerminated();
  }
  void TearDown() override {
    ProcessMessages();
    SetExceptionHandler(nullptr);
    SetMainLoopWakeHook(nullptr);
    ResetApplicationTerminated();
  }
};

TEST_F(MainLoop, WindowMessagesReachTheirHandlerInOrder) {
  TRecordingWindow a, b;
  EXPECT_NE(a.Handle(), b.Handle());
  ASSERT_TRUE(PostMessage(a.Handle(), WM_USER, 1, 0));
  ASSERT_TRUE(PostMessage(b.Handle(), WM_USER + 1, 2, 0));
  ASSERT_TRUE(PostMessage(a.Handle(), WM_USER + 2, 3, 0));
  // Posted from a worker before the main thread looks at its queue again.
  std::jthread([&] { EXPECT_TRUE(PostMessage(b.Handle(), WM_USER + 3, 4, 0)); }).join();

  EXPECT_TRUE(a.Received.empty()) << "dispatched before the loop ran";
  ProcessMessages();
  EXPECT_EQ(a.Received, (TReceived{{WM_USER, 1}, {WM_USER + 2, 3}}));
  EXPECT_EQ(b.Received, (TReceived{{WM_USER + 1, 2}, {WM_USER + 3, 4}}));
  EXPECT_FALSE(a.WrongWindow || b.WrongWindow);
  EXPECT_FALSE(HandleMessage()) << "nothing left to dispatch";
}

TEST_F(MainLoop, ProcessMessagesLeavesWhatTheHandlersPost) {
  int handled = 0;
  TMessageWindow window([&](TMessage& msg) {
    // Bounded, so a loop that keeps dispatching fails the test instead of spinning forever.
    if (++handled < 10) PostMessage(msg.hwnd, msg.message, 0, 0);
  });
  PostMessage(window.Handle(), WM_USER, 0, 0);
  PostMessage(window.Handle(), WM_USER, 0, 0);
  ProcessMessages();
  EXPECT_EQ(handled, 2);
  EXPECT_EQ(PendingMessageCount(), 2);
  RemovePendingMessages(window.Handle(), 0, 0);
}

TEST_F(MainLoop, RemovePendingMessagesTakesOnlyThatWindowsRange) {
  TRecordingWindow a, b;
  PostMessage(a.Handle(), WM_USER + 1, 0, 0);
  PostMessage(a.Handle(), WM_USER + 5, 0, 0);
  PostMessage(b.Handle(), WM_USER + 5, 0, 0);
  PostMessage(a.Handle(), WM_USER + 10, 0, 0);
  PostMessage(a.Handle(), WM_USER + 6, 0, 0);

  EXPECT_EQ(RemovePendingMessages(a.Handle(), WM_USER + 4, WM_USER + 6), 2);
  ProcessMessages();
  EXPECT_EQ(a.Received, (TReceived{{WM_USER + 1, 0}, {WM_USER + 10, 0}}));
  EXPECT_EQ(b.Received, (TReceived{{WM_USER + 5, 0}}));

  PostMessage(a.Handle(), WM_USER, 0, 0);
  PostMessage(b.Handle(), WM_USER, 0, 0);
  EXPECT_EQ(RemovePendingMessages(a.Handle(), 0, 0), 1);
  EXPECT_EQ(PendingMessageCount(), 1);
}

TEST_F(MainLoop, DestroyedWindowGetsNoMoreMessages) {
  int destroyedCalls = 0;
  auto doomed = std::make_unique<TMessageWindow>([&](TMessage&) { ++destroyedCalls; });
  const HWND doomedHandle = doomed->Handle();
  // A window that destroys itself on its first message, with a second one still queued.
  int selfCalls = 0;
  std::unique_ptr<TMessageWindow> self;
  self = std::make_unique<TMessageWindow>([&](TMessage&) {
    ++selfCalls;
    self.reset();
  });
  const HWND selfHandle = self->Handle();
  TRecordingWindow survivor;

  PostMessage(doomedHandle, WM_USER, 0, 0);
  PostMessage(selfHandle, WM_USER, 0, 0);
  PostMessage(selfHandle, WM_USER, 0, 0);
  PostMessage(survivor.Handle(), WM_USER, 7, 0);
  doomed.reset();
  EXPECT_EQ(PendingMessageCount(), 3) << "the destroyed window's message is still queued";
  ProcessMessages();

  EXPECT_EQ(destroyedCalls, 0);
  EXPECT_EQ(selfCalls, 1);
  EXPECT_EQ(survivor.Received, (TReceived{{WM_USER, 7}}));
  EXPECT_FALSE(PostMessage(doomedHandle, WM_USER, 0, 0));
  EXPECT_FALSE(PostMessage(selfHandle, WM_USER, 0, 0));
  EXPECT_FALSE(PostMessage(nullptr, WM_USER, 0, 0));
  // A later window never takes over a destroyed window's handle.
  TRecordingWindow later;
  EXPECT_NE(later.Handle(), doomedHandle);
  EXPECT_NE(later.Handle(), selfHandle);
}

TEST_F(MainLoop, SynchronizeFromAWorkerRunsOnTheMainThread) {
  std::atomic<bool> done{false};
  bool ranOnMain = false;
  std::string workerSaw;
  std::jthread worker([&] {
    Synchronize([&] { ranOnMain = IsMainThread(); });
    try {
      Synchronize([] { throw std::runtime_error("from the main thread"); });
    } catch (const std::runtime_error& e) {
      workerSaw = e.what();
    }
    done = true;
    WakeMainLoop();  // no message says so
  });
  ASSERT_TRUE(RunUntil([&] { return done.load(); }, 10000));
  worker.join();
  EXPECT_TRUE(ranOnMain);
  EXPECT_EQ(workerSaw, "from the main thread");
}

TEST_F(MainLoop, SynchronizeOnTheMainThreadRunsAtOnce) {
  bool ranOnMain = false;
  Synchronize([&] { ranOnMain = IsMainThread(); });
  EXPECT_TRUE(ranOnMain);
  EXPECT_EQ(PendingMessageCount(), 0);
  EXPECT_THROW(Synchronize([] { throw std::logic_error("direct"); }), std::logic_error);
}

TEST_F(MainLoop, HandleMessageOnlyRunsOnTheMainThread) {
  TRecordingWindow window;
  PostMessage(window.Handle(), WM_USER, 0, 0);
  bool handledElsewhere = true;
  std::jthread([&] { handledElsewhere = HandleMessage(); }).join();
  EXPECT_FALSE(handledElsewhere);
  EXPECT_TRUE(window.Received.empty());
  EXPECT_TRUE(HandleMessage());
  EXPECT_EQ(window.Received.size(), 1u);
}

TEST_F(MainLoop, RunUntilTimesOut) {
  const auto start = Clock::now();
  EXPECT_FALSE(RunUntil([] { return false; }, 50));
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 45ms);
  EXPECT_LT(waited, 2s);
}

// Idle, RunUntil sleeps: `done` is looked at when a message comes, on a wake-up, and otherwise
// only at the fallback pace, however busy the machine (a busy machine only looks less often).
TEST_F(MainLoop, RunUntilSleepsUntilAMessageOrAWakeUp) {
  int looks = 0;
  EXPECT_FALSE(RunUntil([&] { return ++looks, false; }, 600));
  EXPECT_LE(looks, int(600 / kRunUntilFallbackMs) + 2) << "RunUntil polled while idle";

  // A message: its handler's effect ends the wait.
  bool handled = false;
  TMessageWindow window([&](TMessage&) { handled = true; });
  std::jthread poster([&] { PostMessage(window.Handle(), WM_USER, 0, 0); });
  EXPECT_TRUE(RunUntil([&] { return handled; }, 10000));
  poster.join();

  // A condition that turns true without a message, with a wake-up from the thread that made it.
  for (int round = 0; round < 20; ++round) {
    std::atomic<bool> flag{false};
    std::jthread waker([&] {
      flag = true;
      WakeMainLoop();
    });
    EXPECT_TRUE(RunUntil([&] { return flag.load(); }, 10000));
  }
}

// A signal handler's wake-up ends a long Delay: the handler terminates the application, which
// only sets a flag and raises the main loop's wake-up (both safe in a handler).
TEST_F(MainLoop, ASignalHandlerWakesTheMainLoop) {
  using THandler = void (*)(int);
  const THandler old = std::signal(SIGUSR1, [](int) { TerminateApplication(); });
  ASSERT_NE(old, SIG_ERR);
  // Raised on a thread of its own, so that the main thread's wait is not merely interrupted.
  std::jthread signaller([] {
    std::this_thread::sleep_for(20ms);
    std::raise(SIGUSR1);
  });
  const auto start = Clock::now();
  Delay(30000, true);
  EXPECT_LT(Clock::now() - start, 15s);
  EXPECT_TRUE(ApplicationTerminated());
  signaller.join();
  std::signal(SIGUSR1, old);
}

TEST_F(MainLoop, DelayDispatchesMessagesWhenAsked) {
  TRecordingWindow window;
  PostMessage(window.Handle(), WM_USER, 0, 0);
  Delay(20, false);
  EXPECT_TRUE(window.Received.empty()) << "a plain delay dispatched a message";

  const auto start = Clock::now();
  Delay(50, true);
  EXPECT_GE(Clock::now() - start, 45ms);
  EXPECT_EQ(window.Received.size(), 1u);
}

TEST_F(MainLoop, DelayEndsEarlyWhenTheApplicationTerminates) {
  TMessageWindow window([](TMessage&) { TerminateApplication(); });
  std::jthread poster([&] {
    std::this_thread::sleep_for(20ms);
    PostMessage(window.Handle(), WM_USER, 0, 0);
  });
  const auto start = Clock::now();
  Delay(10000, true);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(ApplicationTerminated());
}

TEST_F(MainLoop, WakeHookRunsOnPostsToTheMainThreadOnly) {
  std::atomic<int> wakes{0};
  SetMainLoopWakeHook([&] { ++wakes; });
  TRecordingWindow window;
  std::jthread([&] { PostMessage(window.Handle(), WM_USER, 0, 0); }).join();
  EXPECT_EQ(wakes, 1);

  TEvent ready(true, false), finish(true, false);
  TThreadId workerId = 0;
  std::jthread worker([&] {
    CreateMessageQueue();
    workerId = GetCurrentThreadId();
    ready.SetEvent();
    finish.WaitFor(5000);
  });
  ASSERT_EQ(ready.WaitFor(5000), WAIT_OBJECT_0);
  EXPECT_TRUE(PostThreadMessage(workerId, WM_USER, 0, 0));
  finish.SetEvent();
  EXPECT_EQ(wakes, 1) << "a post to another thread woke the main loop";
}

TEST_F(MainLoop, ExceptionsReachTheHandlerOnTheMainThread) {
  std::vector<std::string> reports;
  bool allOnMain = true;
  SetExceptionHandler([&](std::exception_ptr error) {
    allOnMain = allOnMain && IsMainThread();
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      reports.emplace_back(e.what());
    }
  });

  std::jthread([] {
    HandleException(std::make_exception_ptr(std::runtime_error("worker")));
  }).join();
  EXPECT_TRUE(reports.empty()) << "the handler ran on the worker";

  // A window handler's exception is reported too, without ending the loop.
  TMessageWindow thrower([](TMessage&) { throw std::runtime_error("handler"); });
  PostMessage(thrower.Handle(), WM_USER, 0, 0);
  ASSERT_TRUE(RunUntil([&] { return reports.size() == 2; }, 10000));
  EXPECT_EQ(reports, (std::vector<std::string>{"worker", "handler"}));
  EXPECT_TRUE(allOnMain);
}

}  // namespace
