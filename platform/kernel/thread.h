// Threads in the manner the components expect: created suspended, resumed, optionally
// freeing themselves when they end, with a priority applied where the OS permits.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

using TThreadId = uint32_t;

// Small process-unique number of the calling thread (never 0).
TThreadId GetCurrentThreadId();
// The thread that initialised the program (the thread that runs main()).
TThreadId MainThreadId();
bool IsMainThread();
// Names the calling thread for the system's tools (top, perf, /proc/<pid>/task/*/comm); names
// longer than 15 characters are cut.
void SetThreadName(const char* name);

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Number of TThread objects whose thread is running (resumed and not yet ended).
int LiveThreadCount();

// The thread never starts inside the constructor, whatever `createSuspended` says: the derived
// object is not complete there, so Execute could run on a half-built object. The creator
// starts it with Resume once the object is built; `createSuspended` changes nothing.
// A derived class whose Execute uses its own members ends the thread (Terminate, WaitFor) in
// its own destructor; the base destructor does the same, but only after those members are gone.
class TThread {
 public:
  explicit TThread(bool createSuspended);
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts a suspended thread; later calls do nothing.
  void Resume();
  // Asks Execute to finish; Execute polls Terminated().
  virtual void Terminate();
  bool Terminated() const { return FTerminated.load(); }
  // A thread that frees itself deletes its object after Execute returns; nobody may
  // touch the object after it has signalled its end. Set before Resume: the program's exit
  // then waits (up to 2 s) for the thread to have deleted itself before static objects go.
  void SetFreeOnTerminate(bool value) { FFreeOnTerminate = value; }
  bool GetFreeOnTerminate() const { return FFreeOnTerminate; }
  // Applied at once when running, else when the thread starts. A priority the OS refuses
  // (raising it without the right) is kept silently.
  void SetPriority(TThreadPriority value);
  TThreadPriority GetPriority() const { return FPriority.load(); }
  // Id of the running thread, 0 before it has started.
  TThreadId ThreadID() const { return FThreadId.load(); }
  bool Finished() const { return FFinished.load(); }
  // Waits for a thread that does not free itself to end. Returns at once when it never ran.
  void WaitFor();
  // The exception that ended Execute, if any.
  std::exception_ptr FatalException() const { return FFatalException; }

 protected:
  virtual void Execute() = 0;

 private:
  void Run();
  void ApplyPriority();
  static void EndSelfFreeing();

  std::thread FHandle;  // stored under FStartLock, joined or moved out under FJoinLock
  std::mutex FStartLock;
  std::mutex FJoinLock;
  bool FResumed = false;             // under FStartLock
  bool FHandleStored = false;        // under FStartLock
  bool FCountedSelfFreeing = false;  // under FStartLock; the thread reads it once at its start
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  // The creator's, set before Resume; the thread reads it when Execute has returned.
  bool FFreeOnTerminate = false;
  std::atomic<TThreadPriority> FPriority{tpNormal};
  std::atomic<TThreadId> FThreadId{0};
  std::atomic<int> FNativeTid{0};
  // Written by the thread when Execute ends; read by others once it has finished.
  std::exception_ptr FFatalException;
};

// Joins the handles of self-freeing threads that have ended. Runs on every Resume and at exit,
// so every thread is joined; tests call it to check that no thread is left.
void ReapFinishedThreads();
