// The system driver: the devices of the ALSA backend first, then the virtual devices
// ("Virtual output", "Virtual input"), numbered from 0; WAVE_MAPPER is the first device of the
// list. The lists are read at first use and again by RescanDevices.
//
// Handles are numbers the driver hands out and never reuses, so a handle that this driver did
// not open (or has closed) gives MMSYSERR_INVALHANDLE.
//
// Notifications: WOM_OPEN / WIM_OPEN before the open call returns and WOM_CLOSE / WIM_CLOSE
// before the close call returns, on the calling thread. WOM_DONE / WIM_DATA come from the
// device's driver thread in queue order, except that reset (and waveInStop, for the block it
// returns) sends them on the calling thread before returning. The driver never holds a lock
// while it calls back, so a callback may queue blocks and read the position again; closing
// from inside a callback is refused with MMSYSERR_HANDLEBUSY, as the driver thread cannot wait
// for its own end.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wave/wave_api.h"
#include "platform/wave/wave_stream.h"

class TSystemWaveDriver : public TWaveDriver {
 public:
  // The ALSA backend followed by the virtual devices.
  TSystemWaveDriver();
  // Backends in the order their devices are numbered (tests).
  explicit TSystemWaveDriver(std::vector<std::unique_ptr<TWaveBackend>> backends);
  // Ends every device still open, without notifications.
  ~TSystemWaveDriver() override;

  // Reads the device lists again (environment changes in tests, devices plugged in). Open
  // devices are not affected.
  void RescanDevices();
  // Ends every device still open, without notifications (program exit).
  void AbandonAll();

  uint32_t OutGetNumDevs() override;
  MMRESULT OutGetDevCaps(uintptr_t deviceId, WAVEOUTCAPSA* caps, uint32_t size) override;
  MMRESULT OutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                   uintptr_t callback, uintptr_t instance, uint32_t flags) override;
  MMRESULT OutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT OutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT OutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT OutPause(HWAVEOUT handle) override;
  MMRESULT OutRestart(HWAVEOUT handle) override;
  MMRESULT OutReset(HWAVEOUT handle) override;
  MMRESULT OutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t size) override;
  MMRESULT OutClose(HWAVEOUT handle) override;
  MMRESULT OutGetUnderruns(HWAVEOUT handle, uint32_t* count) override;

  uint32_t InGetNumDevs() override;
  MMRESULT InGetDevCaps(uintptr_t deviceId, WAVEINCAPSA* caps, uint32_t size) override;
  MMRESULT InOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                  uintptr_t callback, uintptr_t instance, uint32_t flags) override;
  MMRESULT InClose(HWAVEIN handle) override;
  MMRESULT InPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT InUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT InAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size) override;
  MMRESULT InStart(HWAVEIN handle) override;
  MMRESULT InStop(HWAVEIN handle) override;
  MMRESULT InReset(HWAVEIN handle) override;
  MMRESULT InGetPosition(HWAVEIN handle, MMTIME* time, uint32_t size) override;
  MMRESULT InGetID(HWAVEIN handle, uint32_t* deviceId) override;
  MMRESULT InGetOverruns(HWAVEIN handle, uint64_t* frames, uint32_t* dropouts) override;

  bool GetErrorText(MMRESULT error, char* text, uint32_t size) override;
  std::string GetSystemName(bool input, uintptr_t deviceId) override;

 private:
  struct TDeviceRef {
    TWaveBackend* Backend = nullptr;
    size_t Index = 0;
    uint32_t DeviceId = 0;
  };
  void EnsureScanned();
  uint32_t NumDevs(bool input);
  bool Resolve(bool input, uintptr_t deviceId, TDeviceRef& ref);
  MMRESULT GetCaps(bool input, uintptr_t deviceId, void* caps, uint32_t size);
  MMRESULT Open(bool input, void** handle, uint32_t deviceId, const WAVEFORMATEX* format,
                uintptr_t callback, uintptr_t instance, uint32_t flags);
  MMRESULT Close(bool input, void* handle);
  std::shared_ptr<TWaveStream> Find(bool input, void* handle);

  const std::vector<std::unique_ptr<TWaveBackend>> FBackends;
  std::mutex FListLock;
  bool FScanned = false;
  std::mutex FHandleLock;
  std::map<uintptr_t, std::shared_ptr<TWaveStream>> FStreams;
  uintptr_t FNextHandle = 0x1000;
};

// The process's system driver, created at the first call; the wave functions use it while no
// other driver is installed. Devices still open when the program exits are ended then.
std::shared_ptr<TSystemWaveDriver> SystemWaveDriver();
// Reads the process's system driver's device lists again.
void RescanWaveDevices();
