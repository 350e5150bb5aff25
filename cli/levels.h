// needlerec-cli levels: the levels of a WAVE file per channel (sample peak, RMS, the highest
// reading of the needle meter's law, clipped samples) and its loudness, as text or JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// One channel's figures. A dB figure without a value (digital silence, or a needle that never
// rose above the bottom of its scale) is empty.
struct TChannelLevels {
  std::optional<double> PeakDBFS;  // the largest sample magnitude, 0 dB at full scale
  std::optional<double> RmsDBFS;   // the RMS of all samples (a full-scale sine reads -3.01)
  std::optional<double> VUMax;     // the highest needle reading, -70..+3 VU
  int64_t Clipped = 0;             // samples at either end of their range, floats from +-1.0
};

// The loudness of the whole file by EBU R128 (ITU-R BS.1770 K-weighting and gating).
struct TLoudness {
  std::optional<double> IntegratedLUFS;
  std::optional<double> RangeLU;
  std::optional<double> TruePeakDBTP;  // the largest over the channels
};

struct TFileLevels {
  std::string FormatText;  // the format as the engine describes it
  int64_t Frames = 0;
  uint32_t SampleRate = 0;
  double RefLevel = -16.0;  // as the needle law keeps it
  std::vector<TChannelLevels> Channels;
  TLoudness Loudness;
  // False when the loudness meter does not take this many channels or this rate: the loudness
  // figures are then empty although there was sound.
  bool LoudnessMeasured = false;
};

// Reads and measures `file` at the resolution of its own samples (peak, RMS and loudness in
// double precision; a float peak above full scale reads above 0 dBFS). The needle reads as the
// window's meters do, from the 16-bit samples they receive: a sine whose peak is at `refLevel`
// (-30..-10 dBFS) reads 0 VU. Throws EMMError with the reason when the file cannot be read
// or its format cannot be measured.
TFileLevels MeasureFileLevels(const std::string& file, double refLevel);

// `args` are the words after "levels": FILE, --json and --ref-level DB. Returns the exit status.
int LevelsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
