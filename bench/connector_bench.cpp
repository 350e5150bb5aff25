// What the connectors cost the main thread: one connector with the window's instruments (two
// bars of 50 frames, two meters of 1000 frames, a phase scope of 1024 frames) fed 8192-byte
// blocks of 44.1 kHz stereo in real time by a thread of its own, as a recording device would,
// and the same connector armed with nothing playing. The instruments only sum their piece, so
// the figures are the connector's own: the main thread's CPU per second, and its wake-ups.
//
// The main thread waits for its messages as a window system's loop does (no polling), so what
// it spends is what the refresh loop makes it spend.
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/kernel/message_queue.h"
#include "platform/mainloop/main_loop.h"
#include "stream/connector.h"
#include "stream/wave_format.h"

namespace {

class TSummingInstrument : public TMMInstrumentData {
 public:
  explicit TSummingInstrument(int32_t numBytes) : FNumBytes(numBytes) {}
  void SetPWaveFormat(const WAVEFORMATEX*) override {}
  int32_t GetNumBytes() const override { return FNumBytes; }
  void RefreshPCMData(const void* Data) override {
    const auto* s = static_cast<const int16_t*>(Data);
    for (int32_t i = 0; i < FNumBytes / 2; ++i) Sum += s[i];
  }
  void ResetData() override {}
  int64_t Sum = 0;

 private:
  int32_t FNumBytes;
};

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

long VoluntarySwitches() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

// Runs the main loop for `seconds`, waiting for messages as a window system does.
void RunMainLoop(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    MsgWaitForMultipleObjects({}, uint32_t(left.count()));
    ProcessMessages();
  }
}

void Measure(const char* what, double seconds, const std::function<void()>& run) {
  const double cpu = ThreadCpuSeconds();
  const long switches = VoluntarySwitches();
  run();
  const double used = ThreadCpuSeconds() - cpu;
  std::printf("%-58s %7.3f %% of a core  %7.0f wake-ups/s\n", what, 100.0 * used / seconds,
              double(VoluntarySwitches() - switches) / seconds);
}

}  // namespace

int main() {
  constexpr double kSeconds = 5.0;
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 2, 44100);
  TSummingInstrument bar1(200), bar2(200), meter1(4000), meter2(4000), scope(4096);
  TMMConnector connector(nullptr);
  connector.SetPWaveFormat(&f);
  connector.SetBufferSize(8192);
  connector.SetLevel1(&bar1);
  connector.SetLevel2(&bar2);
  connector.SetMeter1(&meter1);
  connector.SetMeter2(&meter2);
  connector.SetSpectrum1(&scope);
  connector.Open();
  connector.Start();
  RunUntil([&] { return connector.Triggered(); }, 5000);

  Measure("armed, nothing playing: main thread", kSeconds, [&] { RunMainLoop(kSeconds); });

  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    std::vector<int16_t> block(4096);
    for (size_t i = 0; i < block.size(); ++i) block[i] = int16_t((i * 37) % 20000 - 10000);
    // A block every 8192 / 176400 s, on an absolute schedule like a sound card's.
    const auto period = std::chrono::microseconds(8192LL * 1000000 / 176400);
    auto next = std::chrono::steady_clock::now();
    while (feeding) {
      connector.TapData(block.data(), 8192);
      next += period;
      std::this_thread::sleep_until(next);
    }
  });
  Measure("monitoring 44.1 kHz stereo, 5 instruments: main thread", kSeconds,
          [&] { RunMainLoop(kSeconds); });
  feeding = false;
  feeder.join();
  std::printf("pieces shown per second: levels %.0f, meters %.0f, spectra %.0f\n",
              connector.KindCount(ikLevel) / kSeconds, connector.KindCount(ikMeter) / kSeconds,
              connector.KindCount(ikSpectrum) / kSeconds);
  connector.Stop();
  return 0;
}
