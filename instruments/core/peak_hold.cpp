#include "instruments/core/peak_hold.h"

#include <algorithm>

bool TMMPeakHold::Raise(int Value, int Delay, bool RearmOnEqual) {
  std::lock_guard<std::mutex> lock(FLock);
  const int peak = FPeak.load(std::memory_order_relaxed);
  if (Value < peak || (Value == peak && !RearmOnEqual)) return false;
  FPeak.store(Value, std::memory_order_relaxed);
  FCounter = Delay * 2 + 1;
  FRedrawPending.store(true);
  return true;
}

bool TMMPeakHold::Tick(int Step, int Floor, int Speed) {
  std::lock_guard<std::mutex> lock(FLock);
  const int peak = FPeak.load(std::memory_order_relaxed);
  if (peak < 1) return false;
  if (--FCounter < 1) {
    if (Speed > 0) {
      FPeak.store(std::max(peak - Step, Floor), std::memory_order_relaxed);
      FCounter = Speed;
    } else {
      FPeak.store(Floor, std::memory_order_relaxed);
      FCounter = 0;
    }
  }
  FRedrawPending.store(true);
  return true;
}

void TMMPeakHold::Reset() {
  std::lock_guard<std::mutex> lock(FLock);
  FPeak.store(0, std::memory_order_relaxed);
  FCounter = 0;
}

int TMMPeakHold::GetCounter() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FCounter;
}
