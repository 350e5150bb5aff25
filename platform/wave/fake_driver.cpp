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

// ------------------------------------------------------------------ output

uint32_t TFakeWaveDriver::OutGetNumDevs() {
  MMRESULT r;
  Log("waveOutGetNumDevs", "waveOutGetNumDevs", r);
  return FOutputs;
}

MMRESULT TFakeWaveDriver::OutGetDevCaps(uintptr_t deviceId, WAVEOUTCAPSA* caps, uint32_t size) {
  MMRESULT r;
  if (Log("waveOutGetDevCapsA(" + std::to_string(int32_t(deviceId)) + "," + std::to_string(size) +
              ")",
          "waveOutGetDevCapsA", r))
    return r;
  if (int32_t(deviceId) >= int32_t(FOutputs) || int32_t(deviceId) < -1) return MMSYSERR_BADDEVICEID;
  std::memset(caps, 0, sizeof *caps);
  std::snprintf(caps->szPname, sizeof caps->szPname, "Fake output %d", int32_t(deviceId));
  caps->vDriverVersion = 0x0100;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::OutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                                  uintptr_t callback, uintptr_t instance, uint32_t flags) {
  const bool query = flags & WAVE_FORMAT_QUERY;
  MMRESULT r;
  if (Log("waveOutOpen(" + std::to_string(int32_t(deviceId)) + "," +
              (query                                              ? "query"
               : (flags & CALLBACK_FUNCTION) == CALLBACK_FUNCTION ? "CALLBACK_FUNCTION"
                                                                  : "other") +
              ")",
          query ? "waveOutOpen(query)" : "waveOutOpen", r))
    return r;
  if (query) return FRefuseFormats ? WAVERR_BADFORMAT : MMSYSERR_NOERROR;
  auto* d = new Device{false,    deviceId, *format, reinterpret_cast<WAVECALLBACK>(callback),
                       instance, {},       0};
  {
    std::lock_guard guard(FLock);
    FDevices.push_back(d);
  }
  *handle = reinterpret_cast<HWAVEOUT>(d);
  if (FDeliverOpen) Notify(d, WOM_OPEN, nullptr);
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::OutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  MMRESULT r;
  if (Log("waveOutPrepareHeader(" + std::to_string(size) + ")", "waveOutPrepareHeader", r))
    return r;
  if (!Find(handle)) return MMSYSERR_INVALHANDLE;
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::OutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  MMRESULT r;
  if (Log("waveOutUnprepareHeader(" + std::to_string(size) + ")", "waveOutUnprepareHeader", r))
    return r;
  if (!Find(handle)) return MMSYSERR_INVALHANDLE;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::OutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  MMRESULT r;
  if (Log("waveOutWrite(" + std::to_string(header->dwBufferLength) + ")", "waveOutWrite", r))
    return r;
  (void)size;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  std::lock_guard guard(FLock);
  d->queue.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::OutPause(HWAVEOUT handle) {
  MMRESULT r;
  if (Log("waveOutPause", "waveOutPause", r)) return r;
  return Find(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT TFakeWaveDriver::OutRestart(HWAVEOUT handle) {
  MMRESULT r;
  if (Log("waveOutRestart", "waveOutRestart", r)) return r;
  return Find(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT TFakeWaveDriver::OutReset(HWAVEOUT handle) {
  MMRESULT r;
  if (Log("waveOutReset", "waveOutReset", r)) return r;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  // Every queued block comes back at once; the position restarts.
  for (;;) {
    WAVEHDR* h = nullptr;
    {
      std::lock_guard guard(FLock);
      if (d->queue.empty()) break;
      h = d->queue.front();
      d->queue.pop_front();
    }
    h->dwFlags = (h->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
    Notify(d, WOM_DONE, h);
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

MMRESULT TFakeWaveDriver::OutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t) {
  return Position(handle, time, "waveOutGetPosition");
}

MMRESULT TFakeWaveDriver::OutClose(HWAVEOUT handle) {
  MMRESULT r;
  if (Log("waveOutClose", "waveOutClose", r)) return r;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard guard(FLock);
    if (!d->queue.empty()) return WAVERR_STILLPLAYING;
    FDevices.erase(std::find(FDevices.begin(), FDevices.end(), d));
  }
  if (FDeliverClose) Notify(d, WOM_CLOSE, nullptr);
  delete d;
  return MMSYSERR_NOERROR;
}

// ------------------------------------------------------------------ input

uint32_t TFakeWaveDriver::InGetNumDevs() {
  MMRESULT r;
  Log("waveInGetNumDevs", "waveInGetNumDevs", r);
  return FInputs;
}

MMRESULT TFakeWaveDriver::InGetDevCaps(uintptr_t deviceId, WAVEINCAPSA* caps, uint32_t size) {
  MMRESULT r;
  if (Log("waveInGetDevCapsA(" + std::to_string(int32_t(deviceId)) + "," + std::to_string(size) +
              ")",
          "waveInGetDevCapsA", r))
    return r;
  if (int32_t(deviceId) >= int32_t(FInputs) || int32_t(deviceId) < -1) return MMSYSERR_BADDEVICEID;
  std::memset(caps, 0, sizeof *caps);
  std::snprintf(caps->szPname, sizeof caps->szPname, "Fake input %d", int32_t(deviceId));
  caps->vDriverVersion = 0x0100;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::InOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                                 uintptr_t callback, uintptr_t instance, uint32_t flags) {
  const bool query = flags & WAVE_FORMAT_QUERY;
  MMRESULT r;
  if (Log("waveInOpen(" + std::to_string(int32_t(deviceId)) + "," +
              (query                                              ? "query"
               : (flags & CALLBACK_FUNCTION) == CALLBACK_FUNCTION ? "CALLBACK_FUNCTION"
                                                                  : "other") +
              ")",
          query ? "waveInOpen(query)" : "waveInOpen", r))
    return r;
  if (query) return FRefuseFormats ? WAVERR_BADFORMAT : MMSYSERR_NOERROR;
  auto* d = new Device{true,     deviceId, *format, reinterpret_cast<WAVECALLBACK>(callback),
                       instance, {},       0};
  {
    std::lock_guard guard(FLock);
    FDevices.push_back(d);
  }
  *handle = reinterpret_cast<HWAVEIN>(d);
  if (FDeliverOpen) Notify(d, WIM_OPEN, nullptr);
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::InClose(HWAVEIN handle) {
  MMRESULT r;
  if (Log("waveInClose", "waveInClose", r)) return r;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard guard(FLock);
    if (!d->queue.empty()) return WAVERR_STILLPLAYING;
    FDevices.erase(std::find(FDevices.begin(), FDevices.end(), d));
  }
  if (FDeliverClose) Notify(d, WIM_CLOSE, nullptr);
  delete d;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::InPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  MMRESULT r;
  if (Log("waveInPrepareHeader(" + std::to_string(size) + ")", "waveInPrepareHeader", r)) return r;
  if (!Find(handle)) return MMSYSERR_INVALHANDLE;
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::InUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  MMRESULT r;
  if (Log("waveInUnprepareHeader(" + std::to_string(size) + ")", "waveInUnprepareHeader", r))
    return r;
  if (!Find(handle)) return MMSYSERR_INVALHANDLE;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::InAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  MMRESULT r;
  if (Log("waveInAddBuffer(" + std::to_string(header->dwBufferLength) + ")", "waveInAddBuffer", r))
    return r;
  (void)size;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  header->dwBytesRecorded = 0;
  std::lock_guard guard(FLock);
  d->queue.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT TFakeWaveDriver::InStart(HWAVEIN handle) {
  MMRESULT r;
  if (Log("waveInStart", "waveInStart", r)) return r;
  return Find(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
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
  MMRESULT r;
  if (Log("waveInReset", "waveInReset", r)) return r;
  Device* d = Find(handle);
  if (!d) return MMSYSERR_INVALHANDLE;
  for (;;) {
    WAVEHDR* h = nullptr;
    {
      std::lock_guard guard(FLock);
      if (d->queue.empty()) break;
      h = d->queue.front();
      d->queue.pop_front();
    }
    h->dwBytesRecorded = 0;
    h->dwFlags = (h->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
    Notify(d, WIM_DATA, h);
  }
  std::lock_guard guard(FLock);
  d->position = 0;
  return MMSYSERR_NOERROR;
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
