#include "stream/wave_in.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/kernel/clock.h"
#include "platform/mmtimer/mmtimer.h"
#include "stream/wave_format.h"

namespace {

const char* const kNoDevice = "No wave audio recording device found";
const char* const kInvalidId = "Invalid DeviceID";
// How much later than its period a watchdog tick may come before the time between counts as
// time the program did not run.
constexpr uint32_t kLateTickMs = 1000;

}  // namespace

const char* const kStalledText = "WaveIn:\n\rThe sound device stopped delivering audio";
const char* const kLostText =
    "WaveIn:\n\rThe recording stopped: the sound device was lost (disconnected, or its sound "
    "server ended)";

TMMCustomWaveIn::TMMCustomWaveIn(TComponent* AOwner) : TMMCustomSoundComponent(AOwner) {}

TMMCustomWaveIn::~TMMCustomWaveIn() {
  Destroying();
  StopWatchdog();
  if (FHandle || IsOpen()) Close();
  // A stop handed over to a running BufferDone finishes through the main loop.
  if (IsOpen()) RunUntil([this] { return !IsOpen(); }, 5000);
  // A close that failed must not leave the driver or the worker holding this object.
  if (FHandle) {
    DriverTable.Reset(FHandle);
    DriverTable.Close(FHandle);
    FHandle = nullptr;
  }
  FWorker.End();
  FNotifyWindow.reset();
  for (PWaveHdr& h : FHeaders) FAllocator.FreeBuffer(h);
}

void TMMCustomWaveIn::InitDriver() {
  FNumDevs = DriverTable.GetNumDevs();
  FDeviceID = InvalidId;  // so that the setter does its work
  SetDeviceID(0);
  FNotifyWindow = std::make_unique<TMessageWindow>([this](TMessage& m) { WindowProc(m); });
  BuildFormat();
}

TMMWaveIn::TMMWaveIn(TComponent* AOwner) : TMMCustomWaveIn(AOwner) {
  BindDriver();
  InitDriver();
}

void TMMWaveIn::BindDriver() {
  DriverTable = TWaveInDriverTable{
      waveInGetNumDevs,    waveInGetDevCapsA,     waveInGetErrorTextA, waveInOpen,  waveInClose,
      waveInPrepareHeader, waveInUnprepareHeader, waveInAddBuffer,     waveInStart, waveInStop,
      waveInReset,         waveInGetPosition,     waveInGetID};
}

std::string TMMCustomWaveIn::ErrorText(MMRESULT code) {
  char text[256] = {};
  if (DriverTable.GetErrorText(code, text, 255) != MMSYSERR_NOERROR) return kUnknownErrorText;
  return text;
}

void TMMCustomWaveIn::DeviceError(const std::string& message) {
  Fire(OnError);
  throw EMMWaveInError(message);
}

// ------------------------------------------------------------------ properties

void TMMCustomWaveIn::SetBufferSize(int32_t Size) {
  Size = std::max(Size, 32);
  if (Size == FBufferSize) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  for (PWaveHdr& h : FHeaders) FAllocator.FreeBuffer(h);
  FAllocator.FreeAll();
  TMMCustomSoundComponent::SetBufferSize(Size);
}

void TMMCustomWaveIn::SetNumBuffers(int32_t value) {
  if (value < 2) return;
  value = std::min(value, 500);
  if (value == FNumBuffers) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  FNumBuffers = value;
}

void TMMCustomWaveIn::SetDeviceID(TMMDeviceId value) {
  if (value == FDeviceID) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  FProductName = kNoDevice;
  FDriverVersion = 0;
  const bool valid = FNumDevs > 0 && value >= -1 && value < int64_t(FNumDevs);
  if (valid) {
    WAVEINCAPSA caps{};
    if (DriverTable.GetDevCaps(uintptr_t(uint32_t(value)), &caps, sizeof caps) ==
        MMSYSERR_NOERROR) {
      FProductName.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
      FDriverVersion = caps.vDriverVersion;
    }
  }
  FDeviceID = valid ? value : InvalidId;
}

void TMMCustomWaveIn::SetCallBackMode(TMMCBMode value) {
  if (value == FCallBackMode) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  if (value == cmCallback) {
    ShowMessageBox(kCallbackRefusedText, "TMMWaveIn");
    return;
  }
  FCallBackMode = value;
}

void TMMCustomWaveIn::BuildFormat() {
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, (int(FBitLength) + 1) * 8, int(FMode) + 1, uint32_t(FSampleRate));
  SetPWaveFormat(&f);
}

bool TMMCustomWaveIn::CanRecordAt(TMMDeviceId id, int32_t rate) {
  if (rate <= 0) return false;
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, (int(FBitLength) + 1) * 8, int(FMode) + 1, uint32_t(rate));
  return DriverTable.Open(nullptr, uint32_t(id), &f, 0, 0, WAVE_FORMAT_QUERY) != WAVERR_BADFORMAT;
}

void TMMCustomWaveIn::SetPWaveFormat(const WAVEFORMATEX* Format) {
  if (Format != GetPWaveFormat()) Close();
  const bool valid = Format && Format->wFormatTag == WAVE_FORMAT_PCM &&
                     (Format->wBitsPerSample == 8 || Format->wBitsPerSample == 16) &&
                     (Format->nChannels == 1 || Format->nChannels == 2 || Format->nChannels == 4) &&
                     Format->nSamplesPerSec >= 4000 && Format->nSamplesPerSec <= 100000;
  if (valid) {
    FSampleRate = int32_t(Format->nSamplesPerSec);
    FBitLength = TMMBits(Format->wBitsPerSample / 8 - 1);
    FMode = TMMMode(Format->nChannels - 1);
  }
  TMMCustomSoundComponent::SetPWaveFormat(Format);
  UpdateMaxRecordBytes();
}

void TMMCustomWaveIn::SetMode(TMMMode value) {
  if (value == FMode || value == mMultiChannel) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  FMode = value;
  BuildFormat();
}

void TMMCustomWaveIn::SetBitLength(TMMBits value) {
  if (value == FBitLength) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  FBitLength = value;
  BuildFormat();
}

void TMMCustomWaveIn::SetSampleRate(int32_t value) {
  value = std::clamp(value, 8000, 100000);
  if (value == FSampleRate) return;
  if (IsOpen()) DeviceError(kChangeWhileOpen);
  FSampleRate = value;
  BuildFormat();
}

void TMMCustomWaveIn::UpdateMaxRecordBytes() {
  const WAVEFORMATEX* f = GetPWaveFormat();
  if (FMaxRecordTime < 0 || !f || !f->nBlockAlign || !f->nSamplesPerSec) {
    FMaxRecordBytes = 0x7FFFFFFF;
    return;
  }
  int64_t bytes = FMaxRecordTime;
  // Limits beyond 2 GiB are counted in 64 bits: a long recording ends at its time, or at the
  // size limit of the file.
  if (FTimeFormat == tfMillisecond) {
    bytes = MsToBytes(f, FMaxRecordTime);
    if (bytes < 0)
      bytes = SamplesToBytes64(f, (int64_t(FMaxRecordTime) * f->nSamplesPerSec + 500) / 1000);
  } else if (FTimeFormat == tfSample) {
    bytes = SamplesToBytes(f, FMaxRecordTime);
    if (bytes < 0) bytes = SamplesToBytes64(f, FMaxRecordTime);
  }
  FMaxRecordBytes = bytes - bytes % f->nBlockAlign;
}

void TMMCustomWaveIn::SetMaxRecordTime(int32_t value) {
  FMaxRecordTime = value;
  UpdateMaxRecordBytes();
}

void TMMCustomWaveIn::SetTimeFormat(TMMTimeFormats value) {
  if (value == FTimeFormat) return;
  FTimeFormat = value;
  const WAVEFORMATEX* f = GetPWaveFormat();
  if (FMaxRecordTime >= 0 && f && f->nAvgBytesPerSec) {
    switch (value) {
      case tfMillisecond:
        FMaxRecordTime = int32_t(
            std::min<int64_t>(FMaxRecordBytes * 1000 / int64_t(f->nAvgBytesPerSec), 0x7FFFFFFF));
        break;
      case tfSample:
        FMaxRecordTime = int32_t(
            std::min<int64_t>(FMaxRecordBytes / std::max<int64_t>(f->nBlockAlign, 1), 0x7FFFFFFF));
        break;
      case tfByte:
        FMaxRecordTime = int32_t(std::min<int64_t>(FMaxRecordBytes, 0x7FFFFFFF));
        break;
    }
  }
}

void TMMCustomWaveIn::SetPriority(TThreadPriority value) {
  FPriority = value;
  FWorker.SetPriority(value);
}

// ------------------------------------------------------------------ notifications

void TMMCustomWaveIn::DriverCallback(void* handle, uint32_t msg, uintptr_t instance,
                                     uintptr_t param1, uintptr_t) {
  auto* self = reinterpret_cast<TMMCustomWaveIn*>(instance);
  try {
    switch (msg) {
      case WIM_OPEN:
        self->FState = dsOpen;
        break;
      case WIM_CLOSE:
        self->FState = dsClosed;
        break;
      case WIM_DATA:
        switch (self->FCallBackMode) {
          case cmWindow:
            PostMessage(self->FNotifyWindow->Handle(), MM_WIM_DATA, WPARAM(handle), LPARAM(param1));
            break;
          case cmCallback:
            self->BufferDone(reinterpret_cast<PWaveHdr>(param1));
            break;
          case cmThread:
            PostThreadMessage(self->FWorker.ThreadId(), MM_WIM_DATA, WPARAM(handle),
                              LPARAM(param1));
            break;
        }
        break;
      default:
        break;
    }
  } catch (...) {
    ReportAndRequestClose(std::current_exception(), self->FNotifyWindow.get());
  }
}

void TMMCustomWaveIn::WindowProc(TMessage& msg) {
  try {
    if (msg.message == kDeviceCloseRequest) {
      Close();
      return;
    }
    if (reinterpret_cast<HWAVEIN>(msg.wParam) != FHandle || !FHandle) return;
    switch (msg.message) {
      case MM_WIM_DATA:
        BufferDone(reinterpret_cast<PWaveHdr>(msg.lParam));
        break;
      case WaveInStopRequest:
        Stop();
        break;
      case WaveInStalledReport:
        if (!IsStarted() || IsPaused() || FStalled) break;
        // The run ends with what was recorded; the stop finishes the chain and its file.
        FStalled = true;
        Stop();
        throw EMMWaveInError(kStalledText);
      default:
        break;
    }
  } catch (...) {
    Fire(OnError);
    Close();
    HandleException(std::current_exception());
  }
}

// ------------------------------------------------------------------ overruns

TMMCustomWaveIn::TOverruns TMMCustomWaveIn::DriverOverruns() const {
  uint64_t frames = 0;
  uint32_t dropouts = 0;
  if (!FHandle || waveInGetOverruns(FHandle, &frames, &dropouts) != MMSYSERR_NOERROR) return {};
  return {int64_t(frames), int64_t(dropouts)};
}

TMMCustomWaveIn::TOverruns TMMCustomWaveIn::Overruns() {
  std::lock_guard guard(FLock);
  if (!(FState & dsStarted)) return FRunOverruns;
  const TOverruns now = DriverOverruns();
  return {now.Frames - FOverrunBase.Frames, now.Dropouts - FOverrunBase.Dropouts};
}

// ------------------------------------------------------------------ watchdog

void TMMCustomWaveIn::StartWatchdog() {
  StopWatchdog();
  FLastDelivery = timeGetTime();
  FStallPosted = false;
  if (FStallTimeout == 0) return;
  // Checked twenty times per timeout (at most four times a second): a stall is reported in the
  // last of them before the timeout has passed, so within the timeout of the last block.
  FWatchdogPeriod = std::clamp<uint32_t>(FStallTimeout / 20, 1, 250);
  FLastTick = FLastDelivery.load();
  FWatchdog = timeSetEvent(FWatchdogPeriod, 0, &WatchdogTick, uintptr_t(this), TIME_PERIODIC);
}

void TMMCustomWaveIn::StopWatchdog() {
  // Taken in one step: the main thread and a worker's Stop at the record limit may both end it.
  // Returns once a running tick has returned.
  if (const uint32_t timer = FWatchdog.exchange(0)) timeKillEvent(timer);
}

void TMMCustomWaveIn::WatchdogTick(uint32_t, uint32_t, uintptr_t instance, uintptr_t, uintptr_t) {
  auto* self = reinterpret_cast<TMMCustomWaveIn*>(instance);
  const TMMDeviceState state = self->FState;
  const uint32_t now = timeGetTime();
  const uint32_t lastTick = self->FLastTick.exchange(now);
  if (!(state & dsStarted) || (state & dsPaused) || self->FStallPosted) return;
  // A tick a second or more later than its period: the program did not run meanwhile (stopped
  // by a signal, a debugger, a frozen container). Its device did not stall in that time; the
  // count starts again.
  if (now - lastTick > self->FWatchdogPeriod + kLateTickMs) {
    self->FLastDelivery = now;
    return;
  }
  // The stall will have lasted the timeout before the next tick.
  if (now - self->FLastDelivery + self->FWatchdogPeriod < self->FStallTimeout) return;
  self->FStallPosted = true;
  PostMessage(self->FNotifyWindow->Handle(), WaveInStalledReport, WPARAM(self->FHandle), 0);
}

// ------------------------------------------------------------------ open and close

void TMMCustomWaveIn::Open() {
  if (FNumDevs == 0) DeviceError(kNoDevice);
  if (FDeviceID == InvalidId) DeviceError(kInvalidId);
  if (!GetPWaveFormat()) DeviceError("Invalid wave format");
  if (IsOpen()) {
    Close();
    if (IsOpen() || FClosing) return;
  }
  FClosing = FResetting = FHalting = FEndPosted = false;
  try {
    // Only a refused format is reported as such; a device that is missing or busy gives its
    // own reason.
    const MMRESULT query =
        DriverTable.Open(nullptr, uint32_t(FDeviceID), GetPWaveFormat(), 0, 0, WAVE_FORMAT_QUERY);
    if (query == WAVERR_BADFORMAT)
      DeviceError("WaveInOpen:\n\rThe actual device can't record this format");
    if (query != MMSYSERR_NOERROR) DeviceError(OpenFailureText(true, query, ErrorText(query)));
    if (!FNotifyWindow)
      FNotifyWindow = std::make_unique<TMessageWindow>([this](TMessage& m) { WindowProc(m); });
    FHandle = nullptr;
    FClosePending = false;
    if (FCallBackMode == cmThread && !FWorker.Start(
                                         this, MM_WIM_DATA, FPriority,
                                         [this](TMessage& msg) {
                                           if (reinterpret_cast<HWAVEIN>(msg.wParam) == FHandle)
                                             BufferDone(reinterpret_cast<PWaveHdr>(msg.lParam));
                                         },
                                         [this](std::exception_ptr error) {
                                           ReportAndRequestClose(error, FNotifyWindow.get());
                                         }))
      DeviceError("WaveIn:\n\rCould not create thread");
    HWAVEIN handle = nullptr;
    const MMRESULT result =
        DriverTable.Open(&handle, uint32_t(FDeviceID), GetPWaveFormat(), uintptr_t(&DriverCallback),
                         uintptr_t(this), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) DeviceError(OpenFailureText(true, result, ErrorText(result)));
    FHandle = handle;
    const TMMDeviceState previous = FState;
    FState = dsClosed;
    TMMCustomSoundComponent::Open();
    FState = previous;
    if (!WaitRounds(100, FCallBackMode == cmWindow, [this] { return bool(FState & dsOpen); }))
      DeviceError("WaveInOpen:\n\rUnable to open device");
    const int32_t size = GetBufferSize();
    for (int32_t i = 0; i < FNumBuffers; ++i) {
      PWaveHdr& h = FHeaders[size_t(i)];
      if (!h) {
        h = static_cast<PWaveHdr>(
            FAllocator.AllocBuffer(GHND, int32_t(sizeof(BlockHeader)) + size));
        if (!h) DeviceError("Unable to allocate memory for wave header");
      }
      *h = BlockHeader{};
      h->lpData = reinterpret_cast<char*>(h + 1);
      h->dwBufferLength = uint32_t(size);
      const MMRESULT prepared = DriverTable.PrepareHeader(FHandle, h, sizeof(WAVEHDR));
      if (prepared != MMSYSERR_NOERROR)
        DeviceError("WaveInPrepareHeader:\n\r" + ErrorText(prepared));
    }
    Fire(OnOpen);
  } catch (...) {
    Fire(OnError);
    FState = dsOpen;
    Close();
    FState = dsClosed;
    throw;
  }
}

void TMMCustomWaveIn::CloseCompletion() {
  FHandle = nullptr;
  for (PWaveHdr& h : FHeaders) FAllocator.FreeBuffer(h);
  FClosing = false;
  if (!(ComponentState() & csDestroying)) Fire(OnClose);
}

void TMMCustomWaveIn::Close() {
  if (!IsOpen()) return;
  if (FClosing && !FClosePending) return;
  FClosing = true;
  StopWatchdog();
  try {
    if (IsStarted() || IsPaused()) Stop();
    if (FStopPending) {
      FClosePending = true;
      return;
    }
    FClosePending = false;
    bool closed = true;
    if (FHandle) {
      DriverTable.Stop(FHandle);
      DriverTable.Reset(FHandle);
      for (int32_t i = 0; i < FNumBuffers; ++i) {
        PWaveHdr h = FHeaders[size_t(i)];
        if (!h || !(h->dwFlags & WHDR_PREPARED)) continue;
        WaitHeaderDone(h, false);
        const MMRESULT result = DriverTable.UnprepareHeader(FHandle, h, sizeof(WAVEHDR));
        if (result != MMSYSERR_NOERROR)
          DeviceError("WaveInUnprepareHeader:\n\r" + ErrorText(result));
      }
      const MMRESULT result = DriverTable.Close(FHandle);
      if (result != MMSYSERR_NOERROR) DeviceError("WaveInClose:\n\r" + ErrorText(result));
      closed =
          WaitRounds(100, FCallBackMode == cmWindow, [this] { return bool(FState & dsClosed); });
      FWrapCount = 0;
      FWrapSize = 0;
    } else {
      FState = dsClosed;
    }
    TMMCustomSoundComponent::Close();
    FWorker.End();
    CloseCompletion();
    if (!closed) {
      FState = dsClosed;
      DeviceError("WaveInClose:\n\rUnable to close device");
    }
  } catch (...) {
    Fire(OnError);
    FClosing = false;
  }
}

// ------------------------------------------------------------------ start, pause, stop

void TMMCustomWaveIn::AddBlock(PWaveHdr h) {
  std::atomic_ref<uint32_t>(h->dwFlags).store((h->dwFlags | WHDR_PREPARED) & ~WHDR_DONE);
  std::lock_guard guard(FLock);
  // A stop that has reset the driver gets no block back into it.
  if (FHalting) return;
  ++FInDriver;  // before the call: a fast driver may return the block before it returns
  const MMRESULT result = DriverTable.AddBuffer(FHandle, h, sizeof(WAVEHDR));
  if (result != MMSYSERR_NOERROR) {
    --FInDriver;
    // A device that went away ends the run with what was recorded, like a stall.
    if (result == WAVEDRVERR_DEVICELOST) {
      FLost = true;
      DeviceError(kLostText);
    }
    DeviceError("WaveInAddBuffer:\n\r" + ErrorText(result));
  }
}

void TMMCustomWaveIn::Start() {
  if (!IsOpen()) Open();
  if (!IsOpen() || IsStarted()) return;
  try {
    {
      std::lock_guard guard(FLock);
      FBytesRecorded = 0;
      FCurIndex = 0;
      FInBufferDone = 0;
      FInDriver = 0;
      FLastPosition = 0;
      FWrapCount = 0;
      FWrapSize = 0;
      FStopPending = FHalting = FResetting = FEndPosted = false;
      FOverrunBase = DriverOverruns();
      FRunOverruns = TOverruns{};
    }
    FStalled = FLost = false;
    UpdateMaxRecordBytes();
    for (int32_t i = 0; i < FNumBuffers; ++i) AddBlock(FHeaders[size_t(i)]);
    FState |= dsStarted;
    // The chain is started before the capture: a fast device returns its first blocks at once,
    // and a file that is not started yet would drop them.
    TMMCustomSoundComponent::Start();
    if (!IsPaused()) {
      const MMRESULT result = DriverTable.Start(FHandle);
      if (result != MMSYSERR_NOERROR) DeviceError("WaveInStart:\n\r" + ErrorText(result));
    }
    StartWatchdog();
    Fire(OnStart);
  } catch (...) {
    Fire(OnError);
    FState |= dsStarted;
    Close();
    FState = dsClosed;
    throw;
  }
}

void TMMCustomWaveIn::Pause() {
  if (!IsOpen()) Open();
  if (!IsOpen() || IsPaused()) return;
  try {
    if (IsStarted()) {
      const MMRESULT result = DriverTable.Stop(FHandle);
      if (result != MMSYSERR_NOERROR) DeviceError("WaveInPause:\n\r" + ErrorText(result));
    }
    FState |= dsPaused;
    TMMCustomSoundComponent::Pause();
    Fire(OnPause);
  } catch (...) {
    Fire(OnError);
    Close();
    throw;
  }
}

void TMMCustomWaveIn::Restart() {
  if (!IsStarted() || !IsPaused()) return;
  try {
    const MMRESULT result = DriverTable.Start(FHandle);
    if (result != MMSYSERR_NOERROR) DeviceError("WaveInRestart:\n\r" + ErrorText(result));
    FLastDelivery = timeGetTime();
    FState &= ~dsPaused;
    TMMCustomSoundComponent::Restart();
    Fire(OnRestart);
  } catch (...) {
    Fire(OnError);
    Close();
    throw;
  }
}

void TMMCustomWaveIn::Stop() {
  if (!IsStarted() && !IsPaused()) return;
  StopWatchdog();
  try {
    {
      std::lock_guard guard(FLock);
      FHalting = true;
      MMRESULT result = DriverTable.Stop(FHandle);
      if (result != MMSYSERR_NOERROR) DeviceError("WaveInStop:\n\r" + ErrorText(result));
      FWrapCount = 0;
      FWrapSize = 0;
      FResetting = true;
      result = DriverTable.Reset(FHandle);
      if (result != MMSYSERR_NOERROR) DeviceError("WaveInReset:\n\r" + ErrorText(result));
      // The device drops nothing more in this run.
      const TOverruns now = DriverOverruns();
      FRunOverruns = {now.Frames - FOverrunBase.Frames, now.Dropouts - FOverrunBase.Dropouts};
    }
    bool running;
    {
      std::lock_guard guard(FLock);
      running = FInBufferDone > 0;
    }
    if (!running)
      WaitRounds(100, FCallBackMode == cmWindow, [this] {
        std::lock_guard guard(FLock);
        return FInDriver <= 0;
      });
    {
      // Under the lock, so that a BufferDone that is just ending sees StopPending.
      std::lock_guard guard(FLock);
      if (FInBufferDone > 0) {
        FStopPending = true;
        return;
      }
      FState &= ~(dsStarted | dsPaused);
      FCurIndex = 0;
      FInDriver = 0;
      FStopPending = false;
    }
    TMMCustomSoundComponent::Stop();
    if (!(ComponentState() & csDestroying)) Fire(OnStop);
    if (FClosePending) Close();
  } catch (...) {
    Fire(OnError);
    Close();
    throw;
  }
}

// ------------------------------------------------------------------ blocks

void TMMCustomWaveIn::BufferReady(PWaveHdr h) {
  int64_t recorded = FBytesRecorded + h->dwBytesRecorded;
  bool limitReached = false;
  if (FMaxRecordTime > 0 && recorded >= FMaxRecordBytes) {
    const int64_t excess = recorded - FMaxRecordBytes;
    h->dwBytesRecorded = uint32_t(std::max<int64_t>(int64_t(h->dwBytesRecorded) - excess, 0));
    recorded = FMaxRecordBytes;
    limitReached = true;
  }
  FBytesRecorded = recorded;
  {
    std::lock_guard guard(FLock);
    FCurIndex = (FCurIndex + 1) % FNumBuffers;
  }
  if (h->dwBytesRecorded > 0) TMMCustomSoundComponent::BufferReady(h);
  if (limitReached && !FHalting) Stop();
}

void TMMCustomWaveIn::BufferDone(PWaveHdr h) {
  if (!IsStarted()) return;
  FLastDelivery = timeGetTime();
  if (FResetting || FHalting) {
    // The block that stop returned partly filled is delivered; the empty ones from the reset
    // only come back.
    if (h->dwBytesRecorded > 0) BufferReady(h);
    std::lock_guard guard(FLock);
    if (--FInDriver <= 0) FResetting = false;
    return;
  }
  {
    std::lock_guard guard(FLock);
    ++FInBufferDone;
    --FInDriver;
  }
  try {
    BufferReady(h);
    if (!FStopPending) {
      const int64_t position = GetSamplePosition();
      {
        std::lock_guard guard(FLock);
        if (position != 0 && position + 65535 <= FLastPosition) {
          FWrapSize = FLastPosition | 0xFFFFF;
          ++FWrapCount;
        }
        FLastPosition = position;
      }
      AddBlock(h);
    }
  } catch (...) {
    Fire(OnError);
    EndBufferDone();
    throw;
  }
  EndBufferDone();
}

void TMMCustomWaveIn::EndBufferDone() {
  bool post = false;
  {
    std::lock_guard guard(FLock);
    --FInBufferDone;
    if (FInBufferDone == 0 && FStopPending && !FEndPosted) {
      FEndPosted = true;
      FHalting = true;
      post = true;
    }
  }
  if (post && FNotifyWindow)
    PostMessage(FNotifyWindow->Handle(), WaveInStopRequest, WPARAM(FHandle), 0);
}

// ------------------------------------------------------------------ position

int64_t TMMCustomWaveIn::GetSamplePosition() {
  if (!FHandle) return 0;
  MMTIME time{};
  time.wType = TIME_SAMPLES;
  if (DriverTable.GetPosition(FHandle, &time, sizeof time) == MMSYSERR_NOERROR &&
      time.wType == TIME_SAMPLES)
    return time.u.sample;
  time.wType = TIME_BYTES;
  const MMRESULT result = DriverTable.GetPosition(FHandle, &time, sizeof time);
  if (result != MMSYSERR_NOERROR) DeviceError("WaveInGetPosition:\n\r" + ErrorText(result));
  const WAVEFORMATEX* f = GetPWaveFormat();
  if (!f || !f->nAvgBytesPerSec) return 0;
  return int64_t(time.u.cb) * f->nSamplesPerSec / f->nAvgBytesPerSec;
}

int64_t TMMCustomWaveIn::GetPosition() {
  const WAVEFORMATEX* f = GetPWaveFormat();
  if (!IsOpen() || !f || FClosePending || !f->nSamplesPerSec) return 0;
  int64_t samples = GetSamplePosition();
  {
    std::lock_guard guard(FLock);
    samples += int64_t(FWrapCount) * FWrapSize;
  }
  int64_t value = samples;
  switch (FTimeFormat) {
    case tfMillisecond:
      value = SamplesToMs64(f, samples);
      break;
    case tfByte:
      value = SamplesToBytes64(f, samples);
      break;
    case tfSample:
      break;
  }
  if (FMaxRecordTime >= 1) value = std::min<int64_t>(value, FMaxRecordTime);
  return value;
}
