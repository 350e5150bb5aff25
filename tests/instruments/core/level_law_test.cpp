#include "instruments/core/level_law.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace {

// The window's bar: 200 pixels, spots 2 wide, 16-bit stereo, left channel, step-up decay 8.
void MakeFormBar(TMMLevelLaw& bar, TMMDecayMode mode = dmStepUp) {
  bar.SetBarLength(200);
  bar.SetSpotWidth(2);
  bar.SetBitLength(b16Bit);
  bar.SetMode(mStereo);
  bar.SetChannel(chLeft);
  bar.SetDecayMode(mode);
  bar.SetDecay(8);
}

}  // namespace

TEST(SpotLayout, BarsOf200Pixels) {
  struct Case {
    int width, space, count, margin, zone1, zone2;
  };
  const Case cases[] = {
      {2, 1, 67, 0, 33, 56},     // the window's bars
      {3, 1, 50, 0, 25, 42},     // 50 × 4 - 1 = 199 pixels, margin (200 - 199) div 2
      {0, 1, 100, 0, 50, 85},    // width 0 is taken as 1
      {100, 1, 3, 0, 1, 2},      // width clamped to a third of the bar, 66
      {4, 2, 33, 2, 16, 28},     // 33 × 6 - 2 = 196 pixels, margin 2
      {1, 0, 200, 0, 100, 170},  // no gaps
      {2, 11, 17, 3, 8, 14},     // space clamped to 10
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "/" << c.space);
    const TMMSpotLayout layout = SpotLayout(200, c.width, c.space, 50, 85);
    EXPECT_EQ(layout.Count, c.count);
    EXPECT_EQ(layout.Margin, c.margin);
    EXPECT_EQ(layout.Zone1, c.zone1);
    EXPECT_EQ(layout.Zone2, c.zone2);
  }
  const TMMSpotLayout form = SpotLayout(200, 2, 1, 50, 85);
  EXPECT_EQ(SpotStart(form, 1), 0);
  EXPECT_EQ(SpotStart(form, 67), 198);
  EXPECT_EQ(SpotZone(form, 33), 1);
  EXPECT_EQ(SpotZone(form, 34), 2);
  EXPECT_EQ(SpotZone(form, 56), 2);
  EXPECT_EQ(SpotZone(form, 57), 3);
  EXPECT_EQ(DemonstrationCount(form), 61);
  // Empty bars still have one spot.
  EXPECT_EQ(SpotLayout(0, 2, 1, 50, 85).Count, 1);
}

TEST(LevelLaw, LevelsToSpotsOnDbAndLinearScales) {
  struct Case {
    int64_t level;
    int gain;
    bool logAmp;
    int64_t spots;
  };
  const Case cases[] = {
      {32767, 0, true, 67},                         // full scale fills the bar
      {32768, 0, true, 67},                         // a -32768 sample too, without overflow
      {16384, 0, true, 55},                         // -6 dBFS: (35 - 6.02) × 67 / 35
      {8192, 0, true, 44},                          // -12 dBFS
      {1000, 0, true, 9},                           // -30.3 dBFS
      {583, 0, true, 0},                            // -35 dBFS lights nothing
      {0, 0, true, 0},      {32767, 32, true, 94},  // +14 dB of gain: more spots than the bar has
      {16384, 8, true, 67},                         // +6 dB of gain
      {582, 0, false, 0},                           // linear: -35 dBFS is the bottom
      {8192, 0, false, 16}, {16384, 0, false, 33}, {32767, 0, false, 67},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.level << " gain " << c.gain << " log " << c.logAmp);
    EXPECT_EQ(LevelToSpots(c.level, c.gain, -35, c.logAmp, 67), c.spots);
  }
}

TEST(LevelLaw, UpdatesLightSpotsAndSignalOverflows) {
  TMMLevelLaw bar;
  MakeFormBar(bar, dmNone);
  int gainOverflows = 0, pcmOverflows = 0, changes = 0;
  bar.OnGainOverflow = [&] { ++gainOverflows; };
  bar.OnPcmOverflow = [&] { ++pcmOverflows; };
  bar.OnChange = [&] { ++changes; };

  // A full-scale sample in the left channel: 67 spots, raw overflow, no gain overflow.
  std::vector<int16_t> block(2 * 50, 0);
  block[10] = 32767;
  block[11] = 100;
  bar.RefreshPCMData(block.data());
  EXPECT_EQ(bar.GetCount(), 67);
  EXPECT_EQ(pcmOverflows, 1);
  EXPECT_EQ(gainOverflows, 0);
  EXPECT_EQ(changes, 1);
  // The same level again re-arms the held peak, which repaints; without peaks nothing changes.
  EXPECT_TRUE(bar.UpdateValue(32767));
  EXPECT_EQ(changes, 2);
  bar.SetNumPeaks(0);
  EXPECT_FALSE(bar.UpdateValue(32767));
  EXPECT_EQ(changes, 2);
  bar.SetNumPeaks(1);

  bar.SetGain(32);
  bar.UpdateValue(16384);  // 82 spots' worth, shown as 67
  EXPECT_EQ(bar.GetCount(), 67);
  EXPECT_EQ(gainOverflows, 1);

  // Levels count by magnitude, however large.
  bar.SetGain(0);
  bar.UpdateValue(-8192);
  EXPECT_EQ(bar.GetCount(), 44);
  bar.UpdateValue(std::numeric_limits<int64_t>::min());
  EXPECT_EQ(bar.GetCount(), 67);
  EXPECT_EQ(gainOverflows, 2);

  bar.SetDirection(dirSymetric);
  bar.UpdateValue(16384);
  EXPECT_EQ(bar.GetCount(), 27);  // 55 div 2
  bar.SetDirection(dirNormal);
  bar.SetInvert(true);
  bar.UpdateValue(16384);
  EXPECT_EQ(bar.GetCount(), 12);  // 67 - 55
}

TEST(LevelLaw, StepUpDecay8Over20UpdatesFollowsTheLaw) {
  TMMLevelLaw bar;
  MakeFormBar(bar);
  bar.SetNumPeaks(0);
  bar.UpdateValue(32767);
  EXPECT_EQ(bar.GetCount(), 67);
  // Spots of trunc(32767 × f^k) with f = 0.0001^(1/256) ≈ 0.9647 in single precision.
  const std::vector<int> expected = {66, 66, 65, 65, 64, 63, 63, 62, 62, 61,
                                     60, 60, 59, 59, 58, 57, 57, 56, 56, 55};
  std::vector<int> counts;
  for (int k = 1; k <= 20; ++k) {
    bar.UpdateValue(0);
    counts.push_back(bar.GetCount());
  }
  EXPECT_EQ(counts, expected);
}

TEST(LevelLaw, PeakIsHeld41TicksThenGoesOrFallsOneSpotEvery2Ticks) {
  for (int speed : {0, 2}) {
    SCOPED_TRACE(speed);
    TMMLevelLaw bar;
    MakeFormBar(bar, dmNone);
    bar.SetPeakSpeed(speed);
    bar.UpdateValue(16384);
    bar.UpdateValue(0);
    EXPECT_EQ(bar.GetCount(), 0);
    EXPECT_EQ(bar.GetPeak(), 55);
    for (int tick = 1; tick <= 40; ++tick) bar.Tick();
    EXPECT_EQ(bar.GetPeak(), 55);
    bar.Tick();  // the 41st
    EXPECT_EQ(bar.GetPeak(), speed == 0 ? 0 : 54);
    if (speed == 2) {
      for (int fall = 1; fall <= 3; ++fall) {
        bar.Tick();
        EXPECT_EQ(bar.GetPeak(), 54 - fall + 1);
        bar.Tick();
        EXPECT_EQ(bar.GetPeak(), 54 - fall);
      }
    }
    // A tick marks a redraw: the next update repaints although no spot is lit.
    EXPECT_TRUE(bar.UpdateValue(0));
    EXPECT_FALSE(bar.UpdateValue(0));
  }
}

TEST(LevelLaw, PeakEqualToTheCountIsRearmed) {
  TMMLevelLaw bar;
  MakeFormBar(bar, dmNone);
  bar.UpdateValue(16384);
  for (int tick = 0; tick < 30; ++tick) bar.Tick();
  EXPECT_EQ(bar.GetPeakCounter(), 11);
  bar.UpdateValue(16384);
  EXPECT_EQ(bar.GetPeakCounter(), 41);
  // A lower count leaves the held peak alone; no peaks at all with NumPeaks 0.
  bar.UpdateValue(8192);
  EXPECT_EQ(bar.GetPeak(), 55);
  bar.ResetData();
  bar.SetNumPeaks(0);
  bar.UpdateValue(32767);
  EXPECT_EQ(bar.GetPeak(), 0);
}

TEST(LevelLaw, PeakPercentAndValueReadTheSpotsBack) {
  struct Case {
    int percent, spots, read;
  };
  // A spot stands for 35/67 dB, so 50 % lights 55 spots, which read 48.6 %.
  const Case cases[] = {{50, 55, 49}, {25, 44, 25}, {100, 67, 100}, {1, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.percent);
    TMMLevelLaw bar;
    MakeFormBar(bar, dmNone);
    bar.SetValue(c.percent);
    EXPECT_EQ(bar.GetCount(), c.spots);
    EXPECT_EQ(bar.GetValue(), c.read);
    EXPECT_EQ(bar.GetPeakPercent(), c.read);
  }
  TMMLevelLaw bar;
  MakeFormBar(bar, dmNone);
  bar.SetValue(250);  // clamped to 100
  EXPECT_EQ(bar.GetCount(), 67);
  bar.SetLogAmp(false);
  EXPECT_EQ(bar.GetValue(), 100);
  EXPECT_EQ(SpotsToPercent(33, 0, -35, false, 67), 49);
  EXPECT_EQ(SpotsToPercent(55, 8, -35, true, 67), 24);  // +6 dB of gain halves the input
  EXPECT_EQ(SpotsToPercent(55, -8, -35, true, 67), 0);  // no input lights a muted bar
}

TEST(LevelLaw, WaveFormatSetsWidthAndChannelsOrIsRefused) {
  TMMLevelLaw bar;
  EXPECT_EQ(bar.GetNumBytes(), 50);  // 8-bit mono, 50 frames
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 16, 2, 44100);
  bar.SetPWaveFormat(&format);
  EXPECT_EQ(bar.GetBitLength(), b16Bit);
  EXPECT_EQ(bar.GetMode(), mStereo);
  EXPECT_EQ(bar.GetNumBytes(), 200);
  BuildPCMFormat(&format, 16, 4, 48000);
  bar.SetPWaveFormat(&format);
  EXPECT_EQ(bar.GetNumBytes(), 400);

  for (const auto& [bits, channels, rate] :
       {std::tuple{24, 2, 44100u}, {8, 3, 44100u}, {16, 2, 200000u}}) {
    BuildPCMFormat(&format, bits, channels, rate);
    try {
      bar.SetPWaveFormat(&format);
      ADD_FAILURE() << "accepted " << bits << " " << channels << " " << rate;
    } catch (const EMMLevelError& e) {
      EXPECT_STREQ(e.what(), "Invalid WaveFormat");
    }
    EXPECT_EQ(bar.GetNumBytes(), 400);  // the previous format is kept
  }
  EXPECT_THROW(bar.SetPWaveFormat(nullptr), EMMLevelError);

  bar.SetSamples(0);
  EXPECT_EQ(bar.GetSamples(), 1);
  EXPECT_EQ(bar.GetNumBytes(), 8);
}

TEST(LevelLaw, LayoutChangesClearTheCountAndThePeak) {
  TMMLevelLaw bar;
  MakeFormBar(bar, dmNone);
  bar.UpdateValue(32767);
  bar.SetSpotWidth(3);
  EXPECT_EQ(bar.GetLayout().Count, 50);
  EXPECT_EQ(bar.GetCount(), 0);
  EXPECT_EQ(bar.GetPeak(), 0);
  bar.UpdateValue(32767);
  EXPECT_EQ(bar.GetCount(), 50);
}

// The display timer ticks on its own thread while the data updates run: the peak stays within
// the bar and nothing races.
TEST(LevelLaw, TicksFromAnotherThreadWhileUpdating) {
  TMMLevelLaw bar;
  MakeFormBar(bar);
  bar.SetPeakDelay(0);
  bar.SetPeakSpeed(1);
  std::atomic<bool> done{false};
  std::atomic<int> badPeaks{0};
  std::thread timer([&] {
    while (!done.load()) {
      bar.Tick();
      const int peak = bar.GetPeak();
      if (peak < 0 || peak > 67) ++badPeaks;
    }
  });
  for (int i = 0; i < 20000; ++i) {
    bar.UpdateValue((i * 7919) % 32768);
    (void)bar.GetPeakPercent();
  }
  done = true;
  timer.join();
  EXPECT_EQ(badPeaks.load(), 0);
}
