// needlerec-cli levels: files that sox makes (and a few made byte by byte) measured against
// sox's own statistics, the EBU loudness test signals, the needle's law and the full-scale
// rules of each encoding, the JSON and text output, and the exits on bad files and words.
#include "cli/levels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli/info.h"
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
      // The extremes of 8-bit PCM and of A-law convert to less than 16-bit full scale.
      {"8-bit square", Sox("u8.wav", 44100, "-c 1 -b 8 -e unsigned", overdriven), {44100}},
      {"A-law square", Sox("alaw.wav", 8000, "-c 1 -e a-law", overdriven), {8000}},
      // Float samples count from 1.0 up, judged before the conversion rounds them: a square just
      // below 1.0 reaches 16-bit full scale after it, yet is not clipped.
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
  const std::vector<Case> cases = {
      {"not a WAVE file", {text}, 1, "", ": Invalid wave file..."},
      {"missing", {dir.File("none.wav"), "--json"}, 1, "", ": Error reading wave file"},
      {"a folder", {dir.Path()}, 1, "", ": Invalid wave file..."},
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
  EXPECT_NE(run.out.find("Invalid wave file..."), std::string::npos) << run.out;
}

}  // namespace
