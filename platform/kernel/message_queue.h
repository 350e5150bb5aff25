// Per-thread message queues: post to a thread (or to a window owned by a thread), peek with
// removal of a range, wait for a message or an event.
#pragma once

#include <cstdint>
#include <span>

#include "platform/kernel/sync.h"
#include "platform/kernel/thread.h"

using HWND = void*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;

constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_APP = 0x8000;

struct TMessage {
  HWND hwnd = nullptr;  // target window, or none for a thread message
  uint32_t message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

constexpr uint32_t PM_NOREMOVE = 0;
constexpr uint32_t PM_REMOVE = 1;

// Creates the calling thread's queue (idempotent). Posting to a thread before it has a queue fails.
void CreateMessageQueue();
// Creates the queue of thread `threadId` from any thread (idempotent). The main loop uses it so
// that posting to the main thread works before the main thread has looked at its queue; the
// thread adopts that queue on its first queue call.
void EnsureMessageQueue(TThreadId threadId);
// Posts to the queue of thread `threadId`; false when that thread has no queue.
bool PostThreadMessage(TThreadId threadId, uint32_t msg, WPARAM wParam, LPARAM lParam);
// Posts a message carrying a window handle to a thread's queue.
bool PostToThread(TThreadId threadId, const TMessage& msg);
// Looks at the calling thread's queue for the first message with hwnd matching `hwnd` (none
// matches every message) and message in [msgMin, msgMax] (both 0: every message). With PM_REMOVE
// the message is taken off the queue. Creates the queue when missing.
bool PeekMessage(TMessage& msg, HWND hwnd, uint32_t msgMin, uint32_t msgMax, uint32_t removeMsg);
// Removes every pending message of the calling thread's queue that matches as PeekMessage would.
// Returns how many were removed.
int RemoveMessages(HWND hwnd, uint32_t msgMin, uint32_t msgMax);
// Number of messages waiting in the calling thread's queue.
int PendingMessageCount();
// Waits until one of the events is set (WAIT_OBJECT_0 + index) or the calling thread's queue
// holds a message (WAIT_OBJECT_0 + events.size()), or the time is up (WAIT_TIMEOUT).
uint32_t MsgWaitForMultipleObjects(std::span<TEvent* const> events, uint32_t timeoutMs);
// Removes every message whose hwnd is `hwnd` from the queue of thread `threadId` (used when a
// window is destroyed).
void PurgeWindowMessages(TThreadId threadId, HWND hwnd);
// Has every later post to the queue of thread `threadId` also add 1 to the eventfd counter `fd`
// (-1: none), so that the thread can sleep on descriptors and its queue at once (a descriptor,
// unlike an event, can be raised from a signal handler too). Creates the queue when missing.
void SetQueueWakeDescriptor(TThreadId threadId, int fd);
// Called after each post to the queue of `threadId`'s thread; the main loop uses it to wake
// the window system. Set once, before threads start.
using TPostHook = void (*)(TThreadId threadId);
void SetPostHook(TPostHook hook);
