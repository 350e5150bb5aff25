// The display timer: one 25 ms multimedia timer for the whole process that drives the decay
// and peak-hold animation of every instrument. Each registered item fires every interval
// rounded up to a multiple of 25 ms, on the timer's thread, in the order the items were added.
#pragma once

#include <functional>

struct TDisplayTimerItem;

// Runs on the timer thread with the list lock held: it must not add or remove items (suspend
// and resume are allowed). Since add, suspend, resume and remove take the list lock too, none
// of them may be called while holding a lock that a procedure takes (a control's CanvasLock,
// for one), or the two threads can wait on each other.
using TDisplayTimerProc = std::function<void(TDisplayTimerItem* Item, void* Data)>;

constexpr int kDisplayTimerPeriod = 25;  // ms

// Registers an item; the first one starts the timer. Null when the timer cannot be started.
// An interval below 25 ms counts as 25; a suspended item does not count until resumed.
TDisplayTimerItem* DisplayTimerAdd(int Interval, bool Suspended, TDisplayTimerProc Proc,
                                   void* Data);
// Suspend: the item stops counting and starts again from 0 when resumed; suspensions nest.
// Both ignore null and items that are not registered.
void DisplayTimerSuspend(TDisplayTimerItem* Item);
void DisplayTimerResume(TDisplayTimerItem* Item);
// Unregisters and frees the item (ignored if it is not registered); the last one stops the
// timer. Waits for a tick that is running. Not from inside an item's procedure.
void DisplayTimerRemove(TDisplayTimerItem* Item);
// The number of registered items.
int DisplayTimerCount();

// An instrument's item of the display timer: its procedure runs Tick (the peak-hold and decay
// animation) every 25 ms while the item is registered and not suspended. Main thread; removal
// (also by the destructor) waits for a tick that is running, so Tick's object may go after it.
class TDisplayTick {
 public:
  explicit TDisplayTick(std::function<void()> Tick) : FTick(std::move(Tick)) {}
  ~TDisplayTick() { Remove(); }
  TDisplayTick(const TDisplayTick&) = delete;
  TDisplayTick& operator=(const TDisplayTick&) = delete;

  // Registers the item (suspended or not) unless it is registered; false when the timer
  // cannot be started.
  bool Add(bool Suspended);
  void Remove();
  // Suspends or resumes a registered item when that changes its state.
  void SetSuspended(bool Suspended);
  bool Added() const { return FItem != nullptr; }
  bool Suspended() const { return FSuspended; }
  // The registered item (null when none), for a short extra suspension around a change that the
  // procedure must not see.
  TDisplayTimerItem* Item() const { return FItem; }

 private:
  std::function<void()> FTick;
  TDisplayTimerItem* FItem = nullptr;
  bool FSuspended = false;
};
