#include "platform/kernel/thread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/kernel/sync.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <typename Pred>
bool Eventually(Pred pred) {
  const auto deadline = Clock::now() + 5s;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Runs a function as its Execute and ends itself in its own destructor, as a derived thread
// must when Execute uses its members.
class TFunctionThread : public TThread {
 public:
  explicit TFunctionThread(std::function<void(TFunctionThread&)> body, bool suspended = true)
      : TThread(suspended), FBody(std::move(body)) {}
  ~TFunctionThread() override {
    Terminate();
    WaitFor();
  }
  using TThread::Terminated;

 protected:
  void Execute() override { FBody(*this); }

 private:
  std::function<void(TFunctionThread&)> FBody;
};

TEST(ThreadIds, DistinctPerThreadAndMainIsTheTestThread) {
  const TThreadId mine = GetCurrentThreadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(GetCurrentThreadId(), mine);
  EXPECT_EQ(MainThreadId(), mine);
  EXPECT_TRUE(IsMainThread());

  std::set<TThreadId> ids{mine};
  bool otherIsMain = true;
  for (int i = 0; i < 4; ++i) {
    std::jthread([&] {
      ids.insert(GetCurrentThreadId());
      otherIsMain = otherIsMain && IsMainThread();
    }).join();
  }
  EXPECT_EQ(ids.size(), 5u);
  EXPECT_EQ(ids.count(0), 0u);
  EXPECT_FALSE(otherIsMain);
}

TEST(Thread, RunsOnlyAfterResumeAndOnlyOnce) {
  // Whatever the constructor argument, the thread starts at Resume.
  for (bool suspended : {true, false}) {
    SCOPED_TRACE(suspended);
    std::atomic<int> runs{0};
    std::atomic<TThreadId> ranOn{0};
    TFunctionThread thread(
        [&](TFunctionThread&) {
          ++runs;
          ranOn = GetCurrentThreadId();
        },
        suspended);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(thread.ThreadID(), 0u);
    EXPECT_FALSE(thread.Finished());

    thread.Resume();
    thread.Resume();
    thread.WaitFor();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(thread.ThreadID(), ranOn.load());
    EXPECT_NE(thread.ThreadID(), GetCurrentThreadId());
    EXPECT_FALSE(thread.FatalException());
  }
}

TEST(Thread, NeverResumedThreadIsDestroyedWithoutWaiting) {
  auto thread = std::make_unique<TFunctionThread>([](TFunctionThread&) {});
  thread->WaitFor();
  EXPECT_FALSE(thread->Finished());
  thread.reset();
  EXPECT_EQ(LiveThreadCount(), 0);
}

TEST(Thread, TerminateEndsAPollingExecute) {
  TFunctionThread thread([](TFunctionThread& self) {
    while (!self.Terminated()) std::this_thread::sleep_for(1ms);
  });
  thread.Resume();
  EXPECT_EQ(LiveThreadCount(), 1);
  std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(thread.Finished());
  thread.Terminate();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_EQ(LiveThreadCount(), 0);
}

TEST(Thread, ExceptionInExecuteIsCaptured) {
  TFunctionThread thread([](TFunctionThread&) { throw std::runtime_error("execute failed"); });
  thread.Resume();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  ASSERT_TRUE(thread.FatalException());
  try {
    std::rethrow_exception(thread.FatalException());
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "execute failed");
  }
}

// Counts its destructions, so the test can see that every self-freeing thread deleted itself.
class TSelfFreeingThread : public TThread {
 public:
  TSelfFreeingThread(TEvent& gate, std::atomic<int>& destroyed)
      : TThread(true), FGate(gate), FDestroyed(destroyed) {
    SetFreeOnTerminate(true);
  }
  ~TSelfFreeingThread() override { ++FDestroyed; }

 protected:
  void Execute() override { FGate.WaitFor(INFINITE); }

 private:
  TEvent& FGate;
  std::atomic<int>& FDestroyed;
};

TEST(Thread, FreeOnTerminateThreadsDeleteThemselvesAndAreReaped) {
  constexpr int kThreads = 8;
  TEvent gate(true, false);
  std::atomic<int> destroyed{0};
  for (int i = 0; i < kThreads; ++i) (new TSelfFreeingThread(gate, destroyed))->Resume();
  EXPECT_EQ(LiveThreadCount(), kThreads);
  EXPECT_EQ(destroyed, 0);

  gate.SetEvent();
  ASSERT_TRUE(Eventually([] { return LiveThreadCount() == 0; }));
  // Every ended thread has listed its handle; joining them waits for their deletions too.
  ReapFinishedThreads();
  EXPECT_EQ(destroyed, kThreads);
}

// Trivially destructible, so both stay valid to the very end of the process.
std::atomic<bool> gStaticAlive{false};
std::atomic<bool> gStaticUsed{false};

// A static object that a self-freeing thread uses while it deletes itself, as a registry of
// threads is. Its destruction waits a while for that use, so that an exit that destroys it
// too early is caught every time.
struct TUsedStatic {
  TUsedStatic() { gStaticAlive = true; }
  ~TUsedStatic() {
    gStaticAlive = false;
    for (int i = 0; i < 2000 && !gStaticUsed; ++i) std::this_thread::sleep_for(1ms);
  }
};

// Ends its Execute at once, then lingers in its destructor as the program exits and uses the
// static object last: the process ends with code 3 when that object was already gone.
class TLingeringThread : public TThread {
 public:
  explicit TLingeringThread(TEvent& executed) : TThread(true), FExecuted(executed) {
    SetFreeOnTerminate(true);
  }
  ~TLingeringThread() override {
    for (int i = 0; i < 300 && gStaticAlive; ++i) std::this_thread::sleep_for(1ms);
    if (!gStaticAlive) _exit(3);
    gStaticUsed = true;
  }

 protected:
  void Execute() override { FExecuted.SetEvent(); }

 private:
  TEvent& FExecuted;
};

TEST(ThreadDeathTest, ExitWaitsForSelfFreeingThreadsBeforeStaticObjectsGo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static TUsedStatic used;
        TEvent executed(true, false);
        (new TLingeringThread(executed))->Resume();
        executed.WaitFor(5000);
        // The owner has let the thread go; it is still deleting itself.
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

// The nice value of the calling thread (Linux keeps one per thread).
int CurrentNice() {
  errno = 0;
  return getpriority(PRIO_PROCESS, 0);
}

TEST(Thread, PriorityIsAppliedWherePermittedAndRefusalIsSilent) {
  const int baseNice = CurrentNice();
  struct TCase {
    TThreadPriority priority;
    int nice;
  };
  for (const TCase& c : {TCase{tpIdle, 15}, TCase{tpLowest, 2}, TCase{tpTimeCritical, -15}}) {
    SCOPED_TRACE(c.priority);
    std::atomic<int> seenNice{1000};
    TFunctionThread thread([&](TFunctionThread&) { seenNice = CurrentNice(); });
    thread.SetPriority(c.priority);
    thread.Resume();
    thread.WaitFor();
    EXPECT_EQ(thread.GetPriority(), c.priority);
    EXPECT_FALSE(thread.FatalException());
    // Lowering the priority is always allowed; raising it may be refused, and the thread then
    // runs at the priority it inherited.
    if (c.nice >= baseNice) {
      EXPECT_EQ(seenNice, c.nice);
    } else {
      EXPECT_TRUE(seenNice == c.nice || seenNice == baseNice) << seenNice;
    }
  }
}

TEST(Thread, PriorityChangeAppliesToARunningThread) {
  if (CurrentNice() > 2) GTEST_SKIP() << "the test runs at a nice value above 2";
  TEvent started(false, false), changed(false, false);
  std::atomic<int> seenNice{1000};
  TFunctionThread thread([&](TFunctionThread&) {
    started.SetEvent();
    changed.WaitFor(5000);
    seenNice = CurrentNice();
  });
  thread.Resume();
  ASSERT_EQ(started.WaitFor(5000), WAIT_OBJECT_0);
  thread.SetPriority(tpLowest);
  changed.SetEvent();
  thread.WaitFor();
  EXPECT_EQ(seenNice, 2);
}

}  // namespace
