#include "platform/mainloop/main_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/clock.h"

namespace {

// Thread messages the main loop posts to itself. They carry no window, which no window
// message lacks, so they cannot be mistaken for a window's messages.
constexpr uint32_t kSynchronizeMessage = 0xBF00;
constexpr uint32_t kExceptionMessage = 0xBF01;

using THandlerPtr = std::shared_ptr<TMessageWindow::THandler>;

// The hidden windows by handle. Handles come from a counter and are never reused, so a message
// for a destroyed window can never reach a later window.
struct TWindowRegistry {
  std::mutex Lock;
  std::unordered_map<HWND, THandlerPtr> Handlers;
  uintptr_t LastHandle = 0;
};

TWindowRegistry& Windows() {
  static auto* registry = new TWindowRegistry;
  return *registry;
}

THandlerPtr FindHandler(HWND hwnd) {
  std::lock_guard lock(Windows().Lock);
  auto it = Windows().Handlers.find(hwnd);
  return it == Windows().Handlers.end() ? nullptr : it->second;
}

// A call waiting to run on the main thread; it lives on the stack of the waiting thread.
struct TSyncRequest {
  explicit TSyncRequest(const std::function<void()>& method) : Method(&method) {}
  const std::function<void()>* Method;
  TEvent Done{true, false};
  std::exception_ptr Error;
};

// The hooks and the exceptions raised on other threads that wait for the main thread to
// report them (kept here rather than in the messages, so none is lost if its message is
// removed). Never destroyed, so threads still posting while the program exits find them.
struct TLoopState {
  std::mutex Lock;
  std::function<void()> WakeHook;
  TExceptionHandler ExceptionHandler;
  std::deque<std::exception_ptr> PendingErrors;
  TMessageBoxHook MessageBoxHook;
  TBusyCursorHook BusyCursorHook;
};

TLoopState& State() {
  static auto* state = new TLoopState;
  return *state;
}

std::atomic<bool> gTerminated{false};

// The main thread's wake-up: a counter that every post to the main thread and every
// WakeMainLoop raises, and that RunUntil and Delay sleep on (a descriptor, unlike an event, can
// be raised from a signal handler). Made on first use, or while the program's static objects
// are built; never closed.
std::atomic<int> gWakeFd{-1};

// Only system calls and lock-free atomics: a signal handler may be the first to get here.
int WakeFd() {
  int fd = gWakeFd.load();
  if (fd >= 0) return fd;
  const int made = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (made < 0) return -1;
  if (gWakeFd.compare_exchange_strong(fd, made)) return made;
  close(made);  // another thread made one first
  return fd;
}

void RaiseWake() {
  const int fd = WakeFd();
  if (fd < 0) return;
  const uint64_t one = 1;
  // Fails only when the counter is full, and then the loop is woken anyway.
  [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
}

void ClearWake() {
  const int fd = WakeFd();
  if (fd < 0) return;
  uint64_t count;
  [[maybe_unused]] const ssize_t got = read(fd, &count, sizeof count);
}

// Sleeps until the wake-up is raised or `timeoutMs` have passed (INFINITE: no limit). Without
// a descriptor it sleeps a little, so that its callers still look at their conditions. False
// when the time ran out with the wake-up not raised.
bool WaitForWake(uint32_t timeoutMs) {
  const int fd = WakeFd();
  if (fd < 0) {
    Sleep(std::min<uint32_t>(timeoutMs, 5));
    return true;
  }
  pollfd wake{fd, POLLIN, 0};
  const int ms =
      timeoutMs == INFINITE ? -1 : static_cast<int>(std::min<uint32_t>(timeoutMs, 1u << 30));
  // A signal (EINTR) ends the wait like a wake-up: the caller looks at its condition again.
  return poll(&wake, 1, ms) != 0;
}

void CallWakeHook(TThreadId threadId) {
  if (threadId != MainThreadId()) return;
  std::function<void()> hook;
  {
    std::lock_guard lock(State().Lock);
    hook = State().WakeHook;
  }
  if (hook) hook();
}

bool PostToMainThread(const TMessage& msg) {
  EnsureMessageQueue(MainThreadId());
  return PostToThread(MainThreadId(), msg);
}

void ReportException(std::exception_ptr error) {
  TExceptionHandler handler;
  {
    std::lock_guard lock(State().Lock);
    handler = State().ExceptionHandler;
  }
  if (handler) {
    handler(error);
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::cerr << "Exception: " << e.what() << '\n';
  } catch (...) {
    std::cerr << "Unknown exception\n";
  }
}

void ReportPendingExceptions() {
  for (;;) {
    std::exception_ptr error;
    {
      std::lock_guard lock(State().Lock);
      if (State().PendingErrors.empty()) return;
      error = State().PendingErrors.front();
      State().PendingErrors.pop_front();
    }
    ReportException(error);
  }
}

void Dispatch(TMessage& msg) {
  if (msg.hwnd != nullptr) {
    // A message for a window destroyed meanwhile is dropped.
    if (THandlerPtr handler = FindHandler(msg.hwnd)) (*handler)(msg);
    return;
  }
  switch (msg.message) {
    case kSynchronizeMessage: {
      auto* request = reinterpret_cast<TSyncRequest*>(msg.wParam);
      try {
        (*request->Method)();
      } catch (...) {
        request->Error = std::current_exception();
      }
      // The waiting thread may free the request as soon as it is released.
      request->Done.SetEvent();
      break;
    }
    case kExceptionMessage:
      ReportPendingExceptions();
      break;
    default:
      break;  // a thread message nobody here handles
  }
}

// Every post to the main thread raises its wake-up. Set up while the program's static objects
// are built, before any thread starts.
struct TWakeSetup {
  TWakeSetup() { SetQueueWakeDescriptor(MainThreadId(), WakeFd()); }
} gWakeSetup;

uint32_t MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
}

}  // namespace

TMessageWindow::TMessageWindow(THandler handler) {
  auto shared = std::make_shared<THandler>(std::move(handler));
  std::lock_guard lock(Windows().Lock);
  FHandle = reinterpret_cast<HWND>(++Windows().LastHandle);
  Windows().Handlers.emplace(FHandle, std::move(shared));
}

TMessageWindow::~TMessageWindow() {
  {
    std::lock_guard lock(Windows().Lock);
    Windows().Handlers.erase(FHandle);
  }
  PurgeWindowMessages(MainThreadId(), FHandle);
}

bool PostMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd == nullptr || !FindHandler(hwnd)) return false;
  return PostToMainThread(TMessage{hwnd, msg, wParam, lParam});
}

int RemovePendingMessages(HWND hwnd, uint32_t msgMin, uint32_t msgMax) {
  // Without a window the filter would match the main loop's own messages too.
  if (hwnd == nullptr || !IsMainThread()) return 0;
  return RemoveMessages(hwnd, msgMin, msgMax);
}

void Synchronize(const std::function<void()>& method) {
  if (IsMainThread()) {
    method();
    return;
  }
  TSyncRequest request(method);
  PostToMainThread(TMessage{nullptr, kSynchronizeMessage, reinterpret_cast<WPARAM>(&request), 0});
  request.Done.WaitFor(INFINITE);
  if (request.Error) std::rethrow_exception(request.Error);
}

bool CheckSynchronize() {
  if (!IsMainThread()) return false;
  bool ran = false;
  TMessage msg;
  while (PeekMessage(msg, nullptr, kSynchronizeMessage, kSynchronizeMessage, PM_REMOVE)) {
    ran = true;
    try {
      Dispatch(msg);
    } catch (...) {
      HandleException(std::current_exception());
    }
  }
  return ran;
}

bool HandleMessage() {
  if (!IsMainThread()) return false;
  TMessage msg;
  if (!PeekMessage(msg, nullptr, 0, 0, PM_REMOVE)) return false;
  try {
    Dispatch(msg);
  } catch (...) {
    HandleException(std::current_exception());
  }
  return true;
}

void ProcessMessages() {
  if (!IsMainThread()) return;
  for (int pending = PendingMessageCount(); pending > 0; --pending) {
    if (!HandleMessage()) break;
  }
}

bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs, uint32_t fallbackMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const bool mainThread = IsMainThread();
  // Whether the wake-up may be raised. A raised one is cleared before the look: a post or a
  // wake-up after it raises the counter again, so the wait below cannot miss it. One left
  // raised from before only ends the first wait at once; after a wait that timed out there is
  // nothing to clear, which spares the loop's regular wake-ups a system call.
  bool raised = false;
  for (;;) {
    if (mainThread && raised) ClearWake();
    raised = true;
    ProcessMessages();
    if (done()) return true;
    uint32_t left = timeoutMs == INFINITE ? INFINITE : MillisecondsLeft(deadline);
    if (left == 0) return false;
    if (mainThread) {
      // Messages posted by the ones just dispatched are handled without waiting.
      if (PendingMessageCount() == 0) raised = WaitForWake(std::min(left, fallbackMs));
    } else {
      // No queue to wait on here: `done` is looked at every few milliseconds.
      Sleep(std::min<uint32_t>(left, 5));
    }
  }
}

void WakeMainLoop() {
  RaiseWake();
}

void Delay(uint32_t ms, bool processMessages) {
  if (ms == 0) return;
  if (!processMessages || !IsMainThread()) {
    Sleep(ms);
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!ApplicationTerminated()) {
    const uint32_t left = MillisecondsLeft(deadline);
    if (left == 0) return;
    if (PendingMessageCount() == 0) WaitForWake(left);
    ClearWake();
    ProcessMessages();
  }
}

void SetMainLoopWakeHook(std::function<void()> hook) {
  {
    std::lock_guard lock(State().Lock);
    State().WakeHook = std::move(hook);
  }
  SetPostHook(&CallWakeHook);
}

void TerminateApplication() {
  gTerminated = true;
  RaiseWake();
}
bool ApplicationTerminated() {
  return gTerminated.load();
}
void ResetApplicationTerminated() {
  gTerminated = false;
}

void SetBusyCursorHook(TBusyCursorHook hook) {
  std::lock_guard lock(State().Lock);
  State().BusyCursorHook = std::move(hook);
}

void ShowBusyCursor(bool busy) {
  TBusyCursorHook hook;
  {
    std::lock_guard lock(State().Lock);
    hook = State().BusyCursorHook;
  }
  if (hook) hook(busy);
}

void SetMessageBoxHook(TMessageBoxHook hook) {
  std::lock_guard lock(State().Lock);
  State().MessageBoxHook = std::move(hook);
}

void ShowMessageBox(const std::string& text, const std::string& caption) {
  TMessageBoxHook hook;
  {
    std::lock_guard lock(State().Lock);
    hook = State().MessageBoxHook;
  }
  if (hook)
    hook(text, caption);
  else
    std::cerr << caption << ": " << text << "\n";
}

void SetExceptionHandler(TExceptionHandler handler) {
  std::lock_guard lock(State().Lock);
  State().ExceptionHandler = std::move(handler);
}

void HandleException(std::exception_ptr error) {
  if (!error) return;
  if (IsMainThread()) {
    ReportException(error);
    return;
  }
  // The handler may show a window, which only the main thread may do.
  {
    std::lock_guard lock(State().Lock);
    State().PendingErrors.push_back(std::move(error));
  }
  PostToMainThread(TMessage{nullptr, kExceptionMessage, 0, 0});
}
