#include "instruments/core/decay.h"

#include <algorithm>
#include <cmath>

void TMMDecay::SetDecay(int Value) {
  Value = std::clamp(Value, 1, 16);
  if (Value == FDecay) return;
  FDecay = Value;
  float factor = 0.0001f;
  for (int i = 0; i < FDecay; ++i) factor = std::sqrt(factor);
  FFactor = factor;
  FWindow = std::clamp(2 * (FDecay - 1), 1, kRingSize);
  if (FDecayMode == dmUniform) Reset();
}

void TMMDecay::SetDecayMode(TMMDecayMode Value) {
  if (Value == FDecayMode) return;
  FDecayMode = Value;
  Reset();
}

void TMMDecay::Reset() {
  FRing.fill(0);
  FIndex = 0;
  FCount = 0;
  FSum = 0;
  FSmoothed = 0.0f;
}

int64_t TMMDecay::Apply(int64_t Level) {
  if (FDecayMode == dmNone) return Level;
  // A shorter window than the last one may leave the index past its end: it wraps as well.
  if (++FIndex >= FWindow) FIndex = 0;
  FCount = std::min(FCount + 1, FWindow);
  switch (FDecayMode) {
    case dmStepUp:
      FSmoothed = FSmoothed * FFactor;
      // A level at or below the falling display shows the display; a higher one restarts it.
      if (float(Level) <= FSmoothed)
        Level = int64_t(FSmoothed);
      else
        FSmoothed = float(Level);
      break;
    case dmExponential:
      FSmoothed = FSmoothed * FFactor + (1.0f - FFactor) * float(Level);
      Level = int64_t(std::floor(FSmoothed));
      break;
    case dmUniform:
      FSum += Level - FRing[FIndex];
      FRing[FIndex] = Level;
      Level = FSum / FCount;
      break;
    case dmNone:
      break;
  }
  return Level;
}
