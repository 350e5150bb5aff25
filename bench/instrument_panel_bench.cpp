// The share of one core that the window's four level instruments cost while audio plays: two
// level bars and two needle meters fed with 16-bit stereo at 48 kHz in blocks of 8192 bytes,
// cut into pieces as the connector cuts them (50 frames for a bar, 1000 for a meter, a piece
// that would reach beyond the block is left out), with the screen updated 60 times per second
// of audio. The signal is a 997 Hz tone whose level swings between -30 and -10 dBFS twice a
// second, so the needles and the bars move all the time.
//
// core_percent is the process's CPU time over the audio time it handled: the share of one core
// that showing the signal in real time would take.
#include <time.h>

#include <QWidget>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "bench/instrument_bench.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlockFrames = 8192 / 4;
constexpr int kBarFrames = 50;
constexpr int kMeterFrames = 1000;
constexpr int kFrameEvery = kRate / 60;  // audio frames between two screen updates

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// One second of the tone, both channels alike; it repeats seamlessly (whole cycles of both the
// tone and the swing), so the loop copies from it instead of computing samples.
std::vector<int16_t> ToneSecond() {
  std::vector<int16_t> tone(size_t(2 * kRate));
  for (int i = 0; i < kRate; ++i) {
    const double t = double(i) / kRate;
    const double db = -20.0 + 10.0 * std::sin(2 * std::numbers::pi * 2.0 * t);
    const double v =
        32767.0 * std::pow(10.0, db / 20.0) * std::sin(2 * std::numbers::pi * 997.0 * t);
    tone[size_t(2 * i)] = tone[size_t(2 * i + 1)] = int16_t(std::lround(v));
  }
  return tone;
}

// The next block of the tone, from audio frame `start` on.
void FillBlock(std::vector<int16_t>& block, const std::vector<int16_t>& tone, int64_t start) {
  for (int i = 0; i < kBlockFrames; ++i) {
    const auto from = size_t(2 * ((start + i) % kRate));
    block[size_t(2 * i)] = tone[from];
    block[size_t(2 * i + 1)] = tone[from + 1];
  }
}

void BM_FourInstrumentsAt48k(benchmark::State& state) {
  QWidget parent;
  TMMLevel bar1(nullptr, &parent), bar2(nullptr, &parent);
  TMMMeter meter1(nullptr, &parent), meter2(nullptr, &parent);
  SetUpWindowBar(parent, bar1, chLeft, true);
  SetUpWindowBar(parent, bar2, chRight, true);
  SetUpWindowMeter(parent, meter1, chLeft);
  SetUpWindowMeter(parent, meter2, chRight);
  parent.resize(700, 450);
  meter1.SetBounds(20, 20, 190, 110);
  meter2.SetBounds(230, 20, 190, 110);
  bar1.SetBounds(20, 150, 200, 8);
  bar2.SetBounds(20, 162, 200, 8);
  parent.show();
  QCoreApplication::processEvents();

  const std::vector<int16_t> tone = ToneSecond();
  std::vector<int16_t> block(size_t(2 * kBlockFrames));
  int64_t audioFrames = 0, screenUpdates = 0;
  const double cpuStart = ProcessCpuSeconds();
  // A screen update whenever the audio passes a frame boundary between `from` and `to`.
  auto present = [&](int64_t from, int64_t to) {
    if (from / kFrameEvery == to / kFrameEvery) return;
    for (QWidget* w : {static_cast<QWidget*>(&bar1), static_cast<QWidget*>(&bar2),
                       static_cast<QWidget*>(&meter1), static_cast<QWidget*>(&meter2)})
      w->repaint();
    ++screenUpdates;
  };
  for (auto _ : state) {
    FillBlock(block, tone, audioFrames);
    int at = 0;
    for (; at + kBarFrames <= kBlockFrames; at += kBarFrames) {
      const int16_t* piece = block.data() + 2 * at;
      bar1.RefreshPCMData(piece);
      bar2.RefreshPCMData(piece);
      if (at % kMeterFrames == 0 && at + kMeterFrames <= kBlockFrames) {
        meter1.RefreshPCMData(piece);
        meter2.RefreshPCMData(piece);
      }
      present(audioFrames + at, audioFrames + at + kBarFrames);
    }
    present(audioFrames + at, audioFrames + kBlockFrames);
    audioFrames += kBlockFrames;
  }
  const double cpu = ProcessCpuSeconds() - cpuStart;
  const double audioSeconds = double(audioFrames) / kRate;
  state.counters["core_percent"] = benchmark::Counter(100.0 * cpu / audioSeconds);
  state.counters["screen_updates_per_s"] = benchmark::Counter(double(screenUpdates) / audioSeconds);
}
BENCHMARK(BM_FourInstrumentsAt48k)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return RunInstrumentBenchmarks(argc, argv);
}
