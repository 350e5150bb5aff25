// The spectrum's measuring: FFT lengths, window tables, a sine found in its bin and column on
// both frequency axes, the amplitude scales, the gain tilts, decay and held peaks.
#include "instruments/core/frequency_law.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

TEST(SpectrumLaw, FFTLengthIsClampedAndRoundedDownToAPowerOfTwo) {
  const int cases[][2] = {{1000, 512},  {5000, 4096}, {3, 8}, {8, 8},      {4096, 4096},
                          {4095, 2048}, {-5, 8},      {9, 8}, {1024, 1024}};
  for (const auto& c : cases) EXPECT_EQ(RoundFFTLength(c[0]), c[1]) << c[0];

  TMMSpectrumLaw law;
  EXPECT_EQ(law.GetFFTLength(), 128);
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 16, 2, 44100);
  law.SetPWaveFormat(&format);
  law.SetFFTLength(1000);
  EXPECT_EQ(law.GetFFTLength(), 512);
  EXPECT_EQ(law.GetNumBytes(), 2 * 2 * 512);
  EXPECT_EQ(law.GetWindowTable().size(), 512u);
}

TEST(SpectrumLaw, WindowTablesOfEightPoints) {
  // floor(window(i) × 32767 + 0.5) at i = 0, 2 and 4 (the middle) of N = 8.
  struct Case {
    TMMFFTWindow Window;
    int32_t At0, At2, At4;
  };
  const Case cases[] = {
      {fwRectangular, 32767, 32767, 32767}, {fwHamming, 2621, 17694, 32767},  // 0.08, 0.54, 1.0
      {fwHanning, 0, 16383, 32767},    // 0, 0.5 (a hair below), 1
      {fwBlackman, 0, 11141, 32767},   // 0, 0.34, 1
      {fwGaussian, 221, 9388, 32767},  // e^-5, e^-1.25, 1
      {fwWelch, 6877, 26295, 32767},   // 17/81, 65/81, 1
      {fwParzen, 3641, 18204, 32767},  // 1/9, 5/9, 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.Window));
    const std::vector<int32_t> w = FFTWindowTable(c.Window, 8);
    ASSERT_EQ(w.size(), 8u);
    EXPECT_EQ(w[0], c.At0);
    EXPECT_EQ(w[2], c.At2);
    EXPECT_EQ(w[4], c.At4);
    // Every window is symmetric about the middle: w(i) = w(N - i), but for the last bit of a
    // value that lies on a half.
    for (int i = 1; i < 8; ++i) EXPECT_NEAR(w[size_t(i)], w[size_t(8 - i)], 1) << i;
  }
}

// FFTLength frames of 16-bit mono: a sine of Amplitude at Frequency Hz (phase 0 at frame 0).
std::vector<int16_t> Sine(double Frequency, int Rate, int Frames, double Amplitude) {
  std::vector<int16_t> samples(static_cast<size_t>(Frames));
  for (int i = 0; i < Frames; ++i)
    samples[size_t(i)] =
        int16_t(std::lround(Amplitude * std::sin(2 * std::numbers::pi * Frequency * i / Rate)));
  return samples;
}

// A law for 16-bit mono at Rate with FFTLength N and Columns columns of Levels levels.
void Configure(TMMSpectrumLaw& Law, int Rate, int N, int Columns, int Levels) {
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 16, 1, uint32_t(Rate));
  Law.SetPWaveFormat(&format);
  Law.SetFFTLength(N);
  Law.SetColumns(Columns, Levels);
}

int ArgMax(const std::vector<int>& Values) {
  return int(std::max_element(Values.begin(), Values.end()) - Values.begin());
}

// The column whose bins include Bin.
int ColumnOf(const TMMSpectrumLaw& Law, int Bin) {
  const std::vector<TMMBinRange>& mapping = Law.GetMapping();
  for (size_t x = 0; x < mapping.size(); ++x)
    if (mapping[x].First <= Bin && Bin <= mapping[x].Last) return int(x);
  return -1;
}

TEST(SpectrumLaw, ASineOfAKnownFrequencyPeaksInItsBinAndColumn) {
  // 1000 Hz at 11025 Hz in 1024 points lies at bin 92.88; 2500 Hz at bin 232.2.
  for (bool logFreq : {false, true}) {
    for (double frequency : {1000.0, 2500.0}) {
      SCOPED_TRACE(testing::Message() << frequency << " Hz, log " << logFreq);
      TMMSpectrumLaw law;
      law.SetLogFreq(logFreq);
      Configure(law, 11025, 1024, 150, 100);
      const std::vector<int16_t> block = Sine(frequency, 11025, 1024, 16384);
      law.RefreshPCMData(block.data());
      const std::vector<float>& m = law.GetMagnitudes();
      ASSERT_EQ(m.size(), 513u);
      const int bin = int(std::max_element(m.begin(), m.end()) - m.begin());
      EXPECT_EQ(bin, int(std::lround(frequency * 1024 / 11025)));
      const int column = ColumnOf(law, bin);
      ASSERT_GE(column, 0);
      EXPECT_EQ(ArgMax(law.GetColumns()), column);
    }
  }
}

TEST(SpectrumLaw, MappingCoversTheBinsInOrderOnBothAxes) {
  for (bool logFreq : {false, true}) {
    SCOPED_TRACE(logFreq);
    const std::vector<TMMBinRange> map = FrequencyMapping(200, 1024, 44100, logFreq, 1);
    ASSERT_EQ(map.size(), 200u);
    EXPECT_EQ(map.front().First, logFreq ? 1 : 0);
    EXPECT_EQ(map.back().Last, 512);
    for (size_t x = 1; x < map.size(); ++x) {
      EXPECT_LE(map[x].First, map[x].Last) << x;
      EXPECT_LE(map[x - 1].First, map[x].First) << x;
    }
  }
  // Half the frequencies with FrequencyScale 2: the last column ends at a quarter of the rate.
  EXPECT_EQ(FrequencyMapping(64, 1024, 44100, false, 2).back().Last, 256);
  // More columns than bins: each column shows the bin nearest its centre.
  const std::vector<TMMBinRange> wide = FrequencyMapping(16, 8, 8000, false, 1);
  for (const TMMBinRange& r : wide) EXPECT_EQ(r.First, r.Last);
  EXPECT_EQ(wide[0].First, 0);
  EXPECT_EQ(wide[15].First, 4);
}

TEST(SpectrumLaw, LinearAndDecibelLevelsOfABinCentredSine) {
  // Bin 64 of 512 points at 8000 Hz: 1000 Hz. The rectangular window passes the sine whole.
  struct Case {
    bool LogAmp;
    double Amplitude;
    int VerticalScale;
    int Level;  // of 900
    bool Overflow;
  };
  const Case cases[] = {
      {false, 16384, 100, 450, false},  // half of full scale
      {false, 16384, 200, 900, true},   // doubled: the top
      {false, 32767, 100, 900, true},   // full scale reaches the top
      {true, 3277, 100, 700, false},    // -20 dB: 70 of the 90 dB
      {true, 32767, 100, 900, true},    // 0 dB
      {true, 33, 100, 300, false},      // -60 dB
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Amplitude << " log " << c.LogAmp);
    TMMSpectrumLaw law;
    law.SetWindow(fwRectangular);
    law.SetLogAmp(c.LogAmp);
    law.SetVerticalScale(c.VerticalScale);
    Configure(law, 8000, 512, 256, 900);
    bool overflow = false;
    law.OnGainOverflow = [&] { overflow = true; };
    const std::vector<int16_t> block = Sine(1000, 8000, 512, c.Amplitude);
    law.RefreshPCMData(block.data());
    const int column = ColumnOf(law, 64);
    EXPECT_NEAR(law.GetColumns()[size_t(column)], c.Level, 2);
    EXPECT_EQ(overflow, c.Overflow);
  }
}

TEST(SpectrumLaw, GainsTiltTheSpectrumByTheirStepPerOctaveAndPassZeroAtRefFreq) {
  // Bins 93 and 186 of 4096 points at 44100 Hz: 1001.3 and 2002.6 Hz, an octave apart.
  const double f1 = 93 * 44100.0 / 4096, f2 = 2 * f1;
  const struct {
    TMMSpectrumGain Gain;
    double PerOctave;
  } cases[] = {{sgNone, 0}, {sg3db, 3}, {sg6db, 6}, {sg9db, 9}, {sg12db, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.Gain));
    auto level = [&](double frequency) {
      TMMSpectrumLaw law;
      law.SetWindow(fwRectangular);
      law.SetGain(c.Gain);
      law.SetRefFreq(int(std::lround(f1)));
      Configure(law, 44100, 4096, 2048, 100000);
      const std::vector<int16_t> block = Sine(frequency, 44100, 4096, 4096);
      // The sine fills the block a whole number of times: the second block continues the first,
      // so the differences see no seam.
      law.RefreshPCMData(block.data());
      law.RefreshPCMData(block.data());
      const int bin = int(std::lround(frequency * 4096 / 44100));
      return double(law.GetColumns()[size_t(ColumnOf(law, bin))]);
    };
    const double atRef = level(f1), octave = level(f2);
    EXPECT_NEAR(20 * std::log10(atRef / 12500.0), 0.0, 0.1);  // 4096 / 32768 of 100000
    EXPECT_NEAR(20 * std::log10(octave / atRef), c.PerOctave, 0.2);
  }
}

TEST(SpectrumLaw, DecayLetsAColumnFallAndPeaksAreHeldUntilTheirTicksRunOut) {
  TMMSpectrumLaw law;
  law.SetDecayMode(dmStepUp);
  law.SetDecay(8);
  law.SetPeakDelay(2);  // held 5 ticks
  Configure(law, 8000, 256, 64, 1000);
  const std::vector<int16_t> loud = Sine(1000, 8000, 256, 16000);
  const std::vector<int16_t> silence(256, 0);
  law.RefreshPCMData(loud.data());
  const int column = ArgMax(law.GetColumns());
  const int top = law.GetColumns()[size_t(column)];
  ASSERT_GT(top, 100);
  EXPECT_EQ(law.GetPeak(column), top);
  // Silence: the column falls by the factor (0.9647) per block instead of vanishing.
  law.RefreshPCMData(silence.data());
  const int next = law.GetColumns()[size_t(column)];
  EXPECT_LT(next, top);
  EXPECT_NEAR(next, top * 0.9647, 2.0);
  EXPECT_EQ(law.GetPeak(column), top);
  for (int tick = 1; tick <= 4; ++tick) law.Tick();
  EXPECT_EQ(law.GetPeak(column), top);
  law.Tick();
  EXPECT_EQ(law.GetPeak(column), 0);

  // Without decay the same silence empties the column; a reset clears everything.
  law.SetDecayMode(dmNone);
  law.RefreshPCMData(loud.data());
  law.RefreshPCMData(silence.data());
  EXPECT_EQ(law.GetColumns()[size_t(column)], 0);
  EXPECT_GT(law.GetPeak(column), 0);
  law.ResetData();
  EXPECT_EQ(law.GetPeak(column), 0);
}

TEST(SpectrumLaw, ChannelsAndSampleWidthsAnalyseTheChosenSamples) {
  // 8 frames of 8-bit stereo: the left channel carries a sine at bin 2, the right one silence;
  // the left one also reaches the top of its range.
  std::vector<uint8_t> block;
  for (int i = 0; i < 8; ++i) {
    const double s = std::sin(2 * std::numbers::pi * 2 * i / 8);
    block.push_back(uint8_t(std::lround(128 + 127 * s)));
    block.push_back(128);
  }
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 8, 2, 8000);
  for (TMMChannel channel : {chLeft, chRight, chBoth}) {
    SCOPED_TRACE(int(channel));
    TMMSpectrumLaw law;
    law.SetPWaveFormat(&format);
    law.SetWindow(fwRectangular);
    law.SetFFTLength(8);
    law.SetChannel(channel);
    int overflows = 0;
    law.OnPcmOverflow = [&] { ++overflows; };
    ASSERT_EQ(law.GetNumBytes(), int(block.size()));
    std::vector<uint8_t> exact(block);  // exactly NumBytes: a read past it is caught
    law.RefreshPCMData(exact.data());
    const double expected = channel == chLeft ? 127 * 256 : channel == chRight ? 0 : 127 * 128;
    EXPECT_NEAR(law.GetMagnitudes()[2], expected, 300);
    EXPECT_EQ(overflows, channel == chLeft ? 1 : 0);
  }
}

TEST(SpectrumLaw, AnUnusableFormatIsRefusedAndTheOldOneKept) {
  TMMSpectrumLaw law;
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 16, 2, 44100);
  law.SetPWaveFormat(&format);
  law.SetFFTLength(1024);
  WAVEFORMATEX bad = format;
  BuildPCMFormat(&bad, 24, 2, 44100);
  try {
    law.SetPWaveFormat(&bad);
    FAIL() << "a 24-bit format was taken";
  } catch (const EMMSpectrumError& e) {
    EXPECT_STREQ(e.what(), "Invalid WaveFormat");
  }
  EXPECT_THROW(law.SetPWaveFormat(nullptr), EMMSpectrumError);
  EXPECT_EQ(law.GetNumBytes(), 4096);
  EXPECT_EQ(law.GetSampleRate(), 44100);
}

}  // namespace
