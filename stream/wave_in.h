// The wave input device: it keeps empty blocks in the driver, pushes each filled block down
// its chain and hands it straight back to the driver.
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

constexpr uint32_t WaveInStopRequest = WM_APP + 2;
// The watchdog's report that a running device has returned no block for StallTimeout ms.
constexpr uint32_t WaveInStalledReport = WM_APP + 4;
extern const char* const kStalledText;  // "WaveIn:" LF CR "The sound device stopped ..."
extern const char* const kLostText;     // "WaveIn:" LF CR "... the sound device was lost ..."

// The driver entry points the input device reaches the driver through.
struct TWaveInDriverTable {
  uint32_t (*GetNumDevs)();
  MMRESULT (*GetDevCaps)(uintptr_t, WAVEINCAPSA*, uint32_t);
  MMRESULT (*GetErrorText)(MMRESULT, char*, uint32_t);
  MMRESULT (*Open)(HWAVEIN*, uint32_t, const WAVEFORMATEX*, uintptr_t, uintptr_t, uint32_t);
  MMRESULT (*Close)(HWAVEIN);
  MMRESULT (*PrepareHeader)(HWAVEIN, WAVEHDR*, uint32_t);
  MMRESULT (*UnprepareHeader)(HWAVEIN, WAVEHDR*, uint32_t);
  MMRESULT (*AddBuffer)(HWAVEIN, WAVEHDR*, uint32_t);
  MMRESULT (*Start)(HWAVEIN);
  MMRESULT (*Stop)(HWAVEIN);
  MMRESULT (*Reset)(HWAVEIN);
  MMRESULT (*GetPosition)(HWAVEIN, MMTIME*, uint32_t);
  MMRESULT (*GetID)(HWAVEIN, uint32_t*);
};

class TMMCustomWaveIn : public TMMCustomSoundComponent {
 public:
  explicit TMMCustomWaveIn(TComponent* AOwner);
  ~TMMCustomWaveIn() override;

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

  void SetMode(TMMMode value);
  TMMMode GetMode() const { return FMode; }
  void SetBitLength(TMMBits value);
  TMMBits GetBitLength() const { return FBitLength; }
  void SetSampleRate(int32_t value);
  int32_t GetSampleRate() const { return FSampleRate; }
  void SetTimeFormat(TMMTimeFormats value);
  TMMTimeFormats GetTimeFormat() const { return FTimeFormat; }
  void SetMaxRecordTime(int32_t value);
  int32_t GetMaxRecordTime() const { return FMaxRecordTime; }
  int64_t MaxRecordBytes() const { return FMaxRecordBytes; }
  void SetPriority(TThreadPriority value);
  TThreadPriority GetPriority() const { return FPriority; }

  // Whether input device `id` can record this device's format (its bits and channels) at
  // `rate` Hz, as the driver answers a format query. Only a format the driver refuses as such
  // counts: a missing or busy device says so when it is opened.
  bool CanRecordAt(TMMDeviceId id, int32_t rate);

  int64_t GetPosition();
  TMMDeviceState DeviceState() const { return FState; }
  uint32_t DriverVersion() const { return FDriverVersion; }
  HWAVEIN DeviceHandle() const { return FHandle; }
  int64_t BytesRecorded() const { return FBytesRecorded; }
  // A started, unpaused device that returns no block for this many milliseconds has stalled
  // (a frozen sound server, a device gone quiet): it is stopped, within that time of its last
  // block, and the stall reported through the error report as kStalledText. 0 switches the watchdog
  // off. Default 5000. Only time in which the program itself ran counts: a stopped process (Ctrl-Z,
  // a debugger, a frozen container) has not seen its device stall.
  void SetStallTimeout(uint32_t ms) { FStallTimeout = ms; }
  uint32_t GetStallTimeout() const { return FStallTimeout; }
  // Whether the last run ended because the device stalled; cleared by Start.
  bool Stalled() const { return FStalled; }
  // Whether the last run ended because the device was lost (unplugged, or its sound server
  // ended); cleared by Start.
  bool Lost() const { return FLost; }
  // The audio the device dropped in the current or last run because it was not read in time
  // (overruns), in sample frames, and in how many dropouts: what the program never saw.
  struct TOverruns {
    int64_t Frames = 0;
    int64_t Dropouts = 0;
  };
  TOverruns Overruns();

  virtual void BindDriver() = 0;
  virtual void DeviceError(const std::string& message);
  void Open() override;
  void Close() override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;

  void BufferReady(PWaveHdr lpWaveHdr) override;

  TNotifyEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose;

 protected:
  // Reads the device count through the bound driver; the constructor of the class that binds
  // the driver calls it.
  void InitDriver();
  TWaveInDriverTable DriverTable{};

 private:
  static void WatchdogTick(uint32_t id, uint32_t, uintptr_t instance, uintptr_t, uintptr_t);
  void StartWatchdog();
  void StopWatchdog();
  static void DriverCallback(void* handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                             uintptr_t param2);
  void WindowProc(TMessage& msg);
  void BufferDone(PWaveHdr header);
  void EndBufferDone();
  void AddBlock(PWaveHdr header);
  void BuildFormat();
  void UpdateMaxRecordBytes();
  void CloseCompletion();
  std::string ErrorText(MMRESULT code);
  int64_t GetSamplePosition();
  bool IsOpen() const { return FState & dsOpen; }
  bool IsStarted() const { return FState & dsStarted; }
  bool IsPaused() const { return FState & dsPaused; }
  void Fire(const TNotifyEvent& event) {
    if (event) event(this);
  }

  // Threads: the properties, the state flags' writes from the lifecycle calls, the headers and
  // the handle belong to the main thread, which alone opens, starts, stops and closes. The
  // worker (cmThread) or the driver's callback (cmCallback) runs BufferDone; the fields it
  // shares with the main thread are atomic or guarded by FLock as marked. The watchdog's timer
  // thread reads only atomics and posts to the hidden window.
  int32_t FNumBuffers = 10;
  TMMDeviceId FDeviceID = 0;
  std::string FProductName;
  uint32_t FDriverVersion = 0;
  TMMCBMode FCallBackMode = cmWindow;
  TMMMode FMode = mMono;
  TMMBits FBitLength = b8Bit;
  int32_t FSampleRate = 11025;
  TMMTimeFormats FTimeFormat = tfByte;
  int32_t FMaxRecordTime = -1;
  int64_t FMaxRecordBytes = 0x7FFFFFFF;
  TThreadPriority FPriority = tpHigher;

  std::atomic<TMMDeviceState> FState{dsClosed};
  HWAVEIN FHandle = nullptr;
  std::unique_ptr<TMessageWindow> FNotifyWindow;
  std::array<PWaveHdr, 500> FHeaders{};
  int32_t FCurIndex = 0;      // under FLock
  int32_t FInDriver = 0;      // under FLock
  int32_t FInBufferDone = 0;  // under FLock
  uint32_t FNumDevs = 0;
  std::atomic<bool> FStopPending{false};
  std::atomic<bool> FClosePending{false};
  std::atomic<bool> FHalting{false};
  std::atomic<bool> FClosing{false};
  std::atomic<bool> FResetting{false};
  std::atomic<bool> FEndPosted{false};
  // Written by the thread that delivers blocks (and by Start before it runs).
  std::atomic<int64_t> FBytesRecorded{0};
  int64_t FLastPosition = 0;  // under FLock
  int32_t FWrapCount = 0;     // under FLock
  int64_t FWrapSize = 0;      // under FLock
  // The watchdog: its timer (started on the main thread; ended there or by a Stop that the
  // delivering thread makes at the record limit), the time the last block came back (the
  // delivering thread), and its report.
  uint32_t FStallTimeout = 5000;
  std::atomic<uint32_t> FWatchdog{0};
  std::atomic<uint32_t> FLastDelivery{0};
  // The watchdog's period and the time of its last tick (the timer's thread; set at its start).
  uint32_t FWatchdogPeriod = 0;
  std::atomic<uint32_t> FLastTick{0};
  std::atomic<bool> FStallPosted{false};
  std::atomic<bool> FStalled{false};
  // Set by the thread that hands the driver its blocks back, read by any.
  std::atomic<bool> FLost{false};
  // The driver's count of overruns when the run started, and what the run had dropped when it
  // stopped; both under FLock.
  TOverruns DriverOverruns() const;
  TOverruns FOverrunBase;
  TOverruns FRunOverruns;

  TCriticalSection FLock;
  TMMDeviceWorker FWorker;
  TMMAllocator FAllocator;
};

class TMMWaveIn : public TMMCustomWaveIn {
 public:
  explicit TMMWaveIn(TComponent* AOwner);
  void BindDriver() override;
};
