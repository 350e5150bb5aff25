// A periodic timer driven by the multimedia timer (millisecond resolution) rather than the
// window system's timer, whose OnTimer runs where the caller chooses: on the main thread through
// a hidden window's messages (cmWindow), or on a timer thread of its own (cmThread), which with
// Synchronize hands each call to the main thread and waits for it. Ticks never pile up: at most
// 10 wait as messages, and a thread still busy with a call merges the ticks that come meanwhile.
//
// Every change of Enabled, Interval or CallBackMode, and every assignment of OnTimer, restarts the
// timer from scratch; it runs only with Enabled set, a non-zero Interval and an OnTimer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/kernel/thread.h"
#include "platform/mainloop/main_loop.h"
#include "stream/dsp_component.h"
#include "stream/mm_error.h"
#include "stream/wave_format.h"

class EMMHiTimerError : public EMMError {
 public:
  using EMMError::EMMError;
};

// Raised when the system gives no timer (a periodic timer or a display timer item).
class EMMOutOfTimers : public EMMError {
 public:
  EMMOutOfTimers();
};

extern const char* const kHiTimerThreadText;  // "HiTimer:" LF CR "Could not create thread"

class TMMHiTimer : public TMMNonVisualComponent {
 public:
  explicit TMMHiTimer(TComponent* AOwner);
  ~TMMHiTimer() override;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  // Milliseconds between calls; 0 stops the timer.
  uint32_t Interval() const { return FInterval; }
  void SetInterval(uint32_t Value);
  const TNotifyEvent& OnTimer() const { return FOnTimer; }
  void SetOnTimer(TNotifyEvent Value);
  TMMCBMode CallBackMode() const { return FCallBackMode; }
  // cmCallback (calls at interrupt time) is refused with a notice; the mode stays.
  void SetCallBackMode(TMMCBMode Value);
  // cmThread: run OnTimer on the main thread while the timer thread waits for it.
  bool Synchronize() const { return FSynchronize; }
  void SetSynchronize(bool Value) { FSynchronize = Value; }
  TThreadPriority Priority() const { return FPriority; }
  void SetPriority(TThreadPriority Value);
  // Stopping waits (up to 5 s) for the timer thread to end; never from inside OnTimer.
  bool WaitForTerminate() const { return FWaitForTerminate; }
  void SetWaitForTerminate(bool Value) { FWaitForTerminate = Value; }

  // Whether a multimedia timer is running for this timer now.
  bool Running() const { return FTimerID != 0; }

 private:
  struct TThreadLink;
  class TTimerThread;

  void UpdateTimer();
  void StopThread();
  void StartThread();
  static void TimerTick(uint32_t uTimerID, uint32_t uMsg, uintptr_t dwUser, uintptr_t dw1,
                        uintptr_t dw2);
  void Tick();
  void DoTimer();
  void OnTimerMessage(TMessage& message);

  // The settings: main thread. The timer thread reads FSynchronize and FEnabled, and FOnTimer
  // under its link's lock; OnTimer is assigned only after the thread is cut off.
  std::atomic<bool> FEnabled{true};
  uint32_t FInterval = 1000;
  TNotifyEvent FOnTimer;
  TMMCBMode FCallBackMode = cmWindow;
  std::atomic<bool> FSynchronize{true};
  TThreadPriority FPriority = tpNormal;
  bool FWaitForTerminate = false;

  // The multimedia timer's id; written by the main thread while no tick can run (before the
  // timer starts, after timeKillEvent), read by ticks.
  std::atomic<uint32_t> FTimerID{0};
  // The mode and the hidden window of the running timer: written while no timer runs.
  TMMCBMode FRunningMode = cmWindow;
  bool FPeriodBegun = false;  // main thread
  uint32_t FPeriod = 1;       // main thread
  // cmWindow: the hidden window and the ticks posted to it and not yet handled.
  std::unique_ptr<TMessageWindow> FTimerWindow;
  std::atomic<int32_t> FPendingTicks{0};
  // cmThread: what the timer thread and this timer share. The pointer is guarded by FLinkLock
  // (a tick reads it to wake the thread while the main thread may be stopping it).
  std::mutex FLinkLock;
  std::shared_ptr<TThreadLink> FLink;
  // Set on the main thread while it runs OnTimer for the timer thread.
  std::atomic<bool> FInSynchronize{false};
};
