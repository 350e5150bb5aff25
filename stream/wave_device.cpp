#include "stream/wave_device.h"

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"

const char* const kChangeWhileOpen = "Change to property while device was open";
const char* const kUnknownErrorText = "Specified error number is out of range (unknown error)";
const char* const kCallbackRefusedText =
    "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under "
    "Windows 95";

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
  SetPriority(FStartPriority);
  CreateMessageQueue();
  FEvents.Started->SetEvent();
  TEvent* const waits[] = {FEvents.Terminate.get(), FEvents.Flush.get()};
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
    FOnFailure(std::current_exception());
  }
  FEvents.Started->SetEvent();
}
