// The sound cards, through ALSA (libasound), which also reaches PulseAudio and PipeWire through
// their ALSA plugins.
//
// Devices: ALSA's default device when it can be opened, then each card's devices ("plughw",
// so that ALSA converts formats the hardware lacks), named "<card>: <device>" cut to 31
// characters. ALSA's `null` device is never listed: it takes data at any speed. The
// environment variable NEEDLEREC_ALSA_DEVICES, when set, replaces the whole list by its
// PCM names separated by '|' (offered for output and for input, named by the PCM name; empty:
// no ALSA devices), which lets tests use a configuration of their own (ALSA_CONFIG_PATH),
// for example with `file` plugins. ALSA names hold commas (`hw:1,0`, `plughw:CARD=X,DEV=0`)
// and, in the `name:{...}` form of arguments, semicolons; '|' is no part of ALSA's name
// syntax.
//
// Formats: PCM of 8, 16, 24 (3 bytes) and 32 bits, 32- and 64-bit IEEE float, A-law and
// mu-law, plain or extensible, with 1, 2 or 4 channels at 4000 to 100000 Hz, where the ALSA
// device takes that sample format; otherwise WAVERR_BADFORMAT.
//
// Each open device runs a driver thread that owns the data flow: it writes queued blocks with
// snd_pcm_writei and returns each one (WOM_DONE) once the device has played it, or fills them
// with snd_pcm_readi and returns each full one (WIM_DATA). The position is counted by the
// driver (frames written minus the device's delay, kept between what can still be in the
// device's buffer and what was written; or frames read), because some sound servers report
// delays that cannot be trusted alone. An xrun is recovered; a device that disappears returns
// every queued block and fails later calls with WAVEDRVERR_DEVICELOST.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/wave/wave_stream.h"

// The result code for a failed ALSA call (a negative errno). `settingFormat`: the call set
// the sample format, so an invalid argument means the format is not supported.
MMRESULT AlsaErrorToResult(int error, bool settingFormat);

// What separates the names in NEEDLEREC_ALSA_DEVICES.
constexpr char kAlsaDeviceSeparator = '|';

// The PCM names of a list separated by kAlsaDeviceSeparator, blanks trimmed, empty names and
// `null` left out.
std::vector<std::string> SplitAlsaDeviceNames(const std::string& list);

class TAlsaBackend : public TWaveBackend {
 public:
  // Silences alsa-lib's own messages on standard error.
  TAlsaBackend();

  void Scan() override;
  size_t Count(bool input) const override;
  std::string ProductName(bool input, size_t index) const override;
  MMRESULT Query(bool input, size_t index, const WAVEFORMATEX& format) override;
  MMRESULT Open(bool input, size_t index, uint32_t deviceId, const WAVEFORMATEX& format,
                const TWaveNotify& notify, std::shared_ptr<TWaveStream>& stream) override;

  std::string SystemName(bool input, size_t index) const override;

 private:
  struct TDevice {
    std::string Pcm;
    std::string ProductName;
  };
  bool PcmName(bool input, size_t index, std::string& name) const;

  mutable std::mutex FLock;
  std::vector<TDevice> FDevices[2];  // [0] output, [1] input
};
