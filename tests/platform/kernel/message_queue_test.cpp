#include "platform/kernel/message_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

HWND const kWindowA = reinterpret_cast<HWND>(0x10);
HWND const kWindowB = reinterpret_cast<HWND>(0x20);

// Starts each test with an empty queue on the test thread.
class MessageQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateMessageQueue();
    RemoveMessages(nullptr, 0, 0);
  }
  void TearDown() override {
    RemoveMessages(nullptr, 0, 0);
    SetPostHook(nullptr);
  }

  static void Post(HWND hwnd, uint32_t message) {
    ASSERT_TRUE(PostToThread(GetCurrentThreadId(), TMessage{hwnd, message, message * 10u, 0}));
  }

  // Takes every message matching the filter, in the order taken.
  static std::vector<uint32_t> TakeAll(HWND hwnd, uint32_t msgMin, uint32_t msgMax) {
    std::vector<uint32_t> taken;
    TMessage msg;
    while (PeekMessage(msg, hwnd, msgMin, msgMax, PM_REMOVE)) {
      EXPECT_EQ(msg.wParam, msg.message * 10u);
      taken.push_back(msg.message);
    }
    return taken;
  }
};

TEST_F(MessageQueue, PeekFiltersByWindowAndRange) {
  struct TCase {
    const char* name;
    HWND hwnd;
    uint32_t msgMin, msgMax;
    std::vector<uint32_t> taken;
  };
  const TCase cases[] = {
      {"everything", nullptr, 0, 0, {100, 200, 300, 150, 250}},
      {"range", nullptr, 150, 250, {200, 150, 250}},
      {"single message", nullptr, 300, 300, {300}},
      {"window", kWindowB, 0, 0, {300, 250}},
      // The thread message 150 carries no window, so a window filter skips it.
      {"window and range", kWindowA, 150, 250, {200}},
      {"nothing matches", kWindowA, 400, 500, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveMessages(nullptr, 0, 0);
    Post(kWindowA, 100);
    Post(kWindowA, 200);
    Post(kWindowB, 300);
    Post(nullptr, 150);
    Post(kWindowB, 250);
    const int before = PendingMessageCount();
    EXPECT_EQ(TakeAll(c.hwnd, c.msgMin, c.msgMax), c.taken);
    EXPECT_EQ(PendingMessageCount(), before - static_cast<int>(c.taken.size()));
  }
}

TEST_F(MessageQueue, NoRemoveLeavesTheMessageAndRemoveMessagesCounts) {
  Post(kWindowA, 100);
  Post(kWindowA, 200);
  Post(kWindowB, 200);
  TMessage msg;
  ASSERT_TRUE(PeekMessage(msg, nullptr, 200, 200, PM_NOREMOVE));
  EXPECT_EQ(msg.hwnd, kWindowA);
  EXPECT_EQ(PendingMessageCount(), 3);

  EXPECT_EQ(RemoveMessages(nullptr, 200, 200), 2);
  EXPECT_EQ(TakeAll(nullptr, 0, 0), std::vector<uint32_t>{100});
  EXPECT_EQ(PendingMessageCount(), 0);
}

TEST_F(MessageQueue, PostingNeedsALiveQueue) {
  EXPECT_FALSE(PostThreadMessage(0xFFFFFF, WM_USER, 0, 0)) << "no such thread";

  TThreadId withoutQueue = 0;
  std::jthread([&] { withoutQueue = GetCurrentThreadId(); }).join();
  EXPECT_FALSE(PostThreadMessage(withoutQueue, WM_USER, 0, 0));

  // A thread's queue lives as long as the thread.
  TEvent ready(true, false), finish(true, false);
  TThreadId withQueue = 0;
  int receivedBeforeEnd = 0;
  std::jthread worker([&] {
    CreateMessageQueue();
    withQueue = GetCurrentThreadId();
    ready.SetEvent();
    finish.WaitFor(5000);
    receivedBeforeEnd = PendingMessageCount();
  });
  ASSERT_EQ(ready.WaitFor(5000), WAIT_OBJECT_0);
  EXPECT_TRUE(PostThreadMessage(withQueue, WM_USER, 1, 2));
  finish.SetEvent();
  worker.join();
  EXPECT_EQ(receivedBeforeEnd, 1);
  EXPECT_FALSE(PostThreadMessage(withQueue, WM_USER, 0, 0)) << "the ended thread's queue is kept";
}

TEST_F(MessageQueue, MessagesFromAnotherThreadArriveInOrderAndCallTheHook) {
  static std::atomic<int> hookCalls;
  static std::atomic<TThreadId> hookThread;
  hookCalls = 0;
  SetPostHook([](TThreadId threadId) {
    ++hookCalls;
    hookThread = threadId;
  });
  constexpr uint32_t kCount = 500;
  const TThreadId self = GetCurrentThreadId();
  std::jthread([&] {
    for (uint32_t i = 1; i <= kCount; ++i) PostThreadMessage(self, i, i * 10u, 0);
  }).join();
  std::vector<uint32_t> expected;
  for (uint32_t i = 1; i <= kCount; ++i) expected.push_back(i);
  EXPECT_EQ(TakeAll(nullptr, 0, 0), expected);
  EXPECT_EQ(hookCalls, static_cast<int>(kCount));
  EXPECT_EQ(hookThread, self);
}

TEST_F(MessageQueue, MsgWaitIsWokenByAMessageOrAnEventOrTimesOut) {
  TEvent event(false, false);
  TEvent* const events[] = {&event};
  const TThreadId self = GetCurrentThreadId();
  {
    std::jthread poster([&] {
      std::this_thread::sleep_for(20ms);
      PostThreadMessage(self, WM_USER, 0, 0);
    });
    EXPECT_EQ(MsgWaitForMultipleObjects(events, 5000), WAIT_OBJECT_0 + 1);
  }
  // The queue stays signalled until it is emptied.
  EXPECT_EQ(MsgWaitForMultipleObjects(events, 0), WAIT_OBJECT_0 + 1);
  TMessage msg;
  ASSERT_TRUE(PeekMessage(msg, nullptr, 0, 0, PM_REMOVE));

  {
    std::jthread setter([&] {
      std::this_thread::sleep_for(20ms);
      event.SetEvent();
    });
    EXPECT_EQ(MsgWaitForMultipleObjects(events, 5000), WAIT_OBJECT_0);
  }

  const auto start = Clock::now();
  EXPECT_EQ(MsgWaitForMultipleObjects(events, 50), WAIT_TIMEOUT);
  EXPECT_GE(Clock::now() - start, 45ms);
}

TEST_F(MessageQueue, PurgeWindowMessagesFromAnotherThread) {
  Post(kWindowA, 1);
  Post(kWindowB, 2);
  Post(nullptr, 3);
  Post(kWindowA, 4);
  const TThreadId self = GetCurrentThreadId();
  std::jthread([&] { PurgeWindowMessages(self, kWindowA); }).join();
  EXPECT_EQ(TakeAll(nullptr, 0, 0), (std::vector<uint32_t>{2, 3}));
}

}  // namespace
