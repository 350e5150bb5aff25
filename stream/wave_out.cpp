#include "stream/wave_out.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/kernel/clock.h"
#include "stream/wave_format.h"

namespace {

const char* const kNoDevice = "No wave audio playing device found";
const char* const kInvalidId = "Invalid DeviceID";

}  // namespace

std::string UnderrunText(int64_t underruns) {
  if (underruns <= 0) return "";
  return "The sound device ran out of audio " + std::to_string(underruns) +
         (underruns == 1 ? " time" : " times") +
         ": the playback has gaps of silence and the audio after them came late; the machine "
         "did not keep up.";
}

TMMWaveOut::TMMWaveOut(TComponent* AOwner) : TMMCustomWaveOutComponent(AOwner) {
  FNumDevs = waveOutGetNumDevs();
  FDeviceID = InvalidId;  // so that the setter below does its work
  SetDeviceID(0);
}

TMMWaveOut::~TMMWaveOut() {
  Destroying();
  if (FHandle || IsOpen()) Close();
  // A stop handed over to a running BufferDone finishes through the main loop.
  if (IsOpen()) RunUntil([this] { return !IsOpen(); }, 5000);
  // A close that failed must not leave the driver or the worker holding this object.
  if (FHandle) {
    waveOutReset(FHandle);
    waveOutClose(FHandle);
    FHandle = nullptr;
  }
  FWorker.End();
  FNotifyWindow.reset();
  for (PWaveHdr& h : FHeaders) FAllocator.FreeBuffer(h);
}

// ------------------------------------------------------------------ properties

void TMMWaveOut::SetBufferSize(int32_t Size) {
  Size = std::max(Size, 32);
  if (Size == FBufferSize) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  for (PWaveHdr& h : FHeaders) FAllocator.FreeBuffer(h);
  FAllocator.FreeAll();
  TMMCustomWaveOutComponent::SetBufferSize(Size);
}

void TMMWaveOut::SetNumBuffers(int32_t value) {
  if (value < 2) return;
  value = std::min(value, 500);
  if (value == FNumBuffers) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  FNumBuffers = value;
}

void TMMWaveOut::SetDeviceID(TMMDeviceId value) {
  if (value == FDeviceID) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  FProductName = kNoDevice;
  FDriverVersion = 0;
  const bool valid = FNumDevs > 0 && value >= -1 && value < int64_t(FNumDevs);
  if (valid) {
    WAVEOUTCAPSA caps{};
    if (waveOutGetDevCapsA(uintptr_t(uint32_t(value)), &caps, sizeof caps) == MMSYSERR_NOERROR) {
      FProductName.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
      FDriverVersion = caps.vDriverVersion;
    }
  }
  FDeviceID = valid ? value : InvalidId;
}

void TMMWaveOut::SetCallBackMode(TMMCBMode value) {
  if (value == FCallBackMode) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  if (value == cmCallback) {
    ShowMessageBox(kCallbackRefusedText, "TMMWaveOut");
    return;
  }
  FCallBackMode = value;
}

void TMMWaveOut::SetPWaveFormat(const WAVEFORMATEX* Format) {
  if (Format != GetPWaveFormat()) Close();
  TMMCustomWaveOutComponent::SetPWaveFormat(Format);
}

void TMMWaveOut::SetLooping(bool value) {
  if (value == FLooping) return;
  std::lock_guard guard(FLock);
  FLooping = value;
  FLoopCounter = FLoopCount;
}

void TMMWaveOut::SetLoopCount(uint16_t value) {
  if (value == FLoopCount) return;
  std::lock_guard guard(FLock);
  FLoopCount = value;
  FLoopCounter = FLoopCount;
}

void TMMWaveOut::SetPriority(TThreadPriority value) {
  FPriority = value;
  FWorker.SetPriority(value);
}

void TMMWaveOut::DeviceError(const std::string& message) {
  Fire(OnError);
  throw EMMWaveOutError(message);
}

// ------------------------------------------------------------------ driver notifications

void TMMWaveOut::DriverCallback(void* handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                                uintptr_t) {
  auto* self = reinterpret_cast<TMMWaveOut*>(instance);
  try {
    switch (msg) {
      case WOM_OPEN:
        self->FState = dsOpen;
        break;
      case WOM_CLOSE:
        self->FState = dsClosed;
        break;
      case WOM_DONE: {
        int32_t left;
        {
          std::lock_guard guard(self->FLock);
          left = --self->FInDriver;
        }
        if (self->FResetting) {
          if (left <= 0) self->FResetting = false;
          break;
        }
        if (self->FHalting) break;
        switch (self->FCallBackMode) {
          case cmWindow:
            PostMessage(self->FNotifyWindow->Handle(), MM_WOM_DONE, WPARAM(handle), LPARAM(param1));
            break;
          case cmCallback:
            self->BufferDone(reinterpret_cast<PWaveHdr>(param1));
            break;
          case cmThread:
            PostThreadMessage(self->FWorker.ThreadId(), MM_WOM_DONE, WPARAM(handle),
                              LPARAM(param1));
            break;
        }
        break;
      }
      default:
        break;
    }
  } catch (...) {
    // The driver's thread must not close the device: the main thread does.
    ReportAndRequestClose(std::current_exception(), self->FNotifyWindow.get());
  }
}

void TMMWaveOut::WindowProc(TMessage& msg) {
  try {
    if (msg.message == kDeviceCloseRequest) {
      Close();
      return;
    }
    if (reinterpret_cast<HWAVEOUT>(msg.wParam) != FHandle || !FHandle) return;
    switch (msg.message) {
      case MM_WOM_DONE:
        if (!FHalting) BufferDone(reinterpret_cast<PWaveHdr>(msg.lParam));
        break;
      case WaveOutStopRequest:
        Stop();
        break;
      default:
        break;
    }
  } catch (...) {
    Fire(OnError);
    Close();
    HandleException(std::current_exception());
  }
}

// ------------------------------------------------------------------ worker

// ------------------------------------------------------------------ open and close

void TMMWaveOut::Open() {
  if (FNumDevs == 0) DeviceError(kNoDevice);
  if (FDeviceID == InvalidId) DeviceError(kInvalidId);
  if (!GetPWaveFormat()) DeviceError("WaveOutOpen:\n\rInvalid wave format");
  if (IsOpen()) {
    Close();
    if (IsOpen() || FClosing) return;
  }
  FHalting = FClosing = FResetting = FEndPosted = false;
  try {
    // Only a refused format is reported as such; a device that is missing or cannot be
    // opened gives its own reason.
    // The driver gets extensible PCM as the plain PCM of the same layout.
    const std::optional<WAVEFORMATEX> plain = PlainPCMFormat(GetPWaveFormat());
    const WAVEFORMATEX* driverFormat = plain ? &*plain : GetPWaveFormat();
    const MMRESULT query =
        waveOutOpen(nullptr, DriverDeviceId(), driverFormat, 0, 0, WAVE_FORMAT_QUERY | OpenFlags());
    if (query == WAVERR_BADFORMAT)
      DeviceError("WaveOutOpen:\n\rThe actual device can't play this format");
    if (query != MMSYSERR_NOERROR)
      DeviceError(OpenFailureText(false, query, WaveOutErrorText(query)));
    if (!FNotifyWindow)
      FNotifyWindow = std::make_unique<TMessageWindow>([this](TMessage& m) { WindowProc(m); });
    FHandle = nullptr;
    FClosePending = false;
    TMMCustomWaveOutComponent::Open();
    if (FCallBackMode == cmThread && !FWorker.Start(
                                         this, MM_WOM_DONE, FPriority,
                                         [this](TMessage& msg) {
                                           if (reinterpret_cast<HWAVEOUT>(msg.wParam) == FHandle &&
                                               !FHalting)
                                             BufferDone(reinterpret_cast<PWaveHdr>(msg.lParam));
                                         },
                                         [this](std::exception_ptr error) {
                                           ReportAndRequestClose(error, FNotifyWindow.get());
                                         }))
      DeviceError("WaveOut:\n\rCould not create thread");
    HWAVEOUT handle = nullptr;
    const MMRESULT result =
        waveOutOpen(&handle, DriverDeviceId(), driverFormat, uintptr_t(&DriverCallback),
                    uintptr_t(this), CALLBACK_FUNCTION | OpenFlags());
    if (result != MMSYSERR_NOERROR)
      DeviceError(OpenFailureText(false, result, WaveOutErrorText(result)));
    FHandle = handle;
    if (!WaitRounds(500, FCallBackMode == cmWindow, [this] { return bool(FState & dsOpen); }))
      DeviceError("WaveOutOpen:\n\rUnable to open device");
    Fire(OnOpen);
  } catch (...) {
    Fire(OnError);
    FState = dsOpen;
    Close();
    FState = dsClosed;
    throw;
  }
}

void TMMWaveOut::Close() {
  if (!IsOpen()) return;
  if (FClosing && !FClosePending) return;
  FClosing = true;
  try {
    if (IsStarted() || IsPaused()) Stop();
    if (FStopPending) {
      FClosePending = true;
      return;
    }
    FClosePending = false;
    bool closed = true;
    if (FHandle) {
      const MMRESULT result = waveOutClose(FHandle);
      if (result != MMSYSERR_NOERROR) DeviceError("WaveOutClose:\n\r" + WaveOutErrorText(result));
      closed =
          WaitRounds(500, FCallBackMode == cmWindow, [this] { return bool(FState & dsClosed); });
      std::lock_guard guard(FLock);
      FWrapCount = 0;
      FWrapSize = 0;
    } else {
      FState = dsClosed;
    }
    TMMCustomWaveOutComponent::Close();
    FWorker.End();
    FHandle = nullptr;
    FClosing = false;
    if (!(ComponentState() & csDestroying)) Fire(OnClose);
    if (!closed) {
      FState = dsClosed;
      DeviceError("WaveOutClose:\n\rUnable to close device");
    }
  } catch (...) {
    Fire(OnError);
    FClosing = false;
  }
}

// ------------------------------------------------------------------ start, pause, stop

void TMMWaveOut::ResetBookkeeping() {
  std::lock_guard guard(FLock);
  FPositionBase = FLoopWrapPosition = FLastPosition = 0;
  FWrapCount = 0;
  FWrapSize = 0;
  FLoopCounter = FLoopCount;
  FInBufferDone = 0;
  FStopPending = FHalting = FEndPosted = FResetting = false;
  FCurIndex = 0;
  FInDriver = 0;
}

bool TMMWaveOut::PrimeHeaders(bool allocate) {
  const int32_t size = GetBufferSize();
  int32_t i = 0;
  FSourceHasMore = true;
  while (i < FNumBuffers && FSourceHasMore) {
    PWaveHdr& h = FHeaders[size_t(i)];
    if (!allocate && !h) break;  // a reset primes only the headers it has
    if (allocate) {
      if (!h) {
        h = static_cast<PWaveHdr>(
            FAllocator.AllocBuffer(GHND, int32_t(sizeof(BlockHeader)) + size));
        if (!h) DeviceError("Unable to allocate memory for wave header");
      }
      *h = BlockHeader{};
      h->lpData = reinterpret_cast<char*>(h + 1);
      h->dwBufferLength = uint32_t(size);
      const MMRESULT result = waveOutPrepareHeader(FHandle, h, sizeof(WAVEHDR));
      if (result != MMSYSERR_NOERROR)
        DeviceError("WaveOutPrepareHeader:\n\r" + WaveOutErrorText(result));
    }
    if (LoadBlock(h) == 0) break;
    WriteBlock(h);
    ++i;
  }
  FNumQueued = i;
  return i > 0;
}

void TMMWaveOut::Start() {
  if (!IsOpen()) Open();
  if (!IsOpen() || IsStarted()) return;
  try {
    ResetBookkeeping();
    FUnderrunBase = DriverUnderruns();
    FUnderruns = 0;
    waveOutPause(FHandle);
    TMMCustomWaveOutComponent::Start();
    {
      // A long priming shows the busy cursor until it ends.
      const bool busy = FShowHourGlass && int64_t(GetBufferSize()) * FNumBuffers > 100000;
      if (busy) ShowBusyCursor(true);
      struct TRestore {
        bool busy;
        ~TRestore() {
          if (busy) ShowBusyCursor(false);
        }
      } restore{busy};
      PrimeHeaders(true);
    }
    FState |= dsStarted;
    if (FNumQueued < 1) {
      TMMCustomWaveOutComponent::Stop();
      DeviceError("WaveOutStart:\n\rUnable to start device");
    }
    if (!IsPaused()) waveOutRestart(FHandle);
    Fire(OnStart);
  } catch (...) {
    Fire(OnError);
    FState |= dsStarted;
    Close();
    FState = dsClosed;
    throw;
  }
}

void TMMWaveOut::Pause() {
  if (!IsOpen()) Open();
  if (!IsOpen() || IsPaused()) return;
  if (IsStarted()) {
    MMRESULT result = waveOutPause(FHandle);
    if (result != MMSYSERR_NOERROR) DeviceError("WaveOutPause:\n\r" + WaveOutErrorText(result));
    FState |= dsPaused;
    if (DrivenByInput()) {
      // Another device drives this one: what is queued is dropped and counted as played.
      {
        std::lock_guard guard(FLock);
        FPositionBase += GetSamplePosition();
        FResetting = true;
      }
      result = waveOutReset(FHandle);
      if (result != MMSYSERR_NOERROR) DeviceError("WaveOutReset:\n\r" + WaveOutErrorText(result));
      // A BufferDone already running moves the block index: it finishes first, later ones see
      // Resetting and return.
      WaitRounds(500, false, [this] {
        std::lock_guard guard(FLock);
        return FInBufferDone == 0;
      });
      std::lock_guard guard(FLock);
      FCurIndex = 0;
      FInDriver = 0;
    }
  }
  FState |= dsPaused;
  TMMCustomWaveOutComponent::Pause();
  Fire(OnPause);
}

void TMMWaveOut::Restart() {
  if (!IsStarted() || !IsPaused()) return;
  FResetting = false;
  TMMCustomWaveOutComponent::Restart();
  const MMRESULT result = waveOutRestart(FHandle);
  if (result != MMSYSERR_NOERROR) DeviceError("WaveOutRestart:\n\r" + WaveOutErrorText(result));
  FState &= ~dsPaused;
  Fire(OnRestart);
}

void TMMWaveOut::Stop() {
  if (!IsStarted() && !IsPaused()) return;
  try {
    {
      std::lock_guard guard(FLock);
      FHalting = true;
      FResetting = true;
      FWrapCount = 0;
      FWrapSize = 0;
    }
    const MMRESULT result = waveOutReset(FHandle);
    if (result > 0) DeviceError("WaveOutReset:\n\r" + WaveOutErrorText(result));
    FinishStop();
  } catch (...) {
    Fire(OnError);
    Close();
    throw;
  }
}

void TMMWaveOut::FinishStop() {
  {
    // Under the lock, so that a BufferDone that is just ending sees StopPending.
    std::lock_guard guard(FLock);
    if (FInBufferDone > 0) {
      FStopPending = true;
      return;
    }
  }
  FState &= ~(dsStarted | dsPaused);
  FUnderruns = DriverUnderruns() - FUnderrunBase;
  WaitRounds(500, FCallBackMode == cmWindow, [this] { return FInDriver <= 0; });
  TMMCustomWaveOutComponent::Stop();
  for (int32_t i = 0; i < FNumQueued; ++i) {
    WaitHeaderDone(FHeaders[size_t(i)], true);
    waveOutUnprepareHeader(FHandle, FHeaders[size_t(i)], sizeof(WAVEHDR));
  }
  for (PWaveHdr& h : FHeaders) FAllocator.FreeBuffer(h);
  {
    std::lock_guard guard(FLock);
    FNumQueued = 0;
    FInDriver = 0;
    FCurIndex = 0;
    FStopPending = false;
  }
  if (!(ComponentState() & csDestroying)) Fire(OnStop);
  if (FClosePending) Close();
}

void TMMWaveOut::ResetDevice() {
  if ((!IsStarted() && !IsPaused()) || FResetting) return;
  FResetting = true;
  // A BufferDone already running finishes first; later ones see Resetting and return.
  WaitRounds(500, false, [this] {
    std::lock_guard guard(FLock);
    return FInBufferDone == 0;
  });
  waveOutPause(FHandle);
  if (FCallBackMode == cmThread) {
    FWorker.Flush();
  } else if (FCallBackMode == cmWindow && FNotifyWindow) {
    RemovePendingMessages(FNotifyWindow->Handle(), MM_WOM_DONE, MM_WOM_DONE);
  }
  waveOutReset(FHandle);
  WaitRounds(100, FCallBackMode == cmWindow, [this] { return !FResetting; });
  waveOutRestart(FHandle);
  waveOutPause(FHandle);
  {
    std::lock_guard guard(FLock);
    FCurIndex = 0;
    FInDriver = 0;
    FPositionBase = FLoopWrapPosition = FLastPosition = 0;
    FWrapCount = 0;
    FWrapSize = 0;
  }
  TMMCustomWaveOutComponent::Reset();
  FResetting = false;
  const bool primed = PrimeHeaders(false);
  if (!IsPaused()) waveOutRestart(FHandle);
  if (!primed) Stop();
}

// ------------------------------------------------------------------ blocks

void TMMWaveOut::BufferLoad(PWaveHdr h, bool& MoreBuffers) {
  h->dwBufferLength = uint32_t(GetBufferSize());
  h->dwBytesRecorded = 0;
  bool looping;
  {
    // The main thread may switch looping while the worker loads.
    std::lock_guard guard(FLock);
    looping = FLooping;
    h->LoopActive = looping ? LoopFlagSet : 0;
    if (looping) {
      h->LoopsWanted = FLoopCount;
      h->LoopsRemaining = FLoopCounter;
      h->Looped = 0;
    }
  }
  TMMCustomWaveOutComponent::BufferLoad(h, MoreBuffers);
  h->dwBufferLength = h->dwBytesRecorded;
  if (looping) {
    std::lock_guard guard(FLock);
    FLoopCounter = h->LoopsRemaining;
  }
}

uint32_t TMMWaveOut::LoadBlock(PWaveHdr h) {
  bool more = false;
  BufferLoad(h, more);
  if (h->dwBytesRecorded < 1) more = false;
  FSourceHasMore = more;
  return h->dwBytesRecorded;
}

void TMMWaveOut::WriteBlock(PWaveHdr h) {
  if (OnBufferFilled) OnBufferFilled(this, h);
  // Under the lock: a Stop that sets Halting is never overtaken by a write.
  std::lock_guard guard(FLock);
  if (FHalting || FResetting) return;
  std::atomic_ref<uint32_t>(h->dwFlags).store((h->dwFlags | WHDR_PREPARED) & ~WHDR_DONE);
  h->SavedBytes = h->dwBytesRecorded;
  ++FInDriver;
  const MMRESULT result = waveOutWrite(FHandle, h, sizeof(WAVEHDR));
  h->dwBytesRecorded = h->SavedBytes;
  if (result != MMSYSERR_NOERROR) {
    --FInDriver;
    DeviceError("WaveOutWrite:\n\r" + WaveOutErrorText(result));
  }
}

void TMMWaveOut::BufferDone(PWaveHdr) {
  {
    // Checked and counted in one step: a Stop in between would free the headers under us.
    std::lock_guard guard(FLock);
    if (!IsStarted() || FResetting || FHalting) return;
    ++FInBufferDone;
  }
  try {
    // Blocks come back in the order they were written.
    PWaveHdr h = FHeaders[size_t(FCurIndex)];
    FCurIndex = FNumQueued > 0 ? (FCurIndex + 1) % FNumQueued : 0;
    h->dwBytesRecorded = h->SavedBytes;
    PWaveHdr next = FHeaders[size_t(FCurIndex)];
    h->PartnerHeader = next;
    if (next) next->dwBytesRecorded = next->SavedBytes;
    TMMCustomWaveOutComponent::BufferReady(h);

    const int64_t position = GetSamplePosition();
    {
      std::lock_guard guard(FLock);
      if (position + 65535 <= FLastPosition) {
        FWrapSize = FLastPosition | 0xFFFFF;
        ++FWrapCount;
      }
      FLastPosition = position;
    }
    if (FSourceHasMore && !FStopPending) {
      if (FLooping && h->Looped) {
        {
          std::lock_guard guard(FLock);
          FLoopWrapPosition = FPositionBase + position + int64_t(FWrapCount) * FWrapSize;
          h->Looped = 0;
        }
        TMMCustomWaveOutComponent::NotifyLooping();
        Fire(OnLooping);
      }
      WaitHeaderDone(h, true);
      if (LoadBlock(h) == 0 && !FStopPending) DeviceError("Error filling wave buffer");
      if (!FStopPending) WriteBlock(h);
    }
  } catch (...) {
    Fire(OnError);
    EndBufferDone();
    throw;
  }
  EndBufferDone();
}

void TMMWaveOut::EndBufferDone() {
  bool post = false;
  {
    std::lock_guard guard(FLock);
    --FInBufferDone;
    // The end: a stop asked for, or the source has ended and its last block has come back. A
    // device that plays a block faster than this thread refills the one before may hold none
    // for a moment while the source has more: the returned blocks' BufferDone calls follow.
    const bool ended = FStopPending || (FInDriver == 0 && !FSourceHasMore);
    if (FInBufferDone == 0 && ended && !FEndPosted) {
      FEndPosted = true;
      FHalting = true;
      post = true;
    }
  }
  if (!post) return;
  const MMRESULT result = waveOutPause(FHandle);
  if (FNotifyWindow) PostMessage(FNotifyWindow->Handle(), WaveOutStopRequest, WPARAM(FHandle), 0);
  if (result != MMSYSERR_NOERROR) DeviceError("WaveOutPause:\n\r" + WaveOutErrorText(result));
}

// ------------------------------------------------------------------ position

int64_t TMMWaveOut::GetSamplePosition() {
  if (!FHandle) return 0;
  MMTIME time{};
  time.wType = TIME_SAMPLES;
  if (waveOutGetPosition(FHandle, &time, sizeof time) == MMSYSERR_NOERROR &&
      time.wType == TIME_SAMPLES)
    return time.u.sample;
  time.wType = TIME_BYTES;
  const MMRESULT result = waveOutGetPosition(FHandle, &time, sizeof time);
  if (result != MMSYSERR_NOERROR) DeviceError("WaveOutGetPosition:\n\r" + WaveOutErrorText(result));
  const WAVEFORMATEX* f = GetPWaveFormat();
  if (!f || !f->nAvgBytesPerSec) return 0;
  return int64_t(time.u.cb) * f->nSamplesPerSec / f->nAvgBytesPerSec;
}

int64_t TMMWaveOut::DriverUnderruns() const {
  uint32_t count = 0;
  if (!FHandle || waveOutGetUnderruns(FHandle, &count) != MMSYSERR_NOERROR) return 0;
  return count;
}

int64_t TMMWaveOut::Underruns() {
  if (IsStarted() || IsPaused()) return DriverUnderruns() - FUnderrunBase;
  return FUnderruns;
}

int64_t TMMWaveOut::GetPosition() {
  const WAVEFORMATEX* f = GetPWaveFormat();
  if (!IsOpen() || !f || FClosePending || !f->nSamplesPerSec) return 0;
  const int64_t driver = GetSamplePosition();
  int64_t samples;
  {
    std::lock_guard guard(FLock);
    samples = FPositionBase + driver + int64_t(FWrapCount) * FWrapSize - FLoopWrapPosition;
  }
  switch (FTimeFormat) {
    case tfMillisecond:
      return SamplesToMs64(f, samples);
    case tfByte:
      return SamplesToBytes64(f, samples);
    case tfSample:
      break;
  }
  return samples;
}
