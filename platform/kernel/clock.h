// Time: sleeping, the millisecond system time and the microsecond performance counter.
#pragma once

#include <cstdint>

void Sleep(uint32_t ms);
// Milliseconds since an arbitrary start; wraps around at 2^32 like the platform's counter.
uint32_t timeGetTime();
// Monotonic microsecond counter and its frequency (always 1000000).
int64_t PerformanceCounter();
constexpr int64_t PerformanceFrequency() {
  return 1000000;
}
