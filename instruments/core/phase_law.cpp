#include "instruments/core/phase_law.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>

double PhaseRangeFactor(double Value) {
  // Written so that a value that is not a number is out of range as well.
  if (!(Value >= 0.5 && Value <= 2.0)) return 1.0;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", Value);
  return std::strtod(text, nullptr);
}

TMMPhaseLaw::TMMPhaseLaw() {
  UpdateFactors();
}

void TMMPhaseLaw::SetGeometry(int ClientWidth, int ClientHeight, int Cx, int Cy) {
  FWidth = std::max(ClientWidth, 1);
  FHeight = std::max(ClientHeight, 1);
  FCx = Cx;
  FCy = Cy;
  UpdateFactors();
}

void TMMPhaseLaw::SetPhaseMode(TPhaseMode Value) {
  FPhaseMode = Value;
  UpdateFactors();
}

void TMMPhaseLaw::SetRangeFactorX(double Value) {
  FRangeFactorX = PhaseRangeFactor(Value);
}

void TMMPhaseLaw::SetRangeFactorY(double Value) {
  FRangeFactorY = PhaseRangeFactor(Value);
}

void TMMPhaseLaw::UpdateFactors() {
  // The direction of each channel in degrees: left, right.
  const double angles[2][2] = {{90.0, 0.0}, {135.0, 45.0}};
  const double halfWidth = FWidth / 2.0, halfHeight = FHeight / 2.0;
  for (int c = 0; c < 2; ++c) {
    const double theta = angles[FPhaseMode == pmStereo ? 1 : 0][c] * std::numbers::pi / 180.0;
    FCos[c] = halfWidth * std::cos(theta);
    FSin[c] = halfHeight * std::sin(theta);
  }
}

void TMMPhaseLaw::TakeBlock(const void* Data, const TMMPcmLayout& Layout, int Samples) {
  Samples = std::clamp(Samples, 0, kMaxSamples);
  const auto* bytes = static_cast<const uint8_t*>(Data);
  const size_t channels = size_t(std::max(Layout.Channels, 1));
  const size_t right = channels > 1 ? 1 : 0;
  // The sample at position `at`, in the 16-bit range, with -32768 taken as -32767.
  auto sample = [&](size_t at) -> int16_t {
    int v;
    if (Layout.BitLength == b8Bit) {
      v = (int(bytes[at]) - 128) * 256;
    } else {
      int16_t s;
      std::memcpy(&s, bytes + at * 2, sizeof s);
      v = s;
    }
    return int16_t(std::max(v, -32767));
  };
  for (size_t i = 0; i < size_t(Samples); ++i) {
    FLeft[i] = sample(i * channels);
    FRight[i] = sample(i * channels + right);
  }
}

void TMMPhaseLaw::Reset() {
  FLeft.fill(0);
  FRight.fill(0);
}

TPhasePoint TMMPhaseLaw::Point(int Left, int Right) const {
  const int samples[2] = {Left, Right};
  int dx = 0, dy = 0;
  for (int c = 0; c < 2; ++c) {
    if (samples[c] == 0) continue;
    const double a = samples[c] / 32767.0;
    // The products in this order, rounded to nearest with halves to even.
    dx += int(std::nearbyint(FCos[c] * a * FRangeFactorX));
    dy += int(std::nearbyint(FSin[c] * a * FRangeFactorY));
  }
  return {FCx + dx, FCy - dy};
}
