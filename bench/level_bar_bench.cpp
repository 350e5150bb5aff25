// The cost of one data hand-over to the window's level bar: RefreshPCMData of 50 frames of
// 16-bit stereo (the peak, the decay, the spot count, the held peak) plus its drawing (the
// unlit image copied, the lit and peak spots filled, the result put into the control's
// picture). Two levels alternate so the count changes, and the bar is drawn, on every update
// (a steady level draws as often: it re-arms the held peak each time).
#include <QWidget>
#include <cmath>
#include <cstdint>
#include <vector>

#include "bench/instrument_bench.h"

namespace {

// 50 frames of 16-bit stereo with both channels at ±10^(Db/20) of full scale.
std::vector<int16_t> Block(double Db) {
  const auto amplitude = int16_t(std::lround(32767.0 * std::pow(10.0, Db / 20.0)));
  std::vector<int16_t> frames;
  for (int i = 0; i < 50; ++i) {
    const int16_t v = i % 2 ? int16_t(-amplitude) : amplitude;
    frames.push_back(v);
    frames.push_back(v);
  }
  return frames;
}

// The window's left bar, at 24 or 8 bits.
void BM_LevelRefresh(benchmark::State& state) {
  QWidget parent;
  TMMLevel bar(nullptr, &parent);
  SetUpWindowBar(parent, bar, chLeft, false);
  bar.SetBitsPerPixel(int(state.range(0)));
  parent.show();
  bar.Picture();  // the unlit image drawn once
  int64_t draws = 0;
  bar.OnPaint = [&](TObject*) { ++draws; };
  const std::vector<int16_t> loud = Block(-3.0), quiet = Block(-20.0);
  RunRefreshLoop(state, bar, loud, quiet, draws);
}

BENCHMARK(BM_LevelRefresh)->Arg(24)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return RunInstrumentBenchmarks(argc, argv);
}
