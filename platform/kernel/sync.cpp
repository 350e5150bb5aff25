#include "platform/kernel/sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <optional>

// A thread blocked in WaitForMultipleEvents. It registers itself with every event it waits on;
// SetEvent flags it under its own lock and wakes it, so one wait can cover many events.
// SetEvent wakes its waiters after releasing the event's lock, and the waiter's lock before
// each wake-up, so that a woken thread does not find a lock taken and sleep again at once; a
// waiter is shared, so that it outlives a wait that ends meanwhile.
struct TWaiter {
  std::mutex Lock;
  std::condition_variable Wake;
  bool Signalled = false;
};

TEvent::TEvent(bool manualReset, bool initialState)
    : FManualReset(manualReset), FState(initialState) {}

TEvent::~TEvent() = default;

void TEvent::SetEvent() {
  // Usually one waiter or none: kept without allocating up to a few.
  constexpr size_t kInline = 4;
  std::shared_ptr<TWaiter> inlineWaiters[kInline];
  std::vector<std::shared_ptr<TWaiter>> moreWaiters;
  size_t count;
  {
    std::lock_guard lock(FLock);
    FState = true;
    count = FWaiters.size();
    if (count <= kInline) {
      std::copy(FWaiters.begin(), FWaiters.end(), inlineWaiters);
    } else {
      moreWaiters = FWaiters;
    }
  }
  std::shared_ptr<TWaiter>* waiters = count <= kInline ? inlineWaiters : moreWaiters.data();
  // Every waiter is woken: for an auto-reset event the first to take the event's lock consumes
  // it and the others go back to waiting. A waiter flagged after its wait began looks at the
  // events again, and this event is set by then.
  for (size_t i = 0; i < count; ++i) {
    TWaiter& waiter = *waiters[i];
    {
      std::lock_guard waiterLock(waiter.Lock);
      waiter.Signalled = true;
    }
    waiter.Wake.notify_one();
  }
}

void TEvent::ResetEvent() {
  std::lock_guard lock(FLock);
  FState = false;
}

bool TEvent::IsSet() const {
  std::lock_guard lock(FLock);
  return FState;
}

uint32_t TEvent::WaitFor(uint32_t timeoutMs) {
  TEvent* const self[] = {this};
  return WaitForMultipleEvents(self, timeoutMs);
}

bool TEvent::TryConsumeLocked() {
  if (!FState) return false;
  if (!FManualReset) FState = false;
  return true;
}

uint32_t WaitForMultipleEvents(std::span<TEvent* const> events, uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

  // Index of the first set event (consuming it when auto-reset), if any.
  auto ConsumeFirstSet = [events]() -> std::optional<uint32_t> {
    for (size_t i = 0; i < events.size(); ++i) {
      std::lock_guard lock(events[i]->FLock);
      if (events[i]->TryConsumeLocked()) return static_cast<uint32_t>(i);
    }
    return std::nullopt;
  };

  if (auto index = ConsumeFirstSet()) return WAIT_OBJECT_0 + *index;
  if (timeoutMs == 0) return WAIT_TIMEOUT;

  const auto shared = std::make_shared<TWaiter>();
  TWaiter& waiter = *shared;
  for (TEvent* event : events) {
    std::lock_guard lock(event->FLock);
    event->FWaiters.push_back(shared);
  }

  uint32_t result = WAIT_TIMEOUT;
  for (;;) {
    // Clear the flag before looking at the events: a SetEvent after the look sets it again,
    // so the wait below cannot miss it.
    {
      std::lock_guard lock(waiter.Lock);
      waiter.Signalled = false;
    }
    if (auto index = ConsumeFirstSet()) {
      result = WAIT_OBJECT_0 + *index;
      break;
    }
    std::unique_lock lock(waiter.Lock);
    if (timeoutMs == INFINITE) {
      waiter.Wake.wait(lock, [&] { return waiter.Signalled; });
    } else if (!waiter.Wake.wait_until(lock, deadline, [&] { return waiter.Signalled; })) {
      // Time is up; one last look so that an event set right at the deadline still counts.
      lock.unlock();
      if (auto index = ConsumeFirstSet()) result = WAIT_OBJECT_0 + *index;
      break;
    }
  }

  // Once unregistered from every event nobody refers to the waiter any more.
  for (TEvent* event : events) {
    std::lock_guard lock(event->FLock);
    auto it = std::find(event->FWaiters.begin(), event->FWaiters.end(), shared);
    if (it != event->FWaiters.end()) event->FWaiters.erase(it);
  }
  return result;
}
