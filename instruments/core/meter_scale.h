// The geometry of a needle meter's scale as numbers: the pivot and radius, the point at an angle
// or at a peak-mode level, the 25 VU marks with their angles, lengths, colours and labels, the
// peak scale's ticks, and where caption and reference level stand. The drawing adds pens, fonts
// and pixels.
#pragma once

#include <array>
#include <string>

enum TMMScaleOrigin { soInner, soOuter };

struct TMMMeterPoint {
  int X = 0;
  int Y = 0;
  friend bool operator==(const TMMMeterPoint&, const TMMMeterPoint&) = default;
};

struct TMMMeterGeometry {
  int Width = 0;        // W, the client width inside the bevel
  int Height = 0;       // H
  int ScaleAngle = 90;  // degrees, 45..180
  TMMMeterPoint Pivot;  // (W div 2, H + NeedleOffset), below the visible area
  int Radius = 0;       // R = H + NeedleOffset - TopSpace
};

TMMMeterGeometry MeterGeometry(int Width, int Height, int NeedleOffset, int TopSpace,
                               int ScaleAngle);

// The point at Rho from the pivot on angle Theta (radians, 0 = left end of the arc).
TMMMeterPoint PointAtAngle(const TMMMeterGeometry& G, double Theta, int Rho);
// The point at Rho from the pivot for peak-mode level Level (0..32767).
TMMMeterPoint PointAtLevel(const TMMMeterGeometry& G, int Level, int Rho);

// The VU marks in dB: index 0 is -70, then -20, -19, ..., +2, +3.
constexpr int kVUMarkCount = 25;
extern const std::array<int, kVUMarkCount> kVUMarks;
// The angle of mark K, in radians from the left end.
double VUMarkAngle(int K, int ScaleAngle);
// Long marks: -70, -20, -10, -7, -5, -3, -2, -1, 0, +1, +2, +3.
bool IsLongVUMark(int K);
// Marks drawn in the overload colour (0 and above); the others and -70 in the normal colour.
bool IsOverloadVUMark(int K);
// The label of a long mark ("-20" ... "3"); empty for short marks and for -70.
std::string VUMarkLabel(int K);
// The left edge of a label whose digits are centred on X, its minus sign hanging to the left:
// X + WidthWithoutMinus div 2 - Width + 1.
int VULabelLeft(int X, int Width, int WidthWithoutMinus);
// The top of a label for a tick ending at Y, with TextHeight the height of the letter "O".
int VULabelTop(int Y, int TextHeight);
// The radius of the two coloured arcs: R - (ScaleHeight1 + ScaleHeight2 - 3).
int VUArcRadius(int Radius, int ScaleHeight1, int ScaleHeight2);

// The two radii a tick runs between (outer first).
struct TMMTickSpan {
  int Outer = 0;
  int Inner = 0;
};
TMMTickSpan TickSpan(int Radius, TMMScaleOrigin Origin, bool Long, int ScaleHeight1,
                     int ScaleHeight2);

// Peak scale: the level of tick K of Ticks; whether it is long; its colour zone (1 normal,
// 2 middle above Point1 %, 3 overload above Point2 %); whether it is labelled; its dB label.
int PeakTickLevel(int K, int Ticks);
bool IsLongPeakTick(int K, int Ticks, int EnlargeEvery);
int PeakTickZone(int K, int Ticks, int Point1, int Point2);
bool IsLabelledPeakTick(int K, int TextEvery);
int PeakTickLabel(int K, int Ticks, int Sensitivy, bool LogAmp);

// The bottom of the caption's line (H - H div 16) and of the reference level's (H - H div 17).
int CaptionBottom(int Height);
int RefLevelBottom(int Height);
// The reference level as printed: fixed notation with one decimal, "-16.0".
std::string RefLevelText(double RefLevel);
