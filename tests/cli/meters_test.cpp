// The live meters, device names and usage of the real program: recording and monitoring the
// virtual input while it plays files made by sox, and reading the meter lines it writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "tests/cli/cli_run.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

class Meters : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Shell("command -v sox").status != 0)
      GTEST_SKIP() << "sox is installed by scripts/install-deps";
    dir_ = testfiles::TestFolder("needlerec-meters");
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // A 44.1 kHz 16-bit stereo file made by sox from `synth` effects, without dither.
  std::string Make(const std::string& name, const std::string& effects) {
    const std::string path = (dir_ / name).string();
    const CliRun run = Shell("sox -V1 -D -n -r 44100 -c 2 -b 16 " + path + " synth " + effects);
    EXPECT_EQ(run.status, 0) << run.out;
    return path;
  }

  // The program with the virtual input playing `input` (looped), `speed` times real time, and
  // no sound card.
  CliRun Cli(const std::string& input, int speed, const std::string& args) {
    return Shell("NEEDLEREC_ALSA_DEVICES= NEEDLEREC_VIRTUAL_SPEED=" + std::to_string(speed) +
                 " NEEDLEREC_VIRTUAL_INPUT=" + input + " " NEEDLEREC_CLI " " + args);
  }

  fs::path dir_;
};

struct Line {
  std::string vu, peak, max;
  bool clip = false;
  std::string elapsed;
};

// The last meter line of `channel` in `out`.
std::optional<Line> LastLine(const std::string& out, const std::string& channel) {
  const std::regex line("(^|\n)" + channel +
                        R"( VU +(\S+) \[[-#|]+\] peak +(\S+) max +(\S+) dBFS (CLIP| {4}) )"
                        R"((\d+:\d\d:\d\d\.\d))");
  std::optional<Line> last;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
       ++it)
    last = Line{(*it)[2], (*it)[3], (*it)[4], (*it)[5] == "CLIP", (*it)[6]};
  return last;
}

TEST_F(Meters, RecordingShowsTheNeedleReadingPeakAndClipOfKnownSignals) {
  struct Case {
    const char* name;
    const char* synth;
    const char* options;
    const char* vu;
    const char* peak;
    bool clip;
  };
  // A sine whose peak is at the reference level stands the needles on 0 VU, as in the window.
  const Case cases[] = {
      {"sine at -16 dBFS", "6 sine 1000 vol -16dB", "", "0.0", "-16.0", false},
      {"the same sine, reference -13", "6 sine 1000 vol -16dB", "--ref-level -13", "-3.0", "-16.0",
       false},
      {"full-scale square", "6 square 500 gain -n 0", "", "+3.0", "0.0", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = Make("in.wav", c.synth);
    const fs::path file = dir_ / "rec.wav";
    // Twice real time: the connector hands the meters their pieces as the audio arrives, and
    // still has the time for nearly all of them.
    const CliRun run =
        Cli(input, 2,
            "record --device virtual " + file.string() + " --overwrite --seconds 6 " + c.options);
    ASSERT_EQ(run.status, 0) << run.out;
    for (const char* channel : {"L", "R"}) {
      SCOPED_TRACE(channel);
      const auto last = LastLine(run.out, channel);
      ASSERT_TRUE(last) << run.out;
      EXPECT_EQ(last->vu, c.vu) << run.out;
      EXPECT_EQ(last->peak, c.peak) << run.out;
      EXPECT_EQ(last->max, c.peak) << run.out;
      EXPECT_EQ(last->clip, c.clip) << run.out;
      EXPECT_EQ(last->elapsed, "0:00:06.0") << "the final lines show the recorded time";
    }
    // The lines scripts read are still there, in their place.
    EXPECT_TRUE(std::regex_search(
        run.out, std::regex("^recording .* from Virtual input \\(test signal\\)\n")))
        << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\nrecorded 1058400 bytes\n$"))) << run.out;
  }
}

TEST_F(Meters, MonitorShowsTheInputWithoutAFileAndQuietShowsNoMeters) {
  const std::string input = Make("in.wav", "4 sine 1000 vol -16dB");
  const CliRun monitor = Cli(input, 2, "monitor --device virtual --seconds 6");
  ASSERT_EQ(monitor.status, 0) << monitor.out;
  EXPECT_EQ(monitor.out.rfind("monitoring Virtual input (test signal)\n", 0), 0u) << monitor.out;
  const auto last = LastLine(monitor.out, "L");
  ASSERT_TRUE(last) << monitor.out;
  EXPECT_EQ(last->vu, "0.0") << monitor.out;
  EXPECT_EQ(last->peak, "-16.0") << monitor.out;
  EXPECT_EQ(fs::directory_iterator(dir_)->path().filename(), "in.wav") << "no file was made";
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  const fs::path file = dir_ / "quiet.wav";
  const CliRun quiet =
      Cli(input, 10, "record --device virtual " + file.string() + " --seconds 1 --quiet");
  ASSERT_EQ(quiet.status, 0) << quiet.out;
  EXPECT_EQ(quiet.out, "recording " + file.string() +
                           " from Virtual input (test signal)\nrecorded 176400 bytes\n");
}

// A 44.1 kHz 16-bit stereo WAVE file of `frames` frames from `sample` (frame, channel).
void WriteWave(const fs::path& path, size_t frames, int16_t (*sample)(size_t, int)) {
  std::string data;
  for (size_t i = 0; i < frames * 2; ++i) {
    const auto v = uint16_t(sample(i / 2, int(i % 2)));
    data += char(v & 0xFF);
    data += char(v >> 8);
  }
  std::ofstream(path, std::ios::binary) << testfiles::Wave16Stereo(data);
}

// The full-scale samples of each channel of a 16-bit stereo take, from its data chunk.
std::pair<int64_t, int64_t> ClippedInTake(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto le32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(bytes[at + size_t(i)]);
    return v;
  };
  size_t at = 12;
  while (at + 8 <= bytes.size() && bytes.compare(at, 4, "data") != 0) at += 8 + le32(at + 4);
  std::pair<int64_t, int64_t> clipped{0, 0};
  if (at + 8 > bytes.size()) return clipped;
  const size_t end = std::min<size_t>(bytes.size(), at + 8 + le32(at + 4));
  for (size_t i = at + 8, n = 0; i + 1 < end; i += 2, ++n) {
    const auto v = int16_t(uint16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
    if (v == 32767 || v == -32768) ++(n % 2 ? clipped.second : clipped.first);
  }
  return clipped;
}

// Every full-scale sample the device delivers is counted, whether the meters saw it or not:
// the line after the meters gives as many per channel as the take holds, with --quiet too, and
// monitoring says it the same way. A signal that never reaches full scale gives no such line.
TEST_F(Meters, ARunThatClippedEndsWithItsClippedSamplesPerChannel) {
  // A quiet sine with single full-scale samples, both ends, every 1000 frames on the left and
  // every 3000 on the right: far too short and sparse for the meters to catch them all.
  const fs::path clipping = dir_ / "clipping.wav";
  WriteWave(clipping, 22050, [](size_t frame, int channel) {
    if (frame % (channel ? 3000 : 1000) == 17) return int16_t(frame / 1000 % 2 ? 32767 : -32768);
    return int16_t(std::lround(2000 * std::sin(double(frame) / 5.0)));
  });
  const std::regex line(R"(\nclipped: L (\d+), R (\d+) samples\n)");
  for (const char* quiet : {"", " --quiet"}) {
    SCOPED_TRACE(quiet);
    const fs::path take = dir_ / "take.wav";
    const CliRun run = Cli(clipping.string(), 10,
                           "record " + take.string() + " -y --device 0 --seconds 2" + quiet);
    ASSERT_EQ(run.status, 0) << run.out;
    const auto [left, right] = ClippedInTake(take);
    ASSERT_GT(left, right) << "the take clipped more on the left";
    ASSERT_GT(right, 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.out, m, line)) << run.out;
    EXPECT_EQ(m[1], std::to_string(left)) << run.out;
    EXPECT_EQ(m[2], std::to_string(right)) << run.out;
    // After the meters' last lines, before the closing one.
    EXPECT_TRUE(std::regex_search(run.out, std::regex("samples\nrecorded \\d+ bytes\n$")))
        << run.out;
    if (!*quiet) {
      EXPECT_LT(run.out.rfind("\nR VU"), size_t(m.position(0))) << run.out;
    }
  }
  const CliRun monitor = Cli(clipping.string(), 10, "monitor --device 0 --seconds 1");
  ASSERT_EQ(monitor.status, 0) << monitor.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(monitor.out, m, line)) << monitor.out;
  EXPECT_GT(std::stoi(m[1]), std::stoi(m[2])) << monitor.out;

  // Nearly full scale, but never at it.
  const fs::path loud = dir_ / "loud.wav";
  WriteWave(loud, 22050, [](size_t frame, int) {
    return int16_t(std::lround(32766 * std::sin(double(frame) / 5.0)));
  });
  const fs::path take = dir_ / "loud-take.wav";
  for (const std::string& args : {"record " + take.string() + " -y --device 0 --seconds 1",
                                  std::string("monitor --device 0 --seconds 1")}) {
    SCOPED_TRACE(args);
    const CliRun run = Cli(loud.string(), 10, args);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("clipped"), std::string::npos) << run.out;
  }
}

TEST_F(Meters, DevicesAreFoundByNameAndAnUnknownNameListsThem) {
  const std::string input = Make("in.wav", "1 sine 440");
  const fs::path file = dir_ / "named.wav";
  const CliRun named = Cli(
      input, 10,
      "record " + file.string() + " --device 'Virtual input (test signal)' --seconds 1 --quiet");
  ASSERT_EQ(named.status, 0) << named.out;
  EXPECT_NE(named.out.find("recorded 176400 bytes"), std::string::npos) << named.out;

  const fs::path none = dir_ / "none.wav";
  const CliRun unknown = Cli(input, 10, "record " + none.string() + " --device nosuch");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.out,
            "needlerec-cli record: no input device is named 'nosuch'; the input devices are:\n"
            "  0: Virtual input (test signal) [built-in test device]\n");
  EXPECT_FALSE(fs::exists(none));
  // An output device is looked for among the outputs.
  const CliRun play =
      Cli(input, 10, "play " + file.string() + " --device 'Virtual input (test signal)'");
  EXPECT_EQ(play.status, 2);
  EXPECT_NE(play.out.find("  0: Virtual output (test device) [built-in test device]\n"),
            std::string::npos)
      << play.out;
}

TEST(Usage, HelpGoesToStandardOutputAndUsageErrorsToStandardError) {
  for (const char* args : {"--help", "-h", "help", "record --help", "monitor --help", "play -h",
                           "devices --help", "info --help", "levels --help"}) {
    SCOPED_TRACE(args);
    const CliRun out = Shell(std::string("(") + NEEDLEREC_CLI + " " + args + " 2>/dev/null)");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.out.rfind("usage: needlerec-cli ", 0), 0u) << out.out;
  }
  // The whole program's usage lists every command.
  const CliRun all = Shell(std::string(NEEDLEREC_CLI) + " --help");
  for (const char* command : {"devices", "info", "levels", "play", "record", "monitor"})
    EXPECT_NE(all.out.find("needlerec-cli " + std::string(command) + " "), std::string::npos)
        << command;

  for (const char* args :
       {"", "bogus", "record", "play", "record a.wav --rate 22050", "record a.wav --seconds",
        "monitor --ref-level -40", "monitor a.wav", "devices --all", "info"}) {
    SCOPED_TRACE(args);
    const CliRun err = Shell(std::string("(") + NEEDLEREC_CLI + " " + args + " >/dev/null)");
    EXPECT_EQ(err.status, 2);
    EXPECT_NE(err.out.find("usage: needlerec-cli"), std::string::npos) << err.out;
    const CliRun out = Shell(std::string("(") + NEEDLEREC_CLI + " " + args + " 2>/dev/null)");
    EXPECT_EQ(out.out, "") << "nothing on standard output";
  }
}

}  // namespace
