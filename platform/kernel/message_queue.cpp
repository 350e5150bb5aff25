#include "platform/kernel/message_queue.h"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

namespace {

struct TQueue {
  std::mutex Lock;
  std::deque<TMessage> Messages;
  // Set while the queue holds a message, so a wait can cover the queue and events alike.
  // Lock order: queue lock, then the event's.
  TEvent NotEmpty{true, false};
  // An eventfd counter raised by every post, or -1.
  std::atomic<int> WakeFd{-1};
};

// Every thread's queue by thread id. Never destroyed, so threads that end while the program
// exits can still unregister.
struct TRegistry {
  std::mutex Lock;
  std::unordered_map<TThreadId, std::shared_ptr<TQueue>> Queues;
};

TRegistry& Registry() {
  static auto* registry = new TRegistry;
  return *registry;
}

std::atomic<TPostHook> gPostHook{nullptr};

std::shared_ptr<TQueue> FindQueue(TThreadId threadId) {
  std::lock_guard lock(Registry().Lock);
  auto it = Registry().Queues.find(threadId);
  return it == Registry().Queues.end() ? nullptr : it->second;
}

std::shared_ptr<TQueue> FindOrCreateQueue(TThreadId threadId) {
  std::lock_guard lock(Registry().Lock);
  auto& queue = Registry().Queues[threadId];
  if (!queue) queue = std::make_shared<TQueue>();
  return queue;
}

// Holds the calling thread's queue and unregisters it when the thread ends.
struct TQueueHolder {
  std::shared_ptr<TQueue> Queue;
  TThreadId Owner = 0;

  ~TQueueHolder() {
    if (!Queue) return;
    std::lock_guard lock(Registry().Lock);
    auto it = Registry().Queues.find(Owner);
    if (it != Registry().Queues.end() && it->second == Queue) Registry().Queues.erase(it);
  }
};

thread_local TQueueHolder tQueueHolder;

TQueue& OwnQueue() {
  if (!tQueueHolder.Queue) {
    tQueueHolder.Owner = GetCurrentThreadId();
    tQueueHolder.Queue = FindOrCreateQueue(tQueueHolder.Owner);
  }
  return *tQueueHolder.Queue;
}

bool Matches(const TMessage& msg, HWND hwnd, uint32_t msgMin, uint32_t msgMax) {
  if (hwnd != nullptr && msg.hwnd != hwnd) return false;
  if (msgMin == 0 && msgMax == 0) return true;
  return msgMin <= msg.message && msg.message <= msgMax;
}

// Removes the matching messages of a queue whose lock is held; returns how many.
int RemoveMatchingLocked(TQueue& queue, HWND hwnd, uint32_t msgMin, uint32_t msgMax) {
  const auto before = queue.Messages.size();
  std::erase_if(queue.Messages,
                [&](const TMessage& msg) { return Matches(msg, hwnd, msgMin, msgMax); });
  if (queue.Messages.empty()) queue.NotEmpty.ResetEvent();
  return static_cast<int>(before - queue.Messages.size());
}

}  // namespace

void CreateMessageQueue() {
  OwnQueue();
}

void EnsureMessageQueue(TThreadId threadId) {
  if (threadId == GetCurrentThreadId()) {
    OwnQueue();
  } else {
    FindOrCreateQueue(threadId);
  }
}

bool PostThreadMessage(TThreadId threadId, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  return PostToThread(threadId, TMessage{nullptr, msg, wParam, lParam});
}

bool PostToThread(TThreadId threadId, const TMessage& msg) {
  std::shared_ptr<TQueue> queue = FindQueue(threadId);
  if (!queue) return false;
  {
    std::lock_guard lock(queue->Lock);
    queue->Messages.push_back(msg);
  }
  // Set after the queue's lock is released, so that the woken thread does not find it taken.
  // A reader that took the message meanwhile may have found the event clear and the queue
  // empty: the event is then set for an empty queue, which costs its thread one look, and a
  // message is never left without the event.
  queue->NotEmpty.SetEvent();
  if (const int fd = queue->WakeFd.load(); fd >= 0) {
    const uint64_t one = 1;
    // Fails only when the counter is full, and then the thread is woken anyway.
    [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
  }
  if (TPostHook hook = gPostHook.load()) hook(threadId);
  return true;
}

bool PeekMessage(TMessage& msg, HWND hwnd, uint32_t msgMin, uint32_t msgMax, uint32_t removeMsg) {
  TQueue& queue = OwnQueue();
  std::lock_guard lock(queue.Lock);
  auto it = std::find_if(queue.Messages.begin(), queue.Messages.end(),
                         [&](const TMessage& m) { return Matches(m, hwnd, msgMin, msgMax); });
  if (it == queue.Messages.end()) {
    // An event set late for a message already taken is cleared here, or a wait would keep
    // returning at once.
    if (queue.Messages.empty()) queue.NotEmpty.ResetEvent();
    return false;
  }
  msg = *it;
  if (removeMsg & PM_REMOVE) {
    queue.Messages.erase(it);
    if (queue.Messages.empty()) queue.NotEmpty.ResetEvent();
  }
  return true;
}

int RemoveMessages(HWND hwnd, uint32_t msgMin, uint32_t msgMax) {
  TQueue& queue = OwnQueue();
  std::lock_guard lock(queue.Lock);
  return RemoveMatchingLocked(queue, hwnd, msgMin, msgMax);
}

int PendingMessageCount() {
  TQueue& queue = OwnQueue();
  std::lock_guard lock(queue.Lock);
  return static_cast<int>(queue.Messages.size());
}

uint32_t MsgWaitForMultipleObjects(std::span<TEvent* const> events, uint32_t timeoutMs) {
  std::vector<TEvent*> all(events.begin(), events.end());
  all.push_back(&OwnQueue().NotEmpty);
  return WaitForMultipleEvents(all, timeoutMs);
}

void PurgeWindowMessages(TThreadId threadId, HWND hwnd) {
  if (hwnd == nullptr) return;
  std::shared_ptr<TQueue> queue = FindQueue(threadId);
  if (!queue) return;
  std::lock_guard lock(queue->Lock);
  RemoveMatchingLocked(*queue, hwnd, 0, 0);
}

void SetQueueWakeDescriptor(TThreadId threadId, int fd) {
  FindOrCreateQueue(threadId)->WakeFd = fd;
}

void SetPostHook(TPostHook hook) {
  gPostHook = hook;
}
