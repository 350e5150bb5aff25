#include "instruments/core/meter_scale.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>

namespace {

double Radians(int Degrees) {
  return Degrees * std::numbers::pi / 180.0;
}

int Round(double Value) {
  return int(std::nearbyint(Value));
}

}  // namespace

TMMMeterGeometry MeterGeometry(int Width, int Height, int NeedleOffset, int TopSpace,
                               int ScaleAngle) {
  TMMMeterGeometry g;
  g.Width = std::max(Width, 0);
  g.Height = std::max(Height, 0);
  g.ScaleAngle = std::clamp(ScaleAngle, 45, 180);
  NeedleOffset = std::max(NeedleOffset, 0);
  g.Pivot = {g.Width / 2, g.Height + NeedleOffset};
  g.Radius = g.Height + NeedleOffset - TopSpace;
  return g;
}

TMMMeterPoint PointAtAngle(const TMMMeterGeometry& G, double Theta, int Rho) {
  const double a = Theta - Radians(G.ScaleAngle) / 2;
  return {G.Pivot.X + Round(std::sin(a) * Rho), G.Pivot.Y - Round(std::cos(a) * Rho)};
}

TMMMeterPoint PointAtLevel(const TMMMeterGeometry& G, int Level, int Rho) {
  const double s = (180 - G.ScaleAngle) * std::numbers::pi / 360.0;
  const double a = s + (std::numbers::pi - 2 * s) * Level / 32767.0;
  return {G.Pivot.X - Round(std::cos(a) * Rho), G.Pivot.Y - Round(std::sin(a) * Rho)};
}

const std::array<int, kVUMarkCount> kVUMarks = {-70, -20, -19, -18, -17, -16, -15, -14, -13,
                                                -12, -11, -10, -9,  -8,  -7,  -6,  -5,  -4,
                                                -3,  -2,  -1,  0,   1,   2,   3};

double VUMarkAngle(int K, int ScaleAngle) {
  return Radians(ScaleAngle) * std::pow(10.0, kVUMarks[K] / 20.0) /
         std::pow(10.0, kVUMarks[kVUMarkCount - 1] / 20.0);
}

bool IsLongVUMark(int K) {
  constexpr std::array<int, 12> kLong = {0, 1, 11, 14, 16, 18, 19, 20, 21, 22, 23, 24};
  return std::find(kLong.begin(), kLong.end(), K) != kLong.end();
}

bool IsOverloadVUMark(int K) {
  return K != 0 && kVUMarks[K] >= 0;
}

std::string VUMarkLabel(int K) {
  if (K == 0 || !IsLongVUMark(K)) return {};
  return std::to_string(kVUMarks[K]);
}

int VULabelLeft(int X, int Width, int WidthWithoutMinus) {
  return X + WidthWithoutMinus / 2 - Width + 1;
}

int VULabelTop(int Y, int TextHeight) {
  return Y - TextHeight - 3;
}

int VUArcRadius(int Radius, int ScaleHeight1, int ScaleHeight2) {
  return Radius - (ScaleHeight1 + ScaleHeight2 - 3);
}

TMMTickSpan TickSpan(int Radius, TMMScaleOrigin Origin, bool Long, int ScaleHeight1,
                     int ScaleHeight2) {
  const int outer = Radius - 2;
  const int inner = outer - ScaleHeight2;
  if (Long) return {outer, inner};
  if (Origin == soInner) return {inner + ScaleHeight1, inner};
  return {outer, inner + ScaleHeight1};
}

int PeakTickLevel(int K, int Ticks) {
  return Ticks > 1 ? int(K * 32767LL / (Ticks - 1)) : 0;
}

bool IsLongPeakTick(int K, int Ticks, int EnlargeEvery) {
  return K == Ticks - 1 || (EnlargeEvery > 0 && K % EnlargeEvery == 0);
}

int PeakTickZone(int K, int Ticks, int Point1, int Point2) {
  const long long level = PeakTickLevel(K, Ticks);
  if (level * 100 > 32767LL * Point2) return 3;
  if (level * 100 > 32767LL * Point1) return 2;
  return 1;
}

bool IsLabelledPeakTick(int K, int TextEvery) {
  return TextEvery > 0 && K % TextEvery == 0;
}

int PeakTickLabel(int K, int Ticks, int Sensitivy, bool LogAmp) {
  if (Ticks < 2) return 0;
  if (LogAmp) return (Ticks - 1 - K) * Sensitivy / (Ticks - 1);
  const double t = 32767 / std::pow(10.0, -Sensitivy / 20.0);
  return Round(20 * std::log10(((32767 - t) * K / (Ticks - 1) + t) / 32767));
}

int CaptionBottom(int Height) {
  return Height - Height / 16;
}

int RefLevelBottom(int Height) {
  return Height - Height / 17;
}

std::string RefLevelText(double RefLevel) {
  char text[32];
  const auto result =
      std::to_chars(text, text + sizeof text, RefLevel, std::chars_format::fixed, 1);
  return std::string(text, result.ptr);
}
