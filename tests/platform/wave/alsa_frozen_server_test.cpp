// The ALSA devices against a PulseAudio server that stops answering: a daemon of the test's
// own with a null sink, reached through ALSA's pulse plugin, stopped with SIGSTOP while a
// device runs. Stop, reset and close must come back in a bounded time although the server
// answers none of the calls they make, and the server waking up later must find nothing
// freed (AddressSanitizer sees that).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wave/system_driver.h"
#include "tests/platform/wave/wave_test_util.h"

namespace {

using namespace std::chrono_literals;
using namespace wavetest;
using TClock = std::chrono::steady_clock;

// Generous for a busy machine, far below "forever": a close leaves a frozen pcm after 1.5 s.
constexpr auto kBound = 5s;

bool OnPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& log) {
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

void End(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGCONT);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

class AlsaFrozenServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnPath("pulseaudio") || !OnPath("parec") || !OnPath("pactl"))
      GTEST_SKIP() << "pulseaudio, parec and pactl are installed by scripts/install-deps";
    const std::string run = Dir.File("run");
    std::filesystem::create_directories(run);
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
    const std::string socket = Dir.File("pulse.sock");
    const std::vector<std::string> env = {"HOME=" + Dir.File(""), "XDG_RUNTIME_DIR=" + run,
                                          "PULSE_SERVER=unix:" + socket};
    Daemon = Spawn({"pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                    "--load=module-null-sink sink_name=vsink rate=44100 channels=2",
                    "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket},
                   env, Dir.File("pulse.log"));
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
      std::this_thread::sleep_for(50ms);
      up =
          std::system(("PULSE_SERVER=unix:" + socket + " pactl info >/dev/null 2>&1").c_str()) == 0;
    }
    ASSERT_TRUE(up) << "the PulseAudio daemon did not come up";
    // An idle null sink stalls the next stream; a reader kept attached prevents that.
    Monitor = Spawn({"parec", "-d", "vsink.monitor", "--raw"}, env, "/dev/null");
    const std::string config = "pcm.nr_pulse { type pulse server \"unix:" + socket +
                               "\" device \"vsink\" }\n"
                               "pcm.nr_pulse_mon { type pulse server \"unix:" +
                               socket + "\" device \"vsink.monitor\" }\n";
    WriteFile(Dir.File("asound.conf"), std::vector<char>(config.begin(), config.end()));
    FConfig.emplace("ALSA_CONFIG_PATH", Dir.File("asound.conf"));
    FNames.emplace("NEEDLEREC_ALSA_DEVICES", "nr_pulse|nr_pulse_mon");
    RescanWaveDevices();
  }
  void TearDown() override {
    if (Daemon > 0) kill(Daemon, SIGCONT);
    SystemWaveDriver()->AbandonAll();
    End(Monitor);
    End(Daemon);
    FNames.reset();
    FConfig.reset();
    RescanWaveDevices();
  }

  void Freeze() { ASSERT_EQ(kill(Daemon, SIGSTOP), 0); }
  void Thaw() { kill(Daemon, SIGCONT); }

  TTempDir Dir;
  std::optional<TScopedEnv> FConfig;
  std::optional<TScopedEnv> FNames;
  pid_t Daemon = -1;
  pid_t Monitor = -1;
  const WAVEFORMATEX Format = Pcm(44100, 16, 2);
};

template <typename TCall>
TClock::duration Timed(TCall call) {
  const auto start = TClock::now();
  call();
  return TClock::now() - start;
}

TEST_F(AlsaFrozenServer, CaptureDeliversNothingWhileFrozenAndStopResetCloseReturn) {
  const int id = FindDevice(true, "nr_pulse_mon");
  ASSERT_EQ(id, 1);
  TRecorder rec;
  TBlocks blocks(8, 4410 * 4);  // 100 ms each
  HWAVEIN handle = nullptr;
  ASSERT_EQ(waveInOpen(&handle, id, &Format, rec.Function(), rec.Instance(), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  // Every returned block goes back into the queue while the device runs.
  std::atomic<bool> requeue{true};
  rec.OnBlock = [&](WAVEHDR* header) {
    if (requeue.load()) waveInAddBuffer(handle, header, sizeof(WAVEHDR));
  };
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveInPrepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
  ASSERT_TRUE(rec.WaitFor(WIM_DATA, 3)) << "the capture did not run";

  Freeze();
  // What was on its way is delivered; then nothing comes while the server sleeps.
  std::this_thread::sleep_for(1s);
  const size_t frozenAt = rec.Count(WIM_DATA);
  std::this_thread::sleep_for(1s);
  EXPECT_LE(rec.Count(WIM_DATA), frozenAt + 1);

  requeue = false;
  EXPECT_LT(Timed([&] { EXPECT_EQ(waveInStop(handle), MMSYSERR_NOERROR); }), kBound);
  EXPECT_LT(Timed([&] { EXPECT_EQ(waveInReset(handle), MMSYSERR_NOERROR); }), kBound);
  for (size_t i = 0; i < blocks.Size(); ++i) {
    EXPECT_EQ(blocks[i]->dwFlags & WHDR_INQUEUE, 0u) << "block " << i << " still queued";
    EXPECT_EQ(waveInUnprepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  EXPECT_LT(Timed([&] { EXPECT_EQ(waveInClose(handle), MMSYSERR_NOERROR); }), kBound);
  EXPECT_EQ(rec.Messages().back(), WIM_CLOSE);

  // The server wakes up to the calls still waiting for it; the device opens and records again.
  Thaw();
  std::this_thread::sleep_for(500ms);
  TRecorder again;
  TBlocks more(3, 4410 * 4);
  ASSERT_EQ(waveInOpen(&handle, id, &Format, again.Function(), again.Instance(), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  for (size_t i = 0; i < more.Size(); ++i) {
    ASSERT_EQ(waveInPrepareHeader(handle, more[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(handle, more[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
  EXPECT_TRUE(again.WaitFor(WIM_DATA, more.Size()));
  EXPECT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(handle), MMSYSERR_NOERROR);
}

TEST_F(AlsaFrozenServer, PlaybackResetAndCloseReturnWhileFrozen) {
  const int id = FindDevice(false, "nr_pulse");
  ASSERT_EQ(id, 0);
  TRecorder rec;
  TBlocks blocks(20, 4410 * 4);  // 2 s
  FillPattern(blocks);
  HWAVEOUT handle = nullptr;
  ASSERT_EQ(waveOutOpen(&handle, id, &Format, rec.Function(), rec.Instance(), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  for (size_t i = 0; i < blocks.Size(); ++i) {
    ASSERT_EQ(waveOutPrepareHeader(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(handle, blocks[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(rec.WaitFor(WOM_DONE, 2)) << "the playback did not run";
  Freeze();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(Timed([&] { EXPECT_EQ(waveOutReset(handle), MMSYSERR_NOERROR); }), kBound);
  EXPECT_EQ(rec.Count(WOM_DONE), blocks.Size());
  EXPECT_LT(Timed([&] { EXPECT_EQ(waveOutClose(handle), MMSYSERR_NOERROR); }), kBound);
  Thaw();
}

}  // namespace
