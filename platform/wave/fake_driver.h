// A recording wave driver for tests: it logs every call with its arguments, answers with
// scripted results, and returns queued blocks when the test says so.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wave/wave_api.h"

class TFakeWaveDriver : public TWaveDriver {
 public:
  TFakeWaveDriver(uint32_t outputs = 1, uint32_t inputs = 1);
  ~TFakeWaveDriver() override;

  // The calls made so far, e.g. "waveOutOpen(0,query)", "waveOutWrite(8192)".
  std::vector<std::string> Calls();
  void ClearCalls();
  // The next call of `name` (e.g. "waveOutWrite") answers `result` instead of doing its work.
  void ScriptResult(const std::string& name, MMRESULT result);
  // Open and close notifications are delivered during the calls unless switched off.
  void SetDeliverOpen(bool value) { FDeliverOpen = value; }
  void SetDeliverClose(bool value) { FDeliverClose = value; }

  // Output: returns the oldest queued block with WOM_DONE, on the calling thread, and advances
  // the position by its frames. False when nothing is queued.
  bool ReturnOutBlock();
  // Input: fills the oldest queued block with `bytes` bytes of `fill` and returns it with WIM_DATA.
  bool ReturnInBlock(uint32_t bytes, char fill = 1);
  int QueuedOut();
  int QueuedIn();
  // Bytes waveInStop delivers in the first queued block (0: none is returned).
  void SetInPartialBytes(uint32_t bytes) { FInPartialBytes = bytes; }
  // The position the driver reports, in samples (it wraps like a 32-bit counter).
  void SetOutPosition(uint32_t samples);
  void SetInPosition(uint32_t samples);
  // Answer positions in bytes only (a driver that cannot count samples).
  void SetPositionInBytes(bool value) { FPositionInBytes = value; }
  // Refuse formats in the query.
  void SetRefuseFormats(bool value) { FRefuseFormats = value; }

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

 private:
  struct Device {
    bool input;
    uint32_t id;
    WAVEFORMATEX format;
    WAVECALLBACK callback;
    uintptr_t instance;
    std::deque<WAVEHDR*> queue;
    uint32_t position = 0;  // samples
  };

  // Logs the call and takes a scripted result, if any.
  bool Log(const std::string& entry, const std::string& name, MMRESULT& scripted);
  Device* Find(void* handle);
  void Notify(Device* d, uint32_t msg, WAVEHDR* header);
  MMRESULT Position(void* handle, MMTIME* time, const char* name);
  // The calls of both directions; `call` names the function in the log.
  MMRESULT Caps(const std::string& call, bool input, uintptr_t deviceId, char* name,
                uint32_t nameSize, uint32_t& version, uint32_t size);
  MMRESULT OpenDevice(const std::string& call, bool input, void** handle, uint32_t deviceId,
                      const WAVEFORMATEX* format, uintptr_t callback, uintptr_t instance,
                      uint32_t flags);
  MMRESULT CloseDevice(const std::string& call, void* handle);
  MMRESULT SetPrepared(const std::string& call, void* handle, WAVEHDR* header, uint32_t size,
                       bool prepared);
  MMRESULT Enqueue(const std::string& call, void* handle, WAVEHDR* header);
  MMRESULT Answer(const std::string& call, void* handle);
  MMRESULT ResetDevice(const std::string& call, void* handle);

  std::recursive_mutex FLock;
  std::vector<std::string> FCalls;
  std::map<std::string, std::deque<MMRESULT>> FScripted;
  std::vector<Device*> FDevices;
  uint32_t FOutputs, FInputs;
  bool FDeliverOpen = true;
  bool FDeliverClose = true;
  bool FPositionInBytes = false;
  bool FRefuseFormats = false;
  uint32_t FInPartialBytes = 0;
  uint32_t FOutPositionOverride = 0, FInPositionOverride = 0;
  bool FOutPositionSet = false, FInPositionSet = false;
};
