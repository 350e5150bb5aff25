// The main thread's message loop: hidden message windows, Synchronize, Delay, the
// application's exception handler, and the hook by which a window system drains the loop.
// Without a window system (tests, command-line tools) the owner drains it with
// ProcessMessages or RunUntil.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "platform/kernel/message_queue.h"

// A hidden window owned by the main thread: messages posted to its handle are dispatched to
// its handler on the main thread. Destroying it drops its pending messages.
class TMessageWindow {
 public:
  using THandler = std::function<void(TMessage&)>;
  explicit TMessageWindow(THandler handler);
  ~TMessageWindow();
  TMessageWindow(const TMessageWindow&) = delete;
  TMessageWindow& operator=(const TMessageWindow&) = delete;

  HWND Handle() const { return FHandle; }

 private:
  HWND FHandle;
};

// Posts to a hidden window; false when the window does not exist (any more).
bool PostMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
// Removes the pending messages of a window whose number lies in [msgMin, msgMax]
// (both 0: all of them). Main thread only. Returns how many were removed.
int RemovePendingMessages(HWND hwnd, uint32_t msgMin, uint32_t msgMax);

// Runs `method` on the main thread and returns when it has run; on the main thread it runs at
// once. An exception thrown by `method` is rethrown in the caller.
void Synchronize(const std::function<void()>& method);

// Runs the Synchronize calls waiting for the main thread, and nothing else. A main thread that
// polls for a worker calls it, so that a worker waiting in Synchronize cannot deadlock it.
// True when one ran.
bool CheckSynchronize();
// Dispatches one waiting message of the main thread. False when none was waiting.
bool HandleMessage();
// Dispatches the messages waiting at the call (not those they post in turn).
void ProcessMessages();
// Drains the main loop until `done` is true or `timeoutMs` have passed; true when done.
// On the main thread it sleeps until a message is posted to it or WakeMainLoop is called, and
// looks at `done` then: whoever makes `done` true without posting a message calls
// WakeMainLoop. (So that a forgotten wake-up costs a delay and not a hang, `done` is also
// looked at every `fallbackMs`; a caller whose every change of `done` wakes the loop may pass
// INFINITE.) Elsewhere it looks at `done` every few milliseconds.
constexpr uint32_t kRunUntilFallbackMs = 250;
bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs,
              uint32_t fallbackMs = kRunUntilFallbackMs);
// Wakes RunUntil and Delay on the main thread, from any thread and from a signal handler
// (async-signal-safe), so that they look at their condition again at once.
void WakeMainLoop();
// Waits `ms` milliseconds. With processMessages on the main thread, messages are dispatched
// meanwhile and the wait ends early when the application terminates; otherwise it sleeps.
void Delay(uint32_t ms, bool processMessages);

// The window system registers a wake-up that is called (from any thread) whenever a message
// is posted to the main thread; it should arrange for ProcessMessages to run soon.
void SetMainLoopWakeHook(std::function<void()> hook);

// Application state: Terminate ends Delay waits and refresh loops. TerminateApplication is
// async-signal-safe.
void TerminateApplication();
bool ApplicationTerminated();
void ResetApplicationTerminated();

// The busy cursor: the window system shows it while `busy` calls are nested (a device priming
// its blocks); without a window system nothing is shown.
using TBusyCursorHook = std::function<void(bool busy)>;
void SetBusyCursorHook(TBusyCursorHook hook);
void ShowBusyCursor(bool busy);

// The application's exception handler: the program shows the error report; tests install a
// recorder. Without one, the message is written to standard error.
using TExceptionHandler = std::function<void(std::exception_ptr)>;
// A notice for the user (a message box in the program). Without a hook it goes to standard error.
using TMessageBoxHook = std::function<void(const std::string& text, const std::string& caption)>;
void SetMessageBoxHook(TMessageBoxHook hook);
void ShowMessageBox(const std::string& text, const std::string& caption);
void SetExceptionHandler(TExceptionHandler handler);
void HandleException(std::exception_ptr error);
