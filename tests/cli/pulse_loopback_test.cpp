// Real-time sound through ALSA without a sound card: a PulseAudio daemon of the test's own with
// a null sink, reached through ALSA's pulse plugin. needlerec-cli plays a file into the sink
// while another needlerec-cli records the sink's monitor; the recording holds the played
// samples bit for bit.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/pulse_server.h"

namespace {

namespace fs = std::filesystem;

using testfiles::ReadFile;
using testfiles::Wave16Stereo;

// Processes that keep the processors busy while they live.
class TBusyProcesses {
 public:
  explicit TBusyProcesses(int count) {
    for (int i = 0; i < count; ++i)
      FPids.push_back(TPulseServer::Spawn({"sh", "-c", "while :; do :; done"}, {}, "/dev/null"));
  }
  ~TBusyProcesses() {
    for (const pid_t pid : FPids) {
      kill(pid, SIGKILL);
      TPulseServer::WaitFor(pid);
    }
  }

 private:
  std::vector<pid_t> FPids;
};

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

  // Stops a program (SIGSTOP) for `held` once its log shows `text` (or after ten seconds) and
  // `after` more have passed, as Ctrl-Z, a debugger or a busy machine holds it back.
  static void HoldBack(pid_t pid, const fs::path& log, const std::string& text,
                       std::chrono::seconds after, std::chrono::seconds held) {
    for (int i = 0; i < 1000 && ReadFile(log).find(text) == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(after);
    kill(pid, SIGSTOP);
    std::this_thread::sleep_for(held);
    kill(pid, SIGCONT);
  }

  // Waits until the file at `path` holds more than `bytes` bytes; false after a minute.
  static bool WaitForSize(const fs::path& path, uintmax_t bytes) {
    for (int i = 0; i < 3000; ++i) {
      std::error_code error;
      const uintmax_t size = fs::file_size(path, error);
      if (!error && size > bytes) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Plays `wave` with needlerec-cli while a capture of the sink's monitor runs, beside `busy`
  // busy processes; returns what the capture received, or fails.
  void PlayAndCapture(const std::string& wave, int busy, std::string& capture) {
    const fs::path captured = dir_ / "capture.raw";
    // Short fragments, so that the capture has what the sink played soon after it played it.
    const pid_t recorder =
        TPulseServer::Spawn({"parec", "-d", "vsink.monitor", "--raw", "--latency-msec=50"},
                            server_.Env, captured.string());
    struct TEnd {
      pid_t pid;
      ~TEnd() {
        kill(pid, SIGTERM);
        TPulseServer::WaitFor(pid);
      }
    } endRecorder{recorder};
    // The sink plays silence while nothing else plays: once that arrives, the capture runs.
    ASSERT_TRUE(WaitForSize(captured, 0)) << "the capture never started";
    std::ofstream(dir_ / "tone.wav", std::ios::binary) << wave;
    {
      TBusyProcesses load(busy);
      const pid_t player = TPulseServer::Spawn(
          {NEEDLEREC_CLI, "play", (dir_ / "tone.wav").string(), "--device", "0"}, cliEnv_,
          (dir_ / "play.log").string());
      ASSERT_EQ(TPulseServer::WaitFor(player), 0) << ReadFile(dir_ / "play.log");
    }
    // The player ends once the sink has played its last block; the capture follows the sink by
    // a fragment: a second more of it holds all that was played.
    ASSERT_TRUE(WaitForSize(captured, fs::file_size(captured) + 44100 * 4));
    capture = ReadFile(captured);
  }

  // Plays a tone of several seconds again and again and finds each time, from the first sample
  // after its lead-in on, exactly the file in what the sink received.
  void ExpectTheSinkReceivesTheFile(int busy) {
    // A tone with a little noise on it, so that no stretch of it repeats (a skipped or a
    // repeated piece shows), at a level no sample of which is zero (a gap shows as a run of
    // zeros), in the left channel, its negative in the right; then three seconds of silence of
    // the file's own. The first half second is a lead-in: as a stream starts, the sink mixes it
    // into what it has prepared already, and a capture that has taken that part misses the
    // stream's first tens of milliseconds. (At the end of a stream the sound server may drop what
    // its sink has taken but not played yet, up to about two seconds: that is no gap within the
    // audio, which is what this test is about, and falls in the file's silence here.)
    std::string data;
    uint32_t noise = 12345;
    const size_t leadIn = 44100 / 2 * 4;
    for (int i = 0; i < 44100 * 9 / 2; ++i) {
      noise = noise * 1664525u + 1013904223u;
      const double s = std::sin(2 * M_PI * 441.0 * i / 44100.0);
      const int v0 = int(std::lround(s * 12000.0)) + int(noise >> 28);
      const int16_t v = int16_t(v0 >= 0 ? v0 + 1 : v0);
      for (const int16_t x : {v, int16_t(-v)}) {
        data.push_back(char(x & 0xFF));
        data.push_back(char((x >> 8) & 0xFF));
      }
    }
    data.append(44100 * 4 * 3, '\0');
    for (int run = 0; run < 3; ++run) {
      SCOPED_TRACE("run " + std::to_string(run + 1));
      std::string capture;
      ASSERT_NO_FATAL_FAILURE(PlayAndCapture(Wave16Stereo(data), busy, capture));
      const std::string played = data.substr(leadIn);
      const size_t at = capture.find(played.substr(0, 4096));
      ASSERT_NE(at, std::string::npos) << "the samples after the lead-in were not received";
      ASSERT_GE(capture.size(), at + played.size()) << "the capture ends within the file";
      const std::string received = capture.substr(at, played.size());
      size_t first = 0;
      while (first < played.size() && received[first] == played[first]) ++first;
      size_t zeros = first;
      while (zeros < received.size() && received[zeros] == '\0') ++zeros;
      EXPECT_EQ(first, played.size())
          << "the sink received the file up to " << double(leadIn + first) / (44100 * 4)
          << " s, then " << double(zeros - first) / (44100 * 4) << " s of zeros";
    }
  }

  fs::path dir_;
  TPulseServer server_;
  std::vector<std::string> cliEnv_;
};

TEST_F(PulseLoopback, APlayedFileReachesTheSinkSampleForSampleWithoutGaps) {
  ExpectTheSinkReceivesTheFile(0);
}

TEST_F(PulseLoopback, APlayedFileReachesTheSinkWithoutGapsBesideTwoBusyProcesses) {
  ExpectTheSinkReceivesTheFile(2);
}

// A player stopped for longer than its device holds audio (a machine too busy to feed it): the
// sound system runs dry and plays silence of its own; the player counts it, says so and exits
// with 3.
TEST_F(PulseLoopback, AnUnderrunIsCountedAndReported) {
  std::ofstream(dir_ / "tone.wav", std::ios::binary)
      << Wave16Stereo(std::string(44100 * 4 * 5, '\x10'));
  const fs::path log = dir_ / "play.log";
  const pid_t player =
      TPulseServer::Spawn({NEEDLEREC_CLI, "play", (dir_ / "tone.wav").string(), "--device", "0"},
                          cliEnv_, log.string());
  HoldBack(player, log, "playing ", std::chrono::seconds(1), std::chrono::seconds(3));
  EXPECT_EQ(TPulseServer::WaitFor(player), 3) << ReadFile(log);
  EXPECT_NE(ReadFile(log).find(": The sound device ran out of audio "), std::string::npos)
      << ReadFile(log);
}

// A recorder stopped for longer than the stall watchdog's 5 s (Ctrl-Z and fg, a debugger, a
// frozen container): its device did not stall (the sound server kept the audio meanwhile), and
// the take goes on to its full length, in real time after the backlog, with nothing lost.
TEST_F(PulseLoopback, AStoppedRecorderIsNotAStalledDevice) {
  const fs::path log = dir_ / "record.log";
  const pid_t recorder = TPulseServer::Spawn(
      {NEEDLEREC_CLI, "record", (dir_ / "rec.wav").string(), "--device", "1", "--seconds", "12"},
      cliEnv_, log.string());
  HoldBack(recorder, log, " dBFS ", std::chrono::seconds(0), std::chrono::seconds(8));
  EXPECT_EQ(TPulseServer::WaitFor(recorder), 0) << ReadFile(log);
  EXPECT_EQ(ReadFile(log).find("stopped delivering audio"), std::string::npos) << ReadFile(log);
  EXPECT_EQ(ReadFile(log).find("lost "), std::string::npos) << ReadFile(log);
  const std::string recording = ReadFile(dir_ / "rec.wav");
  EXPECT_EQ(recording.size(), 80u + 12 * 176400) << ReadFile(log);
}

// A sound server that stops answering (frozen) in the middle of a take: the take ends saved
// and incomplete, the stall reported five seconds after the last block came (the time is
// written to the test's log; a busy machine may stretch it).
TEST_F(PulseLoopback, AFrozenServerEndsTheTakeAsAStall) {
  const fs::path log = dir_ / "record.log";
  const pid_t recorder = TPulseServer::Spawn(
      {NEEDLEREC_CLI, "record", (dir_ / "rec.wav").string(), "--device", "1", "--seconds", "60"},
      cliEnv_, log.string());
  ASSERT_TRUE(WaitForSize(dir_ / "rec.wav", 80 + 176400));
  ASSERT_TRUE(server_.Freeze());
  const auto frozen = std::chrono::steady_clock::now();
  for (int i = 0; i < 3000 && ReadFile(log).find("stopped delivering") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The device still hands over what its buffer held when the server froze (up to about a
  // second and a half), then the watchdog's five seconds run.
  std::printf("the stall was reported %.1f s after the server froze\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - frozen).count());
  EXPECT_EQ(TPulseServer::WaitFor(recorder), 3) << ReadFile(log);
  server_.Thaw();
  EXPECT_NE(ReadFile(log).find("The sound device stopped delivering audio"), std::string::npos)
      << ReadFile(log);
  EXPECT_GT(ReadFile(dir_ / "rec.wav").size(), 80u + 176400);
}

// A sound server that dies in the middle of a take: what was recorded is saved, and the take
// ends as incomplete, saying that the device was lost.
TEST_F(PulseLoopback, ATakeWhoseServerDiesIsSavedAndReportedAsLost) {
  const fs::path log = dir_ / "record.log";
  const pid_t recorder = TPulseServer::Spawn(
      {NEEDLEREC_CLI, "record", (dir_ / "rec.wav").string(), "--device", "1", "--seconds", "20"},
      cliEnv_, log.string());
  ASSERT_TRUE(WaitForSize(dir_ / "rec.wav", 80 + 176400));
  kill(server_.Daemon, SIGKILL);
  TPulseServer::WaitFor(server_.Daemon);
  server_.Daemon = -1;
  EXPECT_EQ(TPulseServer::WaitFor(recorder), 3) << ReadFile(log);
  EXPECT_NE(ReadFile(log).find("the sound device was lost"), std::string::npos) << ReadFile(log);
  const std::string recording = ReadFile(dir_ / "rec.wav");
  ASSERT_GT(recording.size(), 80u + 176400);
  uint32_t dataSize = 0;
  std::memcpy(&dataSize, recording.data() + 76, 4);
  EXPECT_EQ(dataSize, recording.size() - 80) << "the header holds every byte saved";
}

// A recorder held back for longer than the sound server keeps audio for it: the server drops
// what it cannot hold, and the recorder counts it from the stream's clock. The sink plays a
// count of frames, so the frames missing from the recording are known exactly. (Without shared
// memory the server holds a stream's 4 MiB, about 24 s, and no more.)
TEST_F(PulseLoopback, AudioTheServerDroppedIsCountedAndReported) {
  server_.Stop();
  ASSERT_TRUE(server_.Start(dir_, {"--disable-shm=yes"})) << ReadFile(dir_ / "pulse.log");
  std::string data;
  for (uint32_t i = 0; i < 44100 * 60; ++i)
    for (const uint16_t half : {uint16_t(i), uint16_t(i >> 16)}) {
      data.push_back(char(half & 0xFF));
      data.push_back(char(half >> 8));
    }
  std::ofstream(dir_ / "count.wav", std::ios::binary) << Wave16Stereo(data);
  data.clear();
  const pid_t player =
      TPulseServer::Spawn({NEEDLEREC_CLI, "play", (dir_ / "count.wav").string(), "--device", "0"},
                          cliEnv_, (dir_ / "play.log").string());
  struct TEnd {
    pid_t pid;
    ~TEnd() {
      kill(pid, SIGTERM);
      TPulseServer::WaitFor(pid);
    }
  } endPlayer{player};
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const fs::path log = dir_ / "record.log";
  const pid_t recorder = TPulseServer::Spawn({NEEDLEREC_CLI, "record", (dir_ / "rec.wav").string(),
                                              "--device", "1", "--seconds", "30", "--buffer", "60"},
                                             cliEnv_, log.string());
  HoldBack(recorder, log, " dBFS ", std::chrono::seconds(1), std::chrono::seconds(30));
  EXPECT_EQ(TPulseServer::WaitFor(recorder), 3) << ReadFile(log);
  const std::string out = ReadFile(log);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m,
                                std::regex("lost \\d+\\.\\d{3} s of audio \\((\\d+) sample "
                                           "frames\\) in \\d+ dropouts: the sound device dropped")))
      << out;
  const int64_t reported = std::stoll(m[1]);

  const std::string recording = ReadFile(dir_ / "rec.wav");
  ASSERT_EQ(recording.size(), 80u + 30 * 176400) << "the take goes on to its full length";
  int64_t missing = 0;
  uint32_t previous = 0;
  for (size_t at = 80; at + 4 <= recording.size(); at += 4) {
    const auto half = [&](size_t i) {
      return uint32_t(uint8_t(recording[i])) | uint32_t(uint8_t(recording[i + 1])) << 8;
    };
    const uint32_t count = half(at) | half(at + 2) << 16;
    if (at > 80 && count > previous + 1) missing += count - previous - 1;
    previous = count;
  }
  EXPECT_GT(missing, 44100) << "the server dropped audio";
  EXPECT_NEAR(double(reported), double(missing), 4410.0)
      << "reported " << reported << " frames lost, " << missing << " are missing";
}

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
  std::ofstream(dir_ / "play.wav", std::ios::binary) << Wave16Stereo(data);

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
