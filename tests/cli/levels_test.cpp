// needlerec-cli levels: files that sox makes measured against sox's own statistics, files
// written here measured against numpy's figures from the same bytes, the EBU loudness test
// signals, the needle's law and the full-scale rules of each encoding, the JSON and text
// output, and the exits on bad files and words.
#include "cli/levels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/info.h"
#include "stream/wave.h"
#include "tests/cli/cli_run.h"
#include "tests/stream/wave_test_data.h"

using namespace wavetest;

namespace {

struct TResult {
  int status;
  std::string out, err;
};

TResult Levels(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = LevelsCommand(args, out, err);
  return {status, out.str(), err.str()};
}

// What sox's `stats` effect says of every channel.
struct TSoxStats {
  std::vector<double> PeakDB, RmsDB;
};

// The figures of one row of `sox FILE -n stats`: with more than one channel the first column is
// the whole file's, the others the channels'.
std::vector<double> StatsRow(const std::string& report, const std::string& label, int channels) {
  const size_t at = report.find("\n" + label);
  if (at == std::string::npos) return {};
  std::istringstream row(
      report.substr(at + 1 + label.size(), report.find('\n', at + 1) - at - 1 - label.size()));
  std::vector<double> values;
  for (std::string word; row >> word;) values.push_back(std::strtod(word.c_str(), nullptr));
  if (channels > 1 && !values.empty()) values.erase(values.begin());
  return values;
}

TSoxStats SoxStats(const std::string& file, int channels) {
  const CliRun run = Shell("sox '" + file + "' -n stats");
  EXPECT_EQ(run.status, 0) << run.out;
  const std::string report = "\n" + run.out;
  return {StatsRow(report, "Pk lev dB", channels), StatsRow(report, "RMS lev dB", channels)};
}

// How a test file stores its samples: a plain format record for `Tag` 1 (PCM) or 3 (IEEE
// float), an extensible one when the valid bits are fewer than the container's.
struct TLayout {
  const char* Name;
  uint16_t Tag;
  uint16_t Bits;       // the container
  uint16_t ValidBits;  // from the top of the container
  bool Floating() const { return Tag == 3; }
  // What the numpy script calls it.
  std::string Kind() const {
    return Floating() ? "f" + std::to_string(Bits)
                      : (Bits == 8 ? "u8" : "i" + std::to_string(Bits));
  }
};

// A WAVE file of `channels` interleaved channels at 48 kHz holding `data`.
std::string WaveOf(const TLayout& l, int channels, const std::string& data) {
  const auto ch = uint16_t(channels);
  std::string fmt;
  if (l.ValidBits < l.Bits) {
    fmt = FmtBody(0xFFFE, ch, 48000, l.Bits) + Le16(22) + Le16(l.ValidBits) + Le32(0) +
          Le32(l.Tag) + std::string("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
  } else {
    fmt = FmtBody(l.Tag, ch, 48000, l.Bits);
  }
  return Riff(Chunk("fmt ", fmt) + Chunk("data", data));
}

// Integer samples in container units (an 8-bit one as signed, -128..127), little-endian.
std::string IntegerBytes(const TLayout& l, const std::vector<int64_t>& values) {
  std::string bytes;
  for (int64_t v : values) {
    const auto u = uint64_t(l.Bits == 8 ? v + 128 : v);
    for (int b = 0; b < l.Bits / 8; ++b) bytes += char((u >> (8 * b)) & 0xFF);
  }
  return bytes;
}

std::string FloatBytes(const TLayout& l, const std::vector<double>& values) {
  std::string bytes;
  for (double x : values) {
    const float f = float(x);
    bytes += l.Bits == 32 ? std::string(reinterpret_cast<const char*>(&f), 4)
                          : std::string(reinterpret_cast<const char*>(&x), 8);
  }
  return bytes;
}

// `values` at full scale +-1.0 stored in `l`: integers rounded to the valid bits and clamped to
// their range, floats as they are.
std::string SampleBytes(const TLayout& l, const std::vector<double>& values) {
  if (l.Floating()) return FloatBytes(l, values);
  const double top = std::ldexp(1.0, l.ValidBits - 1);
  std::vector<int64_t> ints;
  for (double x : values)
    ints.push_back(int64_t(std::clamp(std::round(x * top), -top, top - 1))
                   << (l.Bits - l.ValidBits));
  return IntegerBytes(l, ints);
}

// What numpy makes of a file's data chunk, per channel: peak and RMS in dBFS (empty for
// silence) and the clipped samples, by the rules stated here once more on their own.
struct TNumpyLevels {
  std::optional<double> Peak, Rms;
  int64_t Clipped;
};

constexpr const char* kNumpyLevels = R"(
import sys
import numpy as np

path, kind, channels, valid = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
raw = open(path, 'rb').read()
pos = 12
while raw[pos:pos + 4] != b'data':
    pos += 8 + (int.from_bytes(raw[pos + 4:pos + 8], 'little') + 1) // 2 * 2
data = raw[pos + 8:pos + 8 + int.from_bytes(raw[pos + 4:pos + 8], 'little')]
if kind in ('f32', 'f64'):
    x = np.frombuffer(data, '<f4' if kind == 'f32' else '<f8').astype(np.float64)
    clipped = np.abs(x) >= 1.0
else:
    bits = int(kind[1:])
    if kind == 'u8':
        v = np.frombuffer(data, np.uint8).astype(np.int64) - 128
    elif kind == 'i24':
        b = np.frombuffer(data, np.uint8).reshape(-1, 3).astype(np.int64)
        v = b[:, 0] | b[:, 1] << 8 | b[:, 2] << 16
        v = np.where(v >= 1 << 23, v - (1 << 24), v)
    else:
        v = np.frombuffer(data, '<i%d' % (bits // 8)).astype(np.int64)
    shift = bits - valid
    clipped = (v >= ((1 << (valid - 1)) - 1) << shift) | (v <= -(1 << (valid - 1)) << shift)
    x = v / 2.0 ** (bits - 1)
x = x.reshape(-1, channels)
clipped = clipped.reshape(-1, channels)

def db(value):
    return '%.9f' % (20 * np.log10(value)) if value > 0 else '-'

for c in range(channels):
    print(db(np.max(np.abs(x[:, c]))), db(np.sqrt(np.mean(x[:, c] ** 2))), int(clipped[:, c].sum()))
)";

std::vector<TNumpyLevels> NumpyLevels(const TTempDir& dir, const std::string& file,
                                      const TLayout& l, int channels) {
  const std::string script = dir.File("levels.py");
  WriteFile(script, kNumpyLevels);
  // Debian's interpreter, the one python3-numpy is installed for.
  const CliRun run = Shell("/usr/bin/python3 '" + script + "' '" + file + "' " + l.Kind() + " " +
                           std::to_string(channels) + " " + std::to_string(l.ValidBits));
  EXPECT_EQ(run.status, 0) << "scripts/install-deps installs python3-numpy\n" << run.out;
  std::vector<TNumpyLevels> levels;
  std::istringstream lines(run.out);
  for (std::string peak, rms; lines >> peak >> rms;) {
    const auto figure = [](const std::string& word) -> std::optional<double> {
      if (word == "-") return std::nullopt;
      return std::strtod(word.c_str(), nullptr);
    };
    TNumpyLevels l{figure(peak), figure(rms), 0};
    lines >> l.Clipped;
    levels.push_back(l);
  }
  return levels;
}

struct LevelsTest : ::testing::Test {
  TTempDir dir;

  // A file that sox synthesizes at `rate` in `format` (sample size, encoding, channels) with
  // `effects`; no dither, so the samples are what the effects say, and the same noise each run.
  std::string Sox(const std::string& name, int rate, const std::string& format,
                  const std::string& effects) {
    const std::string path = dir.File(name);
    const CliRun run = Shell("sox -D -R -r " + std::to_string(rate) + " -n " + format + " '" +
                             path + "' " + effects);
    EXPECT_EQ(run.status, 0) << run.out;
    return path;
  }
  std::string Make(const std::string& name, const std::string& bytes) {
    WriteFile(dir.File(name), bytes);
    return dir.File(name);
  }
};

TEST_F(LevelsTest, PeakAndRmsAgreeWithSoxInEveryFormat) {
  // Different signals per channel, so that a channel mix-up shows.
  struct Case {
    const char* name;
    int rate;
    const char* format;
    const char* effects;
    int channels;
  };
  const std::vector<Case> cases = {
      {"16-bit stereo", 44100, "-c 2 -b 16", "synth 2 sine 1000 pinknoise vol 0.5", 2},
      {"8-bit unsigned", 22050, "-c 2 -b 8 -e unsigned", "synth 2 sine 440 brownnoise vol -3dB", 2},
      {"24-bit mono", 48000, "-c 1 -b 24", "synth 2 sine 440 vol -12dB", 1},
      {"32-bit integer", 48000, "-c 2 -b 32", "synth 2 whitenoise sine 60 vol -20dB", 2},
      {"32-bit float", 44100, "-c 2 -e floating-point -b 32",
       "synth 2 sine 440 brownnoise vol -3dB", 2},
      {"64-bit float", 44100, "-c 2 -e floating-point -b 64",
       "synth 2 pinknoise sine 7000 vol -1dB", 2},
      {"A-law", 8000, "-c 1 -e a-law", "synth 2 sine 440 vol -6dB", 1},
      {"mu-law", 8000, "-c 2 -e mu-law", "synth 2 sine 300 pinknoise vol -10dB", 2},
      // More than two channels or bits come in an extensible format record.
      {"extensible, 4 channels", 48000, "-c 4 -b 24",
       "synth 2 sine 300 pinknoise sine 3000 whitenoise vol -6dB", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Sox("f.wav", c.rate, c.format, c.effects);
    const TSoxStats sox = SoxStats(path, c.channels);
    const TFileLevels levels = MeasureFileLevels(path, -16.0);
    ASSERT_EQ(levels.Channels.size(), size_t(c.channels));
    ASSERT_EQ(sox.PeakDB.size(), size_t(c.channels));
    ASSERT_EQ(sox.RmsDB.size(), size_t(c.channels));
    EXPECT_EQ(levels.Frames, 2 * c.rate) << "every frame is read, once";
    for (int ch = 0; ch < c.channels; ++ch) {
      SCOPED_TRACE("channel " + std::to_string(ch + 1));
      const TChannelLevels& l = levels.Channels[size_t(ch)];
      ASSERT_TRUE(l.PeakDBFS && l.RmsDBFS);
      EXPECT_NEAR(*l.PeakDBFS, sox.PeakDB[size_t(ch)], 0.05);
      EXPECT_NEAR(*l.RmsDBFS, sox.RmsDB[size_t(ch)], 0.05);
      EXPECT_EQ(l.Clipped, 0);
    }
  }
}

// The containers of the tests below.
constexpr TLayout kU8{"8-bit unsigned", 1, 8, 8}, kS16{"16-bit", 1, 16, 16},
    kS12In16{"12 bits in 16", 1, 16, 12}, kS24{"24-bit", 1, 24, 24}, kS32{"32-bit", 1, 32, 32},
    kS24In32{"24 bits in 32", 1, 32, 24}, kF32{"32-bit float", 3, 32, 32},
    kF64{"64-bit float", 3, 64, 64};

// Half a second of stereo: a tone with a little noise at `dbfs` on the left, another tone 10 dB
// lower on the right, so that a channel mix-up shows.
std::vector<double> TwoTones(double dbfs) {
  const double amplitude = std::pow(10.0, dbfs / 20.0);
  std::vector<double> samples;
  uint32_t seed = 12345;
  const auto noise = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return double(seed) / 2147483648.0 - 1.0;
  };
  for (int n = 0; n < 24000; ++n)
    for (int c = 0; c < 2; ++c)
      samples.push_back(
          amplitude * std::pow(10.0, -0.5 * c) *
          (0.9 * std::sin(2 * M_PI * (440.0 + 557.0 * c) * n / 48000.0) + 0.1 * noise()));
  return samples;
}

TEST_F(LevelsTest, FiguresAtTheFilesOwnResolutionAgreeWithNumpy) {
  // Peak and RMS in double precision from the file's own samples, far below what 16 bits
  // reach; a float file above full scale reads above 0 dBFS; tones driven past full scale
  // clip at the ends of their valid bits (the rounding clamps them there) or, for float,
  // from 1.0 on.
  struct Case {
    TLayout layout;
    double dbfs;
    bool audible;  // false: nothing is left after rounding to the container
  };
  const std::vector<Case> cases = {
      {kU8, -6, true},     {kU8, 1, true},        {kS16, -20, true},      {kS16, 1, true},
      {kS16, -100, false}, {kS12In16, -30, true}, {kS12In16, 1, true},    {kS24, -20, true},
      {kS24, -120, true},  {kS24, 1, true},       {kS24In32, -130, true}, {kS32, -140, true},
      {kS32, 1, true},     {kF32, -140, true},    {kF32, 6.02, true},     {kF64, -140, true},
      {kF64, -20, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.layout.Name) + " at " + std::to_string(c.dbfs) + " dBFS");
    const std::string path =
        Make("tones.wav", WaveOf(c.layout, 2, SampleBytes(c.layout, TwoTones(c.dbfs))));
    const std::vector<TNumpyLevels> numpy = NumpyLevels(dir, path, c.layout, 2);
    const TFileLevels levels = MeasureFileLevels(path, -16.0);
    ASSERT_EQ(numpy.size(), 2u);
    ASSERT_EQ(levels.Channels.size(), 2u);
    for (size_t ch = 0; ch < 2; ++ch) {
      SCOPED_TRACE("channel " + std::to_string(ch + 1));
      const TChannelLevels& l = levels.Channels[ch];
      ASSERT_EQ(l.PeakDBFS.has_value(), c.audible);
      ASSERT_EQ(numpy[ch].Peak.has_value(), c.audible);
      EXPECT_EQ(l.Clipped, numpy[ch].Clipped);
      if (!c.audible) {
        EXPECT_FALSE(l.RmsDBFS);
        continue;
      }
      ASSERT_TRUE(l.RmsDBFS && numpy[ch].Rms);
      EXPECT_NEAR(*l.PeakDBFS, *numpy[ch].Peak, 1e-3);
      EXPECT_NEAR(*l.RmsDBFS, *numpy[ch].Rms, 1e-3);
      // And near where the tone was put (the last bits round a tone of a few steps).
      EXPECT_NEAR(*l.PeakDBFS,
                  std::min(c.dbfs - 10.0 * double(ch), c.layout.Floating() ? 99.0 : 0.0), 2.0);
    }
    if (c.dbfs > 0) {
      EXPECT_GT(levels.Channels[0].Clipped, 0);
    }
  }

  // The float file's peak above full scale prints positive.
  const std::string loud = Make("loud.wav", WaveOf(kF32, 1, FloatBytes(kF32, {0.5, -2.0, 1.0})));
  const TResult r = Levels({loud, "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("{\"peak_dbfs\": 6.02, \"rms_dbfs\": 2.43, \"vu_max\": null, "
                       "\"clipped\": 2}"),
            std::string::npos)
      << r.out;
  EXPECT_NE(Levels({loud}).out.find("      1       6.02      2.43       -        2\n"),
            std::string::npos);
}

TEST_F(LevelsTest, LoudnessTakesTheFullResolution) {
  // A stereo 1 kHz sine reads its peak level in LUFS, in 24 bits as in 16 (the same tone,
  // rounded to either).
  const auto tone = [this](const char* bits, double dbfs) {
    const std::string path =
        Sox(std::string("tone") + bits + ".wav", 48000, std::string("-c 2 -b ") + bits,
            "synth 5 sine 1000 vol " + std::to_string(dbfs) + "dB");
    return MeasureFileLevels(path, -16.0).Loudness;
  };
  for (double dbfs : {-23.0, -60.0}) {
    SCOPED_TRACE(std::to_string(dbfs) + " dBFS");
    const TLoudness wide = tone("24", dbfs), narrow = tone("16", dbfs);
    ASSERT_TRUE(wide.IntegratedLUFS && narrow.IntegratedLUFS && wide.TruePeakDBTP);
    EXPECT_NEAR(*wide.IntegratedLUFS, dbfs, 0.05);
    // At -60 dBFS the 16-bit tone is 33 steps high; its rounding moves it by 0.04 LU.
    EXPECT_NEAR(*wide.IntegratedLUFS, *narrow.IntegratedLUFS, 0.05);
    EXPECT_NEAR(*wide.TruePeakDBTP, dbfs, 0.05);
  }
  // Far below 16 bits' reach the 24-bit tone keeps its true peak (eight 24-bit steps: a
  // quarter of a dB of rounding), where the 16-bit file is silence. The integrated loudness of
  // both stays empty: the absolute gate of BS.1770 drops every block below -70 LUFS.
  const TLoudness wide = tone("24", -120.0), narrow = tone("16", -120.0);
  ASSERT_TRUE(wide.TruePeakDBTP);
  EXPECT_NEAR(*wide.TruePeakDBTP, -120.0, 0.3);
  EXPECT_FALSE(wide.IntegratedLUFS);
  EXPECT_FALSE(narrow.TruePeakDBTP);
  EXPECT_FALSE(narrow.IntegratedLUFS);
}

TEST_F(LevelsTest, LoudnessOfTheEbuStereoSines) {
  // EBU Tech 3341, test signals 1 and 2: a stereo 1 kHz sine whose peak is -23 (or -33) dBFS
  // in each channel reads -23.0 (-33.0) LUFS within 0.1 LU, integrated as well as momentary
  // and short-term. A steady tone has no loudness range, and its true peak is its sample peak.
  struct Case {
    int rate;
    const char* format;
    double dbfs;
  };
  for (const Case& c : {Case{48000, "-c 2 -b 16", -23.0}, Case{44100, "-c 2 -b 24", -23.0},
                        Case{48000, "-c 2 -e floating-point -b 32", -33.0}}) {
    SCOPED_TRACE(std::string(c.format) + " at " + std::to_string(c.rate));
    const std::string path = Sox("sine.wav", c.rate, c.format,
                                 "synth 20 sine 1000 vol " + std::to_string(c.dbfs) + "dB");
    const TLoudness loudness = MeasureFileLevels(path, -16.0).Loudness;
    ASSERT_TRUE(loudness.IntegratedLUFS && loudness.RangeLU && loudness.TruePeakDBTP);
    EXPECT_NEAR(*loudness.IntegratedLUFS, c.dbfs, 0.1);
    EXPECT_NEAR(*loudness.RangeLU, 0.0, 0.1);
    EXPECT_NEAR(*loudness.TruePeakDBTP, c.dbfs, 0.1);
  }
}

TEST_F(LevelsTest, TheNeedleReadsByTheMeterLawAgainstTheReferenceLevel) {
  // A steady sine whose peak is at the reference level reads 0 VU; the reading moves dB for dB
  // with the reference and stops at the top of the scale. A 0.1 s burst is over before the
  // needle's damping lets it rise: it reads about 11 dB lower than the steady tone, though its
  // peak is the same.
  const std::string steady = Sox("steady.wav", 44100, "-c 2 -b 16", "synth 3 sine 1000 vol -16dB");
  const std::string burst =
      Sox("burst.wav", 44100, "-c 1 -b 16", "synth 0.1 sine 1000 vol -16dB pad 0 1");
  struct Case {
    const std::string& file;
    double refLevel;
    double vu;
    double tolerance;
  };
  for (const Case& c : {Case{steady, -16.0, 0.0, 0.05}, Case{steady, -10.0, -6.0, 0.05},
                        Case{steady, -20.5, 3.0, 0.0}, Case{steady, -30.0, 3.0, 0.0},
                        Case{burst, -16.0, -11.2, 0.3}}) {
    SCOPED_TRACE(c.file + " at " + std::to_string(c.refLevel));
    const TFileLevels levels = MeasureFileLevels(c.file, c.refLevel);
    EXPECT_EQ(levels.RefLevel, c.refLevel);
    for (const TChannelLevels& l : levels.Channels) {
      ASSERT_TRUE(l.VUMax && l.PeakDBFS);
      EXPECT_NEAR(*l.VUMax, c.vu, c.tolerance + 1e-9);
      EXPECT_NEAR(*l.PeakDBFS, -16.0, 0.01);
    }
  }
}

TEST_F(LevelsTest, ClippedSamplesAreThoseAtTheFullScaleOfTheirEncoding) {
  // A 100 Hz square driven to twice full scale sits at the extremes in every sample.
  const std::string overdriven = "synth 1 square 100 vol 2";
  struct Case {
    const char* name;
    std::string path;
    std::vector<int64_t> clipped;
  };
  const std::vector<Case> cases = {
      {"16-bit square", Sox("s16.wav", 44100, "-c 2 -b 16", overdriven), {44100, 44100}},
      {"16-bit sine below full scale",
       Sox("sine.wav", 44100, "-c 1 -b 16", "synth 1 sine 100 vol 0.99"),
       {0}},
      // 8-bit PCM clips at its own ends, A-law at its largest codes (short of 16-bit full
      // scale).
      {"8-bit square", Sox("u8.wav", 44100, "-c 1 -b 8 -e unsigned", overdriven), {44100}},
      {"A-law square", Sox("alaw.wav", 8000, "-c 1 -e a-law", overdriven), {8000}},
      // Float samples count from 1.0 up: a square just below it is not clipped.
      {"float square at 2.0",
       Sox("f2.wav", 44100, "-c 1 -e floating-point -b 32", overdriven),
       {44100}},
      {"float square below 1.0",
       Sox("f1.wav", 44100, "-c 1 -e floating-point -b 32", "synth 1 square 100 vol 0.99999"),
       {0}},
      // Both ends count, one step inside them does not; the right channel is clean.
      {"16-bit at the boundaries",
       Make("edges.wav", Pcm16Stereo(Le16(32767) + Le16(0) + Le16(uint16_t(-32768)) + Le16(0) +
                                     Le16(32766) + Le16(0) + Le16(uint16_t(-32767)) + Le16(0))),
       {2, 0}},
      {"8-bit at the boundaries",
       Make("edges-u8.wav", WaveOf(kU8, 1, IntegerBytes(kU8, {127, -128, 126, -127, 0}))),
       {2}},
      {"24-bit at the boundaries",
       Make("edges-s24.wav",
            WaveOf(kS24, 1, IntegerBytes(kS24, {8388607, -8388608, 8388606, -8388607, 0}))),
       {2}},
      {"32-bit at the boundaries",
       Make("edges-s32.wav",
            WaveOf(kS32, 1,
                   IntegerBytes(kS32, {2147483647, -2147483648LL, 2147483646, -2147483647, 0}))),
       {2}},
      // The ends of 12 valid bits, and beyond the upper one in the unused low bits; one
      // 12-bit step inside them does not count.
      {"12 bits in 16 at the boundaries",
       Make("edges-s12.wav", WaveOf(kS12In16, 1,
                                    IntegerBytes(kS12In16, {2047 << 4, -2048 * 16, 32767, 2046 << 4,
                                                            -2047 * 16, 0}))),
       {3}},
      // From 1.0 on, beyond it and infinite; just below it not.
      {"64-bit float at the boundaries",
       Make("edges-f64.wav", WaveOf(kF64, 2,
                                    FloatBytes(kF64, {1.0, 0.0, -1.0, 0.0, 0.9999999999,
                                                      -0.9999999999, -3.0, 0.5, HUGE_VAL, 0.0}))),
       {4, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TFileLevels levels = MeasureFileLevels(c.path, -16.0);
    ASSERT_EQ(levels.Channels.size(), c.clipped.size());
    for (size_t ch = 0; ch < c.clipped.size(); ++ch)
      EXPECT_EQ(levels.Channels[ch].Clipped, c.clipped[ch]) << "channel " << ch + 1;
  }
}

TEST_F(LevelsTest, SilenceAndShortFilesLeaveTheFiguresWithoutValueEmpty) {
  const std::string silence = Sox("silence.wav", 44100, "-c 2 -b 16", "trim 0 1");
  TResult r = Levels({silence, "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string quiet =
      "{\"peak_dbfs\": null, \"rms_dbfs\": null, \"vu_max\": null, \"clipped\": 0}";
  EXPECT_EQ(r.out, "{\"file\": " + JsonString(silence) + ", \"ref_level\": -16.0, \"channels\": [" +
                       quiet + ", " + quiet +
                       "], \"loudness\": {\"integrated_lufs\": null, \"range_lu\": null, "
                       "\"true_peak_dbtp\": null}}\n");

  r = Levels({"--ref-level", "-18.04", silence});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "file: " + silence +
                       "\n"
                       "format: 44.100 kHz, 16 Bit, Stereo, 1.000 s\n"
                       "needle reference level: -18.0 dBFS\n"
                       "\n"
                       "channel  peak dBFS  RMS dBFS  VU max  clipped\n"
                       "      1          -         -       -        0\n"
                       "      2          -         -       -        0\n"
                       "\n"
                       "integrated loudness:      - LUFS\n"
                       "loudness range:           - LU\n"
                       "true peak:                - dBTP\n");

  // Four frames: too short for a needle update (1000 frames) or a loudness block (0.4 s), but
  // the sample figures are there.
  const std::string tiny =
      Make("tiny.wav", Pcm16Stereo(Le16(16384) + Le16(0) + Le16(16384) + Le16(0) + Le16(16384) +
                                   Le16(0) + Le16(16384) + Le16(0)));
  r = Levels({tiny, "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"file\": " + JsonString(tiny) +
                       ", \"ref_level\": -16.0, \"channels\": [{\"peak_dbfs\": -6.02, "
                       "\"rms_dbfs\": -6.02, \"vu_max\": null, \"clipped\": 0}, " +
                       quiet +
                       "], \"loudness\": {\"integrated_lufs\": null, \"range_lu\": null, "
                       "\"true_peak_dbtp\": -6.02}}\n");
}

TEST_F(LevelsTest, TextAndJsonShowTheSameFigures) {
  const std::string path =
      Sox("mix.wav", 48000, "-c 2 -b 16", "synth 3 sine 1000 pinknoise vol 0.5");
  const TFileLevels levels = MeasureFileLevels(path, -16.0);
  const TResult json = Levels({path, "--json"});
  const TResult text = Levels({path});
  ASSERT_EQ(json.status, 0);
  ASSERT_EQ(text.status, 0);
  const auto fixed = [](double value, int decimals) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(decimals);
    s << value;
    return s.str();
  };
  // The table's rows, one word per column.
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string word; words >> word;) row.push_back(word);
    if (row.size() == 5 && row[0] == std::to_string(rows.size() + 1)) rows.push_back(row);
  }
  ASSERT_EQ(rows.size(), levels.Channels.size()) << text.out;
  for (size_t c = 0; c < rows.size(); ++c) {
    const TChannelLevels& l = levels.Channels[c];
    const std::string figures = "{\"peak_dbfs\": " + fixed(*l.PeakDBFS, 2) +
                                ", \"rms_dbfs\": " + fixed(*l.RmsDBFS, 2) +
                                ", \"vu_max\": " + fixed(*l.VUMax, 2) + ", \"clipped\": 0}";
    EXPECT_NE(json.out.find(figures), std::string::npos) << json.out;
    EXPECT_EQ(rows[c], (std::vector<std::string>{std::to_string(c + 1), fixed(*l.PeakDBFS, 2),
                                                 fixed(*l.RmsDBFS, 2), fixed(*l.VUMax, 2), "0"}));
  }
  EXPECT_NE(json.out.find("\"integrated_lufs\": " + fixed(*levels.Loudness.IntegratedLUFS, 2)),
            std::string::npos);
  EXPECT_NE(text.out.find(fixed(*levels.Loudness.IntegratedLUFS, 1) + " LUFS\n"),
            std::string::npos);
}

TEST_F(LevelsTest, BadFilesFailWithTheReasonAndBadWordsWithTheUsage) {
  const std::string good = Sox("good.wav", 44100, "-c 1 -b 16", "synth 0.5 sine 440");
  // IMA ADPCM: a WAVE file, but not one whose samples can be converted.
  const std::string adpcm = Make(
      "adpcm.wav", Riff(Chunk("fmt ", FmtBody(0x11, 1, 8000, 4, 256, 4055) + Le16(2) + Le16(505)) +
                        Chunk("data", std::string(512, '\0'))));
  const std::string text = Make("text.wav", "hello, world");
  // More channels and a lower rate than the loudness meter takes: the levels, and a note that
  // loudness is missing.
  const std::string many = Make("many.wav", Riff(Chunk("fmt ", FmtBody(1, 100, 8, 8)) +
                                                 Chunk("data", std::string(800, 'x'))));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* out;  // found in standard output ("" when it must be empty)
    const char* err;  // found in standard error
  };
  const std::string notWave =
      "needlerec-cli: " + text + ": not a WAVE file (no RIFF/RIFX/RF64 header)\n";
  const std::string missing =
      "needlerec-cli: " + dir.File("none.wav") + ": No such file or directory\n";
  const std::string folder = "needlerec-cli: " + dir.Path() + ": Is a directory\n";
  const std::vector<Case> cases = {
      {"not a WAVE file", {text}, 1, "", notWave.c_str()},
      {"missing", {dir.File("none.wav"), "--json"}, 1, "", missing.c_str()},
      {"a folder", {dir.Path()}, 1, "", folder.c_str()},
      {"compressed", {adpcm}, 1, "", "cannot measure"},
      {"no file", {"--json"}, 2, "", "usage: needlerec-cli levels FILE"},
      {"two files", {good, good}, 2, "", "usage: needlerec-cli levels FILE"},
      {"unknown word", {good, "--csv"}, 2, "", "usage: needlerec-cli levels FILE"},
      {"reference out of range", {good, "--ref-level", "-9"}, 2, "", "-30 to -10"},
      {"reference not a number", {good, "--ref-level", "-16dB"}, 2, "", "-30 to -10"},
      {"reference missing", {good, "--ref-level"}, 2, "", "-30 to -10"},
      {"help", {"--help"}, 0, "usage: needlerec-cli levels FILE", ""},
      {"100 channels",
       {many, "--json"},
       0,
       "\"integrated_lufs\": null",
       ": no loudness figures: the loudness meter does not take 100 channels at 8 Hz\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TResult r = Levels(c.args);
    EXPECT_EQ(r.status, c.status);
    if (*c.out)
      EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    else
      EXPECT_EQ(r.out, "");
    if (*c.err)
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    else
      EXPECT_EQ(r.err, "");
  }
  // The program itself: the analysis on standard output, the reason with exit status 1.
  const std::string program = std::string("'") + NEEDLEREC_CLI + "' levels ";
  CliRun run = Shell(program + "'" + good + "' --json");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("{\"file\": ", 0), 0u) << run.out;
  run = Shell(program + "'" + text + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find(notWave), std::string::npos) << run.out;
}

}  // namespace
