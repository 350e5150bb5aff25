#include "platform/mmtimer/mmtimer.h"

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/kernel/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPeriodMin = 1;
constexpr uint32_t kPeriodMax = 1000000;
constexpr uint32_t kKnownFlags = TIME_PERIODIC | TIME_KILL_SYNCHRONOUS;

struct TTimer {
  Clock::time_point Due;
  Clock::duration Period;
  bool Periodic;
  LPTIMECALLBACK Callback;
  uintptr_t User;
};

// The timer thread sleeps on a timer descriptor set to the earliest deadline. Whoever adds an
// earlier deadline sets the descriptor itself rather than waking the thread to do it, so a
// timer costs the thread one wake-up, when it is due. (Without a descriptor the thread waits on
// a condition variable, and every change wakes it.)
class TTimerService {
 public:
  TTimerService() : FTimerFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {}

  uint32_t Add(uint32_t delay, LPTIMECALLBACK callback, uintptr_t user, bool periodic) {
    std::thread ended;
    uint32_t id;
    {
      std::lock_guard lock(FLock);
      if (FShutdown) return 0;
      do {
        id = FNextId++;
      } while (id == 0 || FTimers.count(id) != 0);
      const Clock::duration period = std::chrono::milliseconds(delay);
      const Clock::time_point due = Clock::now() + period;
      FTimers[id] = TTimer{due, period, periodic, callback, user};
      if (FRunning) {
        if (due < FArmed) WakeAtLocked(due);
      } else {
        // A thread that ended with the last timer still has to be joined.
        ended = std::move(FThread);
        try {
          FThread = std::thread([this] { Run(); });
          FRunning = true;
        } catch (...) {
          FTimers.erase(id);
          id = 0;
        }
      }
    }
    if (ended.joinable()) ended.join();
    return id;
  }

  MMRESULT Kill(uint32_t id) {
    std::thread ended;
    {
      std::unique_lock lock(FLock);
      const auto found = FTimers.find(id);
      if (found == FTimers.end()) return TIMERR_NOCANDO;
      FTimers.erase(found);
      // On the timer thread the running callback is the caller's own: nothing to wait for.
      if (std::this_thread::get_id() == FThreadId) return TIMERR_NOERROR;
      FChanged.wait(lock, [&] { return FRunningId != id; });
      if (FTimers.empty()) {
        // The thread ends with the last timer: woken now, not at the killed timer's deadline.
        if (FRunning) WakeAtLocked(Clock::time_point::min());
        FChanged.wait(lock, [&] { return !FRunning || !FTimers.empty(); });
        if (!FRunning) ended = std::move(FThread);
      }
    }
    if (ended.joinable()) ended.join();
    return TIMERR_NOERROR;
  }

  // Program exit: no callback runs after this returns.
  void Shutdown() {
    std::thread ended;
    {
      std::lock_guard lock(FLock);
      FShutdown = true;
      FTimers.clear();
      if (FRunning) WakeAtLocked(Clock::time_point::min());
      ended = std::move(FThread);
    }
    if (ended.joinable() && ended.get_id() != std::this_thread::get_id()) ended.join();
    if (ended.joinable()) ended.detach();
  }

 private:
  void Run() {
    SetThreadName("nr-mmtimer");
    std::unique_lock lock(FLock);
    FThreadId = std::this_thread::get_id();
    while (!FShutdown && !FTimers.empty()) {
      auto next = FTimers.begin();
      for (auto it = FTimers.begin(); it != FTimers.end(); ++it) {
        if (it->second.Due < next->second.Due) next = it;
      }
      const Clock::time_point now = Clock::now();
      // A copy: the timer may be killed, and its entry erased, during the wait.
      const Clock::time_point due = next->second.Due;
      if (now < due) {
        SleepUntilLocked(lock, due);
        continue;
      }
      const uint32_t id = next->first;
      const TTimer timer = next->second;
      if (timer.Periodic) {
        // The next tick stays on the grid of the first one; ticks already missed are skipped.
        Clock::time_point due = timer.Due + timer.Period;
        if (due <= now) due += ((now - due) / timer.Period + 1) * timer.Period;
        next->second.Due = due;
      }
      FRunningId = id;
      lock.unlock();
      timer.Callback(id, 0, timer.User, 0, 0);
      lock.lock();
      FRunningId = 0;
      // A one-shot timer stays known until its callback has returned.
      if (!timer.Periodic) FTimers.erase(id);
      FChanged.notify_all();
    }
    FRunning = false;
    FThreadId = std::thread::id();
    FChanged.notify_all();
  }

  // Has the thread woken at `due` (at once when it has passed). Under FLock.
  void WakeAtLocked(Clock::time_point due) {
    FArmed = due;
    if (FTimerFd < 0) {
      FChanged.notify_all();
      return;
    }
    itimerspec when{};
    if (due == Clock::time_point::min()) {
      when.it_value.tv_nsec = 1;  // relative: at once
      timerfd_settime(FTimerFd, 0, &when, nullptr);
      return;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch());
    when.it_value.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(ns.count() % 1000000000);
    // The steady clock is CLOCK_MONOTONIC. A deadline of 0 would disarm the descriptor.
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
    timerfd_settime(FTimerFd, TFD_TIMER_ABSTIME, &when, nullptr);
  }

  // The timer thread's sleep until `due`, or until someone wakes it earlier. Called and
  // returns with the lock held; sleeps without it.
  void SleepUntilLocked(std::unique_lock<std::mutex>& lock, Clock::time_point due) {
    if (FTimerFd < 0) {
      FArmed = due;
      FChanged.wait_until(lock, due);
      FArmed = Clock::time_point::max();
      return;
    }
    WakeAtLocked(due);
    lock.unlock();
    uint64_t expirations;
    // Returns when the descriptor fires (a signal's EINTR only means another look).
    [[maybe_unused]] const ssize_t got = read(FTimerFd, &expirations, sizeof expirations);
    lock.lock();
    FArmed = Clock::time_point::max();
  }

  const int FTimerFd;  // -1 when none could be made
  std::mutex FLock;
  // Killers wait on it for a callback to return and for the thread to end.
  std::condition_variable FChanged;
  // When the thread is set to wake next (max: not sleeping on a deadline). Under FLock.
  Clock::time_point FArmed = Clock::time_point::max();
  std::map<uint32_t, TTimer> FTimers;
  std::thread FThread;
  std::thread::id FThreadId;
  bool FRunning = false;
  bool FShutdown = false;
  uint32_t FRunningId = 0;
  uint32_t FNextId = 1;
};

TTimerService& Service() {
  // Never destroyed, so timers killed by other exit-time destructors still find it.
  static auto* service = new TTimerService;
  return *service;
}

struct TExitStopper {
  ~TExitStopper() { Service().Shutdown(); }
} gExitStopper;

// How often each period was begun and not yet ended.
struct TPeriods {
  std::mutex Lock;
  std::map<uint32_t, int> Counts;
};

TPeriods& Periods() {
  static auto* periods = new TPeriods;
  return *periods;
}

}  // namespace

uint32_t timeSetEvent(uint32_t delay, uint32_t /*resolution*/, LPTIMECALLBACK callback,
                      uintptr_t user, uint32_t flags) {
  if (delay < kPeriodMin || delay > kPeriodMax || callback == nullptr) return 0;
  if ((flags & ~kKnownFlags) != 0) return 0;
  return Service().Add(delay, callback, user, (flags & TIME_PERIODIC) != 0);
}

MMRESULT timeKillEvent(uint32_t timerId) {
  return Service().Kill(timerId);
}

MMRESULT timeBeginPeriod(uint32_t period) {
  if (period < kPeriodMin || period > kPeriodMax) return TIMERR_NOCANDO;
  std::lock_guard lock(Periods().Lock);
  ++Periods().Counts[period];
  return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(uint32_t period) {
  std::lock_guard lock(Periods().Lock);
  const auto found = Periods().Counts.find(period);
  if (found == Periods().Counts.end()) return TIMERR_NOCANDO;
  if (--found->second == 0) Periods().Counts.erase(found);
  return TIMERR_NOERROR;
}

MMRESULT timeGetDevCaps(TIMECAPS* caps, uint32_t size) {
  if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_STRUCT;
  caps->wPeriodMin = kPeriodMin;
  caps->wPeriodMax = kPeriodMax;
  return TIMERR_NOERROR;
}
