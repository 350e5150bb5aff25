#include "instruments/core/meter_law.h"

#include <algorithm>
#include <cmath>
#include <numbers>

double LevelToDBFS(double Level) {
  return 20.0 * std::log10(std::max(Level / FullScale, 0.00001));
}

float LevelToVU(int64_t Level, double RefLevel) {
  return float(LevelToDBFS(double(Level)) - RefLevel + 3.0);
}

double VUToAngle(double U, int ScaleAngle) {
  return ScaleAngle * std::numbers::pi / 180.0 * std::pow(10.0, U / 20.0) / std::pow(10.0, 0.15);
}

int64_t LevelToPeakScale(int64_t Level, int Sensitivy, bool LogAmp) {
  const double s = Sensitivy;
  double v;
  if (LogAmp) {
    v = std::nearbyint((LevelToDBFS(double(Level)) - s) * FullScale / -s);
  } else {
    const double t = FullScale / std::pow(10.0, -s / 20.0);
    v = std::nearbyint((double(Level) - t) * FullScale / (FullScale - t));
  }
  return std::max(int64_t(v), int64_t(0));
}

double RoundRefLevel(double Value) {
  if (!(Value >= -30.0 && Value <= -10.0)) return -16.0;
  return std::nearbyint(Value * 10.0) / 10.0;
}

TMMMeterLaw::TMMMeterLaw() : TMMPcmLaw(-50) {}

void TMMMeterLaw::SetPWaveFormat(const WAVEFORMATEX* Format) {
  if (!IsInstrumentFormat(Format)) throw EMMMeterError("Invalid WaveFormat");
  TakeWaveFormat(*Format);
}

void TMMMeterLaw::RefreshPCMData(const void* Data) {
  if (!Data) return;
  const int64_t level =
      FMeterMode == mmVU ? PcmRmsLevel(Data, FPcm, FSamples) : PcmPeakLevel(Data, FPcm, FSamples);
  if (level >= FullScale && OnPcmOverflow) OnPcmOverflow();
  UpdateValue(level);
}

void TMMMeterLaw::ResetData() {
  FLastLevel = 0;
  FPeakHold.Reset();
  FLevel.store(0, std::memory_order_relaxed);
  FAngle = 0.0;
  FDecay.Reset();
}

bool TMMMeterLaw::UpdateValue(int64_t Level) {
  int64_t a = LevelMagnitude(Level);
  FLastLevel = a;
  if (FMeterMode == mmPeak && a == 0 && GetLevel() == 0 && !FPeakHold.IsRedrawPending())
    return false;
  // The meter's step-up law keeps the display only below it, strictly; for whole levels that
  // shows the same as keeping it at or below, as the shared law does.
  a = FDecay.Apply(a);
  const int64_t x = a * (FGain + 8) / 8;
  const bool changed = FMeterMode == mmVU ? UpdateVU(x) : UpdatePeak(x);
  if (changed && OnChange) OnChange();
  return changed;
}

bool TMMMeterLaw::UpdateVU(int64_t X) {
  float u = LevelToVU(X, FRefLevel);
  if (u < kVUFloor) return false;
  if (u >= kVUTop) {
    if (OnGainOverflow) OnGainOverflow();
    u = kVUTop;
  }
  const double angle = VUToAngle(u, FScaleAngle);
  const bool pending = FPeakHold.TakeRedrawPending();
  if (angle == FAngle && !pending) return false;
  FAngle = angle;
  return true;
}

bool TMMMeterLaw::UpdatePeak(int64_t X) {
  int64_t v = LevelToPeakScale(X, FSensitivy, FLogAmp);
  if (v >= FullScale) {
    if (OnGainOverflow) OnGainOverflow();
    v = FullScale;
  }
  if (GetShowPeak()) FPeakHold.Raise(int(v), FPeakDelay, false);
  const bool pending = FPeakHold.TakeRedrawPending();
  if (v == GetLevel() && !pending) return false;
  FLevel.store(int(v), std::memory_order_relaxed);
  return true;
}

bool TMMMeterLaw::Tick() {
  if (!GetShowPeak()) return false;
  return FPeakHold.Tick(500, GetLevel(), FPeakSpeed.load(std::memory_order_relaxed));
}

int TMMMeterLaw::GetValue() const {
  return int(std::nearbyint(double(std::min<int64_t>(FLastLevel, FullScale)) * 100 / FullScale));
}

void TMMMeterLaw::SetValue(int Value) {
  Value = std::clamp(Value, 0, 100);
  UpdateValue(int64_t(std::nearbyint(Value * double(FullScale) / 100)));
}

void TMMMeterLaw::SetMeterMode(TMeterMode Value) {
  if (Value == FMeterMode) return;
  FMeterMode = Value;
  const bool vu = Value == mmVU;
  // Through the setters, so that the decay factor and the bytes per update follow.
  SetDecayMode(vu ? dmExponential : dmNone);
  SetDecay(vu ? 7 : 1);
  SetShowPeak(!vu);
  SetSamples(vu ? 1000 : 50);
  if (vu) FAngle = 0.0;
}

void TMMMeterLaw::SetRefLevel(double Value) {
  if (Value == FRefLevel) return;
  FRefLevel = RoundRefLevel(Value);
}

void TMMMeterLaw::SetScaleAngle(int Value) {
  FScaleAngle = std::clamp(Value, 45, 180);
}
