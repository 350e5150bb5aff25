// Real-time sound through ALSA without a sound card: a PulseAudio daemon of the test's own with
// a null sink, reached through ALSA's pulse plugin. needlerec-cli plays a file into the sink
// while another needlerec-cli records the sink's monitor; the recording holds the played
// samples bit for bit.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/pulse_server.h"

namespace {

namespace fs = std::filesystem;

using testfiles::ReadFile;

void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char(v >> (8 * i)));
}

class PulseLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TPulseServer::Available())
      GTEST_SKIP() << "pulseaudio, parec and pactl are installed by scripts/install-deps";
    char pattern[] = "/tmp/needlerec-pulse-XXXXXX";
    dir_ = mkdtemp(pattern);
    ASSERT_TRUE(server_.Start(dir_)) << ReadFile(dir_ / "pulse.log");
    cliEnv_ = server_.Env;
    cliEnv_.push_back("ALSA_CONFIG_PATH=" + server_.AlsaConfig);
    cliEnv_.push_back("NEEDLEREC_ALSA_DEVICES=nr_pulse|nr_pulse_mon");
    // Errors the devices recover from appear in the logs a failure prints.
    cliEnv_.push_back("NEEDLEREC_ALSA_LOG=1");
  }
  void TearDown() override {
    server_.Stop();
    if (!dir_.empty() && !std::getenv("NEEDLEREC_KEEP_TEST_FILES")) fs::remove_all(dir_);
  }

  fs::path dir_;
  TPulseServer server_;
  std::vector<std::string> cliEnv_;
};

TEST_F(PulseLoopback, TheRecordingHoldsThePlayedSamplesBitForBit) {
  // Half a second of lead-in, then the 2 s that must come back: 16-bit stereo noise-like
  // samples, left and right different. The sink's capture only starts delivering once something
  // plays, so the lead-in may be cut; the 2 s after it may not.
  std::string data;
  uint32_t x = 12345;
  const size_t leadIn = 44100 / 2 * 4;
  for (int i = 0; i < 44100 * 5 / 2 * 2; ++i) {
    x = x * 1664525u + 1013904223u;
    const uint16_t sample = uint16_t(x >> 16);
    data.push_back(char(sample));
    data.push_back(char(sample >> 8));
  }
  std::string file = "RIFF";
  Put32(file, uint32_t(36 + data.size()));
  file += "WAVEfmt ";
  Put32(file, 16);
  file += std::string("\x01\x00\x02\x00", 4);
  Put32(file, 44100);
  Put32(file, 44100 * 4);
  file += std::string("\x04\x00\x10\x00", 4);
  file += "data";
  Put32(file, uint32_t(data.size()));
  std::ofstream(dir_ / "play.wav", std::ios::binary) << file << data;

  const pid_t recorder = TPulseServer::Spawn(
      {NEEDLEREC_CLI, "record", (dir_ / "rec.wav").string(), "--device", "1", "--seconds", "6"},
      cliEnv_, (dir_ / "record.log").string());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the capture is running
  const pid_t player =
      TPulseServer::Spawn({NEEDLEREC_CLI, "play", (dir_ / "play.wav").string(), "--device", "0"},
                          cliEnv_, (dir_ / "play.log").string());
  ASSERT_EQ(TPulseServer::WaitFor(player), 0) << ReadFile(dir_ / "play.log");
  ASSERT_EQ(TPulseServer::WaitFor(recorder), 0) << ReadFile(dir_ / "record.log");

  const std::string recording = ReadFile(dir_ / "rec.wav");
  ASSERT_GT(recording.size(), 80u);
  const std::string recorded = recording.substr(80);  // after the header
  const std::string played = data.substr(leadIn);
  // Where the 2 s begin in the recording; then every byte of them must follow.
  const size_t at = recorded.find(played.substr(0, 4096));
  ASSERT_NE(at, std::string::npos) << "the start of the played data was not recorded";
  EXPECT_TRUE(recorded.compare(at, played.size(), played) == 0) << "recorded at " << at;
}

}  // namespace
