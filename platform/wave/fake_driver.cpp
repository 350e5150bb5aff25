#include "platform/wave/fake_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

TFakeWaveDriver::TFakeWaveDriver(uint32_t outputs, uint32_t inputs)
    : FOutputs(outputs), FInputs(inputs) {}

TFakeWaveDriver::~TFakeWaveDriver() {
  for (Device* d : FDevices) delete d;
}

std::vector<std::string> TFakeWaveDriver::Calls() {
  std::lock_guard guard(FLock);
  return FCalls;
}

void TFakeWaveDriver::ClearCalls() {
  std::lock_guard guard(FLock);
  FCalls.clear();
}

void TFakeWaveDriver::ScriptResult(const std::string& name, MMRESULT result) {
  std::lock_guard guard(FLock);
  FScripted[name].push_back(result);
}

bool TFakeWaveDriver::Log(const std::string& entry, const std::string& name, MMRESULT& scripted) {
  std::lock_guard guard(FLock);
  FCalls.push_back(entry);
  auto it = FScripted.find(name);
  if (it == FScripted.end() || it->second.empty()) return false;
  scripted = it->second.front();
  it->second.pop_front();
  return true;
}

TFakeWaveDriver::Device* TFakeWaveDriver::Find(void* handle) {
  std::lock_guard guard(FLock);
  for (Device* d : FDevices)
    if (d == handle) return d;
  return nullptr;
}

void TFakeWaveDriver::Notify(Device* d, uint32_t msg, WAVEHDR* header) {
  if (d->callback) d->callback(d, msg, d->instance, reinterpret_cast<uintptr_t>(header), 0);
}

void TFakeWaveDriver::SetOutPosition(uint32_t samples) {
  std::lock_guard guard(FLock);
  FOutPositionOverride = samples;
  FOutPositionSet = true;
}

void TFakeWaveDriver::SetInPosition(uint32_t samples) {
  std::lock_guard guard(FLock);
  FInPositionOverride = samples;
  FInPositionSet = true;
}

int TFakeWaveDriver::QueuedOut() {
  std::lock_guard guard(FLock);
  int n = 0;
  for (Device* d : FDevices)
    if (!d->input) n += int(d->queue.size());
  return n;
}

int TFakeWaveDriver::QueuedIn() {
  std::lock_guard guard(FLock);
  int n = 0;
  for (Device* d : FDevices)
    if (d->input) n += int(d->queue.size());
  return n;
}

bool TFakeWaveDriver::ReturnOutBlock() {
  Device* device = nullptr;
  WAVEHDR* h = nullptr;
  {
    std::lock_guard guard(FLock);
    for (Device* d : FDevices)
      if (!d->input && !d->queue.empty()) {
        device = d;
        h = d->queue.front();
        d->queue.pop_front();
        if (d->format.nBlockAlign) d->position += h->dwBufferLength / d->format.nBlockAlign;
        break;
      }
  }
  if (!h) return false;
  h->dwFlags = (h->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
  Notify(device, WOM_DONE, h);
  return true;
}

bool TFakeWaveDriver::ReturnInBlock(uint32_t bytes, char fill) {
  Device* device = nullptr;
  WAVEHDR* h = nullptr;
  {
    std::lock_guard guard(FLock);
    for (Device* d : FDevices)
      if (d->input && !d->queue.empty()) {
        device = d;
        h = d->queue.front();
        d->queue.pop_front();
        bytes = std::min(bytes, h->dwBufferLength);
        if (d->format.nBlockAlign) d->position += bytes / d->format.nBlockAlign;
        break;
      }
  }
  if (!h) return false;
  std::memset(h->lpData, fill, bytes);
  h->dwBytesRecorded = bytes;
  h->dwFlags = (h->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
  Notify(device, WIM_DATA, h);
  return true;
}

// ------------------------------------------------------------------ both directions

MMRESULT TFakeWaveDriver::Caps(const std::string& call, bool input, uintptr_t deviceId, char* name,
                               uint32_t nameSize, uint32_t& version, uint32_t size) {
  MMRESULT r;
  if (Log(call + "(" + std::to_string(int32_t(deviceId)) + "," + std::to_string(size) + ")", call,
          r))
    return r;
  const uint32_t count = input ? FInputs : FOutputs;
  if (int32_t(deviceId) >= int32_t(count) || int32_t(deviceId) < -1) return MMSYSERR_BADDEVICEID;
  std::snprintf(name, nameSize, "Fake %s %d", input ? "input" : "output", int32_t(deviceId));
  version = 0x0100;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::OpenDevice(const std::string& call, bool input, void** handle,
                                     uint32_t deviceId, const WAVEFORMATEX* format,
                                     uintptr_t callback, uintptr_t instance, uint32_t flags) {
  const bool query = flags & WAVE_FORMAT_QUERY;
  MMRESULT r;
  if (Log(call + "(" + std::to_string(int32_t(deviceId)) + "," +
              (query                                              ? "query"
               : (flags & CALLBACK_FUNCTION) == CALLBACK_FUNCTION ? "CALLBACK_FUNCTION"
                                                                  : "other") +
              ")",
          query ? call + "(query)" : call, r))
    return r;
  if (query) return FRefuseFormats ? WAVERR_BADFORMAT : MMSYSERR_NOERROR;
  auto* d = new Device{input,    deviceId, *format, reinterpret_cast<WAVECALLBACK>(callback),
                       instance, {},       0};
  {
    std::lock_guard guard(FLock);
    FDevices.push_back(d);
  }
  *handle = d;
  if (FDeliverOpen) Notify(d, input ? WIM_OPEN : WOM_OPEN, nullptr);
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::CloseDevice(const std::string& call, void* handle) {
  MMRESULT r;
  if (Log(call, call, r)) return r;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard guard(FLock);
    if (!d->queue.empty()) return WAVERR_STILLPLAYING;
    FDevices.erase(std::find(FDevices.begin(), FDevices.end(), d));
  }
  if (FDeliverClose) Notify(d, d->input ? WIM_CLOSE : WOM_CLOSE, nullptr);
  delete d;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::SetPrepared(const std::string& call, void* handle, WAVEHDR* header,
                                      uint32_t size, bool prepared) {
  MMRESULT r;
  if (Log(call + "(" + std::to_string(size) + ")", call, r)) return r;
  if (!Find(handle)) return MMSYSERR_INVALHANDLE;
  if (prepared)
    header->dwFlags |= WHDR_PREPARED;
  else
    header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::Enqueue(const std::string& call, void* handle, WAVEHDR* header) {
  MMRESULT r;
  if (Log(call + "(" + std::to_string(header->dwBufferLength) + ")", call, r)) return r;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  if (d->input) header->dwBytesRecorded = 0;
  std::lock_guard guard(FLock);
  d->queue.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::Answer(const std::string& call, void* handle) {
  MMRESULT r;
  if (Log(call, call, r)) return r;
  return Find(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT TFakeWaveDriver::ResetDevice(const std::string& call, void* handle) {
  MMRESULT r;
  if (Log(call, call, r)) return r;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  // Every queued block comes back at once (input blocks empty); the position restarts.
  for (;;) {
    WAVEHDR* h = nullptr;
    {
      std::lock_guard guard(FLock);
      if (d->queue.empty()) break;
      h = d->queue.front();
      d->queue.pop_front();
    }
    if (d->input) h->dwBytesRecorded = 0;
    h->dwFlags = (h->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
    Notify(d, d->input ? WIM_DATA : WOM_DONE, h);
  }
  std::lock_guard guard(FLock);
  d->position = 0;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::Position(void* handle, MMTIME* time, const char* name) {
  MMRESULT r;
  if (Log(std::string(name) + "(" + (time->wType == TIME_SAMPLES ? "samples" : "bytes") + ")", name,
          r))
    return r;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  std::lock_guard guard(FLock);
  const bool overridden = d->input ? FInPositionSet : FOutPositionSet;
  const uint32_t samples =
      overridden ? (d->input ? FInPositionOverride : FOutPositionOverride) : d->position;
  if (time->wType == TIME_SAMPLES && !FPositionInBytes) {
    time->u.sample = samples;
  } else {
    time->wType = TIME_BYTES;
    time->u.cb = samples * d->format.nBlockAlign;
  }
  return MMSYSERR_NOERROR;
}

// ------------------------------------------------------------------ output

uint32_t TFakeWaveDriver::OutGetNumDevs() {
  MMRESULT r;
  Log("waveOutGetNumDevs", "waveOutGetNumDevs", r);
  return FOutputs;
}

MMRESULT TFakeWaveDriver::OutGetDevCaps(uintptr_t deviceId, WAVEOUTCAPSA* caps, uint32_t size) {
  *caps = WAVEOUTCAPSA{};
  return Caps("waveOutGetDevCapsA", false, deviceId, caps->szPname, sizeof caps->szPname,
              caps->vDriverVersion, size);
}

MMRESULT TFakeWaveDriver::OutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                                  uintptr_t callback, uintptr_t instance, uint32_t flags) {
  return OpenDevice("waveOutOpen", false, reinterpret_cast<void**>(handle), deviceId, format,
                    callback, instance, flags);
}

MMRESULT TFakeWaveDriver::OutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  return SetPrepared("waveOutPrepareHeader", handle, header, size, true);
}

MMRESULT TFakeWaveDriver::OutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  return SetPrepared("waveOutUnprepareHeader", handle, header, size, false);
}

MMRESULT TFakeWaveDriver::OutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t) {
  return Enqueue("waveOutWrite", handle, header);
}

MMRESULT TFakeWaveDriver::OutPause(HWAVEOUT handle) {
  return Answer("waveOutPause", handle);
}

MMRESULT TFakeWaveDriver::OutRestart(HWAVEOUT handle) {
  return Answer("waveOutRestart", handle);
}

MMRESULT TFakeWaveDriver::OutReset(HWAVEOUT handle) {
  return ResetDevice("waveOutReset", handle);
}

MMRESULT TFakeWaveDriver::OutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t) {
  return Position(handle, time, "waveOutGetPosition");
}

MMRESULT TFakeWaveDriver::OutClose(HWAVEOUT handle) {
  return CloseDevice("waveOutClose", handle);
}

// ------------------------------------------------------------------ input

uint32_t TFakeWaveDriver::InGetNumDevs() {
  MMRESULT r;
  Log("waveInGetNumDevs", "waveInGetNumDevs", r);
  return FInputs;
}

MMRESULT TFakeWaveDriver::InGetDevCaps(uintptr_t deviceId, WAVEINCAPSA* caps, uint32_t size) {
  *caps = WAVEINCAPSA{};
  return Caps("waveInGetDevCapsA", true, deviceId, caps->szPname, sizeof caps->szPname,
              caps->vDriverVersion, size);
}

MMRESULT TFakeWaveDriver::InOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                                 uintptr_t callback, uintptr_t instance, uint32_t flags) {
  return OpenDevice("waveInOpen", true, reinterpret_cast<void**>(handle), deviceId, format,
                    callback, instance, flags);
}

MMRESULT TFakeWaveDriver::InClose(HWAVEIN handle) {
  return CloseDevice("waveInClose", handle);
}

MMRESULT TFakeWaveDriver::InPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  return SetPrepared("waveInPrepareHeader", handle, header, size, true);
}

MMRESULT TFakeWaveDriver::InUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  return SetPrepared("waveInUnprepareHeader", handle, header, size, false);
}

MMRESULT TFakeWaveDriver::InAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t) {
  return Enqueue("waveInAddBuffer", handle, header);
}

MMRESULT TFakeWaveDriver::InStart(HWAVEIN handle) {
  return Answer("waveInStart", handle);
}

MMRESULT TFakeWaveDriver::InStop(HWAVEIN handle) {
  MMRESULT r;
  if (Log("waveInStop", "waveInStop", r)) return r;
  if (!Find(handle)) return MMSYSERR_INVALHANDLE;
  // A partly filled block comes back on stop.
  if (FInPartialBytes > 0) {
    const uint32_t bytes = FInPartialBytes;
    FInPartialBytes = 0;
    ReturnInBlock(bytes, 2);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::InReset(HWAVEIN handle) {
  return ResetDevice("waveInReset", handle);
}

MMRESULT TFakeWaveDriver::InGetPosition(HWAVEIN handle, MMTIME* time, uint32_t) {
  return Position(handle, time, "waveInGetPosition");
}

MMRESULT TFakeWaveDriver::InGetID(HWAVEIN handle, uint32_t* deviceId) {
  MMRESULT r;
  if (Log("waveInGetID", "waveInGetID", r)) return r;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  *deviceId = d->id;
  return MMSYSERR_NOERROR;
}
