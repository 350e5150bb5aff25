// What the instrument benchmarks share: the instrument placed alone on its parent, the timed loop
// of data hand-overs, and a main that runs them under an off-screen Qt application.
#pragma once

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "instruments/bevel.h"
#include "instruments/level_bar.h"
#include "instruments/vu_meter.h"

// Makes Instrument fill Parent, Width x Height, without a bevel.
template <class TInstrument>
void FillParent(QWidget& Parent, TInstrument& Instrument, int Width, int Height) {
  Parent.resize(Width, Height);
  Instrument.Bevel()->SetBevelOuter(bvNone);
  Instrument.SetBounds(0, 0, Width, Height);
}

// The window's level bar of one channel: 200 x 8, spots of 2, dotted silver unlit spots,
// 16-bit stereo. WithDecay adds the window's dmStepUp decay 8; without it the count follows
// each block at once.
inline void SetUpWindowBar(QWidget& Parent, TMMLevel& Bar, TMMChannel Channel, bool WithDecay) {
  FillParent(Parent, Bar, 200, 8);
  Bar.SetSpotWidth(2);
  Bar.SetBarColor(1, RGB(255, 251, 240));
  Bar.SetBarColor(2, RGB(255, 251, 240));
  Bar.SetInactiveColor(1, clSilver);
  Bar.SetInactiveColor(2, clSilver);
  Bar.SetInactiveColor(3, clRed);
  Bar.SetInactiveDoted(true);
  Bar.SetBitLength(b16Bit);
  Bar.SetMode(mStereo);
  Bar.SetChannel(Channel);
  if (WithDecay) {
    Bar.SetDecayMode(dmStepUp);
    Bar.SetDecay(8);
  }
}

// The window's needle meter of one channel: 190 x 110, VU mode, 1000 frames of 16-bit stereo,
// exponential decay 7, reference level -16 printed on the face.
inline void SetUpWindowMeter(QWidget& Parent, TMMMeter& Meter, TMMChannel Channel) {
  FillParent(Parent, Meter, 190, 110);
  Meter.Law().SetBitLength(b16Bit);
  Meter.Law().SetMode(mStereo);
  Meter.Law().SetChannel(Channel);
  Meter.Law().SetSamples(1000);
  Meter.Law().SetDecayMode(dmExponential);
  Meter.Law().SetDecay(7);
  Meter.SetMeterMode(mmVU);
  Meter.SetRefLevel(-16);
  Meter.SetShowRefLevel(true);
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
