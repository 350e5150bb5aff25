// The window system's plain drawing values: colours, rectangles and points, and the system
// colours they can name.
#pragma once

#include <QColor>
#include <QRect>
#include <cstdint>

// A colour value: 0x00BBGGRR (red in the low byte), or, with the top byte 0xFF, a system
// colour whose index is the low byte.
using TColor = uint32_t;

constexpr TColor RGB(uint8_t r, uint8_t g, uint8_t b) {
  return uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16);
}
constexpr uint8_t GetRValue(TColor c) {
  return uint8_t(c);
}
constexpr uint8_t GetGValue(TColor c) {
  return uint8_t(c >> 8);
}
constexpr uint8_t GetBValue(TColor c) {
  return uint8_t(c >> 16);
}

// System colour indexes.
constexpr int COLOR_WINDOWFRAME = 6;
constexpr int COLOR_BTNFACE = 15;
constexpr int COLOR_BTNSHADOW = 16;
constexpr int COLOR_BTNHIGHLIGHT = 20;

constexpr TColor clSystemColor = 0xFF000000;
constexpr TColor clWindowFrame = clSystemColor | COLOR_WINDOWFRAME;
constexpr TColor clBtnFace = clSystemColor | COLOR_BTNFACE;
constexpr TColor clBtnShadow = clSystemColor | COLOR_BTNSHADOW;
constexpr TColor clBtnHighlight = clSystemColor | COLOR_BTNHIGHLIGHT;

constexpr TColor clBlack = RGB(0, 0, 0);
constexpr TColor clMaroon = RGB(128, 0, 0);
constexpr TColor clGreen = RGB(0, 128, 0);
constexpr TColor clOlive = RGB(128, 128, 0);
constexpr TColor clNavy = RGB(0, 0, 128);
constexpr TColor clPurple = RGB(128, 0, 128);
constexpr TColor clTeal = RGB(0, 128, 128);
constexpr TColor clGray = RGB(128, 128, 128);
constexpr TColor clSilver = RGB(192, 192, 192);
constexpr TColor clRed = RGB(255, 0, 0);
constexpr TColor clLime = RGB(0, 255, 0);
constexpr TColor clYellow = RGB(255, 255, 0);
constexpr TColor clBlue = RGB(0, 0, 255);
constexpr TColor clFuchsia = RGB(255, 0, 255);
constexpr TColor clAqua = RGB(0, 255, 255);
constexpr TColor clWhite = RGB(255, 255, 255);

// The red-green-blue value of a system colour index (the classic light-grey scheme); black
// for an unknown index.
TColor GetSysColor(int index);
// A colour value with system colours resolved to red-green-blue (top byte 0).
TColor ColorToRGB(TColor color);
// The colour as Qt's colour, opaque.
QColor ToQColor(TColor color);

// A rectangle as the window system gives it: Left <= x < Right and Top <= y < Bottom.
struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;

  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
  QRect ToQRect() const { return QRect(Left, Top, Right - Left, Bottom - Top); }
  friend bool operator==(const TRect&, const TRect&) = default;
};

constexpr TRect Rect(int left, int top, int right, int bottom) {
  return TRect{left, top, right, bottom};
}
