#include "platform/wave/wave_api.h"

#include <utility>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/wave/system_driver.h"

namespace {

struct TInstalledDriver {
  std::mutex Lock;
  std::shared_ptr<TWaveDriver> Driver;
};

TInstalledDriver& Installed() {
  // Never destroyed: wave calls from exit-time destructors still find it.
  static auto* installed = new TInstalledDriver;
  return *installed;
}

const char* StandardErrorText(MMRESULT error) {
  switch (error) {
    case MMSYSERR_NOERROR:
      return "The operation completed without error";
    case MMSYSERR_ERROR:
      return "An unspecified error occurred in the sound device driver";
    case MMSYSERR_BADDEVICEID:
      return "The sound device number is out of range";
    case MMSYSERR_NOTENABLED:
      return "The sound device is not enabled, or access to it was denied";
    case MMSYSERR_ALLOCATED:
      return "The sound device is already in use";
    case MMSYSERR_INVALHANDLE:
      return "The sound device handle is not valid";
    case MMSYSERR_NODRIVER:
      return "No sound device driver is present for this device";
    case MMSYSERR_NOMEM:
      return "Not enough memory for the sound device";
    case MMSYSERR_NOTSUPPORTED:
      return "The sound device does not support this function";
    case MMSYSERR_BADERRNUM:
      return "The error number is out of range";
    case MMSYSERR_INVALFLAG:
      return "An invalid flag was passed to the sound device";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed to the sound device";
    case MMSYSERR_HANDLEBUSY:
      return "The sound device handle is in use on another thread (for example in a callback)";
    case WAVERR_BADFORMAT:
      return "The sound device cannot play or record this wave format";
    case WAVERR_STILLPLAYING:
      return "The sound device still holds queued blocks";
    case WAVERR_UNPREPARED:
      return "The wave block header was not prepared";
    case WAVERR_SYNC:
      return "The sound device is synchronous and cannot be used this way";
    default:
      return nullptr;
  }
}

}  // namespace

bool DefaultErrorText(MMRESULT error, char* text, uint32_t size) {
  const char* found = StandardErrorText(error);
  if (found == nullptr) return false;
  if (text != nullptr && size > 0) {
    const size_t length = std::min<size_t>(std::strlen(found), size - 1);
    std::memcpy(text, found, length);
    text[length] = '\0';
  }
  return true;
}

bool TWaveDriver::GetErrorText(MMRESULT error, char* text, uint32_t size) {
  return DefaultErrorText(error, text, size);
}

void SetWaveDriver(std::shared_ptr<TWaveDriver> driver) {
  std::shared_ptr<TWaveDriver> old;
  {
    std::lock_guard lock(Installed().Lock);
    old = std::exchange(Installed().Driver, std::move(driver));
  }
  // Released without the lock: its threads may still call the wave functions while it ends.
  old.reset();
}

std::shared_ptr<TWaveDriver> GetWaveDriver() {
  {
    std::lock_guard lock(Installed().Lock);
    if (Installed().Driver) return Installed().Driver;
  }
  return SystemWaveDriver();
}

std::string waveGetDeviceSystemName(bool input, uint32_t deviceId) {
  return GetWaveDriver()->GetSystemName(input, deviceId);
}

bool waveIsTestDevice(bool input, uint32_t deviceId) {
  return waveGetDeviceSystemName(input, deviceId) == kTestDeviceSystemName;
}

namespace {

MMRESULT ErrorText(MMRESULT error, char* text, uint32_t size) {
  if (text == nullptr || size == 0) return MMSYSERR_INVALPARAM;
  text[0] = '\0';
  return GetWaveDriver()->GetErrorText(error, text, size) ? MMSYSERR_NOERROR : MMSYSERR_BADERRNUM;
}

}  // namespace

uint32_t waveOutGetNumDevs() {
  return GetWaveDriver()->OutGetNumDevs();
}

MMRESULT waveOutGetDevCapsA(uintptr_t deviceId, WAVEOUTCAPSA* caps, uint32_t size) {
  return GetWaveDriver()->OutGetDevCaps(deviceId, caps, size);
}

MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                     uintptr_t callback, uintptr_t instance, uint32_t flags) {
  return GetWaveDriver()->OutOpen(handle, deviceId, format, callback, instance, flags);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  return GetWaveDriver()->OutPrepareHeader(handle, header, size);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  return GetWaveDriver()->OutUnprepareHeader(handle, header, size);
}

MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  return GetWaveDriver()->OutWrite(handle, header, size);
}

MMRESULT waveOutPause(HWAVEOUT handle) {
  return GetWaveDriver()->OutPause(handle);
}

MMRESULT waveOutRestart(HWAVEOUT handle) {
  return GetWaveDriver()->OutRestart(handle);
}

MMRESULT waveOutReset(HWAVEOUT handle) {
  return GetWaveDriver()->OutReset(handle);
}

MMRESULT waveOutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t size) {
  return GetWaveDriver()->OutGetPosition(handle, time, size);
}

MMRESULT waveOutGetUnderruns(HWAVEOUT handle, uint32_t* count) {
  return GetWaveDriver()->OutGetUnderruns(handle, count);
}

MMRESULT waveOutClose(HWAVEOUT handle) {
  return GetWaveDriver()->OutClose(handle);
}

MMRESULT waveOutGetErrorTextA(MMRESULT error, char* text, uint32_t size) {
  return ErrorText(error, text, size);
}

uint32_t waveInGetNumDevs() {
  return GetWaveDriver()->InGetNumDevs();
}

MMRESULT waveInGetDevCapsA(uintptr_t deviceId, WAVEINCAPSA* caps, uint32_t size) {
  return GetWaveDriver()->InGetDevCaps(deviceId, caps, size);
}

MMRESULT waveInGetErrorTextA(MMRESULT error, char* text, uint32_t size) {
  return ErrorText(error, text, size);
}

MMRESULT waveInOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                    uintptr_t callback, uintptr_t instance, uint32_t flags) {
  return GetWaveDriver()->InOpen(handle, deviceId, format, callback, instance, flags);
}

MMRESULT waveInClose(HWAVEIN handle) {
  return GetWaveDriver()->InClose(handle);
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  return GetWaveDriver()->InPrepareHeader(handle, header, size);
}

MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  return GetWaveDriver()->InUnprepareHeader(handle, header, size);
}

MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  return GetWaveDriver()->InAddBuffer(handle, header, size);
}

MMRESULT waveInStart(HWAVEIN handle) {
  return GetWaveDriver()->InStart(handle);
}

MMRESULT waveInStop(HWAVEIN handle) {
  return GetWaveDriver()->InStop(handle);
}

MMRESULT waveInReset(HWAVEIN handle) {
  return GetWaveDriver()->InReset(handle);
}

MMRESULT waveInGetOverruns(HWAVEIN handle, uint64_t* frames, uint32_t* dropouts) {
  return GetWaveDriver()->InGetOverruns(handle, frames, dropouts);
}

MMRESULT waveInGetPosition(HWAVEIN handle, MMTIME* time, uint32_t size) {
  return GetWaveDriver()->InGetPosition(handle, time, size);
}

MMRESULT waveInGetID(HWAVEIN handle, uint32_t* deviceId) {
  return GetWaveDriver()->InGetID(handle, deviceId);
}
