#include "platform/kernel/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <vector>

namespace {

std::atomic<TThreadId> gNextThreadId{1};
thread_local TThreadId tThreadId = 0;

// Constant-initialised, so it is valid whatever the order of the static initialisers.
std::atomic<TThreadId> gMainThreadId{0};

// Records the main thread while the program's static objects are built, which happens on the
// thread that then runs main(). MainThreadId refers to this translation unit, so the recorder
// is linked in even from a static library.
struct TMainThreadRecorder {
  TMainThreadRecorder() { MainThreadId(); }
} gMainThreadRecorder;

std::atomic<int> gLiveThreads{0};

// Handles of self-freeing threads that have ended, waiting to be joined. Never destroyed, so a
// thread that ends while the program exits still finds it.
struct TFinishedHandles {
  std::mutex Lock;
  std::vector<std::thread> Handles;
};

TFinishedHandles& FinishedHandles() {
  static auto* handles = new TFinishedHandles;
  return *handles;
}

// Joins the ended self-freeing threads when the program exits.
struct TExitReaper {
  ~TExitReaper() { ReapFinishedThreads(); }
} gExitReaper;

// The self-freeing threads that have started and not yet deleted themselves. A self-freeing
// thread still runs its destructors after its owner has let it go, and those may use static
// objects of the program (a registry of threads, say); the exit waits for these threads before
// such objects are destroyed. Never destroyed, for the same reason as the handles.
struct TRunningSelfFreeing {
  std::mutex Lock;
  std::condition_variable Ended;
  int Count = 0;  // under Lock
};

TRunningSelfFreeing& RunningSelfFreeing() {
  static auto* running = new TRunningSelfFreeing;
  return *running;
}

// Set on a self-freeing thread: an exit called from it does not wait for itself.
thread_local bool tIsSelfFreeing = false;

// How long the exit waits for self-freeing threads. One that was told to end is done in
// moments; one that nobody told waits forever and must not keep the program from ending.
constexpr auto kExitWait = std::chrono::seconds(2);

void WaitForSelfFreeingThreads() {
  {
    auto& running = RunningSelfFreeing();
    std::unique_lock lock(running.Lock);
    const int own = tIsSelfFreeing ? 1 : 0;
    running.Ended.wait_for(lock, kExitWait, [&] { return running.Count <= own; });
  }
  ReapFinishedThreads();
}

int NiceValue(TThreadPriority priority) {
  switch (priority) {
    case tpIdle:
      return 15;
    case tpLowest:
      return 2;
    case tpLower:
      return 1;
    case tpNormal:
      return 0;
    case tpHigher:
      return -1;
    case tpHighest:
      return -2;
    case tpTimeCritical:
      return -15;
  }
  return 0;
}

}  // namespace

TThreadId GetCurrentThreadId() {
  if (tThreadId == 0) {
    do {
      tThreadId = gNextThreadId.fetch_add(1);
    } while (tThreadId == 0);
  }
  return tThreadId;
}

TThreadId MainThreadId() {
  TThreadId id = gMainThreadId.load();
  if (id != 0) return id;
  // First call: during static initialisation, on the main thread.
  gMainThreadId.compare_exchange_strong(id, GetCurrentThreadId());
  return gMainThreadId.load();
}

bool IsMainThread() {
  return GetCurrentThreadId() == MainThreadId();
}

void SetThreadName(const char* name) {
  char cut[16] = {};
  for (size_t i = 0; i + 1 < sizeof cut && name[i] != '\0'; ++i) cut[i] = name[i];
  // Only the tools see the name: a refusal changes nothing else.
  (void)pthread_setname_np(pthread_self(), cut);
}

int LiveThreadCount() {
  return gLiveThreads.load();
}

void ReapFinishedThreads() {
  std::vector<std::thread> handles;
  {
    std::lock_guard lock(FinishedHandles().Lock);
    handles.swap(FinishedHandles().Handles);
  }
  std::vector<std::thread> own;
  for (std::thread& handle : handles) {
    // A self-freeing thread whose destructor resumes another thread comes here with its own
    // handle already listed: it cannot join itself, so the handle waits for a later reap.
    if (handle.get_id() == std::this_thread::get_id()) {
      own.push_back(std::move(handle));
    } else {
      handle.join();
    }
  }
  if (!own.empty()) {
    std::lock_guard lock(FinishedHandles().Lock);
    for (std::thread& handle : own) FinishedHandles().Handles.push_back(std::move(handle));
  }
}

TThread::TThread(bool /*createSuspended*/) {}

TThread::~TThread() {
  // A self-freeing thread is deleted by its own thread, which has moved its handle out.
  Terminate();
  WaitFor();
}

void TThread::Resume() {
  ReapFinishedThreads();
  std::lock_guard lock(FStartLock);
  if (FResumed) return;
  FResumed = true;
  ++gLiveThreads;
  FCountedSelfFreeing = FFreeOnTerminate;
  if (FCountedSelfFreeing) {
    {
      std::lock_guard running(RunningSelfFreeing().Lock);
      ++RunningSelfFreeing().Count;
    }
    // Registered at every such start: exit handlers run before the destructors of the static
    // objects built before them, so the wait comes ahead of every static object this thread
    // (or its creator, up to now) has made. A failed registration only loses that guarantee.
    (void)std::atexit(WaitForSelfFreeingThreads);
  }
  try {
    FHandle = std::thread([this] { Run(); });
  } catch (...) {
    --gLiveThreads;
    if (FCountedSelfFreeing) EndSelfFreeing();
    FResumed = false;
    throw;
  }
  FHandleStored = true;
  // The new thread starts by taking FStartLock, so it runs only once the handle is stored.
}

void TThread::Terminate() {
  FTerminated = true;
}

void TThread::SetPriority(TThreadPriority value) {
  // Under the start lock, so a change racing with the start is applied by one side or the other.
  std::lock_guard lock(FStartLock);
  FPriority = value;
  if (FNativeTid.load() != 0 && !FFinished.load()) ApplyPriority();
}

void TThread::ApplyPriority() {
  const int tid = FNativeTid.load();
  if (tid == 0) return;
  // Raising the priority needs a right the process may not have; the thread then keeps
  // running at the priority it has.
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceValue(FPriority.load()));
}

void TThread::WaitFor() {
  {
    std::lock_guard lock(FStartLock);
    if (!FResumed) return;
  }
  std::lock_guard lock(FJoinLock);
  // Execute calling WaitFor on its own thread would wait forever; it returns instead.
  if (FHandle.joinable() && FHandle.get_id() != std::this_thread::get_id()) FHandle.join();
}

void TThread::EndSelfFreeing() {
  auto& running = RunningSelfFreeing();
  std::lock_guard lock(running.Lock);
  --running.Count;
  running.Ended.notify_all();
}

void TThread::Run() {
  bool counted;
  {
    // Resume holds the lock until the handle is stored.
    std::lock_guard gate(FStartLock);
    counted = FCountedSelfFreeing;
    tIsSelfFreeing = counted;
    FThreadId = GetCurrentThreadId();
    FNativeTid = static_cast<int>(gettid());
    ApplyPriority();
  }
  try {
    Execute();
  } catch (...) {
    FFatalException = std::current_exception();
  }
  if (FFreeOnTerminate) {
    std::thread self;
    {
      std::lock_guard lock(FJoinLock);
      self = std::move(FHandle);
    }
    {
      std::lock_guard lock(FinishedHandles().Lock);
      FinishedHandles().Handles.push_back(std::move(self));
    }
    --gLiveThreads;
    delete this;
    // Counted out only now: the destructors above are what the exit waits for.
    if (counted) EndSelfFreeing();
    return;
  }
  FFinished = true;
  --gLiveThreads;
  if (counted) EndSelfFreeing();
}
