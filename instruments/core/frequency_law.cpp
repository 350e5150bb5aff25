#include "instruments/core/frequency_law.h"

#include <algorithm>
#include <cmath>
#include <numbers>

int RoundFFTLength(int Value) {
  Value = std::clamp(Value, kMinFFTLength, kMaxFFTLength);
  int n = kMinFFTLength;
  while (n * 2 <= Value) n *= 2;
  return n;
}

std::vector<int32_t> FFTWindowTable(TMMFFTWindow Window, int N) {
  std::vector<int32_t> table(size_t(std::max(N, 0)));
  const double n = N;
  for (int i = 0; i < N; ++i) {
    const double phase = 2.0 * std::numbers::pi * i / n;
    const double centred = 2.0 * i - n;  // 2i - N
    double w = 1.0;
    switch (Window) {
      case fwRectangular:
        w = 1.0;
        break;
      case fwHamming:
        w = 0.54 - 0.46 * std::cos(phase);
        break;
      case fwHanning:
        w = 0.5 - 0.5 * std::cos(phase);
        break;
      case fwBlackman:
        w = 0.42 - 0.5 * std::cos(phase) + 0.08 * std::cos(2.0 * phase);
        break;
      case fwGaussian:
        w = std::exp(-5.0 * centred * centred / (n * n));
        break;
      case fwWelch:
        w = 1.0 - (centred / (n + 1.0)) * (centred / (n + 1.0));
        break;
      case fwParzen:
        w = 1.0 - std::fabs(centred) / (n + 1.0);
        break;
    }
    table[size_t(i)] = int32_t(std::floor(w * 32767.0 + 0.5));
  }
  return table;
}

std::vector<TMMBinRange> FrequencyMapping(int Columns, int FFTLength, int SampleRate, bool LogFreq,
                                          int FrequencyScale) {
  Columns = std::max(Columns, 0);
  std::vector<TMMBinRange> mapping(static_cast<size_t>(Columns));
  if (Columns == 0 || FFTLength < 2 || SampleRate < 1) return mapping;
  const int lastBin = FFTLength / 2;
  const double binWidth = double(SampleRate) / FFTLength;
  const double end = SampleRate / 2.0 / std::max(FrequencyScale, 1);
  double start = 0.0;
  // A logarithmic axis needs a start above 0 and below the end; otherwise it is linear.
  const bool log = LogFreq && std::max(binWidth, 20.0) < end;
  if (log) start = std::max(binWidth, 20.0);
  // The frequency at the left edge of column position x (0 .. Columns, fractions allowed).
  auto edge = [&](double x) {
    if (log) return start * std::pow(end / start, x / Columns);
    return start + (end - start) * x / Columns;
  };
  auto clampBin = [&](double bin) { return int(std::clamp(bin, 0.0, double(lastBin))); };
  for (int x = 0; x < Columns; ++x) {
    const double from = edge(x) / binWidth, to = edge(x + 1) / binWidth;
    int first = clampBin(std::ceil(from));
    // Each column takes the bins from its left edge up to its right one; the last column also
    // takes the bin on the end frequency.
    int last = clampBin(x == Columns - 1 ? std::floor(to) : std::ceil(to) - 1.0);
    if (last < first) first = last = clampBin(std::nearbyint(edge(x + 0.5) / binWidth));
    mapping[size_t(x)] = {first, last};
  }
  return mapping;
}

TMMSpectrumLaw::TMMSpectrumLaw() {
  SetColumns(1, 1);
}

TMMSpectrumLaw::~TMMSpectrumLaw() = default;

void TMMSpectrumLaw::SetPWaveFormat(const WAVEFORMATEX* Format) {
  if (!IsInstrumentFormat(Format)) throw EMMSpectrumError("Invalid WaveFormat");
  SetSampleRate(int(Format->nSamplesPerSec));
  FPcm.BitLength = TMMBits(Format->wBitsPerSample / 8 - 1);
  FPcm.Channels = Format->nChannels;
}

void TMMSpectrumLaw::SetMode(TMMMode Value) {
  FPcm.Channels = std::clamp(int(Value) + 1, 1, 4);
}

void TMMSpectrumLaw::EnsureFFT() {
  // The transform itself is planned when the first block is transformed: a phase scope never
  // needs one, and planning costs a program's start a few milliseconds.
  if (FPreparedLength != FFTLength) {
    FPreparedLength = FFTLength;
    FMagnitudes.assign(size_t(FFTLength / 2 + 1), 0.0f);
    FWindowValid = false;
    RecomputeWeights();
    RecomputeMapping();
  }
  if (!FWindowValid) {
    FWindowTable = FFTWindowTable(FWindow, FFTLength);
    FWindowValid = true;
  }
}

const std::vector<int32_t>& TMMSpectrumLaw::GetWindowTable() {
  EnsureFFT();
  return FWindowTable;
}

void TMMSpectrumLaw::RecomputeWeights() {
  const int bins = FFTLength / 2 + 1;
  FWeights.assign(size_t(bins), 1.0f);
  if (FGain == sgNone) return;
  const int differences = FGain >= sg12db ? 2 : FGain >= sg6db ? 1 : 0;
  const bool odd = FGain == sg3db || FGain == sg9db;
  const double ref = std::min(double(FRefFreq), FSampleRate / 2.0);
  // A difference in time multiplies a sine of frequency f by 2 sin(pi f / rate): divided by its
  // value at the reference frequency, the tilt passes 0 dB there.
  const double atRef = std::pow(2.0 * std::sin(std::numbers::pi * ref / FSampleRate), differences);
  for (int k = 0; k < bins; ++k) {
    const double f = double(k) * FSampleRate / FFTLength;
    double w = 1.0 / atRef;
    if (odd) w *= std::sqrt(f / ref);  // 3 dB per octave
    FWeights[size_t(k)] = float(w);
  }
}

void TMMSpectrumLaw::RecomputeMapping() {
  std::vector<TMMBinRange> mapping =
      FrequencyMapping(GetColumnCount(), FFTLength, FSampleRate, FLogFreq, FFrequencyScale);
  if (OnGetXScale) {
    OnGetXScale(mapping);
    const int lastBin = FFTLength / 2;
    mapping.resize(FColumns.size(), TMMBinRange{1, 0});  // First > Last: shows nothing
    for (TMMBinRange& r : mapping) {
      r.First = std::clamp(r.First, 0, lastBin + 1);
      r.Last = std::clamp(r.Last, -1, lastBin);
    }
  }
  FMapping = std::move(mapping);
}

void TMMSpectrumLaw::RefreshPCMData(const void* Data) {
  if (!Data) return;
  EnsureFFT();
  const auto* bytes = static_cast<const uint8_t*>(Data);
  const int n = FFTLength;
  // The top of the sample range in the 16-bit scale: 255 at 8 bits, 32767 at 16.
  const int64_t top = FPcm.BitLength == b8Bit ? 127 * 256 : 32767;
  const int differences = FGain >= sg12db ? 2 : FGain >= sg6db ? 1 : 0;
  bool pcmOverflow = false;
  if (!FFFT || FFFT->Length() != FFTLength) FFFT = std::make_unique<TMMRealFFT>(FFTLength);
  float* in = FFFT->Input();
  for (int i = 0; i < n; ++i) {
    const int64_t v = PcmFrameValue(bytes, FPcm, i);
    if (v >= top) pcmOverflow = true;
    double y = double(v);
    for (int d = 0; d < differences; ++d) {
      const double difference = y - FPrevious[d];
      FPrevious[d] = y;
      y = difference;
    }
    in[i] = float(y * FWindowTable[size_t(i)] / 32768.0);
  }
  if (pcmOverflow && OnPcmOverflow) OnPcmOverflow();
  FFFT->Execute();
  const std::complex<float>* out = FFFT->Output();
  const float scale = 2.0f / float(n);
  for (size_t k = 0; k < FMagnitudes.size(); ++k) FMagnitudes[k] = std::abs(out[k]) * scale;

  // Column amplitudes in 1/16 of a sample unit, so that the decay laws keep their fractions.
  const double fullScale = 16.0 * 32768.0;
  const double vertical = FVerticalScale / 100.0;
  bool gainOverflow = false;
  for (size_t x = 0; x < FColumns.size(); ++x) {
    const TMMBinRange r = FMapping[x];
    float m = 0.0f;
    for (int k = r.First; k <= r.Last; ++k)
      m = std::max(m, FMagnitudes[size_t(k)] * FWeights[size_t(k)]);
    int64_t a = int64_t(16.0 * m * vertical);
    a = FDecays[x].Apply(a);
    double level = 0.0;
    if (FLogAmp) {
      if (a > 0) level = (20.0 * std::log10(a / fullScale) + kSpectrumDbRange) / kSpectrumDbRange;
    } else {
      level = a / fullScale;
    }
    int units = int(std::clamp(std::nearbyint(level * FLevels), 0.0, double(FLevels) + 1.0));
    if (units >= FLevels) {
      gainOverflow = true;
      units = FLevels;
    }
    FColumns[x] = units;
    if (FNumPeaks > 0 && units > 0) FPeaks[x].Raise(units, FPeakDelay, true);
  }
  if (gainOverflow && OnGainOverflow) OnGainOverflow();
}

void TMMSpectrumLaw::ClearDisplay() {
  std::fill(FColumns.begin(), FColumns.end(), 0);
  for (size_t x = 0; x < FColumns.size(); ++x) FPeaks[x].Reset();
  for (TMMDecay& d : FDecays) d.Reset();
}

void TMMSpectrumLaw::ResetData() {
  ClearDisplay();
  FPrevious[0] = FPrevious[1] = 0.0;
  std::fill(FMagnitudes.begin(), FMagnitudes.end(), 0.0f);
}

bool TMMSpectrumLaw::Tick() {
  const int speed = FPeakSpeed.load(std::memory_order_relaxed);
  bool changed = false;
  for (size_t x = 0; x < FColumns.size(); ++x) changed |= FPeaks[x].Tick(1, 0, speed);
  return changed;
}

namespace {

// Sets a decay law to Mode and Decay. The law's factor is computed when Decay changes, so it
// is first set to another value: Decay 1 then gives 0.0001^(1/2) like every other value.
void ConfigureDecay(TMMDecay& Law, TMMDecayMode Mode, int Decay) {
  Law.SetDecayMode(Mode);
  Law.SetDecay(Decay == 16 ? 15 : Decay + 1);
  Law.SetDecay(Decay);
  Law.Reset();
}

}  // namespace

void TMMSpectrumLaw::SetColumns(int Columns, int Levels) {
  Columns = std::max(Columns, 1);
  FLevels = std::max(Levels, 1);
  FColumns.assign(size_t(Columns), 0);
  FDecays = std::vector<TMMDecay>(size_t(Columns));
  for (TMMDecay& d : FDecays) ConfigureDecay(d, FDecayMode, FDecay);
  FPeaks = std::make_unique<TMMPeakHold[]>(size_t(Columns));
  RecomputeMapping();
}

void TMMSpectrumLaw::Preview(uint32_t Seed) {
  for (int& column : FColumns) {
    Seed = Seed * 1664525u + 1013904223u;
    column = int((Seed >> 8) % uint32_t(FLevels + 1));
  }
}

void TMMSpectrumLaw::SetFFTLength(int Value) {
  Value = RoundFFTLength(Value);
  if (Value == FFTLength && FPreparedLength == Value) return;
  FFTLength = Value;
  EnsureFFT();
  ClearDisplay();
}

void TMMSpectrumLaw::StoreFFTLength(int Value) {
  FFTLength = RoundFFTLength(Value);
}

void TMMSpectrumLaw::SetWindow(TMMFFTWindow Value) {
  if (Value == FWindow) return;
  FWindow = Value;
  FWindowValid = false;
}

void TMMSpectrumLaw::SetSampleRate(int Value) {
  Value = std::clamp(Value, 8000, 100000);
  if (Value == FSampleRate) return;
  FSampleRate = Value;
  RecomputeWeights();
  RecomputeMapping();
}

void TMMSpectrumLaw::SetGain(TMMSpectrumGain Value) {
  if (Value == FGain) return;
  FGain = Value;
  FPrevious[0] = FPrevious[1] = 0.0;
  RecomputeWeights();
}

void TMMSpectrumLaw::SetRefFreq(int Value) {
  FRefFreq = std::clamp(Value, 1, 44100);
  RecomputeWeights();
}

void TMMSpectrumLaw::SetLogFreq(bool Value) {
  FLogFreq = Value;
  RecomputeMapping();
}

void TMMSpectrumLaw::SetVerticalScale(int Value) {
  FVerticalScale = std::clamp(Value, 1, 10000);
}

void TMMSpectrumLaw::SetFrequencyScale(int Value) {
  FFrequencyScale = std::clamp(Value, 1, 64);
  RecomputeMapping();
}

void TMMSpectrumLaw::SetDecayMode(TMMDecayMode Value) {
  FDecayMode = Value;
  for (TMMDecay& d : FDecays) ConfigureDecay(d, FDecayMode, FDecay);
}

void TMMSpectrumLaw::SetDecay(int Value) {
  FDecay = std::clamp(Value, 1, 16);
  for (TMMDecay& d : FDecays) ConfigureDecay(d, FDecayMode, FDecay);
}

void TMMSpectrumLaw::SetNumPeaks(int Value) {
  if (Value < 0 || Value > 5) return;
  FNumPeaks = Value;
}

void TMMSpectrumLaw::SetPeakDelay(int Value) {
  FPeakDelay = std::clamp(Value, 0, 50);
}

void TMMSpectrumLaw::SetPeakSpeed(int Value) {
  FPeakSpeed.store(std::clamp(Value, 0, 50), std::memory_order_relaxed);
}
