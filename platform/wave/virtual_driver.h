// The built-in virtual devices, listed after the sound cards so that a machine without sound
// hardware still monitors, records and plays. They are test devices, never to be taken for a
// sound card: their names say so, and their system name is kTestDeviceSystemName.
// - "Virtual output (test device)" consumes blocks at the real-time pace of their format and,
//   when the environment variable NEEDLEREC_VIRTUAL_OUTPUT names a file, appends the samples it
//   played to it. It takes every sample format an ALSA device may take (24- and 32-bit PCM,
//   float, A-law, mu-law, plain or extensible).
// - "Virtual input (test signal)" produces a stereo test programme at real-time pace (left and
//   right differ and their levels change over a few seconds), or, when NEEDLEREC_VIRTUAL_INPUT
//   names a PCM WAVE file, that file's samples, converted to the requested format and looped.
// NEEDLEREC_VIRTUAL_SPEED (default 1) runs both that many times faster than real time.
// The variables are read when a device is opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wave/wave_stream.h"

// The samples of a WAVE file, 16 bits signed, interleaved, one or two channels.
struct TWaveFileSamples {
  uint32_t SampleRate = 0;
  uint16_t Channels = 0;
  std::vector<int16_t> Samples;

  size_t Frames() const { return Channels == 0 ? 0 : Samples.size() / Channels; }
};

// Reads a RIFF WAVE file of 8- or 16-bit PCM with one or two channels. False for a file that
// cannot be read, is not such a file or holds no samples.
bool ReadWaveFileSamples(const std::string& path, TWaveFileSamples& out);
// The same from bytes already in memory.
bool ParseWaveFileSamples(const uint8_t* data, size_t size, TWaveFileSamples& out);

class TVirtualBackend : public TWaveBackend {
 public:
  void Scan() override {}
  size_t Count(bool /*input*/) const override { return 1; }
  std::string ProductName(bool input, size_t index) const override;
  std::string SystemName(bool input, size_t index) const override;
  MMRESULT Query(bool input, size_t index, const WAVEFORMATEX& format) override;
  MMRESULT Open(bool input, size_t index, uint32_t deviceId, const WAVEFORMATEX& format,
                const TWaveNotify& notify, std::shared_ptr<TWaveStream>& stream) override;
};
