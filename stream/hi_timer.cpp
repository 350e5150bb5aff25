#include "stream/hi_timer.h"

#include "platform/kernel/clock.h"
#include "platform/kernel/sync.h"
#include "platform/mmtimer/mmtimer.h"

const char* const kHiTimerThreadText = "HiTimer:\n\rCould not create thread";

namespace {

constexpr uint32_t kTickMessage = 0x8000 + 10;  // WM_APP + 10
constexpr int32_t kMaxPendingTicks = 10;
constexpr uint32_t kThreadStartMs = 5000;
const char* const kCallbackRefusedHiTimerText =
    "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under "
    "Windows 95";

}  // namespace

EMMOutOfTimers::EMMOutOfTimers() : EMMError("No timer could be obtained from the system") {}

// What a timer thread shares with its timer. The thread keeps it alive after the timer has let
// go of it, so that a thread ending on its own never touches a freed timer or event.
struct TMMHiTimer::TThreadLink {
  TEvent Started{false, false};  // auto-reset: the thread began, or it ended
  TEvent Wake{false, false};     // auto-reset: ticks merge while the thread is busy
  std::atomic<bool> Stopped{false};
  // Held while the thread calls into its timer, and while the timer cuts the thread off;
  // recursive, so that OnTimer may change the timer it runs for.
  std::recursive_mutex Lock;
  // The timer the thread works for; cleared under Lock when the timer stops the thread. The
  // thread touches the timer only under Lock with Owner set (or on the main thread, through
  // Synchronize, after checking Owner there).
  std::atomic<TMMHiTimer*> Owner{nullptr};
  // The thread; alive while Owner is set (the thread clears Owner under Lock as it ends).
  TThread* Thread = nullptr;
};

class TMMHiTimer::TTimerThread : public TThread {
 public:
  TTimerThread(std::shared_ptr<TThreadLink> link, TThreadPriority priority)
      : TThread(true), FLink(std::move(link)), FPriority(priority) {}

 protected:
  void Execute() override {
    TThreadLink& link = *FLink;
    if (!link.Owner) return;
    SetPriority(FPriority);
    link.Started.SetEvent();
    while (!Terminated() && !link.Stopped && link.Owner) {
      link.Wake.WaitFor(INFINITE);
      if (Terminated() || link.Stopped || !link.Owner) break;
      try {
        Dispatch(link);
      } catch (...) {
        HandleException(std::current_exception());
      }
    }
    {
      std::lock_guard guard(link.Lock);
      link.Owner = nullptr;
    }
    link.Started.SetEvent();
  }

 private:
  // Runs OnTimer: with Synchronize on the main thread while this thread waits for it,
  // otherwise here.
  static void Dispatch(TThreadLink& link) {
    std::unique_lock guard(link.Lock);
    TMMHiTimer* owner = link.Owner;
    if (!owner) return;
    if (!owner->FSynchronize) {
      owner->DoTimer();
      return;
    }
    guard.unlock();
    ::Synchronize([&link] {
      // On the main thread, where the timer is also stopped and destroyed.
      TMMHiTimer* timer = link.Owner;
      if (!timer || link.Stopped) return;
      timer->FInSynchronize = true;
      try {
        timer->DoTimer();
      } catch (...) {
        timer->FInSynchronize = false;
        throw;
      }
      timer->FInSynchronize = false;
    });
  }

  const std::shared_ptr<TThreadLink> FLink;
  const TThreadPriority FPriority;
};

TMMHiTimer::TMMHiTimer(TComponent* AOwner) : TMMNonVisualComponent(AOwner) {}

TMMHiTimer::~TMMHiTimer() {
  Destroying();
  FOnTimer = nullptr;
  FEnabled = false;
  UpdateTimer();
}

void TMMHiTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  UpdateTimer();
}

void TMMHiTimer::SetInterval(uint32_t Value) {
  if (Value == FInterval) return;
  FInterval = Value;
  UpdateTimer();
}

void TMMHiTimer::SetOnTimer(TNotifyEvent Value) {
  // The timer thread is cut off first: it may be inside the old handler.
  StopThread();
  FOnTimer = std::move(Value);
  UpdateTimer();
}

void TMMHiTimer::SetCallBackMode(TMMCBMode Value) {
  if (Value == FCallBackMode) return;
  if (Value == cmCallback) {
    ShowMessageBox(kCallbackRefusedHiTimerText, "TMMHiTimer");
    return;
  }
  FCallBackMode = Value;
  UpdateTimer();
}

void TMMHiTimer::SetPriority(TThreadPriority Value) {
  if (Value == FPriority) return;
  FPriority = Value;
  std::shared_ptr<TThreadLink> link;
  {
    std::lock_guard guard(FLinkLock);
    link = FLink;
  }
  if (!link) return;
  std::lock_guard guard(link->Lock);
  if (link->Owner && link->Thread) link->Thread->SetPriority(Value);
}

// ------------------------------------------------------------------ start and stop

void TMMHiTimer::UpdateTimer() {
  StopThread();
  if (FTimerID != 0) {
    timeKillEvent(FTimerID);
    FTimerID = 0;
    if (FTimerWindow) {
      FTimerWindow.reset();  // drops the ticks still queued for it
      FPendingTicks = 0;
    }
  }
  if (FPeriodBegun) {
    timeEndPeriod(FPeriod);
    FPeriodBegun = false;
  }
  if (FInterval == 0 || !FEnabled || !FOnTimer) return;

  FRunningMode = FCallBackMode;
  if (FCallBackMode == cmWindow)
    FTimerWindow = std::make_unique<TMessageWindow>([this](TMessage& m) { OnTimerMessage(m); });
  else if (FCallBackMode == cmThread)
    StartThread();
  TIMECAPS caps{};
  FPeriod = timeGetDevCaps(&caps, sizeof caps) == TIMERR_NOERROR ? caps.wPeriodMin : 1;
  FPeriodBegun = timeBeginPeriod(FPeriod) == TIMERR_NOERROR;
  const uint32_t id =
      timeSetEvent(FInterval, 0, &TMMHiTimer::TimerTick, uintptr_t(this), TIME_PERIODIC);
  if (id == 0) {
    StopThread();
    FTimerWindow.reset();
    if (FPeriodBegun) timeEndPeriod(FPeriod);
    FPeriodBegun = false;
    throw EMMOutOfTimers();
  }
  FTimerID = id;
}

void TMMHiTimer::StartThread() {
  auto link = std::make_shared<TThreadLink>();
  link->Owner = this;
  auto* thread = new TTimerThread(link, FPriority);
  link->Thread = thread;
  thread->SetFreeOnTerminate(true);
  {
    std::lock_guard guard(FLinkLock);
    FLink = link;
  }
  thread->Resume();
  if (link->Started.WaitFor(kThreadStartMs) != WAIT_OBJECT_0) {
    StopThread();
    throw EMMHiTimerError(kHiTimerThreadText);
  }
}

void TMMHiTimer::StopThread() {
  std::shared_ptr<TThreadLink> link;
  {
    std::lock_guard guard(FLinkLock);
    link = std::move(FLink);
  }
  if (!link) return;
  link->Stopped = true;
  link->Wake.SetEvent();
  // From inside OnTimer (the thread waits for this very call) the thread cannot end now: it
  // sees its owner gone when the call returns.
  if (FWaitForTerminate && !FInSynchronize) {
    const int64_t deadline = PerformanceCounter() + int64_t(kThreadStartMs) * 1000;
    while (link->Owner && PerformanceCounter() < deadline) {
      // A thread waiting in Synchronize needs the main thread to end.
      if (IsMainThread()) CheckSynchronize();
      link->Started.WaitFor(10);
    }
  }
  std::lock_guard guard(link->Lock);
  link->Owner = nullptr;
}

// ------------------------------------------------------------------ ticks

void TMMHiTimer::TimerTick(uint32_t, uint32_t, uintptr_t dwUser, uintptr_t, uintptr_t) {
  auto* timer = reinterpret_cast<TMMHiTimer*>(dwUser);
  if (!timer) return;
  try {
    timer->Tick();
  } catch (...) {
    HandleException(std::current_exception());
  }
}

void TMMHiTimer::Tick() {
  switch (FRunningMode) {
    case cmWindow: {
      if (FPendingTicks.load() >= kMaxPendingTicks) return;  // dropped
      ++FPendingTicks;
      if (!FTimerWindow || !PostMessage(FTimerWindow->Handle(), kTickMessage, FTimerID, 0))
        --FPendingTicks;
      return;
    }
    case cmThread: {
      std::lock_guard guard(FLinkLock);
      if (FLink) FLink->Wake.SetEvent();
      return;
    }
    case cmCallback:
      DoTimer();
      return;
  }
}

void TMMHiTimer::OnTimerMessage(TMessage& message) {
  if (message.message != kTickMessage || message.wParam != FTimerID) return;
  try {
    DoTimer();
  } catch (...) {
    --FPendingTicks;
    HandleException(std::current_exception());
    return;
  }
  --FPendingTicks;
}

void TMMHiTimer::DoTimer() {
  if (!FOnTimer || !FEnabled) return;
  // A copy: the handler may assign another handler to this timer.
  const TNotifyEvent handler = FOnTimer;
  handler(this);
}
