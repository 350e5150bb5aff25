#include "stream/connector.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "instruments/display_timer.h"
#include "platform/acm/acm.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/thread.h"
#include "platform/mmtimer/mmtimer.h"
#include "stream/wave_device.h"
#include "stream/wave_format.h"

namespace {

constexpr uint32_t MsgStart = 45557;    // arm a connector (it is in the long parameter)
constexpr uint32_t MsgTrigger = 45558;  // refresh a connector for another thread
constexpr uint32_t MsgLoop = 45559;     // one cycle of the refresh loop
constexpr int64_t kNone = std::numeric_limits<int64_t>::max();

int64_t NowUs() {
  return PerformanceCounter() * 1000000 / PerformanceFrequency();
}

// PCM the instruments take as it is: 8 or 16 bits.
bool InstrumentPcm(const WAVEFORMATEX* f) {
  return f && f->wFormatTag == WAVE_FORMAT_PCM && (f->wBitsPerSample == 8 || f->wBitsPerSample == 16);
}

}  // namespace

// The conversion of a stream the instruments cannot take as it is into 16-bit PCM, from the
// connector's copy buffer into a buffer of its own, through the audio compression manager.
class TMMConnector::TConverter {
 public:
  ~TConverter() {
    acmStreamUnprepareHeader(FStream, &FHeader, 0);
    acmStreamClose(FStream, 0);
  }

  // The PCM format suggested for `source` (a copy to free with FreeWaveFormat), or null.
  static WAVEFORMATEX* Suggest(const WAVEFORMATEX* source) {
    WAVEFORMATEX suggested{};
    suggested.wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, source, &suggested, sizeof suggested,
                         ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
      return nullptr;
    if (!CanOpen(source, &suggested)) return nullptr;
    return CopyWaveFormat(&suggested);
  }
  static bool CanOpen(const WAVEFORMATEX* source, const WAVEFORMATEX* target) {
    return acmStreamOpen(nullptr, nullptr, source, target, nullptr, 0, 0,
                         ACM_STREAMOPENF_QUERY) == MMSYSERR_NOERROR;
  }
  // A converter reading `inputSize` bytes at `input`; null when it cannot be opened.
  static std::unique_ptr<TConverter> Open(const WAVEFORMATEX* source, const WAVEFORMATEX* target,
                                          uint8_t* input, uint32_t inputSize) {
    HACMSTREAM stream = nullptr;
    if (acmStreamOpen(&stream, nullptr, source, target, nullptr, 0, 0, 0) != MMSYSERR_NOERROR)
      return nullptr;
    uint32_t outputSize = 0;
    if (acmStreamSize(stream, inputSize, &outputSize, ACM_STREAMSIZEF_SOURCE) !=
            MMSYSERR_NOERROR ||
        outputSize == 0) {
      acmStreamClose(stream, 0);
      return nullptr;
    }
    std::unique_ptr<TConverter> converter(new TConverter(stream, input, inputSize, outputSize));
    if (acmStreamPrepareHeader(stream, &converter->FHeader, 0) != MMSYSERR_NOERROR)
      return nullptr;  // the destructor closes the stream
    return converter;
  }
  uint8_t* Output() { return FOutput.data(); }
  uint32_t OutputSize() const { return uint32_t(FOutput.size()); }
  // Converts the first `bytes` of the input; the bytes of output it gave (0 on failure).
  uint32_t Convert(uint32_t bytes) {
    FHeader.cbSrcLength = std::min(bytes, FInputSize);
    FHeader.cbDstLength = uint32_t(FOutput.size());
    if (acmStreamConvert(FStream, &FHeader, ACM_STREAMCONVERTF_BLOCKALIGN) != MMSYSERR_NOERROR)
      return 0;
    return FHeader.cbDstLengthUsed;
  }

 private:
  TConverter(HACMSTREAM stream, uint8_t* input, uint32_t inputSize, uint32_t outputSize)
      : FStream(stream), FInputSize(inputSize), FOutput(outputSize) {
    FHeader.cbStruct = sizeof FHeader;
    FHeader.pbSrc = input;
    FHeader.cbSrcLength = inputSize;
    FHeader.pbDst = FOutput.data();
    FHeader.cbDstLength = outputSize;
  }

  HACMSTREAM FStream;
  uint32_t FInputSize;
  std::vector<uint8_t> FOutput;
  ACMSTREAMHEADER FHeader{};
};

// What all connectors share: the registry, the hidden window that serves the three messages,
// and the schedule of the refresh loop. Everything but the schedule belongs to the main thread.
struct TConnectorShared {
  std::vector<TMMConnector*> Registry;
  std::unique_ptr<TMessageWindow> Window;
  std::atomic<HWND> Handle{nullptr};  // the window's handle, for posting from any thread
  int MaxSpeed = 0;
  // Changed by Start and Stop, which a device may run on its own thread.
  std::atomic<int> ActiveLoopCount{0};
  bool EnterIdle = false;
  // When the next cycle is due (microseconds; kNone: no cycle is scheduled). A cycle that comes
  // earlier than a scheduled one moves the schedule forward.
  std::atomic<int64_t> ScheduledAt{kNone};
  // The least time between two cycles, and when the last one began (microseconds).
  std::atomic<int64_t> IntervalUs{16000};
  std::atomic<int64_t> LastCycleAt{0};

  static TConnectorShared& Get() {
    static auto* shared = new TConnectorShared;
    return *shared;
  }

  bool Registered(const TMMConnector* c) const {
    return std::find(Registry.begin(), Registry.end(), c) != Registry.end();
  }

  void RecomputeMaxSpeed() {
    MaxSpeed = 0;
    for (const TMMConnector* c : Registry) MaxSpeed = std::max(MaxSpeed, c->FSpeed);
  }

  void Post(uint32_t message, TMMConnector* c) {
    if (const HWND h = Handle.load()) PostMessage(h, message, 0, LPARAM(c));
  }

  // Asks for a cycle of the loop at `dueUs`, but not sooner than one interval after the last
  // cycle began; any thread.
  void ScheduleLoop(int64_t dueUs) {
    dueUs = std::max(dueUs, LastCycleAt.load() + IntervalUs.load());
    int64_t current = ScheduledAt.load();
    do {
      if (current <= dueUs) return;  // a cycle comes early enough
    } while (!ScheduledAt.compare_exchange_weak(current, dueUs));
    const int64_t waitUs = dueUs - NowUs();
    if (waitUs <= 0 ||
        timeSetEvent(uint32_t(std::max<int64_t>((waitUs + 999) / 1000, 1)), 0, &LoopTimerFired,
                     0, TIME_ONESHOT) == 0)
      Post(MsgLoop, nullptr);
  }

  static void LoopTimerFired(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {
    Get().Post(MsgLoop, nullptr);
  }

  void Handle_(TMessage& m) {
    auto* c = reinterpret_cast<TMMConnector*>(m.lParam);
    switch (m.message) {
      case MsgStart:
        if (c && Registered(c) && c->FRunning) c->Arm();
        break;
      case MsgTrigger:
        if (c && Registered(c) && c->FEnabled && c->FTriggered) {
          try {
            c->RefreshInstruments(false);
          } catch (...) {
            --c->FPendingTriggers;
            throw;
          }
          --c->FPendingTriggers;
        }
        break;
      case MsgLoop:
        RunLoopCycle();
        break;
      default:
        break;
    }
  }

  bool LoopActive() const {
    return ActiveLoopCount > 0 && !ApplicationTerminated() && !Registry.empty();
  }

  // One cycle: the application's messages, every armed connector's instruments (each gets
  // every piece that has come due since the last cycle, in order), then the next cycle when the
  // next piece is due but one interval later at the soonest (none while nothing is pending).
  void RunLoopCycle() {
    ScheduledAt = kNone;
    LastCycleAt = NowUs();
    for (int pass = MaxSpeed; pass < 5000; ++pass) ProcessMessages();
    if (EnterIdle) HandleMessage();
    if (!LoopActive()) return;
    int64_t next = kNone;
    // A copy: a handler may create or destroy connectors.
    const std::vector<TMMConnector*> connectors = Registry;
    for (TMMConnector* c : connectors) {
      if (!Registered(c) || !c->FAutoTrigger || c->FTriggerMethod != tmMessage || !c->FEnabled ||
          !c->FTriggered)
        continue;
      c->RefreshInstruments(true);
      next = std::min(next, c->NextDue());
    }
    if (next != kNone && LoopActive()) ScheduleLoop(next);
  }
};

// ------------------------------------------------------------------ construction

TMMConnector::TMMConnector(TComponent* AOwner) : TMMDSPComponent(AOwner) {
  FKindTimer = std::make_unique<TMMHiTimer>(nullptr);
  FKindTimer->SetEnabled(false);
  FKindTimer->SetInterval(20);
  FKindTimer->SetOnTimer([this](TObject*) { Trigger(); });
  timeBeginPeriod(1);
  TConnectorShared& shared = TConnectorShared::Get();
  if (shared.Registry.empty()) {
    shared.Window = std::make_unique<TMessageWindow>([&shared](TMessage& m) { shared.Handle_(m); });
    shared.Handle = shared.Window->Handle();
  }
  shared.Registry.push_back(this);
  shared.RecomputeMaxSpeed();
}

TMMConnector::~TMMConnector() {
  Destroying();
  Stop();
  timeEndPeriod(1);
  TConnectorShared& shared = TConnectorShared::Get();
  if (shared.Window) RemovePendingMessages(shared.Window->Handle(), MsgStart, MsgLoop);
  std::erase(shared.Registry, this);
  shared.RecomputeMaxSpeed();
  // The removed messages may have held the loop's next cycle: nothing is scheduled now.
  shared.ScheduledAt = kNone;
  if (shared.Registry.empty()) {
    shared.Handle = nullptr;
    shared.Window.reset();
  } else if (shared.ActiveLoopCount > 0) {
    shared.ScheduleLoop(NowUs());
  }
  FKindTimer->SetEnabled(false);
  FKindTimer.reset();
  ReleaseDisplayFormat();
}

void TMMConnector::SetRefreshInterval(int Ms) {
  TConnectorShared::Get().IntervalUs = int64_t(std::clamp(Ms, 1, 1000)) * 1000;
}

int TMMConnector::MaxSpeed() {
  return TConnectorShared::Get().MaxSpeed;
}

int TMMConnector::ActiveLoopCount() {
  return TConnectorShared::Get().ActiveLoopCount;
}

bool TMMConnector::EnterIdle() {
  return TConnectorShared::Get().EnterIdle;
}

void TMMConnector::SetEnterIdle(bool Value) {
  TConnectorShared::Get().EnterIdle = Value;
}

// ------------------------------------------------------------------ instruments

void TMMConnector::SetInstrument(TMMInstrumentKind Kind, int Slot, TMMInstrumentData* Value) {
  if (Slot < 0 || Slot >= SlotCount(Kind)) return;
  TSlot& slot = FSlots[Kind][size_t(Slot)];
  if (Value == slot.Data) return;
  // The paired kinds take an instrument once.
  if (Value && Kind != ikSpectrum)
    for (int other = 0; other < SlotCount(Kind); ++other)
      if (other != Slot && FSlots[Kind][size_t(other)].Data == Value) return;
  {
    std::lock_guard guard(FLock);
    TComponent* old = slot.Component;
    slot = TSlot{};
    // Still told of the old instrument's end while another slot (a spectrum's) holds it.
    bool held = false;
    for (const auto& kind : FSlots)
      for (const TSlot& other : kind) held = held || (old && other.Component == old);
    if (old && !held) RemoveFreeNotification(old);
    slot.Data = Value;
    slot.Component = dynamic_cast<TComponent*>(Value);
    if (slot.Component) FreeNotification(slot.Component);
    FKindPending[Kind] = false;
  }
  if (Value) ApplyDisplayFormat();
}

TMMInstrumentData* TMMConnector::Instrument(TMMInstrumentKind Kind, int Slot) const {
  if (Slot < 0 || Slot >= SlotCount(Kind)) return nullptr;
  return FSlots[Kind][size_t(Slot)].Data;
}

void TMMConnector::Notification(TComponent* component, TOperation operation) {
  TMMDSPComponent::Notification(component, operation);
  if (operation != opRemove) return;
  std::lock_guard guard(FLock);
  for (auto& kind : FSlots)
    for (TSlot& slot : kind)
      if (slot.Component == component) slot = TSlot{};
}

bool TMMConnector::HasKind(int kind) const {
  return std::any_of(FSlots[size_t(kind)].begin(), FSlots[size_t(kind)].end(),
                     [](const TSlot& s) { return s.Data != nullptr; });
}

void TMMConnector::ResetInstruments() {
  for (auto& kind : FSlots)
    for (TSlot& slot : kind)
      if (slot.Data) slot.Data->ResetData();
}

// ------------------------------------------------------------------ formats

void TMMConnector::SetPWaveFormat(const WAVEFORMATEX* Format) {
  TMMDSPComponent::SetPWaveFormat(Format);
  if (!FRunning) FClips.SetFormat(FPWaveFormat);
  ApplyDisplayFormat();
}

void TMMConnector::ReleaseDisplayFormat() {
  if (FOwnDisplayFormat) FreeWaveFormat(FDisplayFormat);
  FDisplayFormat = nullptr;
  FOwnDisplayFormat = false;
}

void TMMConnector::ApplyDisplayFormat() {
  if (!FPWaveFormat) return;
  WAVEFORMATEX* format = nullptr;
  bool owned = false;
  if (FRunning) {
    format = FDisplayFormat;
  } else if (InstrumentPcm(FPWaveFormat)) {
    FDirectPCM = true;
    FConverting = false;
    format = FPWaveFormat;
  } else {
    FDirectPCM = false;
    FConverting = false;
    if (FAutoConvert) {
      format = TConverter::Suggest(FPWaveFormat);
      owned = format != nullptr;
      FConverting = format && TConverter::CanOpen(FPWaveFormat, format);
    }
  }
  struct Release {
    WAVEFORMATEX*& f;
    bool owned;
    ~Release() {
      if (owned) FreeWaveFormat(f);
    }
  } release{format, owned};
  if (!format || (!FDirectPCM && !FConverting)) {
    FShowable = false;
    return;
  }
  FSilenceByte = SilenceByte(format);
  // An instrument that cannot show this format (a rate or a channel count it does not take)
  // leaves the whole display at rest; the stream itself passes on unchanged.
  bool taken = true;
  for (auto& kind : FSlots)
    for (TSlot& slot : kind) {
      if (!slot.Data) continue;
      try {
        slot.Data->SetPWaveFormat(format);
      } catch (const EMMError&) {
        taken = false;
      }
    }
  FShowable = taken;
}

// ------------------------------------------------------------------ lifecycle

void TMMConnector::Start() {
  TMMDSPComponent::Start();
  if (!FPWaveFormat || FRunning) return;
  FClips.SetFormat(FPWaveFormat);
  FClips.Reset();
  {
    std::lock_guard guard(FLock);
    FConverter.reset();
    FCopyBuffer.clear();
    FDisplayData = nullptr;
    FDataBytes = 0;
    ReleaseDisplayFormat();
    const int32_t size = std::max(GetBufferSize(), 1);
    FDirectPCM = InstrumentPcm(FPWaveFormat);
    FConverting = false;
    if (FDirectPCM) {
      FDisplayFormat = CopyWaveFormat(FPWaveFormat);
      FOwnDisplayFormat = true;
      FDisplayBufferSize = size;
      FCopyBuffer.assign(size_t(size), 0);
      FDisplayData = FCopyBuffer.data();
    } else if (FAutoConvert) {
      FDisplayFormat = TConverter::Suggest(FPWaveFormat);
      FOwnDisplayFormat = FDisplayFormat != nullptr;
      if (FDisplayFormat) {
        FCopyBuffer.assign(size_t(size), 0);
        FConverter =
            TConverter::Open(FPWaveFormat, FDisplayFormat, FCopyBuffer.data(), uint32_t(size));
      }
      if (FConverter) {
        FConverting = true;
        FDisplayData = FConverter->Output();
        FDisplayBufferSize = int32_t(FConverter->OutputSize());
      } else {
        FCopyBuffer.clear();
        ReleaseDisplayFormat();
        FDisplayBufferSize = 0;
      }
    }
    ClearPending();
  }
  for (auto& count : FKindCount) count = 0;
  if ((!FDirectPCM && !FConverting) || !FDisplayData) return;
  FRunning = true;
  TConnectorShared::Get().RecomputeMaxSpeed();
  ApplyDisplayFormat();
  if (FEnabled && FRealTime) TConnectorShared::Get().Post(MsgStart, this);
}

void TMMConnector::Arm() {
  FPendingTriggers = 0;
  FTriggered = true;
  if (!FAutoTrigger) return;
  if (FTriggerMethod == tmMessage) {
    TConnectorShared& shared = TConnectorShared::Get();
    if (!FLoopCounted.exchange(true)) ++shared.ActiveLoopCount;
    shared.ScheduleLoop(NowUs());
  } else {
    FKindTimer->SetEnabled(true);
  }
}

void TMMConnector::Disarm() {
  if (!FTriggered) return;
  FTriggered = false;
  if (FKindTimer) FKindTimer->SetEnabled(false);
  if (FLoopCounted.exchange(false)) --TConnectorShared::Get().ActiveLoopCount;
}

void TMMConnector::Stop() {
  if (FRunning) {
    FRunning = false;
    Disarm();
    FPaused = false;
    StopPauseTimer();
    {
      std::lock_guard guard(FLock);
      FConverter.reset();
      FCopyBuffer.clear();
      FDisplayData = nullptr;
      FDataBytes = 0;
    }
    if (FRefreshOnStop) ResetInstruments();
  }
  TMMDSPComponent::Stop();
}

void TMMConnector::Pause() {
  if (FRunning && !FPaused) {
    FPaused = true;
    FillSilence();
    if (FRealTime) StartPauseTimer();
  }
  TMMDSPComponent::Pause();
}

void TMMConnector::Restart() {
  if (FPaused) {
    FPaused = false;
    if (FRealTime) StopPauseTimer();
  }
  TMMDSPComponent::Restart();
}

void TMMConnector::Reset() {
  if (FRunning) FillSilence();
  TMMDSPComponent::Reset();
}

void TMMConnector::FillSilence() {
  std::lock_guard guard(FLock);
  if (FDisplayData && FShowable)
    std::memset(FDisplayData, FSilenceByte, size_t(std::max(FDisplayBufferSize, 0)));
}

// FLock held (the previous block is guarded by it).
void TMMConnector::ClearPending() {
  for (auto& pending : FKindPending) pending = false;
  for (auto& pos : FKindPos) pos = 0;
  FPrevious.Pending.fill(false);
}

void TMMConnector::StartPauseTimer() {
  StopPauseTimer();
  const int32_t size = GetBufferSize();
  const int interval = size < 8192 ? std::max(BytesToMs(FDisplayFormat, size), 1) : 25;
  FPauseTimer = DisplayTimerAdd(
      interval, false,
      [this](TDisplayTimerItem*, void*) {
        // The instruments keep getting the silent buffer, and fall back to rest.
        if (!FPaused) return;
        FArrivalTime = NowUs();
        for (int kind = 0; kind < kInstrumentKinds; ++kind)
          if (HasKind(kind)) {
            FKindPos[size_t(kind)] = 0;
            FKindPending[size_t(kind)] = true;
          }
        if (FTriggered) TConnectorShared::Get().ScheduleLoop(NowUs());
      },
      nullptr);
  if (!FPauseTimer) throw EMMOutOfTimers();
}

void TMMConnector::StopPauseTimer() {
  for (auto& pending : FKindPending) pending = false;
  if (!FPauseTimer) return;
  DisplayTimerRemove(FPauseTimer);
  FPauseTimer = nullptr;
}

// ------------------------------------------------------------------ data

void TMMConnector::BufferReady(PWaveHdr lpWaveHdr) {
  PWaveHdr shown = lpWaveHdr;
  // A playing device puts the block it plays now beside the one it hands back.
  if (FSynchronize && lpWaveHdr->PartnerHeader && lpWaveHdr->dwBytesRecorded != 0)
    shown = lpWaveHdr->PartnerHeader;
  // Every block passes here once (a partner is counted when it is handed back itself).
  FClips.Count(lpWaveHdr->lpData, lpWaveHdr->dwBytesRecorded);
  TapData(shown->lpData, shown->dwBytesRecorded);
  TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMConnector::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
  TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
  FClips.Count(lpWaveHdr->lpData, lpWaveHdr->dwBytesRecorded);
  TapData(lpWaveHdr->lpData, lpWaveHdr->dwBytesRecorded);
}

void TMMConnector::TapData(const void* Data, uint32_t Size) {
  if (!FEnabled || FPaused || !FRunning || !FShowable) return;
  if (!FDirectPCM && !FConverting) return;
  if (!Data || Size == 0) return;
  const int64_t now = NowUs();
  {
    std::lock_guard guard(FLock);
    if (FCopyBuffer.empty()) return;
    KeepPreviousBlock(now);
    FArrivalTime = now;
    FDataBytes = std::min<uint32_t>(Size, uint32_t(FCopyBuffer.size()));
    std::memcpy(FCopyBuffer.data(), Data, FDataBytes);
    if (FConverting) {
      FDataBytes = FConverter ? FConverter->Convert(FDataBytes) : 0;
      if (FDataBytes < 1) {
        ClearPending();
        return;
      }
    }
    // A new block replaces the old one: its pieces start again at the beginning.
    for (int kind = 0; kind < kInstrumentKinds; ++kind)
      if (HasKind(kind)) {
        FKindPos[size_t(kind)] = 0;
        FKindPending[size_t(kind)] = true;
      }
  }
  if (!FRealTime) {
    if (FAutoTrigger) RefreshInstruments(false);
  } else if (FTriggered && FAutoTrigger && FTriggerMethod == tmMessage) {
    TConnectorShared::Get().ScheduleLoop(now);
  }
}

void TMMConnector::KeepPreviousBlock(int64_t now) {
  FPrevious.Pending.fill(false);
  // The refresh loop catches up once a frame: pieces of the held block that came due before
  // this block arrived are still shown (in order, before the new block's); the rest is dropped.
  if (!FRealTime || !FSynchronize || !FDisplayData) return;
  bool pending = false;
  for (int kind = 0; kind < kInstrumentKinds; ++kind) {
    FPrevious.Pending[size_t(kind)] = FKindPending[size_t(kind)];
    FPrevious.Pos[size_t(kind)] = FKindPos[size_t(kind)];
    pending = pending || FPrevious.Pending[size_t(kind)];
  }
  if (!pending) return;
  FPrevious.Data.assign(FDisplayData, FDisplayData + FDataBytes);
  FPrevious.Until = now - FArrivalTime.load();
}

void TMMConnector::Trigger() {
  if (!FEnabled) return;
  if (!FTriggered && (FRealTime || !FRunning)) return;
  if (FAutoTrigger && FTriggerMethod != tmTimer) return;
  if (FPendingTriggers != 0) return;
  if (!IsMainThread()) {
    ++FPendingTriggers;
    TConnectorShared::Get().Post(MsgTrigger, this);
    return;
  }
  RefreshInstruments(false);
}

void TMMConnector::RefreshInstruments(bool CatchUp) {
  if (!FEnabled) return;
  if (!FTriggered && (FRealTime || !FRunning)) return;
  {
    std::lock_guard guard(FLock);
    if (!FDisplayData || !FDisplayFormat) return;
    const double usPerByte = 1000000.0 / double(std::max<uint32_t>(FDisplayFormat->nAvgBytesPerSec, 1));
    const int64_t sinceArrival = NowUs() - FArrivalTime.load();
    for (int kind = 0; kind < kInstrumentKinds; ++kind) {
      const auto k = size_t(kind);
      int64_t step = 0;
      for (const TSlot& slot : FSlots[k])
        if (slot.Data) step = std::max<int64_t>(step, slot.Data->GetNumBytes());
      if (step <= 0) {
        FPrevious.Pending[k] = false;
        FKindPending[k] = false;
        continue;
      }
      auto show = [&](const uint8_t* data, int64_t pos) {
        for (const TSlot& slot : FSlots[k])
          if (slot.Data) slot.Data->RefreshPCMData(data + pos);
        ++FKindCount[k];
      };
      // The rest of the block the current one replaced: what came due before it was replaced.
      while (CatchUp && FPrevious.Pending[k]) {
        const int64_t pos = FPrevious.Pos[k];
        if (int64_t(double(pos) * usPerByte) > FPrevious.Until ||
            pos + step > int64_t(FPrevious.Data.size())) {
          FPrevious.Pending[k] = false;
          break;
        }
        FPrevious.Pos[k] = pos + step;
        show(FPrevious.Data.data(), pos);
      }
      // One piece, or with CatchUp (pieces paced by the clock) every piece due by now.
      while (FKindPending[k]) {
        const int64_t pos = FKindPos[k];
        if (FSynchronize && sinceArrival < int64_t(double(pos) * usPerByte)) break;
        FKindPos[k] = pos + step;
        if (pos + step > int64_t(FDataBytes)) {
          FKindPending[k] = false;  // the block is used up for this kind
          break;
        }
        show(FDisplayData, pos);
        if (!CatchUp || !FSynchronize) break;
      }
    }
  }
  if (OnTrigger) OnTrigger(this);
}

int64_t TMMConnector::NextDue() const {
  if (!FDisplayFormat) return kNone;
  const uint32_t bytesPerSec = std::max<uint32_t>(FDisplayFormat->nAvgBytesPerSec, 1);
  int64_t next = kNone;
  for (int kind = 0; kind < kInstrumentKinds; ++kind) {
    if (!FKindPending[size_t(kind)]) continue;
    if (!FSynchronize) return NowUs();
    next = std::min(next, FArrivalTime.load() + int64_t(double(FKindPos[size_t(kind)]) *
                                                         1000000.0 / double(bytesPerSec)));
  }
  return next;
}

// ------------------------------------------------------------------ settings

void TMMConnector::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  if (!Value) {
    Disarm();
    ResetInstruments();
  } else if (FRunning && FRealTime) {
    TConnectorShared::Get().Post(MsgStart, this);
  }
}

void TMMConnector::SetAutoTrigger(bool Value) {
  if (Value == FAutoTrigger) return;
  FAutoTrigger = Value;
  if (!Value) {
    if (FLoopCounted.exchange(false)) --TConnectorShared::Get().ActiveLoopCount;
    FKindTimer->SetEnabled(false);
    FTriggered = false;
  } else if (FRunning && FEnabled && FRealTime) {
    TConnectorShared::Get().Post(MsgStart, this);
  }
}

void TMMConnector::SetSpeed(int Value) {
  FSpeed = std::clamp(Value, 1, 5000);
  TConnectorShared::Get().RecomputeMaxSpeed();
}

void TMMConnector::SetRealTime(bool Value) {
  if (Value == FRealTime) return;
  if (FRunning) throw EMMConnectorError(kChangeWhileOpen);
  FRealTime = Value;
}
