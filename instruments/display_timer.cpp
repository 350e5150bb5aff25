#include "instruments/display_timer.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/mmtimer/mmtimer.h"

struct TDisplayTimerItem {
  int Interval;
  void* Data;
  TDisplayTimerProc Proc;
  int SuspendCount;
  int Elapsed;
};

namespace {

struct TDisplayTimer {
  // Serialises add and remove: the start and the end of the timer. Never taken by a tick.
  std::mutex Life;
  uint32_t TimerId = 0;  // guarded by Life
  // Guards Items and each item's counters; held by each tick around its whole walk.
  // Recursive, so an item's procedure may suspend or resume items.
  std::recursive_mutex List;
  std::vector<std::unique_ptr<TDisplayTimerItem>> Items;
  // Set while a tick runs: a tick that finds it set is skipped.
  std::atomic<bool> InTick{false};

  // At program exit a timer still running is stopped.
  ~TDisplayTimer() {
    std::lock_guard life(Life);
    if (TimerId) {
      timeKillEvent(TimerId);
      timeEndPeriod(kDisplayTimerPeriod);
    }
  }

  bool Registered(TDisplayTimerItem* item) {
    return std::any_of(Items.begin(), Items.end(), [&](const auto& p) { return p.get() == item; });
  }
};

TDisplayTimer& Timer() {
  static TDisplayTimer timer;
  return timer;
}

void Tick(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {
  TDisplayTimer& t = Timer();
  if (t.InTick.exchange(true)) return;
  {
    std::lock_guard list(t.List);
    for (size_t i = 0; i < t.Items.size(); ++i) {
      TDisplayTimerItem& item = *t.Items[i];
      if (item.SuspendCount != 0) continue;
      item.Elapsed += kDisplayTimerPeriod;
      if (item.Elapsed >= item.Interval) {
        item.Proc(&item, item.Data);
        item.Elapsed = 0;
      }
    }
  }
  t.InTick = false;
}

}  // namespace

TDisplayTimerItem* DisplayTimerAdd(int Interval, bool Suspended, TDisplayTimerProc Proc,
                                   void* Data) {
  if (!Proc) return nullptr;
  TDisplayTimer& t = Timer();
  std::lock_guard life(t.Life);
  if (!t.TimerId) {
    timeBeginPeriod(kDisplayTimerPeriod);
    t.TimerId = timeSetEvent(kDisplayTimerPeriod, 0, &Tick, 0, TIME_PERIODIC);
    if (!t.TimerId) {
      timeEndPeriod(kDisplayTimerPeriod);
      return nullptr;
    }
  }
  auto item = std::make_unique<TDisplayTimerItem>(TDisplayTimerItem{
      std::max(Interval, kDisplayTimerPeriod), Data, std::move(Proc), Suspended ? 1 : 0, 0});
  TDisplayTimerItem* result = item.get();
  std::lock_guard list(t.List);
  t.Items.push_back(std::move(item));
  return result;
}

void DisplayTimerSuspend(TDisplayTimerItem* Item) {
  TDisplayTimer& t = Timer();
  std::lock_guard list(t.List);
  if (!Item || !t.Registered(Item)) return;
  ++Item->SuspendCount;
  Item->Elapsed = 0;
}

void DisplayTimerResume(TDisplayTimerItem* Item) {
  TDisplayTimer& t = Timer();
  std::lock_guard list(t.List);
  if (!Item || !t.Registered(Item)) return;
  if (Item->SuspendCount > 0) --Item->SuspendCount;
}

void DisplayTimerRemove(TDisplayTimerItem* Item) {
  if (!Item) return;
  TDisplayTimer& t = Timer();
  std::lock_guard life(t.Life);
  bool last;
  {
    std::lock_guard list(t.List);
    const auto at = std::find_if(t.Items.begin(), t.Items.end(),
                                 [&](const auto& p) { return p.get() == Item; });
    if (at == t.Items.end()) return;
    t.Items.erase(at);
    last = t.Items.empty();
  }
  if (last && t.TimerId) {
    // Outside the list lock: the kill waits for a running tick, which takes it.
    timeKillEvent(t.TimerId);
    timeEndPeriod(kDisplayTimerPeriod);
    t.TimerId = 0;
  }
}

int DisplayTimerCount() {
  TDisplayTimer& t = Timer();
  std::lock_guard list(t.List);
  return int(t.Items.size());
}

bool TDisplayTick::Add(bool Suspended) {
  if (FItem) return true;
  FItem = DisplayTimerAdd(
      kDisplayTimerPeriod, Suspended,
      [](TDisplayTimerItem*, void* self) { static_cast<TDisplayTick*>(self)->FTick(); }, this);
  FSuspended = FItem && Suspended;
  return FItem != nullptr;
}

void TDisplayTick::Remove() {
  if (!FItem) return;
  DisplayTimerRemove(FItem);
  FItem = nullptr;
  FSuspended = false;
}

void TDisplayTick::SetSuspended(bool Suspended) {
  // Suspensions nest: only the changes are passed on.
  if (!FItem || Suspended == FSuspended) return;
  FSuspended = Suspended;
  if (Suspended)
    DisplayTimerSuspend(FItem);
  else
    DisplayTimerResume(FItem);
}
