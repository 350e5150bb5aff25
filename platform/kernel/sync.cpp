#include "platform/kernel/sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <optional>

// A thread blocked in WaitForMultipleEvents. It registers itself with every event it waits on;
// SetEvent flags it under its own lock and wakes it, so one wait can cover many events.
// Lock order: event lock, then waiter lock.
struct TWaiter {
  std::mutex Lock;
  std::condition_variable Wake;
  bool Signalled = false;
};

TEvent::TEvent(bool manualReset, bool initialState)
    : FManualReset(manualReset), FState(initialState) {}

TEvent::~TEvent() = default;

void TEvent::SetEvent() {
  std::lock_guard lock(FLock);
  FState = true;
  for (TWaiter* waiter : FWaiters) {
    {
      std::lock_guard waiterLock(waiter->Lock);
      waiter->Signalled = true;
    }
    // Every waiter is woken: for an auto-reset event the first to take the event's lock
    // consumes it and the others go back to waiting. Woken after its lock is released, so
    // that it does not wake only to wait for that lock; the event's lock, still held, keeps it
    // registered and so alive.
    waiter->Wake.notify_one();
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

  TWaiter waiter;
  for (TEvent* event : events) {
    std::lock_guard lock(event->FLock);
    event->FWaiters.push_back(&waiter);
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
    auto it = std::find(event->FWaiters.begin(), event->FWaiters.end(), &waiter);
    if (it != event->FWaiters.end()) event->FWaiters.erase(it);
  }
  return result;
}
