#include "platform/wave/wave_stream.h"

#include <atomic>

#include "platform/kernel/thread.h"
#include "platform/mainloop/main_loop.h"

namespace {

// The record size the devices pass for a block header.
constexpr uint32_t kMinHeaderSize = 32;

// The devices poll WHDR_DONE on their own threads while the driver changes the flags.
void SetFlags(WAVEHDR* header, uint32_t set, uint32_t clear) {
  std::atomic_ref<uint32_t> flags(header->dwFlags);
  uint32_t old = flags.load();
  while (!flags.compare_exchange_weak(old, (old | set) & ~clear)) {
  }
}

uint32_t Flags(WAVEHDR* header) {
  return std::atomic_ref<uint32_t>(header->dwFlags).load();
}

}  // namespace

void TWaveNotify::Send(uint32_t msg, uintptr_t param1) const {
  switch (CallbackType) {
    case CALLBACK_FUNCTION:
      if (Callback != 0) reinterpret_cast<WAVECALLBACK>(Callback)(Handle, msg, Instance, param1, 0);
      break;
    case CALLBACK_WINDOW:
      PostMessage(reinterpret_cast<HWND>(Callback), msg, reinterpret_cast<WPARAM>(Handle),
                  static_cast<LPARAM>(param1));
      break;
    default:
      break;
  }
}

bool IsSupportedPcmFormat(const WAVEFORMATEX& format) {
  if (format.wFormatTag != WAVE_FORMAT_PCM) return false;
  if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) return false;
  if (format.nChannels != 1 && format.nChannels != 2 && format.nChannels != 4) return false;
  if (format.nSamplesPerSec < 4000 || format.nSamplesPerSec > 100000) return false;
  return format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8;
}

class TWaveStreamThread : public TThread {
 public:
  explicit TWaveStreamThread(TWaveStream& stream) : TThread(true), FStream(stream) {}
  ~TWaveStreamThread() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Execute() override {
    SetThreadName(FStream.IsInput() ? "nr-driver-in" : "nr-driver-out");
    FStream.Execute();
  }

 private:
  TWaveStream& FStream;
};

TWaveStream::TWaveStream(bool input, uint32_t deviceId, const WAVEFORMATEX& format,
                         const TWaveNotify& notify)
    : FInput(input), FDeviceId(deviceId), FFormat(format), FNotify(notify) {}

TWaveStream::~TWaveStream() = default;

bool TWaveStream::StartThread() {
  try {
    FThread = std::make_unique<TWaveStreamThread>(*this);
    FThread->SetPriority(tpHigher);
    FThread->Resume();
    return true;
  } catch (...) {
    FThread.reset();
    return false;
  }
}

bool TWaveStream::OnDriverThread() const {
  return FThread && FThread->ThreadID() == GetCurrentThreadId();
}

void TWaveStream::EndThread() {
  if (!FThread) return;
  FThread->Terminate();
  FThread->WaitFor();
  FThread.reset();
}

void TWaveStream::MarkDone(WAVEHDR* header, std::vector<WAVEHDR*>& done) {
  SetFlags(header, WHDR_DONE, WHDR_INQUEUE);
  done.push_back(header);
}

void TWaveStream::Deliver(const std::vector<WAVEHDR*>& done) const {
  const uint32_t msg = FInput ? WIM_DATA : WOM_DONE;
  for (WAVEHDR* header : done) FNotify.Send(msg, reinterpret_cast<uintptr_t>(header));
}

void TWaveStream::MarkLost(MMRESULT error, std::vector<WAVEHDR*>& done) {
  FLostError = error;
  FStarted = false;
  for (WAVEHDR* header : FQueue) MarkDone(header, done);
  FQueue.clear();
  ++FGeneration;
}

MMRESULT TWaveStream::Prepare(WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  if (header->lpData == nullptr && header->dwBufferLength > 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(FLock);
  if (FClosed) return MMSYSERR_INVALHANDLE;
  if (Flags(header) & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  SetFlags(header, WHDR_PREPARED, 0);
  OnPrepare(header->dwBufferLength);
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::Unprepare(WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(FLock);
  if (FClosed) return MMSYSERR_INVALHANDLE;
  if (Flags(header) & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  SetFlags(header, 0, WHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::Queue(WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  if (header->lpData == nullptr && header->dwBufferLength > 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(FLock);
  if (FClosed) return MMSYSERR_INVALHANDLE;
  const uint32_t flags = Flags(header);
  if (!(flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  if (FLostError != MMSYSERR_NOERROR) return FLostError;
  if (FInput) header->dwBytesRecorded = 0;
  SetFlags(header, WHDR_INQUEUE, WHDR_DONE);
  FQueue.push_back(header);
  if (WakeForQueued()) Wake();
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::Pause() {
  std::lock_guard lock(FLock);
  if (FClosed) return MMSYSERR_INVALHANDLE;
  if (FInput) return MMSYSERR_NOTSUPPORTED;
  if (FPaused) return MMSYSERR_NOERROR;
  FPaused = true;
  const MMRESULT result = FLostError == MMSYSERR_NOERROR ? OnPause() : MMSYSERR_NOERROR;
  Wake();
  return result;
}

MMRESULT TWaveStream::Restart() {
  std::lock_guard lock(FLock);
  if (FClosed) return MMSYSERR_INVALHANDLE;
  if (FInput) return MMSYSERR_NOTSUPPORTED;
  if (!FPaused) return MMSYSERR_NOERROR;
  FPaused = false;
  const MMRESULT result = FLostError == MMSYSERR_NOERROR ? OnRestart() : MMSYSERR_NOERROR;
  Wake();
  return result;
}

MMRESULT TWaveStream::Start() {
  std::lock_guard lock(FLock);
  if (FClosed) return MMSYSERR_INVALHANDLE;
  if (!FInput) return MMSYSERR_NOTSUPPORTED;
  if (FLostError != MMSYSERR_NOERROR) return FLostError;
  if (FStarted) return MMSYSERR_NOERROR;
  FStarted = true;
  const MMRESULT result = OnStart();
  if (result != MMSYSERR_NOERROR) FStarted = false;
  Wake();
  return result;
}

MMRESULT TWaveStream::Stop() {
  std::vector<WAVEHDR*> done;
  {
    std::lock_guard lock(FLock);
    if (FClosed) return MMSYSERR_INVALHANDLE;
    if (!FInput) return MMSYSERR_NOTSUPPORTED;
    if (!FStarted) return MMSYSERR_NOERROR;
    FStarted = false;
    OnStop();
    FFrames = 0;
    ++FGeneration;
    // The block being filled comes back with what it holds; empty ones stay queued.
    if (!FQueue.empty() && FQueue.front()->dwBytesRecorded > 0) {
      MarkDone(FQueue.front(), done);
      FQueue.pop_front();
    }
    Wake();
  }
  Deliver(done);
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::Reset() {
  std::vector<WAVEHDR*> done;
  {
    std::lock_guard lock(FLock);
    if (FClosed) return MMSYSERR_INVALHANDLE;
    if (FInput) FStarted = false;
    if (FLostError == MMSYSERR_NOERROR) OnReset();
    FFrames = 0;
    ++FGeneration;
    for (WAVEHDR* header : FQueue) MarkDone(header, done);
    FQueue.clear();
    Wake();
  }
  Deliver(done);
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::GetPosition(MMTIME* time, uint32_t size) {
  if (time == nullptr || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  uint64_t samples;
  {
    std::lock_guard lock(FLock);
    if (FClosed) return MMSYSERR_INVALHANDLE;
    samples = SamplePosition();
  }
  // The platform's counters are 32 bits wide and wrap; the devices handle the wrap.
  switch (time->wType) {
    case TIME_SAMPLES:
      time->u.sample = static_cast<uint32_t>(samples);
      break;
    case TIME_MS:
      time->u.ms = static_cast<uint32_t>(samples * 1000 / FFormat.nSamplesPerSec);
      break;
    default:
      // Units the driver does not keep are answered in bytes, as the caller can see by wType.
      time->wType = TIME_BYTES;
      time->u.cb = static_cast<uint32_t>(samples * FFormat.nBlockAlign);
      break;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::GetUnderruns(uint32_t* count) {
  if (count == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(FLock);
  if (FClosed) return MMSYSERR_INVALHANDLE;
  *count = static_cast<uint32_t>(Underruns());
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::GetOverruns(uint64_t* frames, uint32_t* dropouts) {
  if (frames == nullptr || dropouts == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(FLock);
  if (FClosed) return MMSYSERR_INVALHANDLE;
  uint64_t count = 0;
  Overruns(*frames, count);
  *dropouts = static_cast<uint32_t>(count);
  return MMSYSERR_NOERROR;
}

MMRESULT TWaveStream::Close() {
  {
    std::lock_guard lock(FLock);
    if (FClosed) return MMSYSERR_INVALHANDLE;
    if (!FQueue.empty()) return WAVERR_STILLPLAYING;
    // The driver thread cannot wait for its own end.
    if (OnDriverThread()) return MMSYSERR_HANDLEBUSY;
    FClosed = true;
    FQuit = true;
    Wake();
  }
  EndThread();
  ReleaseEngine();
  return MMSYSERR_NOERROR;
}

void TWaveStream::Abandon() {
  {
    std::lock_guard lock(FLock);
    // A close that got here first ends the thread and releases the engine itself.
    if (FClosed) return;
    FClosed = true;
    FQuit = true;
    Wake();
  }
  EndThread();
  ReleaseEngine();
}
