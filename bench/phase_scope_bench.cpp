// The cost of one data hand-over to the spectrum with its drawing: the window's phase scope
// (1024 frames of 16-bit stereo: the pairs taken, 1024 points and the axes drawn into the
// surface, the surface put into the control's picture) and a spectrum of 1024 samples (the
// window, the FFT, the columns, bars with unlit spots and peaks). Two blocks alternate so the
// picture changes on every update.
#include <QWidget>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "bench/instrument_bench.h"
#include "instruments/phase_scope.h"

namespace {

// 1024 frames of 16-bit stereo: a sine of Hz on the left, the same a quarter turn later on the
// right, at Amplitude.
std::vector<int16_t> Block(double Hz, double Amplitude) {
  std::vector<int16_t> frames;
  for (int i = 0; i < 1024; ++i) {
    const double t = 2 * std::numbers::pi * Hz * i / 44100;
    frames.push_back(int16_t(std::lround(Amplitude * std::sin(t))));
    frames.push_back(int16_t(std::lround(Amplitude * std::cos(t))));
  }
  return frames;
}

// Hands the two blocks over in turn, letting Qt deliver the paint events every 256 updates.
void Run(benchmark::State& state, TMMSpectrum& Spectrum) {
  const std::vector<int16_t> loud = Block(441, 20000), quiet = Block(1200, 3000);
  bool flip = false;
  for (auto _ : state) {
    Spectrum.RefreshPCMData((flip = !flip) ? loud.data() : quiet.data());
    if (state.iterations() % 256 == 0) QCoreApplication::processEvents();
  }
}

// The window's phase scope: 113 x 113, pmStereo, range factors 1.5, 1024 frames.
void BM_PhaseScopeRefresh(benchmark::State& state) {
  QWidget parent;
  parent.resize(113, 113);
  TMMSpectrum scope(nullptr, &parent);
  scope.SetBounds(0, 0, 113, 113);
  scope.SetColor(clTeal);
  scope.SetSpectrumMode(smPhase);
  scope.SetPhaseMode(pmStereo);
  scope.SetFFTLength(1024);
  scope.SetBitLength(b16Bit);
  scope.SetMode(mStereo);
  scope.SetRangeFactorX(1.5);
  scope.SetRangeFactorY(1.5);
  scope.SetAxisColor(RGB(192, 220, 192));
  parent.show();
  scope.Picture();
  Run(state, scope);
}

// A spectrum of 194 x 89 with bars, 1024 samples of the left channel, dB amplitudes.
void BM_SpectrumRefresh(benchmark::State& state) {
  QWidget parent;
  parent.resize(194, 89);
  TMMSpectrum spectrum(nullptr, &parent);
  FillParent(parent, spectrum, 194, 89);
  spectrum.SetKind(TMMSpectrumKind(state.range(0)));
  spectrum.SetBitLength(b16Bit);
  spectrum.SetMode(mStereo);
  spectrum.SetChannel(chLeft);
  spectrum.SetSampleRate(44100);
  spectrum.SetFFTLength(1024);
  spectrum.SetLogAmp(true);
  spectrum.SetDecayMode(dmExponential);
  spectrum.SetDecay(4);
  parent.show();
  spectrum.Picture();
  Run(state, spectrum);
}

BENCHMARK(BM_PhaseScopeRefresh)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SpectrumRefresh)->Arg(skBars)->Arg(skVLines)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return RunInstrumentBenchmarks(argc, argv);
}
