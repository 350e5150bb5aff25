#include "instruments/core/level_law.h"

#include <algorithm>
#include <cmath>

int64_t LevelToSpots(int64_t Level, int Gain, int Sensitivy, bool LogAmp, int Spots) {
  const double x = double(Level * (Gain + 8) / 8);
  const double s = Sensitivy;
  double count;
  if (LogAmp) {
    const double db = 20.0 * std::log10(std::max(x / FullScale, 0.000001));
    count = std::nearbyint((db - s) * Spots / -s);
  } else {
    const double t = FullScale / std::pow(10.0, -s / 20.0);
    count = std::nearbyint((x - t) * Spots / (FullScale - t));
  }
  return std::max(int64_t(count), int64_t(0));
}

int SpotsToPercent(int Count, int Gain, int Sensitivy, bool LogAmp, int Spots) {
  if (Count <= 0 || Spots < 1) return 0;
  if (!LogAmp) return int(std::nearbyint(double(Count) * 100 / Spots));
  // A gain of -8 silences the input: no level lights any spot.
  if (Gain + 8 <= 0) return 0;
  const double s = Sensitivy;
  const double level = std::pow(10.0, (s - Count * s / Spots) / 20.0);
  return int(std::nearbyint(level * 8 / (Gain + 8) * 100));
}

TMMLevelLaw::TMMLevelLaw() : TMMPcmLaw(-35) {
  RecomputeLayout();
}

void TMMLevelLaw::SetPWaveFormat(const WAVEFORMATEX* Format) {
  if (!IsInstrumentFormat(Format)) throw EMMLevelError("Invalid WaveFormat");
  TakeWaveFormat(*Format);
}

void TMMLevelLaw::RefreshPCMData(const void* Data) {
  if (!Data) return;
  const int64_t level = PcmPeakLevel(Data, FPcm, FSamples);
  if (level >= FullScale && OnPcmOverflow) OnPcmOverflow();
  UpdateValue(level);
}

void TMMLevelLaw::ResetData() {
  FLastLevel = 0;
  FPeakHold.Reset();
  FCount = 0;
  FDecay.Reset();
}

bool TMMLevelLaw::UpdateValue(int64_t Level) {
  int64_t a = LevelMagnitude(Level);
  FLastLevel = a;
  const int64_t n = FLayout.Count;
  if (a == 0 && FCount == 0 && !FPeakHold.IsRedrawPending()) return false;
  a = FDecay.Apply(a);
  int64_t count = LevelToSpots(a, FGain, FSensitivy, FLogAmp, int(n));
  if (FDirection == dirSymetric) count /= 2;
  // Inverted, a count beyond the bar would go below none.
  if (FInvert) count = std::max(n - count, int64_t(0));
  if (count > n) {
    if (OnGainOverflow) OnGainOverflow();
    count = n;
  }
  if (FNumPeaks > 0 && count > 0) FPeakHold.Raise(int(count), FPeakDelay, true);
  const bool pending = FPeakHold.TakeRedrawPending();
  if (count == FCount && !pending) return false;
  FCount = int(count);
  if (OnChange) OnChange();
  return true;
}

bool TMMLevelLaw::Tick() {
  return FPeakHold.Tick(1, 0, FPeakSpeed.load(std::memory_order_relaxed));
}

int TMMLevelLaw::GetValue() const {
  return SpotsToPercent(FCount, FGain, FSensitivy, FLogAmp, FLayout.Count);
}

void TMMLevelLaw::SetValue(int Value) {
  Value = std::clamp(Value, 0, 100);
  UpdateValue(int64_t(std::nearbyint(Value * double(FullScale) / 100)));
}

int TMMLevelLaw::GetPeakPercent() const {
  return SpotsToPercent(FPeakHold.GetPeak(), FGain, FSensitivy, FLogAmp, FLayout.Count);
}

void TMMLevelLaw::RecomputeLayout() {
  FLayout = SpotLayout(FBarLength, FSpotWidth, FSpotSpace, FPoint1, FPoint2);
  FCount = 0;
  FPeakHold.Reset();
}

void TMMLevelLaw::SetBarLength(int Value) {
  FBarLength = std::max(Value, 0);
  RecomputeLayout();
}

void TMMLevelLaw::SetSpotWidth(int Value) {
  FSpotWidth = std::max(Value, 1);
  RecomputeLayout();
}

void TMMLevelLaw::SetSpotSpace(int Value) {
  FSpotSpace = std::clamp(Value, 0, 10);
  RecomputeLayout();
}

void TMMLevelLaw::SetPoint1(int Value) {
  FPoint1 = std::clamp(Value, 1, 100);
  RecomputeLayout();
}

void TMMLevelLaw::SetPoint2(int Value) {
  FPoint2 = std::clamp(Value, 1, 100);
  RecomputeLayout();
}

void TMMLevelLaw::SetNumPeaks(int Value) {
  FNumPeaks = std::clamp(Value, 0, 5);
}
