// What the wave output and input devices share: the device state set, the error classes and
// texts, the worker thread that runs the returned blocks, and the polling waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/kernel/message_queue.h"
#include "platform/kernel/sync.h"
#include "platform/mainloop/main_loop.h"
#include "platform/wave/wave_api.h"
#include "stream/dsp_thread.h"
#include "stream/mm_error.h"

enum TMMDeviceStateFlag : unsigned { dsClosed = 1, dsOpen = 2, dsStarted = 4, dsPaused = 8 };
using TMMDeviceState = unsigned;

class EMMWaveOutError : public EMMError {
 public:
  using EMMError::EMMError;
};

class EMMWaveInError : public EMMError {
 public:
  using EMMError::EMMError;
};

extern const char* const kChangeWhileOpen;      // "Change to property while device was open"
extern const char* const kUnknownErrorText;     // the text for a code the driver does not know
extern const char* const kCallbackRefusedText;  // the notice shown when cmCallback is chosen

// The private message by which a device asks its hidden window to close it on the main thread.
constexpr uint32_t kDeviceCloseRequest = WM_APP + 3;
// Reports an error of a worker or a driver callback and has the main thread close the device
// (Stop, OnStop and OnClose belong there).
void ReportAndRequestClose(std::exception_ptr error, TMessageWindow* window);

// The driver's text for an error code, or the unknown-error text.
std::string WaveOutErrorText(MMRESULT code);
std::string WaveInErrorText(MMRESULT code);

// Waits up to rounds × 10 ms for `done`, processing messages meanwhile when asked.
bool WaitRounds(int rounds, bool processMessages, const std::function<bool()>& done);
// Waits for the driver to mark a header done: up to 65000 checks with 2 ms sleeps (input:
// without sleeping); a header that never is gets marked done.
void WaitHeaderDone(WAVEHDR* header, bool sleep);

// The worker of a device in cmThread mode: it takes the driver's returned blocks from its
// message queue and runs `OnBlock` for each; `OnFailure` gets an exception that escaped.
class TMMDeviceThread : public TMMDSPThread {
 public:
  struct TEvents {
    std::shared_ptr<TEvent> Started = std::make_shared<TEvent>(false, false);
    std::shared_ptr<TEvent> Terminate = std::make_shared<TEvent>(false, false);
    std::shared_ptr<TEvent> Flush = std::make_shared<TEvent>(true, false);
  };

  TMMDeviceThread(TMMDSPComponent* Owner, TEvents events, uint32_t blockMessage,
                  TThreadPriority priority, std::function<void(TMessage&)> onBlock,
                  std::function<void(std::exception_ptr)> onFailure);

 protected:
  void Execute() override;

 private:
  TEvents FEvents;
  uint32_t FBlockMessage;
  TThreadPriority FStartPriority;
  std::function<void(TMessage&)> FOnBlock;
  std::function<void(std::exception_ptr)> FOnFailure;
};

// A device's worker as the device starts, steers and ends it.
class TMMDeviceWorker {
 public:
  // Starts the thread. `onBlock` runs there for each block message; when an exception escapes,
  // the worker is marked failed, ends, and `onFailed` gets the exception on its way out.
  // False when the thread did not signal its start within 5000 ms.
  bool Start(TMMDSPComponent* owner, uint32_t blockMessage, TThreadPriority priority,
             std::function<void(TMessage&)> onBlock,
             std::function<void(std::exception_ptr)> onFailed);
  // Tells the thread to end and waits up to 5000 ms for it (not for one that failed).
  void End();
  void SetPriority(TThreadPriority priority);
  // Drops the block messages waiting in the worker's queue; returns once they are gone.
  void Flush();
  TThreadId ThreadId() const { return FThreadId; }
  bool Failed() const { return FFailed; }

 private:
  std::mutex FLock;
  TMMDeviceThread* FThread = nullptr;  // frees itself when it ends
  std::atomic<TThreadId> FThreadId{0};
  TMMDeviceThread::TEvents FEvents;
  std::atomic<bool> FFailed{false};
};
