#include "platform/wave/system_driver.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/wave/alsa_driver.h"
#include "platform/wave/virtual_driver.h"

namespace {

constexpr uint32_t kCallbackTypeMask = 0x00070000;
// Every standard format bit (11.025 to 96 kHz, mono and stereo, 8 and 16 bits): the devices
// convert what the hardware lacks.
constexpr uint32_t kAllStandardFormats = 0x000FFFFF;
constexpr uint32_t kDriverVersion = 0x0100;

std::vector<std::unique_ptr<TWaveBackend>> DefaultBackends() {
  std::vector<std::unique_ptr<TWaveBackend>> backends;
  backends.push_back(std::make_unique<TAlsaBackend>());
  backends.push_back(std::make_unique<TVirtualBackend>());
  return backends;
}

template <typename TCaps>
void FillCaps(TCaps& caps, const std::string& name) {
  std::memset(&caps, 0, sizeof caps);
  caps.vDriverVersion = kDriverVersion;
  std::strncpy(caps.szPname, name.c_str(), MAXPNAMELEN - 1);
  caps.dwFormats = kAllStandardFormats;
  caps.wChannels = 2;
}

// Ends the devices still open when the program exits, so that no driver thread outlives it.
struct TSystemDriverHolder {
  std::mutex Lock;
  std::shared_ptr<TSystemWaveDriver> Driver;
};

TSystemDriverHolder& Holder() {
  // Never destroyed: a wave call from another exit-time destructor still finds it.
  static auto* holder = new TSystemDriverHolder;
  return *holder;
}

struct TExitCloser {
  ~TExitCloser() {
    std::shared_ptr<TSystemWaveDriver> driver;
    {
      std::lock_guard lock(Holder().Lock);
      driver = Holder().Driver;
    }
    if (driver) driver->AbandonAll();
  }
} gExitCloser;

}  // namespace

TSystemWaveDriver::TSystemWaveDriver() : TSystemWaveDriver(DefaultBackends()) {}

TSystemWaveDriver::TSystemWaveDriver(std::vector<std::unique_ptr<TWaveBackend>> backends)
    : FBackends(std::move(backends)) {}

TSystemWaveDriver::~TSystemWaveDriver() {
  AbandonAll();
}

void TSystemWaveDriver::AbandonAll() {
  std::map<uintptr_t, std::shared_ptr<TWaveStream>> streams;
  {
    std::lock_guard lock(FHandleLock);
    streams.swap(FStreams);
  }
  for (auto& entry : streams) entry.second->Abandon();
}

void TSystemWaveDriver::EnsureScanned() {
  std::lock_guard lock(FListLock);
  if (FScanned) return;
  for (const auto& backend : FBackends) backend->Scan();
  FScanned = true;
}

void TSystemWaveDriver::RescanDevices() {
  std::lock_guard lock(FListLock);
  for (const auto& backend : FBackends) backend->Scan();
  FScanned = true;
}

uint32_t TSystemWaveDriver::NumDevs(bool input) {
  EnsureScanned();
  size_t count = 0;
  for (const auto& backend : FBackends) count += backend->Count(input);
  return static_cast<uint32_t>(count);
}

bool TSystemWaveDriver::Resolve(bool input, uintptr_t deviceId, TDeviceRef& ref) {
  EnsureScanned();
  // The mapper arrives as a 32-bit -1 or, widened from a signed id, as all ones.
  if (deviceId == WAVE_MAPPER || deviceId == UINTPTR_MAX) deviceId = 0;
  size_t index = deviceId;
  for (const auto& backend : FBackends) {
    const size_t count = backend->Count(input);
    if (index < count) {
      ref.Backend = backend.get();
      ref.Index = index;
      ref.DeviceId = static_cast<uint32_t>(deviceId);
      return true;
    }
    index -= count;
  }
  return false;
}

std::string TSystemWaveDriver::GetSystemName(bool input, uintptr_t deviceId) {
  TDeviceRef ref;
  return Resolve(input, deviceId, ref) ? ref.Backend->SystemName(input, ref.Index) : std::string();
}

MMRESULT TSystemWaveDriver::GetCaps(bool input, uintptr_t deviceId, void* caps, uint32_t size) {
  if (caps == nullptr || size == 0) return MMSYSERR_INVALPARAM;
  TDeviceRef ref;
  if (!Resolve(input, deviceId, ref)) return MMSYSERR_BADDEVICEID;
  const std::string name = ref.Backend->ProductName(input, ref.Index);
  if (input) {
    WAVEINCAPSA full;
    FillCaps(full, name);
    std::memcpy(caps, &full, std::min<size_t>(size, sizeof full));
  } else {
    WAVEOUTCAPSA full;
    FillCaps(full, name);
    std::memcpy(caps, &full, std::min<size_t>(size, sizeof full));
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TSystemWaveDriver::Open(bool input, void** handle, uint32_t deviceId,
                                 const WAVEFORMATEX* format, uintptr_t callback, uintptr_t instance,
                                 uint32_t flags) {
  if (format == nullptr) return MMSYSERR_INVALPARAM;
  const uint32_t callbackType = flags & kCallbackTypeMask;
  if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_FUNCTION &&
      callbackType != CALLBACK_WINDOW) {
    return MMSYSERR_INVALFLAG;
  }
  TDeviceRef ref;
  if (!Resolve(input, deviceId, ref)) return MMSYSERR_BADDEVICEID;
  if (flags & WAVE_FORMAT_QUERY) return ref.Backend->Query(input, ref.Index, *format);
  if (handle == nullptr) return MMSYSERR_INVALPARAM;

  TWaveNotify notify;
  notify.CallbackType = callbackType;
  notify.Callback = callback;
  notify.Instance = instance;
  uintptr_t value;
  {
    std::lock_guard lock(FHandleLock);
    value = FNextHandle;
    FNextHandle += 0x10;
  }
  notify.Handle = reinterpret_cast<void*>(value);
  std::shared_ptr<TWaveStream> stream;
  const MMRESULT result =
      ref.Backend->Open(input, ref.Index, ref.DeviceId, *format, notify, stream);
  if (result != MMSYSERR_NOERROR) return result;
  {
    std::lock_guard lock(FHandleLock);
    FStreams[value] = stream;
  }
  *handle = notify.Handle;
  notify.Send(input ? WIM_OPEN : WOM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

std::shared_ptr<TWaveStream> TSystemWaveDriver::Find(bool input, void* handle) {
  std::lock_guard lock(FHandleLock);
  const auto found = FStreams.find(reinterpret_cast<uintptr_t>(handle));
  if (found == FStreams.end() || found->second->IsInput() != input) return nullptr;
  return found->second;
}

MMRESULT TSystemWaveDriver::Close(bool input, void* handle) {
  const std::shared_ptr<TWaveStream> stream = Find(input, handle);
  if (!stream) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = stream->Close();
  if (result != MMSYSERR_NOERROR) return result;
  {
    std::lock_guard lock(FHandleLock);
    FStreams.erase(reinterpret_cast<uintptr_t>(handle));
  }
  stream->Notify().Send(input ? WIM_CLOSE : WOM_CLOSE, 0);
  return MMSYSERR_NOERROR;
}

// Looks up the stream of a handle and runs a call on it, or answers MMSYSERR_INVALHANDLE.
#define NR_WITH_STREAM(input, handle, call)                          \
  do {                                                               \
    const std::shared_ptr<TWaveStream> stream = Find(input, handle); \
    return stream ? stream->call : MMSYSERR_INVALHANDLE;             \
  } while (false)

uint32_t TSystemWaveDriver::OutGetNumDevs() {
  return NumDevs(false);
}

MMRESULT TSystemWaveDriver::OutGetDevCaps(uintptr_t deviceId, WAVEOUTCAPSA* caps, uint32_t size) {
  return GetCaps(false, deviceId, caps, size);
}

MMRESULT TSystemWaveDriver::OutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                                    uintptr_t callback, uintptr_t instance, uint32_t flags) {
  void* opened = nullptr;
  const MMRESULT result = Open(false, handle == nullptr ? nullptr : &opened, deviceId, format,
                               callback, instance, flags);
  if (result == MMSYSERR_NOERROR && handle != nullptr && opened != nullptr) {
    *handle = static_cast<HWAVEOUT>(opened);
  }
  return result;
}

MMRESULT TSystemWaveDriver::OutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  NR_WITH_STREAM(false, handle, Prepare(header, size));
}

MMRESULT TSystemWaveDriver::OutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  NR_WITH_STREAM(false, handle, Unprepare(header, size));
}

MMRESULT TSystemWaveDriver::OutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size) {
  NR_WITH_STREAM(false, handle, Queue(header, size));
}

MMRESULT TSystemWaveDriver::OutPause(HWAVEOUT handle) {
  NR_WITH_STREAM(false, handle, Pause());
}

MMRESULT TSystemWaveDriver::OutRestart(HWAVEOUT handle) {
  NR_WITH_STREAM(false, handle, Restart());
}

MMRESULT TSystemWaveDriver::OutReset(HWAVEOUT handle) {
  NR_WITH_STREAM(false, handle, Reset());
}

MMRESULT TSystemWaveDriver::OutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t size) {
  NR_WITH_STREAM(false, handle, GetPosition(time, size));
}

MMRESULT TSystemWaveDriver::OutGetUnderruns(HWAVEOUT handle, uint32_t* count) {
  NR_WITH_STREAM(false, handle, GetUnderruns(count));
}

MMRESULT TSystemWaveDriver::InGetOverruns(HWAVEIN handle, uint64_t* frames, uint32_t* dropouts) {
  NR_WITH_STREAM(true, handle, GetOverruns(frames, dropouts));
}

MMRESULT TSystemWaveDriver::OutClose(HWAVEOUT handle) {
  return Close(false, handle);
}

uint32_t TSystemWaveDriver::InGetNumDevs() {
  return NumDevs(true);
}

MMRESULT TSystemWaveDriver::InGetDevCaps(uintptr_t deviceId, WAVEINCAPSA* caps, uint32_t size) {
  return GetCaps(true, deviceId, caps, size);
}

MMRESULT TSystemWaveDriver::InOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                                   uintptr_t callback, uintptr_t instance, uint32_t flags) {
  void* opened = nullptr;
  const MMRESULT result = Open(true, handle == nullptr ? nullptr : &opened, deviceId, format,
                               callback, instance, flags);
  if (result == MMSYSERR_NOERROR && handle != nullptr && opened != nullptr) {
    *handle = static_cast<HWAVEIN>(opened);
  }
  return result;
}

MMRESULT TSystemWaveDriver::InClose(HWAVEIN handle) {
  return Close(true, handle);
}

MMRESULT TSystemWaveDriver::InPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  NR_WITH_STREAM(true, handle, Prepare(header, size));
}

MMRESULT TSystemWaveDriver::InUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  NR_WITH_STREAM(true, handle, Unprepare(header, size));
}

MMRESULT TSystemWaveDriver::InAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size) {
  NR_WITH_STREAM(true, handle, Queue(header, size));
}

MMRESULT TSystemWaveDriver::InStart(HWAVEIN handle) {
  NR_WITH_STREAM(true, handle, Start());
}

MMRESULT TSystemWaveDriver::InStop(HWAVEIN handle) {
  NR_WITH_STREAM(true, handle, Stop());
}

MMRESULT TSystemWaveDriver::InReset(HWAVEIN handle) {
  NR_WITH_STREAM(true, handle, Reset());
}

MMRESULT TSystemWaveDriver::InGetPosition(HWAVEIN handle, MMTIME* time, uint32_t size) {
  NR_WITH_STREAM(true, handle, GetPosition(time, size));
}

MMRESULT TSystemWaveDriver::InGetID(HWAVEIN handle, uint32_t* deviceId) {
  const std::shared_ptr<TWaveStream> stream = Find(true, handle);
  if (!stream) return MMSYSERR_INVALHANDLE;
  if (deviceId == nullptr) return MMSYSERR_INVALPARAM;
  *deviceId = stream->DeviceId();
  return MMSYSERR_NOERROR;
}

#undef NR_WITH_STREAM

bool TSystemWaveDriver::GetErrorText(MMRESULT error, char* text, uint32_t size) {
  const char* own = nullptr;
  switch (error) {
    case WAVEDRVERR_DEVICELOST:
      own =
          "The sound stopped: the sound device was lost (disconnected, or its sound server ended)";
      break;
    case WAVEDRVERR_INPUTFILE:
      own =
          "The file named by NEEDLEREC_VIRTUAL_INPUT is not a readable 8- or 16-bit mono or "
          "stereo PCM WAVE file";
      break;
    case WAVEDRVERR_OUTPUTFILE:
      own = "The file named by NEEDLEREC_VIRTUAL_OUTPUT cannot be opened for writing";
      break;
    default:
      return TWaveDriver::GetErrorText(error, text, size);
  }
  if (text != nullptr && size > 0) {
    std::strncpy(text, own, size - 1);
    text[size - 1] = '\0';
  }
  return true;
}

std::shared_ptr<TSystemWaveDriver> SystemWaveDriver() {
  std::lock_guard lock(Holder().Lock);
  if (!Holder().Driver) Holder().Driver = std::make_shared<TSystemWaveDriver>();
  return Holder().Driver;
}

void RescanWaveDevices() {
  SystemWaveDriver()->RescanDevices();
}
