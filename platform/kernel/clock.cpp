#include "platform/kernel/clock.h"

#include <chrono>
#include <thread>

void Sleep(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t timeGetTime() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  // Truncating to 32 bits gives the wrap-around of the platform's counter.
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

int64_t PerformanceCounter() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::microseconds>(since).count();
}
