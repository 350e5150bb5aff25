// The geometry of the tick scales and of the level scale's dB labels, without drawing them:
// the lines of a row of ticks in a rectangle (with their colour zones), the rows a level scale
// puts around its labels, and where each label stands, what it reads and in which zone. The
// drawing adds pens, fonts and pixels; text widths come from the caller.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "instruments/core/level_law.h"
#include "instruments/core/meter_scale.h"

enum TMMScaleStyle { stColor, stLowered, stRaised };
enum TMMScalePos { spAboveOrLeft, spBelowOrRight, spBoth };

// A rectangle: Left <= x < Right, Top <= y < Bottom.
struct TMMScaleRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
  friend bool operator==(const TMMScaleRect&, const TMMScaleRect&) = default;
};

struct TMMScaleSettings {
  int TickCount = 11;    // at least 2
  int EnlargeEvery = 5;  // at least 1
  int Size = 7;          // long tick length, at least 1
  TMMScaleOrigin Origin = soInner;
  bool Connect = false;
  TMMScaleStyle Style = stColor;
  // The three zone colours are not all equal, and the zone limits in 1/TickCount of the length.
  bool ColorsDiffer = false;
  int Limit1 = 0;
  int Limit2 = 0;
};

// One line from (X1, Y1) to (X2, Y2), the end point left out, in zone colour 1, 2 or 3.
struct TMMScaleLine {
  int X1 = 0;
  int Y1 = 0;
  int X2 = 0;
  int Y2 = 0;
  int Zone = 1;
  friend bool operator==(const TMMScaleLine&, const TMMScaleLine&) = default;
};

// The thickness a row of ticks takes: Size, + 1 with Connect, + 1 more in a 3-D style.
int ScaleRowWidth(const TMMScaleSettings& S);

// The lines of a row of ticks in R: the connecting line (in up to three pieces) first, then the
// ticks from the left or top end, long at every EnlargeEvery-th one and at both ends. The row is
// horizontal when R is strictly wider than high. Flip puts the ticks on the far edge (bottom,
// right) for soInner and on the near edge for soOuter.
std::vector<TMMScaleLine> ScaleLines(const TMMScaleSettings& S, const TMMScaleRect& R, bool Flip);

struct TMMLevelScaleSettings {
  int ScaleTicks = 8;  // label positions, at least 2
  int Sensitivy = -35;
  bool LogAmp = true;
  bool Vertical = false;
  TMMLevelDirection Direction = dirNormal;
  int Point1 = 50;
  int Point2 = 85;
};

struct TMMScaleRow {
  TMMScaleRect Rect;
  bool Flip = false;
};

// The tick rows of a level scale and the area left for the labels.
struct TMMLevelScaleRows {
  std::vector<TMMScaleRow> Rows;
  TMMScaleRect LabelArea;
  // The zones run from the far end: the colours are taken high zone first and the points are
  // mirrored.
  bool Mirrored = false;
  int Limit1 = 0;  // zone limits for the rows' scale
  int Limit2 = 0;
};

// Rows of RowWidth (ScaleRowWidth) at the top or left (flip set) and the bottom or right (flip
// clear), as Pos asks, each spanning the label axis shifted by H0 (half the extent of "0" along
// it) so that ticks meet the label anchors.
TMMLevelScaleRows LevelScaleRows(const TMMLevelScaleSettings& S, TMMScalePos Pos, int RowWidth,
                                 int TickCount, const TMMScaleRect& Client, int H0);

struct TMMScaleLabel {
  int X = 0;  // top-left corner of the text
  int Y = 0;
  int Value = 0;
  std::string Text;
  int Zone = 1;  // 1 (Scale1Color), 2 or 3
  friend bool operator==(const TMMScaleLabel&, const TMMScaleLabel&) = default;
};

using TTextWidth = std::function<int(const std::string& Text)>;

// The step between labelled positions: the smallest k for which (ScaleTicks - 1) div k labels
// as wide as that of Sensitivy fit into Length (half of it for a symmetric scale); 0 when not
// even one fits.
int LabelStride(const TMMLevelScaleSettings& S, int Length, int LabelWidth);

// The dB labels in the label area of a control of ControlWidth x ControlHeight. TextHeight is
// the height of the text "0". Labels that would leave the control (or, symmetric, their half)
// are left out.
std::vector<TMMScaleLabel> LevelScaleLabels(const TMMLevelScaleSettings& S,
                                            const TMMScaleRect& Area, int ControlWidth,
                                            int ControlHeight, const TTextWidth& TextWidth,
                                            int TextHeight);
