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

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool OnPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Starts a program with the given environment additions; its output goes to `log`.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const fs::path& log) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  if (FILE* out = std::fopen(log.c_str(), "w")) {
    dup2(fileno(out), 1);
    dup2(fileno(out), 2);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

int WaitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  WaitFor(pid);
}

void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char(v >> (8 * i)));
}

class PulseLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnPath("pulseaudio") || !OnPath("parec"))
      GTEST_SKIP() << "pulseaudio and parec are installed by scripts/install-deps";
    char pattern[] = "/tmp/needlerec-pulse-XXXXXX";
    dir_ = mkdtemp(pattern);
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all);
    const std::string socket = (dir_ / "pulse.sock").string();
    env_ = {"HOME=" + dir_.string(), "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
            "PULSE_SERVER=unix:" + socket};
    daemon_ = Spawn({"pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                     "--load=module-null-sink sink_name=vsink rate=44100 channels=2",
                     "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket},
                    env_, dir_ / "pulse.log");
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      up =
          std::system(("PULSE_SERVER=unix:" + socket + " pactl info >/dev/null 2>&1").c_str()) == 0;
    }
    ASSERT_TRUE(up) << ReadFile(dir_ / "pulse.log");
    // An idle null sink stalls the next stream; a reader kept attached prevents that.
    monitor_ = Spawn({"parec", "-d", "vsink.monitor", "--raw"}, env_, "/dev/null");
    std::ofstream(dir_ / "asound.conf")
        << "pcm.nr_pulse { type pulse server \"unix:" << socket << "\" device \"vsink\" }\n"
        << "pcm.nr_pulse_mon { type pulse server \"unix:" << socket
        << "\" device \"vsink.monitor\" }\n";
    cliEnv_ = env_;
    cliEnv_.push_back("ALSA_CONFIG_PATH=" + (dir_ / "asound.conf").string());
    cliEnv_.push_back("NEEDLEREC_ALSA_DEVICES=nr_pulse|nr_pulse_mon");
    // Errors the devices recover from appear in the logs a failure prints.
    cliEnv_.push_back("NEEDLEREC_ALSA_LOG=1");
  }
  void TearDown() override {
    Stop(monitor_);
    Stop(daemon_);
    if (!dir_.empty() && !std::getenv("NEEDLEREC_KEEP_TEST_FILES")) fs::remove_all(dir_);
  }

  fs::path dir_;
  std::vector<std::string> env_, cliEnv_;
  pid_t daemon_ = -1, monitor_ = -1;
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

  const pid_t recorder = Spawn(
      {NEEDLEREC_CLI, "record", (dir_ / "rec.wav").string(), "--device", "1", "--seconds", "6"},
      cliEnv_, dir_ / "record.log");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the capture is running
  const pid_t player = Spawn({NEEDLEREC_CLI, "play", (dir_ / "play.wav").string(), "--device", "0"},
                             cliEnv_, dir_ / "play.log");
  ASSERT_EQ(WaitFor(player), 0) << ReadFile(dir_ / "play.log");
  ASSERT_EQ(WaitFor(recorder), 0) << ReadFile(dir_ / "record.log");

  const std::string recording = ReadFile(dir_ / "rec.wav");
  ASSERT_GT(recording.size(), 44u);
  const std::string recorded = recording.substr(44);
  const std::string played = data.substr(leadIn);
  // Where the 2 s begin in the recording; then every byte of them must follow.
  const size_t at = recorded.find(played.substr(0, 4096));
  ASSERT_NE(at, std::string::npos) << "the start of the played data was not recorded";
  EXPECT_TRUE(recorded.compare(at, played.size(), played) == 0) << "recorded at " << at;
}

}  // namespace
