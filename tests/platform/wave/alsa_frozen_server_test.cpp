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
#include "tests/support/pulse_server.h"

namespace {

using namespace std::chrono_literals;
using namespace wavetest;
using TClock = std::chrono::steady_clock;

// Generous for a busy machine, far below "forever": a close leaves a frozen pcm after 1.5 s.
constexpr auto kBound = 5s;

class AlsaFrozenServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TPulseServer::Available())
      GTEST_SKIP() << "pulseaudio, parec and pactl are installed by scripts/install-deps";
    ASSERT_TRUE(Server.Start(Dir.File(""))) << "the PulseAudio daemon did not come up";
    FConfig.emplace("ALSA_CONFIG_PATH", Server.AlsaConfig);
    FNames.emplace("NEEDLEREC_ALSA_DEVICES", "nr_pulse|nr_pulse_mon");
    RescanWaveDevices();
  }
  void TearDown() override {
    Server.Thaw();
    SystemWaveDriver()->AbandonAll();
    Server.Stop();
    FNames.reset();
    FConfig.reset();
    RescanWaveDevices();
  }

  void Freeze() { ASSERT_TRUE(Server.Freeze()); }
  void Thaw() { Server.Thaw(); }

  TTempDir Dir;
  std::optional<TScopedEnv> FConfig;
  std::optional<TScopedEnv> FNames;
  TPulseServer Server;
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
