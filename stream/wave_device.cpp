#include "stream/wave_device.h"

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"

const char* const kChangeWhileOpen = "Change to property while device was open";
const char* const kUnknownErrorText = "Specified error number is out of range (unknown error)";
const char* const kCallbackRefusedText =
    "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under "
    "Windows 95";

void ReportAndRequestClose(std::exception_ptr error, TMessageWindow* window) {
  HandleException(std::move(error));
  if (window) PostMessage(window->Handle(), kDeviceCloseRequest, 0, 0);
}

std::string WaveOutErrorText(MMRESULT code) {
  char text[256] = {};
  if (waveOutGetErrorTextA(code, text, 255) != MMSYSERR_NOERROR) return kUnknownErrorText;
  return text;
}

std::string WaveInErrorText(MMRESULT code) {
  char text[256] = {};
  if (waveInGetErrorTextA(code, text, 255) != MMSYSERR_NOERROR) return kUnknownErrorText;
  return text;
}

bool WaitRounds(int rounds, bool processMessages, const std::function<bool()>& done) {
  for (int i = 0; i < rounds; ++i) {
    if (done()) return true;
    if (IsMainThread()) CheckSynchronize();
    Delay(10, processMessages);
  }
  return done();
}

void WaitHeaderDone(WAVEHDR* header, bool sleep) {
  for (int i = 0; i < 65000; ++i) {
    if (std::atomic_ref<uint32_t>(header->dwFlags).load() & WHDR_DONE) return;
    if (sleep) Sleep(2);
  }
  std::atomic_ref<uint32_t>(header->dwFlags).fetch_or(WHDR_DONE);
}

TMMDeviceThread::TMMDeviceThread(TMMDSPComponent* Owner, TEvents events, uint32_t blockMessage,
                                 TThreadPriority priority, std::function<void(TMessage&)> onBlock,
                                 std::function<void(std::exception_ptr)> onFailure)
    : TMMDSPThread(Owner),
      FEvents(std::move(events)),
      FBlockMessage(blockMessage),
      FStartPriority(priority),
      FOnBlock(std::move(onBlock)),
      FOnFailure(std::move(onFailure)) {}

void TMMDeviceThread::Execute() {
  SetThreadName("nr-device");
  SetPriority(FStartPriority);
  CreateMessageQueue();
  FEvents.Started->SetEvent();
  TEvent* const waits[] = {FEvents.Terminate.get(), FEvents.Flush.get()};
  // The failure is handed on outside the handler, and moved, so that this thread keeps no
  // reference to an exception that the main thread may already be freeing.
  std::exception_ptr failure;
  try {
    while (!Terminated()) {
      TMessage msg;
      if (PeekMessage(msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == FBlockMessage) FOnBlock(msg);
        continue;
      }
      const uint32_t woke = MsgWaitForMultipleObjects(waits, INFINITE);
      if (woke == WAIT_OBJECT_0) break;
      if (woke == WAIT_OBJECT_0 + 1) {
        // A reset: the returned blocks still waiting here are dropped unhandled.
        RemoveMessages(nullptr, FBlockMessage, FBlockMessage);
        FEvents.Flush->ResetEvent();
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) FOnFailure(std::move(failure));
  FEvents.Started->SetEvent();
}

bool TMMDeviceWorker::Start(TMMDSPComponent* owner, uint32_t blockMessage, TThreadPriority priority,
                            std::function<void(TMessage&)> onBlock,
                            std::function<void(std::exception_ptr)> onFailed) {
  FFailed = false;
  FEvents = TMMDeviceThread::TEvents{};
  auto* thread = new TMMDeviceThread(owner, FEvents, blockMessage, priority, std::move(onBlock),
                                     [this, onFailed](std::exception_ptr error) {
                                       onFailed(std::move(error));
                                       // Marked last: until then End waits for the thread,
                                       // which still uses its device.
                                       FFailed = true;
                                     });
  thread->SetFreeOnTerminate(true);
  thread->Resume();
  if (FEvents.Started->WaitFor(5000) != WAIT_OBJECT_0) {
    FEvents.Terminate->SetEvent();
    return false;
  }
  std::lock_guard guard(FLock);
  FThread = thread;
  FThreadId = thread->ThreadID();
  return true;
}

void TMMDeviceWorker::End() {
  TMMDeviceThread* thread;
  {
    std::lock_guard guard(FLock);
    thread = FThread;
    FThread = nullptr;
    FThreadId = 0;
  }
  if (!thread) return;
  FEvents.Terminate->SetEvent();
  if (!FFailed) FEvents.Started->WaitFor(5000);
}

void TMMDeviceWorker::SetPriority(TThreadPriority priority) {
  std::lock_guard guard(FLock);
  if (FThread && !FFailed) FThread->SetPriority(priority);
}

void TMMDeviceWorker::Flush() {
  {
    std::lock_guard guard(FLock);
    if (!FThread) return;
  }
  FEvents.Flush->SetEvent();
  for (int i = 0; i < 5000 && FEvents.Flush->IsSet() && !FFailed; ++i) Sleep(1);
}
