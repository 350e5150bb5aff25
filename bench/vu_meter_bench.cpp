// The cost of one data hand-over to the window's needle meter: RefreshPCMData of 1000 frames
// of 16-bit stereo (the RMS, the decay, the angle) plus its drawing (the cached scale copied,
// the needle drawn, the result put into the control's picture). Two levels alternate so the
// needle moves, and is drawn, on every update.
#include <QWidget>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "bench/instrument_bench.h"

namespace {

std::vector<int16_t> Sine(double peakDb) {
  std::vector<int16_t> frames(2000, 0);
  const double amplitude = 32767.0 * std::pow(10.0, peakDb / 20.0);
  for (int i = 0; i < 1000; ++i) {
    const auto v =
        int16_t(std::lround(amplitude * std::sin(2 * std::numbers::pi * 997.0 * i / 48000.0)));
    frames[size_t(2 * i)] = v;
    frames[size_t(2 * i + 1)] = v;
  }
  return frames;
}

void BM_MeterRefresh(benchmark::State& state) {
  QWidget parent;
  TMMMeter meter(nullptr, &parent);
  SetUpWindowMeter(parent, meter, chLeft);
  parent.show();
  meter.Picture();  // the scale drawn once into its cache
  const std::vector<int16_t> loud = Sine(-10.0), quiet = Sine(-30.0);
  int64_t draws = 0;
  meter.OnPostPaint = [&] { ++draws; };
  RunRefreshLoop(state, meter, loud, quiet, draws);
}
BENCHMARK(BM_MeterRefresh)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return RunInstrumentBenchmarks(argc, argv);
}
