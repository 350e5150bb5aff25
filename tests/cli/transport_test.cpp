// The play, record and devices commands end to end, on the virtual devices running faster than
// real time.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/cli/cli_run.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

using testfiles::ReadFile;

CliRun Cli(const std::string& env, const std::string& args) {
  return Shell(env + " " NEEDLEREC_CLI " " + args);
}

void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char(v >> (8 * i)));
}
void Put16(std::string& s, uint16_t v) {
  s.push_back(char(v));
  s.push_back(char(v >> 8));
}

// A 16-bit stereo 44.1 kHz WAVE file holding `data`.
std::string WaveFile(const std::string& data) {
  std::string s = "RIFF";
  Put32(s, uint32_t(36 + data.size()));
  s += "WAVEfmt ";
  Put32(s, 16);
  Put16(s, 1);
  Put16(s, 2);
  Put32(s, 44100);
  Put32(s, 44100 * 4);
  Put16(s, 4);
  Put16(s, 16);
  s += "data";
  Put32(s, uint32_t(data.size()));
  return s + data;
}

class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::TestFolder("needlerec-cli");
    // No sound card is used: the project's empty ALSA configuration hides the machine's.
    env_ = "NEEDLEREC_ALSA_DEVICES= NEEDLEREC_VIRTUAL_SPEED=10";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  std::string env_;
};

TEST_F(Transport, PlayDeliversTheFileDataByteForByte) {
  std::string data;
  for (int i = 0; i < 44100 * 4; ++i) data.push_back(char(i * 7 + i / 300));  // 1 s
  std::ofstream(dir_ / "in.wav", std::ios::binary) << WaveFile(data);
  const fs::path played = dir_ / "played.raw";
  const CliRun run = Cli(env_ + " NEEDLEREC_VIRTUAL_OUTPUT=" + played.string(),
                         "play " + (dir_ / "in.wav").string() + " --device 0");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(ReadFile(played) == data) << "played " << ReadFile(played).size() << " bytes";
}

TEST_F(Transport, AValidFileWithoutAudioIsNothingToPlay) {
  const std::string file = (dir_ / "empty.wav").string();
  std::ofstream(file, std::ios::binary) << WaveFile("");
  const CliRun run = Cli(env_, "play " + file + " --device 0");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "needlerec-cli: " + file + ": no audio data\n");
}

TEST_F(Transport, RecordGivesAValidFileOfTheAskedLength) {
  const fs::path file = dir_ / "rec.wav";
  const CliRun run =
      Cli(env_, "record --device virtual " + file.string() + " --seconds 3 --rate 48000");
  ASSERT_EQ(run.status, 0) << run.out;
  const CliRun info = Cli(env_, "info " + file.string() + " --json");
  ASSERT_EQ(info.status, 0) << info.out;
  EXPECT_NE(info.out.find("\"data_bytes\": 576000"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"sample_rate\": 48000"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"length_ms\": 3000"), std::string::npos) << info.out;
  // The sizes in the header match the file.
  const std::string bytes = ReadFile(file);
  ASSERT_GE(bytes.size(), 80u);
  const uint32_t riff = uint8_t(bytes[4]) | uint8_t(bytes[5]) << 8 | uint8_t(bytes[6]) << 16 |
                        uint32_t(uint8_t(bytes[7])) << 24;
  EXPECT_EQ(riff + 8, bytes.size());
}

TEST_F(Transport, DevicesListsTheVirtualDevicesAndBadDevicesFail) {
  const CliRun json = Cli(env_, "devices --json");
  ASSERT_EQ(json.status, 0);
  EXPECT_EQ(
      json.out,
      "{\"inputs\": [{\"id\": 0, \"name\": \"Virtual input (test signal)\", \"test\": true}], "
      "\"outputs\": [{\"id\": 0, \"name\": \"Virtual output (test device)\", \"test\": "
      "true}]}\n");
  const CliRun bad = Cli(env_, "record " + (dir_ / "x.wav").string() + " --device 7");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("Invalid DeviceID"), std::string::npos) << bad.out;
  EXPECT_FALSE(fs::exists(dir_ / "x.wav"));
  // The test signal is never taken for a microphone: without --device, no input is found.
  for (const std::string& words : {"record " + (dir_ / "x.wav").string(), std::string("monitor")}) {
    SCOPED_TRACE(words);
    const CliRun unnamed = Cli(env_, words + " --seconds 1");
    EXPECT_EQ(unnamed.status, 1);
    EXPECT_EQ(unnamed.out,
              "needlerec-cli: no sound input device found; the input devices are:\n"
              "  0: Virtual input (test signal) [built-in test device]\n"
              "(--device virtual records the built-in test signal)\n");
  }
  EXPECT_FALSE(fs::exists(dir_ / "x.wav"));
  const CliRun usage =
      Cli(env_, "record --device virtual " + (dir_ / "x.wav").string() + " --rate 22050");
  EXPECT_EQ(usage.status, 2);
}

// The same commands on ALSA devices of a project configuration: `file` plugins pass the data
// through byte for byte (they are not paced, so they check data, not timing).
class AlsaFilePlugins : public Transport {
 protected:
  void SetUp() override {
    Transport::SetUp();
    std::ofstream(dir_ / "asound.conf")
        << "pcm.nr_play { type file slave.pcm { type null } file \""
        << (dir_ / "played.raw").string() << "\" format raw }\n"
        << "pcm.nr_rec { type file slave.pcm { type null } file \"/dev/null\" infile \""
        << (dir_ / "input.raw").string() << "\" format raw }\n";
    env_ = "ALSA_CONFIG_PATH=" + (dir_ / "asound.conf").string() +
           " NEEDLEREC_ALSA_DEVICES='nr_play|nr_rec'";
  }
};

TEST_F(AlsaFilePlugins, PlayedBytesEqualTheFileDataAndARecordingHoldsTheInput) {
  std::string data;
  for (int i = 0; i < 44100 * 4; ++i) data.push_back(char(i * 13 + i / 500));  // 1 s
  std::ofstream(dir_ / "in.wav", std::ios::binary) << WaveFile(data);
  const CliRun play = Cli(env_, "play " + (dir_ / "in.wav").string() + " --device 0");
  ASSERT_EQ(play.status, 0) << play.out;
  EXPECT_TRUE(ReadFile(dir_ / "played.raw") == data)
      << "played " << ReadFile(dir_ / "played.raw").size() << " bytes";

  // The capture reads the input file; it must be longer than the recording.
  std::string input;
  for (int i = 0; i < 44100 * 4 * 3; ++i) input.push_back(char(i * 5 + i / 700));
  std::ofstream(dir_ / "input.raw", std::ios::binary) << input;
  const CliRun record =
      Cli(env_, "record " + (dir_ / "rec.wav").string() + " --device 1 --seconds 1");
  ASSERT_EQ(record.status, 0) << record.out;
  const std::string recorded = ReadFile(dir_ / "rec.wav");
  ASSERT_EQ(recorded.size(), 80u + 176400u);
  EXPECT_TRUE(recorded.compare(80, 176400, input, 0, 176400) == 0);
}

}  // namespace
