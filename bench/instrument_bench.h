// What the instrument benchmarks share: the instrument placed alone on its parent, the timed loop
// of data hand-overs, and a main that runs them under an off-screen Qt application.
#pragma once

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "instruments/bevel.h"

// Makes Instrument fill Parent, Width x Height, without a bevel.
template <class TInstrument>
void FillParent(QWidget& Parent, TInstrument& Instrument, int Width, int Height) {
  Parent.resize(Width, Height);
  Instrument.Bevel()->SetBevelOuter(bvNone);
  Instrument.SetBounds(0, 0, Width, Height);
}

// Hands Loud and Quiet to Instrument in turn, so that every update changes the picture, and
// lets Qt deliver the paint events every 256 updates. Draws is the count that the instrument's
// paint callback raises; it is reported per update.
template <class TInstrument>
void RunRefreshLoop(benchmark::State& state, TInstrument& Instrument,
                    const std::vector<int16_t>& Loud, const std::vector<int16_t>& Quiet,
                    const int64_t& Draws) {
  bool flip = false;
  for (auto _ : state) {
    Instrument.RefreshPCMData((flip = !flip) ? Loud.data() : Quiet.data());
    if (state.iterations() % 256 == 0) QCoreApplication::processEvents();
  }
  state.counters["draws_per_update"] =
      benchmark::Counter(double(Draws) / double(state.iterations()));
}

// Runs the registered benchmarks with an application on the off-screen platform.
inline int RunInstrumentBenchmarks(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
