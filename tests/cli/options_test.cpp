// The words of the commands: GNU-style options, durations and --version, in the parser and end
// to end on the virtual input running faster than real time.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/options.h"
#include "tests/cli/cli_run.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

const std::string kForms = "a duration such as 90, 90.5, 1:30, 1:02:03.5, 90s, 5m or 2h";

TEST(Duration, ReadsEveryFormAndRefusesTheRest) {
  const struct {
    const char* text;
    double seconds;
  } good[] = {{"90", 90},      {"90.5", 90.5},        {"0.001", 0.001},     {"1:30", 90},
              {"0:01.5", 1.5}, {"1:02:03.5", 3723.5}, {"90s", 90},          {"5m", 300},
              {"1.5m", 90},    {"2h", 7200},          {"0:00:00.25", 0.25}, {"100:00", 6000}};
  for (const auto& c : good) {
    SCOPED_TRACE(c.text);
    const auto seconds = ParseDuration(c.text);
    ASSERT_TRUE(seconds);
    EXPECT_DOUBLE_EQ(*seconds, c.seconds);
  }
  for (const char* bad : {"", "x", "-5", "+5", "1e3", "5.", ".5", "1:60", "1:00:60", "1:2:3:4",
                          "1.5:30", ":30", "1:", "90ms", "5 m", "m", "inf", "nan", "0x10"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseDuration(bad));
  }
}

// Words that the parser refuses before any device or file is touched: exit 2, the problem,
// then the command's synopsis, all on standard error.
TEST(CliWords, UsageErrorsNameTheProblemAndShowTheSynopsis) {
  const struct {
    std::vector<std::string> args;
    std::string problem;
  } cases[] = {
      {{"record", "a.wav", "--seconds"}, "needlerec-cli record: --seconds needs a value\n"},
      {{"record", "a.wav", "-d"}, "needlerec-cli record: --seconds needs a value\n"},
      {{"record", "a.wav", "--quiet=loud"}, "needlerec-cli record: --quiet takes no value\n"},
      {{"record", "a.wav", "b.wav"}, "needlerec-cli record: unexpected argument 'b.wav'\n"},
      {{"record", "-x.wav"}, "needlerec-cli record: unexpected argument '-x.wav'\n"},
      {{"monitor", "-qy"}, "needlerec-cli monitor: unexpected argument '-y'\n"},
      {{"play", "a.wav", "-d", "1"}, "needlerec-cli play: unexpected argument '-d'\n"},
      {{"record", "a.wav", "-r", "22050"},
       "needlerec-cli record: the rate must be 44100 or 48000\n"},
      {{"record", "a.wav", "--rate=48000.0"},
       "needlerec-cli record: the rate must be 44100 or 48000\n"},
      {{"record", "a.wav", "--device="}, "needlerec-cli record: --device needs a value\n"},
      {{"record", "a.wav", "-d", "x"},
       "needlerec-cli record: --seconds must be " + kForms + " (0.001 s to 2147483 s), not 'x'\n"},
      {{"monitor", "--seconds=1:60"},
       "needlerec-cli monitor: --seconds must be " + kForms +
           " (0.001 s to 2147483 s), not '1:60'\n"},
      {{"record", "a.wav", "-d", "600h"},
       "needlerec-cli record: --seconds must be " + kForms +
           " (0.001 s to 2147483 s), not '600h'\n"},
      {{"record", "a.wav", "--buffer=11m"},
       "needlerec-cli record: --buffer must be " + kForms + " (0.1 s to 600 s), not '11m'\n"},
      {{"record", "a.wav", "--ref-level=-40"},
       "needlerec-cli record: --ref-level must be between -30 and -10 dBFS, not '-40'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    std::ostringstream out, err;
    EXPECT_EQ(CliMain(c.args, out, err), 2);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str().rfind(c.problem, 0), 0u) << err.str();
    EXPECT_NE(err.str().find("usage: needlerec-cli " + c.args[0]), std::string::npos) << err.str();
  }
}

TEST(CliWords, VersionComesFromTheProject) {
  for (const char* word : {"--version", "-V"}) {
    const CliRun run = Shell(std::string(NEEDLEREC_CLI) + " " + word);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "needlerec-cli " NEEDLEREC_VERSION "\n");
  }
}

class CliOptions : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testfiles::TestFolder("needlerec-options"); }
  void TearDown() override { fs::remove_all(dir_); }
  // Runs needlerec-cli in the test's directory, on the virtual devices only, ten times as fast.
  CliRun Cli(const std::string& words) const {
    return Shell("cd " + dir_.string() +
                 " && NEEDLEREC_ALSA_DEVICES= NEEDLEREC_VIRTUAL_SPEED=10 " NEEDLEREC_CLI " " +
                 words);
  }
  // The "data_bytes" figure of `info --json`, or -1.
  long DataBytes(const std::string& file) const {
    const CliRun info = Cli("info --json -- " + file);
    const std::string key = "\"data_bytes\": ";
    const size_t at = info.out.find(key);
    if (info.status != 0 || at == std::string::npos) return -1;
    return std::stol(info.out.substr(at + key.size()));
  }
  fs::path dir_;
};

// Each form of a duration, given as a separate word or after `=`, records as long as it says:
// 44.1 kHz stereo 16-bit is 176400 bytes a second.
TEST_F(CliOptions, EveryDurationFormGivesARecordingOfItsLength) {
  const struct {
    const char* words;
    long bytes;
  } cases[] = {{"-d 1", 176400},
               {"--seconds=1", 176400},
               {"-d 0:01.5", 264600},
               {"--seconds 0:00:01.25", 220500},
               {"-d 0.5s", 88200},
               {"-d 0.025m", 264600},
               {"--seconds=0.0005h", 317520},
               {"-d 1 --buffer=0:02", 176400}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words);
    const CliRun run = Cli("record -q -y -D virtual take.wav " + std::string(c.words));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(DataBytes("take.wav"), c.bytes);
  }
}

TEST_F(CliOptions, ShortCombinedAndLongOptionsWithEqualsAreTheLongOnes) {
  // -q: no meter lines; -r: the rate.
  const CliRun run = Cli("record -q -D virtual -d 1 -r 48000 old.wav");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out.find("VU"), std::string::npos) << run.out;
  EXPECT_EQ(DataBytes("old.wav"), 192000);
  // -y: the existing take is replaced.
  const CliRun again = Cli("record -qy -D virtual -d 0.25 old.wav");
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(DataBytes("old.wav"), 44100);
  const CliRun named =
      Cli("record --device=virtual --rate=44100 --quiet --overwrite "
          "--seconds=0.5 --ref-level=-20 old.wav");
  ASSERT_EQ(named.status, 0) << named.out;
  EXPECT_EQ(DataBytes("old.wav"), 88200);
  const CliRun monitor = Cli("monitor -q -D virtual -d 5");
  EXPECT_EQ(monitor.status, 0) << monitor.out;
}

TEST_F(CliOptions, DoubleDashLetsAFileBeginWithADash) {
  const CliRun run = Cli("record -q -D virtual -d 0.5 -- -x.wav");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(fs::exists(dir_ / "-x.wav"));
  EXPECT_EQ(DataBytes("-x.wav"), 88200);
  const CliRun levels = Cli("levels --ref-level=-20 -- -x.wav");
  EXPECT_EQ(levels.status, 0) << levels.out;
}

}  // namespace
