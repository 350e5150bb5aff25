// The wave output device: it pulls blocks from its Input, hands them to the driver, pushes
// every played block on to its Output and refills it, and stops itself at the end of the data.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/kernel/sync.h"
#include "platform/kernel/thread.h"
#include "platform/mainloop/main_loop.h"
#include "stream/allocator.h"
#include "stream/sound_component.h"
#include "stream/wave_device.h"

constexpr uint32_t WaveOutStopRequest = WM_APP + 1;

// What the user is told after a run whose device ran out of audio `underruns` times; empty for
// none.
std::string UnderrunText(int64_t underruns);

// The output device operations, declared for every output component.
class TMMCustomWaveOutComponent : public TMMCustomSoundComponent {
 public:
  using TMMCustomSoundComponent::TMMCustomSoundComponent;
  virtual int64_t GetPosition() = 0;
  virtual void ResetDevice() = 0;
  virtual void DeviceError(const std::string& message) = 0;
};

class TMMWaveOut : public TMMCustomWaveOutComponent {
 public:
  explicit TMMWaveOut(TComponent* AOwner);
  ~TMMWaveOut() override;

  bool HasInputPort() const override { return true; }
  bool HasOutputPort() const override { return true; }

  void SetNumBuffers(int32_t value) override;
  int32_t GetNumBuffers() const override { return FNumBuffers; }
  void SetDeviceID(TMMDeviceId value) override;
  TMMDeviceId GetDeviceID() const override { return FDeviceID; }
  void SetProductName(const std::string&) override {}
  std::string GetProductName() const override { return FProductName; }
  void SetCallBackMode(TMMCBMode value) override;
  TMMCBMode GetCallBackMode() const override { return FCallBackMode; }
  void SetBufferSize(int32_t Size) override;
  void SetPWaveFormat(const WAVEFORMATEX* Format) override;

  void SetTimeFormat(TMMTimeFormats value) { FTimeFormat = value; }
  TMMTimeFormats GetTimeFormat() const { return FTimeFormat; }
  void SetLooping(bool value);
  bool GetLooping() const { return FLooping; }
  void SetLoopCount(uint16_t value);
  uint16_t GetLoopCount() const { return FLoopCount; }
  void SetShowHourGlass(bool value) { FShowHourGlass = value; }
  bool GetShowHourGlass() const { return FShowHourGlass; }
  void SetMapped(bool value) { FMapped = value; }
  bool GetMapped() const { return FMapped; }
  void SetPriority(TThreadPriority value);
  TThreadPriority GetPriority() const { return FPriority; }

  int64_t GetPosition() override;
  // The underruns of the last run (from its start to its stop, or until now while it runs): the
  // times the sound system ran out of audio and played silence while more was to come, so that
  // the audio after it came late. 0 from a driver that does not count them. Main thread.
  int64_t Underruns();
  TMMDeviceState DeviceState() const { return FState; }
  uint32_t DriverVersion() const { return FDriverVersion; }
  HWAVEOUT DeviceHandle() const { return FHandle; }

  void Open() override;
  void Close() override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  void ResetDevice() override;
  void DeviceError(const std::string& message) override;

  void BufferReady(PWaveHdr) override {}
  void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

  TNotifyEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose, OnLooping;
  TMMBufferEvent OnBufferFilled;

 private:
  static void DriverCallback(void* handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                             uintptr_t param2);
  void WindowProc(TMessage& msg);
  void BufferDone(PWaveHdr header);
  void EndBufferDone();
  void FinishStop();
  uint32_t LoadBlock(PWaveHdr header);
  void WriteBlock(PWaveHdr header);
  bool PrimeHeaders(bool allocate);
  int64_t GetSamplePosition();
  // The driver's underrun count since the open, or 0.
  int64_t DriverUnderruns() const;
  void ResetBookkeeping();
  bool IsOpen() const { return FState & dsOpen; }
  bool IsStarted() const { return FState & dsStarted; }
  bool IsPaused() const { return FState & dsPaused; }
  void Fire(const TNotifyEvent& event) {
    if (event) event(this);
  }
  uint32_t DriverDeviceId() const { return uint32_t(FDeviceID); }
  uint32_t OpenFlags() const { return FMapped && FDeviceID >= 0 ? WAVE_MAPPED : 0; }

  // Threads: the main thread makes every lifecycle call and sets the properties; the blocks
  // the driver returns are handled by BufferDone on the worker (cmThread) or on the main
  // thread (cmWindow); DriverCallback runs on the driver's thread.

  // Properties: written by the main thread, only while the device is closed (the setters
  // refuse a change while open), so the worker and the driver's thread read them freely once
  // the open has handed the device over.
  int32_t FNumBuffers = 10;
  TMMDeviceId FDeviceID = 0;
  std::string FProductName;
  uint32_t FDriverVersion = 0;
  TMMCBMode FCallBackMode = cmWindow;
  bool FMapped = false;
  uint32_t FNumDevs = 0;
  // Main thread only.
  TMMTimeFormats FTimeFormat = tfByte;
  // The driver's underrun count at the start of the run, and the run's underruns once stopped.
  int64_t FUnderrunBase = 0;
  int64_t FUnderruns = 0;
  bool FShowHourGlass = true;
  TThreadPriority FPriority = tpHigher;
  // Set by the main thread at any time, read by the worker as it loads a block.
  std::atomic<bool> FLooping{false};
  std::atomic<uint16_t> FLoopCount{0};

  // Every thread.
  std::atomic<TMMDeviceState> FState{dsClosed};
  // Written by the main thread in Open (before a block is queued) and in Close (after the
  // worker and the driver have ended); read by the worker and the main thread.
  HWAVEOUT FHandle = nullptr;
  // Made by the main thread before the driver is opened, destroyed after it is closed; the
  // driver's thread and the worker post to it.
  std::unique_ptr<TMessageWindow> FNotifyWindow;
  // Allocated by the main thread as it primes and freed by it in FinishStop, when no
  // BufferDone runs (FInBufferDone is 0 and Halting keeps new ones out); between the two,
  // BufferDone reads them.
  std::array<PWaveHdr, 500> FHeaders{};
  // Set by the main thread as it primes (the driver is paused meanwhile), cleared under FLock
  // when the device stops; read by BufferDone.
  int32_t FNumQueued = 0;
  // Moved by BufferDone; set by the main thread under FLock, only while no BufferDone runs.
  int32_t FCurIndex = 0;
  // Blocks held by the driver: changed under FLock by the main thread, BufferDone and the
  // driver's thread.
  std::atomic<int32_t> FInDriver{0};

  std::atomic<bool> FSourceHasMore{false};  // set where blocks are loaded
  int32_t FInBufferDone = 0;                // under FLock
  // Flags the main thread, BufferDone and the driver's thread set and test; the ones that
  // decide whether a block may still go to the driver change under FLock.
  std::atomic<bool> FStopPending{false};
  std::atomic<bool> FClosePending{false};
  std::atomic<bool> FHalting{false};
  std::atomic<bool> FClosing{false};
  std::atomic<bool> FResetting{false};
  std::atomic<bool> FEndPosted{false};

  // The position bookkeeping: under FLock (BufferDone updates it, GetPosition reads it).
  int64_t FPositionBase = 0;
  int64_t FLoopWrapPosition = 0;
  int64_t FLastPosition = 0;
  int32_t FWrapCount = 0;
  int64_t FWrapSize = 0;
  int32_t FLoopCounter = 0;

  TCriticalSection FLock;
  TMMDeviceWorker FWorker;  // started and ended by the main thread
  TMMAllocator FAllocator;  // main thread (priming and stopping)
};
