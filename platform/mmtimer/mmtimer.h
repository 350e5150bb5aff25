// Multimedia timers: callbacks after a delay or periodically, on one timer thread shared by
// every timer. Deadlines are absolute on the steady clock, so a periodic timer does not drift;
// ticks that a slow callback misses are skipped, not queued.
#pragma once

#include <cstdint>

#include "platform/kernel/clock.h"

using MMRESULT = uint32_t;

constexpr MMRESULT TIMERR_NOERROR = 0;
constexpr MMRESULT TIMERR_NOCANDO = 97;
constexpr MMRESULT TIMERR_STRUCT = 129;

constexpr uint32_t TIME_ONESHOT = 0x0000;
constexpr uint32_t TIME_PERIODIC = 0x0001;
constexpr uint32_t TIME_CALLBACK_FUNCTION = 0x0000;
// Accepted for compatibility: timeKillEvent always waits for a running callback.
constexpr uint32_t TIME_KILL_SYNCHRONOUS = 0x0100;

struct TIMECAPS {
  uint32_t wPeriodMin;
  uint32_t wPeriodMax;
};
static_assert(sizeof(TIMECAPS) == 8);

// Called on the timer thread with the timer's id, 0, the user value, 0 and 0.
using LPTIMECALLBACK = void (*)(uint32_t uTimerID, uint32_t uMsg, uintptr_t dwUser, uintptr_t dw1,
                                uintptr_t dw2);

// Starts a timer that calls `callback` after `delay` ms (TIME_ONESHOT) or every `delay` ms
// (TIME_PERIODIC). `resolution` is accepted and ignored: the steady clock is always used at
// its finest. Returns the timer's id, never 0; 0 when the timer cannot be created (a delay
// outside 1..1000000 ms, no callback, a flag other than those above).
uint32_t timeSetEvent(uint32_t delay, uint32_t resolution, LPTIMECALLBACK callback, uintptr_t user,
                      uint32_t flags);
// Ends a timer. Outside the timer's own callback it returns only when a running callback of
// that timer has returned; inside it, it returns at once. When the last timer goes, the timer
// thread ends and is joined. TIMERR_NOCANDO for an unknown id (or a one-shot timer that has
// fired).
MMRESULT timeKillEvent(uint32_t timerId);
// Bookkeeping of the requested resolution (the timer thread always runs at its finest):
// TIMERR_NOCANDO for a period outside the capabilities, or an end without its begin.
MMRESULT timeBeginPeriod(uint32_t period);
MMRESULT timeEndPeriod(uint32_t period);
// wPeriodMin 1, wPeriodMax 1000000; TIMERR_STRUCT for a missing or short record.
MMRESULT timeGetDevCaps(TIMECAPS* caps, uint32_t size);
