// The terminal meter: its lines as text, its readings for known signals handed over piece by
// piece as the connector does, and how the lines reach a terminal or a pipe.
#include "cli/terminal_meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <vector>

#include "platform/wave/wave_types.h"

namespace {

struct FormatCase {
  const char* name;
  TMeterReading reading;
  int64_t elapsedMs;
  const char* line;
};

TEST(TerminalMeterFormat, LinesShowReadingBarPeakClipAndTime) {
  const FormatCase cases[] = {
      {"a sine at the reference level",
       {"L", -0.04, -16.01, -16.01, false},
       5100,
       "L VU   0.0 [##########|---------] peak  -16.0 max  -16.0 dBFS      0:00:05.1"},
      {"rising: the held peak stands above the bar",
       {"R", 1.26, -20.0, -6.0, false},
       61000,
       "R VU  +1.3 [#########-------|---] peak  -20.0 max   -6.0 dBFS      0:01:01.0"},
      {"full scale clips",
       {"L", 3.0, 0.0, 0.0, true},
       3600000 + 62 * 1000 + 349,
       "L VU  +3.0 [###################|] peak    0.0 max    0.0 dBFS CLIP 1:01:02.3"},
      {"silence: no needle, no peak",
       {"M", std::nullopt, std::nullopt, std::nullopt, false},
       0,
       "M VU    -- [--------------------] peak   -inf max   -inf dBFS      0:00:00.0"},
      {"below the bar's scale, the held peak still read",
       {"L", -45.0, -60.0, -30.0, false},
       999,
       "L VU -45.0 [--|-----------------] peak  -60.0 max  -30.0 dBFS      0:00:00.9"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatMeterLine(c.reading, c.elapsedMs), c.line);
  }
}

TEST(TerminalMeterFormat, DecibelsNeverShowMinusZero) {
  EXPECT_EQ(FormatDB(-0.04, true), "0.0");
  EXPECT_EQ(FormatDB(0.04, true), "0.0");
  EXPECT_EQ(FormatDB(-0.05001, true), "-0.1");
  EXPECT_EQ(FormatDB(0.06, true), "+0.1");
  EXPECT_EQ(FormatDB(0.06, false), "0.1");
  EXPECT_EQ(FormatDB(std::nullopt, false), "-inf");
  EXPECT_EQ(FormatDB(-INFINITY, false), "-inf");
}

// The figures are written without printf; they read as printf's one-decimal rounding of the
// rounded value would, over the levels' whole range and far beyond it.
TEST(TerminalMeterFormat, FiguresReadAsPrintfWould) {
  auto printf1 = [](double v, bool sign) {
    double rounded = std::nearbyint(v * 10.0) / 10.0;
    if (rounded == 0.0) rounded = 0.0;
    char text[400];
    std::snprintf(text, sizeof text, sign && rounded > 0 ? "%+.1f" : "%.1f", rounded);
    return std::string(text);
  };
  std::vector<double> values = {0.05, -0.05, 0.15, -0.25, 99.95, -99.95, 1e14, -3e16, 1e300};
  for (int i = 0; i < 20000; ++i) values.push_back(-250.0 + i * 0.0137);
  for (double v : values)
    for (bool sign : {false, true}) ASSERT_EQ(FormatDB(v, sign), printf1(v, sign)) << v;
  EXPECT_EQ(FormatElapsed(-5), "0:00:00.0");
  EXPECT_EQ(FormatElapsed(int64_t(123) * 3600000 + 4 * 60000 + 5 * 1000 + 678), "123:04:05.6");
}

// 16-bit PCM at 44.1 kHz, `channels` channels, holding sample(frame, channel).
std::vector<int16_t> Pcm(int frames, int channels, const std::function<double(int, int)>& sample) {
  std::vector<int16_t> data(size_t(frames) * size_t(channels));
  for (int f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c)
      data[size_t(f) * size_t(channels) + size_t(c)] = int16_t(std::lround(sample(f, c)));
  return data;
}

WAVEFORMATEX Format(int channels) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = uint16_t(channels);
  f.nSamplesPerSec = 44100;
  f.wBitsPerSample = 16;
  f.nBlockAlign = uint16_t(2 * channels);
  f.nAvgBytesPerSec = 44100u * f.nBlockAlign;
  return f;
}

// Hands `data` to the meter's channels piece after piece, as the connector does.
void Feed(TTerminalMeter& meter, const std::vector<int16_t>& data, int channels) {
  const size_t piece = size_t(meter.Left().GetNumBytes()) / sizeof(int16_t);
  ASSERT_EQ(piece, 1000u * size_t(channels)) << "the needle law's 1000 frames a piece";
  for (size_t at = 0; at + piece <= data.size(); at += piece) {
    meter.Left().RefreshPCMData(data.data() + at);
    meter.Right().RefreshPCMData(data.data() + at);
  }
}

constexpr double kPi = 3.14159265358979;

// A 1 kHz sine peaking at `db` dBFS on the left and `rightDb` on the right.
std::vector<int16_t> Sine(double seconds, double db, double rightDb) {
  return Pcm(int(seconds * 44100), 2, [&](int f, int c) {
    return std::pow(10.0, (c == 0 ? db : rightDb) / 20.0) * 32767.0 *
           std::sin(2 * kPi * 1000.0 * f / 44100.0);
  });
}

TEST(TerminalMeterChannel, ASineAtTheReferenceLevelReadsZeroVUAndItsPeak) {
  TTerminalMeter meter(-16.0);
  const WAVEFORMATEX f = Format(2);
  meter.Left().SetPWaveFormat(&f);
  meter.Right().SetPWaveFormat(&f);
  // The needle law settles to within 99 % in about 1.5 s.
  Feed(meter, Sine(3.0, -16.0, -26.0), 2);
  const auto r = meter.Readings();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].Label, "L");
  EXPECT_EQ(FormatDB(r[0].VU, true), "0.0");
  EXPECT_EQ(FormatDB(r[0].Peak, false), "-16.0");
  EXPECT_EQ(FormatDB(r[0].Held, false), "-16.0");
  EXPECT_FALSE(r[0].Clip);
  // The right channel, 10 dB lower, reads 10 below on the needle and the peak.
  EXPECT_EQ(r[1].Label, "R");
  EXPECT_EQ(FormatDB(r[1].VU, true), "-10.0");
  EXPECT_EQ(FormatDB(r[1].Peak, false), "-26.0");
}

TEST(TerminalMeterChannel, TheReferenceLevelMovesTheReadingAndTheNeedleMatchesTheWindowLaw) {
  for (const double ref : {-17.5, -12.5}) {
    SCOPED_TRACE(ref);
    TTerminalMeter meter(ref);
    const WAVEFORMATEX f = Format(2);
    meter.Left().SetPWaveFormat(&f);
    meter.Right().SetPWaveFormat(&f);
    Feed(meter, Sine(3.0, -16.0, -16.0), 2);
    // The reading is the needle's: read back from the law's angle it is the law's own VU.
    const double expected = -16.0 - ref;
    EXPECT_NEAR(*meter.Readings()[0].VU, expected, 0.06);
    EXPECT_NEAR(meter.Left().Law().GetAngle(),
                VUToAngle(*meter.Readings()[0].VU, meter.Left().Law().GetScaleAngle()), 1e-9);
  }
}

TEST(TerminalMeterChannel, ClipAndHeldPeakStayForAMomentOfAudioThenGo) {
  TTerminalMeter meter(-16.0);
  const WAVEFORMATEX f = Format(2);
  meter.Left().SetPWaveFormat(&f);
  meter.Right().SetPWaveFormat(&f);
  // A full-scale square on the left only (reaching -32768), then a quiet sine.
  Feed(
      meter,
      Pcm(44100 / 2, 2,
          [](int frame, int c) { return c == 0 ? (frame / 50 % 2 ? 32767.0 : -32768.0) : 1000.0; }),
      2);
  auto r = meter.Readings();
  EXPECT_TRUE(r[0].Clip);
  EXPECT_FALSE(r[1].Clip) << "the right channel never reached full scale";
  EXPECT_EQ(FormatDB(r[0].Peak, false), "0.0");

  Feed(meter, Sine(1.0, -30.0, -30.0), 2);
  r = meter.Readings();
  EXPECT_TRUE(r[0].Clip) << "still shown one second later";
  EXPECT_EQ(FormatDB(r[0].Held, false), "0.0") << "the peak is still held";
  EXPECT_EQ(FormatDB(r[0].Peak, false), "-30.0");

  Feed(meter, Sine(1.5, -30.0, -30.0), 2);
  r = meter.Readings();
  EXPECT_FALSE(r[0].Clip) << "gone two and a half seconds later";
  EXPECT_EQ(FormatDB(r[0].Held, false), "-30.0") << "the held peak fell to the level";

  meter.Left().ResetData();
  r = meter.Readings();
  EXPECT_FALSE(r[0].VU);
  EXPECT_FALSE(r[0].Peak);
  EXPECT_FALSE(r[0].Held);
}

TEST(TerminalMeterChannel, MonoShowsOneLineAndBadFormatsAreRefused) {
  TTerminalMeter meter(-16.0);
  EXPECT_TRUE(meter.Readings().empty()) << "nothing to show before a format";
  const WAVEFORMATEX mono = Format(1);
  meter.Left().SetPWaveFormat(&mono);
  meter.Right().SetPWaveFormat(&mono);
  Feed(meter, Pcm(44100, 1, [](int f, int) { return 16384.0 * std::sin(2 * kPi * f / 100.0); }), 1);
  const auto r = meter.Readings();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Label, "M");
  EXPECT_EQ(FormatDB(r[0].Peak, false), "-6.0");

  WAVEFORMATEX bad = Format(2);
  bad.wBitsPerSample = 24;
  bad.nBlockAlign = 6;
  EXPECT_THROW(meter.Left().SetPWaveFormat(&bad), EMMError);
  EXPECT_EQ(meter.Readings().size(), 1u) << "the previous format stays";
}

// The rows a terminal shows after `output`: characters overwrite at the cursor, CR goes to
// the first column, LF to the next row's first column, and of the control sequences the
// display uses, ESC [ n A moves up, ESC [ n C right, and ESC [ K clears the rest of the row.
std::vector<std::string> Screen(const std::string& output) {
  std::vector<std::string> rows(1);
  size_t row = 0, col = 0;
  for (size_t i = 0; i < output.size(); ++i) {
    const char c = output[i];
    if (c == '\r') {
      col = 0;
    } else if (c == '\n') {
      col = 0;
      if (++row == rows.size()) rows.emplace_back();
    } else if (c == '\x1b' && i + 1 < output.size() && output[i + 1] == '[') {
      size_t j = i + 2, n = 0;
      while (j < output.size() && std::isdigit(static_cast<unsigned char>(output[j])))
        n = n * 10 + size_t(output[j++] - '0');
      if (j == output.size()) break;
      if (output[j] == 'A') row -= std::min(row, std::max<size_t>(n, 1));
      if (output[j] == 'C') col += std::max<size_t>(n, 1);
      if (output[j] == 'K' && col < rows[row].size()) rows[row].resize(col);
      i = j;
    } else {
      std::string& r = rows[row];
      if (r.size() < col) r.resize(col, ' ');
      if (col < r.size())
        r[col] = c;
      else
        r += c;
      ++col;
    }
  }
  if (rows.back().empty()) rows.pop_back();
  return rows;
}

TEST(TerminalMeterDisplay, RedrawsInPlaceOnATerminalAndWritesPlainLinesElsewhere) {
  const std::vector<TMeterReading> two = {{"L", -1.0, -10.0, -10.0, false},
                                          {"R", -2.0, -11.0, -11.0, false}};
  const std::string l = FormatMeterLine(two[0], 1000), r = FormatMeterLine(two[1], 1000);
  {
    std::ostringstream out;
    TMeterDisplay display(out, true, false);
    display.Show(two, 1000);
    display.Show(two, 1000);
    display.Finish(two, 1000);
    // The first frame whole; frames that change nothing write nothing.
    EXPECT_EQ(out.str(), l + "\x1b[K\n" + r + "\x1b[K\n");
    EXPECT_EQ(display.IntervalMs(), 100);
  }
  {
    // Redrawn frames write only what changed; the screen shows the last frame's lines, whether
    // the new lines are longer or shorter than the old ones.
    std::ostringstream out;
    TMeterDisplay display(out, true, false);
    const std::vector<std::vector<TMeterReading>> frames = {
        two,
        {{"L", -1.0, -10.0, -10.0, false}, {"R", -2.0, -11.0, -11.0, false}},
        {{"L", std::nullopt, std::nullopt, -10.0, false}, {"R", -2.5, -11.0, -11.0, true}},
        {{"L", 3.0, -0.1, -0.1, true}, {"R", std::nullopt, std::nullopt, std::nullopt, false}},
        {{"L", -120.0, -140.0, -0.1, false}, {"R", -2.0, -11.0, -11.0, false}},  // wider
        {{"L", -20.0, -40.0, -0.1, false}, {"R", -2.0, -11.0, -11.0, false}}};
    int64_t ms = 1000;
    for (size_t i = 0; i < frames.size(); ++i) {
      const size_t before = out.str().size();
      display.Show(frames[i], ms += 100);
      const std::vector<std::string> screen = Screen(out.str());
      ASSERT_EQ(screen.size(), 2u);
      EXPECT_EQ(screen[0], FormatMeterLine(frames[i][0], ms));
      EXPECT_EQ(screen[1], FormatMeterLine(frames[i][1], ms));
      // The second frame differs from the first only in the time at the end of each line.
      if (i == 1) {
        EXPECT_LT(out.str().size() - before, 30u) << "only the changes are written";
      }
    }
    display.Finish(frames.back(), ms);
    EXPECT_EQ(Screen(out.str()).size(), 2u);
  }
  {
    std::ostringstream out;
    TMeterDisplay display(out, false, false);
    display.Show(two, 1000);
    display.Finish(two, 1000);  // the same moment is not written twice
    display.Finish(two, 2000);
    EXPECT_EQ(out.str(), l + "\n" + r + "\n" + FormatMeterLine(two[0], 2000) + "\n" +
                             FormatMeterLine(two[1], 2000) + "\n");
    EXPECT_EQ(display.IntervalMs(), 1000);
  }
  {
    // A narrow terminal: lines that wrapped would break the redraw, so they are cut.
    std::ostringstream out;
    TMeterDisplay display(out, true, false, 40);
    display.Show(two, 1000);
    EXPECT_EQ(out.str(), l.substr(0, 39) + "\x1b[K\n" + r.substr(0, 39) + "\x1b[K\n");
  }
  {
    std::ostringstream out;
    TMeterDisplay display(out, true, true);
    display.Show(two, 1000);
    display.Finish(two, 1000);
    EXPECT_EQ(out.str(), "") << "quiet";
  }
  EXPECT_FALSE(IsTerminal(std::cerr)) << "only standard output is drawn on";
}

}  // namespace
