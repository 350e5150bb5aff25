// Kernel synchronisation objects: events, critical sections, interlocked counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

// Result of the waits: WAIT_OBJECT_0 + index of the signalled object, or WAIT_TIMEOUT.
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t INFINITE = 0xFFFFFFFF;

struct TWaiter;

// An auto-reset or manual-reset event. An auto-reset event is reset by the one wait it releases;
// a manual-reset event stays set until ResetEvent.
class TEvent {
 public:
  TEvent(bool manualReset, bool initialState);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // Reads the state without consuming it.
  bool IsSet() const;
  // WAIT_OBJECT_0 when the event was (or became) set within timeoutMs, else WAIT_TIMEOUT.
  uint32_t WaitFor(uint32_t timeoutMs);

 private:
  friend uint32_t WaitForMultipleEvents(std::span<TEvent* const>, uint32_t);
  bool TryConsumeLocked();

  mutable std::mutex FLock;
  const bool FManualReset;
  bool FState;
  // Shared, so that SetEvent can wake them after releasing FLock.
  std::vector<std::shared_ptr<TWaiter>> FWaiters;
};

// Waits until any of the events is set. Returns WAIT_OBJECT_0 + the index of the first set
// event (that event is consumed if auto-reset), or WAIT_TIMEOUT.
uint32_t WaitForMultipleEvents(std::span<TEvent* const> events, uint32_t timeoutMs);

// A recursive lock, entered and left by the same thread.
class TCriticalSection {
 public:
  void Enter() { FMutex.lock(); }
  void Leave() { FMutex.unlock(); }
  bool TryEnter() { return FMutex.try_lock(); }
  // BasicLockable, so std::lock_guard and std::unique_lock work on it.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex FMutex;
};

// Interlocked counters: the new value is returned, as the platform's calls do.
inline int32_t InterlockedIncrement(std::atomic<int32_t>& v) {
  return ++v;
}
inline int32_t InterlockedDecrement(std::atomic<int32_t>& v) {
  return --v;
}
inline int32_t InterlockedExchange(std::atomic<int32_t>& v, int32_t value) {
  return v.exchange(value);
}
