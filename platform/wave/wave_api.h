// The wave device functions the output and input devices call, with the arguments, results
// and notifications they rely on. Behind them sits a driver: the system driver (ALSA devices
// followed by the built-in virtual devices) unless a test installs another one.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/wave/wave_types.h"

struct TWaveOutDevice;
struct TWaveInDevice;
using HWAVEOUT = TWaveOutDevice*;
using HWAVEIN = TWaveInDevice*;
using MMRESULT = uint32_t;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;
constexpr MMRESULT WAVERR_SYNC = 35;

// Codes of the system driver beyond the standard ones; their texts come from the driver's
// GetErrorText.
constexpr MMRESULT WAVEDRVERR_DEVICELOST = 512;
constexpr MMRESULT WAVEDRVERR_INPUTFILE = 513;
constexpr MMRESULT WAVEDRVERR_OUTPUTFILE = 514;

// The system name of the built-in test devices (see waveGetDeviceSystemName).
constexpr const char* kTestDeviceSystemName = "virtual";

constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFF;  // device id -1
constexpr uint32_t WAVE_FORMAT_QUERY = 0x0001;
constexpr uint32_t WAVE_MAPPED = 0x0004;
constexpr uint32_t CALLBACK_NULL = 0x00000000;
constexpr uint32_t CALLBACK_WINDOW = 0x00010000;
constexpr uint32_t CALLBACK_FUNCTION = 0x00030000;

// Notifications (the same numbers are posted as MM_WOM_* / MM_WIM_* messages).
constexpr uint32_t WOM_OPEN = 0x3BB;
constexpr uint32_t WOM_CLOSE = 0x3BC;
constexpr uint32_t WOM_DONE = 0x3BD;
constexpr uint32_t WIM_OPEN = 0x3BE;
constexpr uint32_t WIM_CLOSE = 0x3BF;
constexpr uint32_t WIM_DATA = 0x3C0;
constexpr uint32_t MM_WOM_OPEN = WOM_OPEN;
constexpr uint32_t MM_WOM_CLOSE = WOM_CLOSE;
constexpr uint32_t MM_WOM_DONE = WOM_DONE;
constexpr uint32_t MM_WIM_OPEN = WIM_OPEN;
constexpr uint32_t MM_WIM_CLOSE = WIM_CLOSE;
constexpr uint32_t MM_WIM_DATA = WIM_DATA;

constexpr uint32_t MAXPNAMELEN = 32;
constexpr uint32_t MAXERRORLENGTH = 256;

struct WAVEOUTCAPSA {
  uint16_t wMid;
  uint16_t wPid;
  uint32_t vDriverVersion;
  char szPname[MAXPNAMELEN];
  uint32_t dwFormats;
  uint16_t wChannels;
  uint16_t wReserved1;
  uint32_t dwSupport;
};
static_assert(sizeof(WAVEOUTCAPSA) == 52);

struct WAVEINCAPSA {
  uint16_t wMid;
  uint16_t wPid;
  uint32_t vDriverVersion;
  char szPname[MAXPNAMELEN];
  uint32_t dwFormats;
  uint16_t wChannels;
  uint16_t wReserved1;
};
static_assert(sizeof(WAVEINCAPSA) == 48);

constexpr uint32_t TIME_MS = 0x0001;
constexpr uint32_t TIME_SAMPLES = 0x0002;
constexpr uint32_t TIME_BYTES = 0x0004;

struct MMTIME {
  uint32_t wType;
  union {
    uint32_t ms;
    uint32_t sample;
    uint32_t cb;
    uint32_t ticks;
    uint8_t raw[8];
  } u;
};
static_assert(sizeof(MMTIME) == 12);

// The function callback: (handle, message, instance, param1, param2). For WOM_DONE and WIM_DATA
// param1 is the WAVEHDR*. WOM_OPEN / WIM_OPEN are delivered before the open call returns and
// WOM_CLOSE / WIM_CLOSE before the close call returns, on the calling thread; WOM_DONE and
// WIM_DATA come from the driver's own thread, in the order the blocks were queued.
using WAVECALLBACK = void (*)(void* handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                              uintptr_t param2);

uint32_t waveOutGetNumDevs();
MMRESULT waveOutGetDevCapsA(uintptr_t deviceId, WAVEOUTCAPSA* caps, uint32_t size);
MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                     uintptr_t callback, uintptr_t instance, uint32_t flags);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size);
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size);
MMRESULT waveOutPause(HWAVEOUT handle);
MMRESULT waveOutRestart(HWAVEOUT handle);
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveOutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t size);
MMRESULT waveOutClose(HWAVEOUT handle);
MMRESULT waveOutGetErrorTextA(MMRESULT error, char* text, uint32_t size);
// The underruns of an open output device since it was opened: the times the sound system ran
// out of audio to play, and played silence, while the device was started and blocks were still
// to come. MMSYSERR_NOTSUPPORTED from a driver that does not count them.
MMRESULT waveOutGetUnderruns(HWAVEOUT handle, uint32_t* count);

uint32_t waveInGetNumDevs();
MMRESULT waveInGetDevCapsA(uintptr_t deviceId, WAVEINCAPSA* caps, uint32_t size);
MMRESULT waveInGetErrorTextA(MMRESULT error, char* text, uint32_t size);
MMRESULT waveInOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                    uintptr_t callback, uintptr_t instance, uint32_t flags);
MMRESULT waveInClose(HWAVEIN handle);
MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size);
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size);
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size);
MMRESULT waveInStart(HWAVEIN handle);
MMRESULT waveInStop(HWAVEIN handle);
MMRESULT waveInReset(HWAVEIN handle);
MMRESULT waveInGetPosition(HWAVEIN handle, MMTIME* time, uint32_t size);
MMRESULT waveInGetID(HWAVEIN handle, uint32_t* deviceId);
// The audio the input device dropped since it was opened because it was not read in time (an
// overrun: the device or its sound server could hold no more), in sample frames, and in how
// many dropouts. MMSYSERR_NOTSUPPORTED from a driver that does not count them.
MMRESULT waveInGetOverruns(HWAVEIN handle, uint64_t* frames, uint32_t* dropouts);

// A driver implements every function above. The functions forward to the installed driver.
class TWaveDriver {
 public:
  virtual ~TWaveDriver() = default;

  virtual uint32_t OutGetNumDevs() = 0;
  virtual MMRESULT OutGetDevCaps(uintptr_t deviceId, WAVEOUTCAPSA* caps, uint32_t size) = 0;
  virtual MMRESULT OutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                           uintptr_t callback, uintptr_t instance, uint32_t flags) = 0;
  virtual MMRESULT OutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) = 0;
  virtual MMRESULT OutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t size) = 0;
  virtual MMRESULT OutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t size) = 0;
  virtual MMRESULT OutPause(HWAVEOUT handle) = 0;
  virtual MMRESULT OutRestart(HWAVEOUT handle) = 0;
  virtual MMRESULT OutReset(HWAVEOUT handle) = 0;
  virtual MMRESULT OutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t size) = 0;
  virtual MMRESULT OutClose(HWAVEOUT handle) = 0;
  virtual MMRESULT OutGetUnderruns(HWAVEOUT /*handle*/, uint32_t* /*count*/) {
    return MMSYSERR_NOTSUPPORTED;
  }

  virtual uint32_t InGetNumDevs() = 0;
  virtual MMRESULT InGetDevCaps(uintptr_t deviceId, WAVEINCAPSA* caps, uint32_t size) = 0;
  virtual MMRESULT InOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                          uintptr_t callback, uintptr_t instance, uint32_t flags) = 0;
  virtual MMRESULT InClose(HWAVEIN handle) = 0;
  virtual MMRESULT InPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) = 0;
  virtual MMRESULT InUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t size) = 0;
  virtual MMRESULT InAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t size) = 0;
  virtual MMRESULT InStart(HWAVEIN handle) = 0;
  virtual MMRESULT InStop(HWAVEIN handle) = 0;
  virtual MMRESULT InReset(HWAVEIN handle) = 0;
  virtual MMRESULT InGetPosition(HWAVEIN handle, MMTIME* time, uint32_t size) = 0;
  virtual MMRESULT InGetID(HWAVEIN handle, uint32_t* deviceId) = 0;
  virtual MMRESULT InGetOverruns(HWAVEIN /*handle*/, uint64_t* /*frames*/, uint32_t* /*dropouts*/) {
    return MMSYSERR_NOTSUPPORTED;
  }

  // The text of an error code; false for a code the driver does not know (the standard codes
  // above are known to every driver through DefaultErrorText).
  virtual bool GetErrorText(MMRESULT error, char* text, uint32_t size);
  // The sound system's name of a device; empty when the driver has none for it.
  virtual std::string GetSystemName(bool /*input*/, uintptr_t /*deviceId*/) { return {}; }
};

// The standard texts of the MMSYSERR_* and WAVERR_* codes; false for other codes.
bool DefaultErrorText(MMRESULT error, char* text, uint32_t size);

// Installs a driver (tests); none restores the system driver.
void SetWaveDriver(std::shared_ptr<TWaveDriver> driver);
std::shared_ptr<TWaveDriver> GetWaveDriver();
// The sound system's name of an input or output device (an ALSA PCM name); empty when it has
// none.
std::string waveGetDeviceSystemName(bool input, uint32_t deviceId);
// Whether a device is one of the built-in test devices, not a sound card or a sound server.
bool waveIsTestDevice(bool input, uint32_t deviceId);
