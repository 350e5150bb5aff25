// The held peak of an instrument: raised by the data updates, lowered by the 25 ms ticks of the
// display timer once its hold time is over. Updates and ticks come from different threads.
#pragma once

#include <atomic>
#include <mutex>

class TMMPeakHold {
 public:
  // Arms the peak when Value exceeds it (or equals it, with RearmOnEqual): the peak becomes
  // Value and is held for Delay × 2 + 1 ticks. Marks a redraw as pending. True when armed.
  bool Raise(int Value, int Delay, bool RearmOnEqual);
  // One tick, while the peak is at least 1: the hold counter drops, and when it falls below 1
  // the peak drops by Step (not below Floor) and is held Speed ticks more, or with Speed 0 goes
  // to Floor at once. Marks a redraw as pending. True when the tick changed anything.
  bool Tick(int Step, int Floor, int Speed);
  void Reset();

  // The peak, read without a lock from any thread.
  int GetPeak() const { return FPeak.load(std::memory_order_relaxed); }
  int GetCounter() const;
  // Takes the pending flag: true once after a Raise or a Tick.
  bool TakeRedrawPending() { return FRedrawPending.exchange(false); }
  bool IsRedrawPending() const { return FRedrawPending.load(); }
  void SetRedrawPending() { FRedrawPending.store(true); }

 private:
  mutable std::mutex FLock;  // guards FCounter and every change of FPeak
  std::atomic<int> FPeak{0};
  int FCounter = 0;
  std::atomic<bool> FRedrawPending{false};
};
