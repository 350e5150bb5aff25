// The connector: a pass-through stream component that shows the audio passing through it on up
// to fourteen instruments. Every block goes on unchanged to the output; on the way the connector
// copies it (converted to 16-bit PCM when the instruments cannot take it as it is), and the main
// thread cuts the copy into the pieces each kind of instrument wants and hands them over at the
// pace the audio plays, so that the instruments move with what is heard.
//
// The refresh runs on the main thread in cycles: the application's waiting events first, then
// every armed connector's instruments, then a pause, for as long as a connector is armed. A cycle
// hands each instrument every piece that has come due since the last one, in order, so cycles
// need not come more often than the display shows frames; and a cycle is only scheduled when a
// piece is due or new data came in: while nothing plays, the loop waits instead of polling.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/mainloop/main_loop.h"
#include "stream/clip_counter.h"
#include "stream/dsp_component.h"
#include "stream/hi_timer.h"
#include "stream/instrument_data.h"
#include "stream/mm_error.h"

struct TDisplayTimerItem;

class EMMConnectorError : public EMMError {
 public:
  using EMMError::EMMError;
};

enum TMMTriggerMethod { tmMessage, tmTimer };
enum TMMTriggerMode { tmNone, tmUpFlank, tmDownFlank };

// The kinds of instrument, in the order they are served.
enum TMMInstrumentKind { ikLevel, ikMeter, ikOscope, ikLight, ikSpectrum, ikSpectrogram };
constexpr int kInstrumentKinds = 6;
constexpr int kMaxSlots = 4;  // spectra have four slots, the other kinds two

class TMMConnector : public TMMDSPComponent {
 public:
  explicit TMMConnector(TComponent* AOwner);
  ~TMMConnector() override;

  bool HasInputPort() const override { return true; }
  bool HasOutputPort() const override { return true; }

  // The instruments. Attaching one that already sits in the other slot of a paired kind is
  // refused (the slot keeps its value); spectra may repeat.
  void SetInstrument(TMMInstrumentKind Kind, int Slot, TMMInstrumentData* Value);
  TMMInstrumentData* Instrument(TMMInstrumentKind Kind, int Slot) const;
  void SetLevel1(TMMInstrumentData* Value) { SetInstrument(ikLevel, 0, Value); }
  void SetLevel2(TMMInstrumentData* Value) { SetInstrument(ikLevel, 1, Value); }
  void SetMeter1(TMMInstrumentData* Value) { SetInstrument(ikMeter, 0, Value); }
  void SetMeter2(TMMInstrumentData* Value) { SetInstrument(ikMeter, 1, Value); }
  void SetSpectrum1(TMMInstrumentData* Value) { SetInstrument(ikSpectrum, 0, Value); }
  static int SlotCount(TMMInstrumentKind Kind) { return Kind == ikSpectrum ? 4 : 2; }

  // Off: nothing is shown and the instruments are reset.
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  bool AutoConvert() const { return FAutoConvert; }
  void SetAutoConvert(bool Value) { FAutoConvert = Value; }
  // Refresh by itself; off, only Trigger refreshes the instruments.
  bool AutoTrigger() const { return FAutoTrigger; }
  void SetAutoTrigger(bool Value);
  // Pace the pieces by the clock, and show the block that is playing now.
  bool Synchronize() const { return FSynchronize; }
  void SetSynchronize(bool Value) { FSynchronize = Value; }
  // 1..5000: below 5000 the loop handles the application's events more often per cycle.
  int Speed() const { return FSpeed; }
  void SetSpeed(int Value);
  TMMTriggerMethod TriggerMethod() const { return FTriggerMethod; }
  void SetTriggerMethod(TMMTriggerMethod Value) { FTriggerMethod = Value; }
  TMMTriggerMode TriggerMode() const { return FTriggerMode; }
  void SetTriggerMode(TMMTriggerMode Value) { FTriggerMode = Value; }
  int TriggerLevel() const { return FTriggerLevel; }
  void SetTriggerLevel(int Value) { FTriggerLevel = Value; }
  // Reset the instruments when the connector stops.
  bool RefreshOnStop() const { return FRefreshOnStop; }
  void SetRefreshOnStop(bool Value) { FRefreshOnStop = Value; }
  // Refresh on the main thread at the audio's pace; off, at once on the delivering thread.
  // Refused while the connector runs.
  bool RealTime() const { return FRealTime; }
  void SetRealTime(bool Value);
  // Shared by all connectors: each refresh cycle also lets the application handle a message.
  static bool EnterIdle();
  static void SetEnterIdle(bool Value);

  TNotifyEvent OnTrigger;

  // The chain operations.
  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  void Reset() override;
  void BufferReady(PWaveHdr lpWaveHdr) override;
  void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;
  void Notification(TComponent* component, TOperation operation) override;

  // Takes a copy of Size bytes at Data for display; any thread.
  virtual void TapData(const void* Data, uint32_t Size);
  // Refreshes the instruments now (main thread) or asks the main thread to.
  virtual void Trigger();
  // Hands the instruments every piece that has come due since the last refresh, as a cycle of
  // the refresh loop does (main thread): for an owner that paces the refreshes itself, with
  // AutoTrigger off, so that no loop of the connector's own wakes the program.
  void CatchUp() { RefreshInstruments(true); }

  bool Running() const { return FRunning; }
  // Armed for the automatic refresh.
  bool Triggered() const { return FTriggered; }
  // Pieces shown per kind since the start, and whether the held block has more for the kind.
  int KindCount(TMMInstrumentKind Kind) const { return FKindCount[Kind]; }
  bool KindPending(TMMInstrumentKind Kind) const { return FKindPending[Kind]; }
  // The format the instruments receive; null when nothing can be shown.
  const WAVEFORMATEX* DisplayFormat() const { return FShowable ? FDisplayFormat : nullptr; }
  // Converting a stream the instruments cannot take as it is.
  bool Converting() const { return FConverting; }
  // The full-scale samples of every block that passed since the last start, whether or not the
  // instruments are shown: the start of a run clears them, the stop keeps them for reading.
  const TMMClipCounter& Clips() const { return FClips; }

  // The least time between two cycles of the refresh loop, in ms (1..1000, default 16): the
  // display's frame time, since the instruments reach the screen at most once a frame.
  static void SetRefreshInterval(int Ms);

  // The largest Speed of all connectors, and how many are armed for the refresh loop.
  static int MaxSpeed();
  static int ActiveLoopCount();

 private:
  struct TSlot {
    TMMInstrumentData* Data = nullptr;
    TComponent* Component = nullptr;  // the same object, for the removal notification
  };
  class TConverter;
  friend struct TConnectorShared;

  bool HasKind(int kind) const;
  // Hands the format the instruments receive to all of them.
  void ApplyDisplayFormat();
  void ReleaseDisplayFormat();
  // Shows the pieces that are due: one per kind, or with CatchUp every one due by now.
  void RefreshInstruments(bool CatchUp);
  void ResetInstruments();
  void FillSilence();
  // Keeps what of the held block was still to be shown when a new one arrives. FLock held.
  void KeepPreviousBlock(int64_t now);
  void StartPauseTimer();
  void StopPauseTimer();
  void ClearPending();
  // Arms the connector: the message MsgStart does this on the main thread.
  void Arm();
  void Disarm();
  // The earliest time (microseconds) at which a piece of this connector is due; -1 for none.
  int64_t NextDue() const;

  std::array<std::array<TSlot, kMaxSlots>, kInstrumentKinds> FSlots{};  // main thread

  std::atomic<bool> FEnabled{true};
  bool FAutoConvert = true;
  std::atomic<bool> FAutoTrigger{true};
  std::atomic<bool> FSynchronize{true};
  int FSpeed = 5000;
  TMMTriggerMethod FTriggerMethod = tmMessage;
  TMMTriggerMode FTriggerMode = tmNone;
  int FTriggerLevel = 0;
  bool FRefreshOnStop = true;
  std::atomic<bool> FRealTime{true};

  // FLock guards the display buffer and what describes it: FCopyBuffer, FDisplayData,
  // FDataBytes, FDisplayBufferSize and the converter.
  mutable std::mutex FLock;
  TDisplayTimerItem* FPauseTimer = nullptr;  // main thread
  uint8_t FSilenceByte = 0;
  // Written by the main thread (Start, Stop, Pause, Restart, the window messages); read by the
  // delivering thread.
  std::atomic<bool> FRunning{false};
  std::atomic<bool> FTriggered{false};
  std::atomic<bool> FPaused{false};
  std::atomic<bool> FDirectPCM{false};
  std::atomic<bool> FConverting{false};
  // The instruments took the display format (one that refuses it leaves the display off).
  std::atomic<bool> FShowable{false};
  std::unique_ptr<TConverter> FConverter;  // guarded by FLock
  WAVEFORMATEX* FDisplayFormat = nullptr;  // main thread; fixed while running
  bool FOwnDisplayFormat = false;          // FDisplayFormat is a copy of our own
  int32_t FDisplayBufferSize = 0;
  uint32_t FDataBytes = 0;
  std::vector<uint8_t> FCopyBuffer;
  uint8_t* FDisplayData = nullptr;
  std::atomic<int> FPendingTriggers{0};
  // Per kind; written by TapData and the pause timer outside the lock and by the refresh under
  // it: a stale read delays a piece by one cycle at most.
  std::array<std::atomic<bool>, kInstrumentKinds> FKindPending{};
  std::array<std::atomic<int64_t>, kInstrumentKinds> FKindPos{};
  std::array<std::atomic<int>, kInstrumentKinds> FKindCount{};
  std::atomic<int64_t> FArrivalTime{0};
  // The block the current one replaced, with the pieces of it still to be shown: those due
  // less than Until microseconds after it arrived. Guarded by FLock.
  struct TPreviousBlock {
    std::vector<uint8_t> Data;
    int64_t Until = 0;
    std::array<int64_t, kInstrumentKinds> Pos{};
    std::array<bool, kInstrumentKinds> Pending{};
  } FPrevious;
  std::unique_ptr<TMMHiTimer> FKindTimer;
  std::atomic<bool> FLoopCounted{false};  // this connector counts in ActiveLoopCount
  // Its format is set by the main thread while stopped; the delivering thread counts.
  TMMClipCounter FClips;
};
