// The rules of the seven-segment LED read-outs, without drawing them: the glyph strips and the
// cell size of each digit size, the cell a digit shows, how a digit takes its part of a value
// and passes the rest on, and how a panel clamps its value and blanks its leading zeros.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

enum TMMLEDSize {
  ls06x07,
  ls07x11,
  ls08x13,
  ls11x19,
  ls13x20,
  ls13x21,
  ls15x24,
  ls15x25,
  ls17x29,
  ls18x25,
  ls19x33,
  ls21x37,
  ls23x41
};
constexpr int kLEDSizeCount = 13;

// What a digit shows: a digit from the digit strip, or the sign cell of the same number.
enum TMMLEDType { ltDigit = 0, ltPeriod = 1, ltColon = 2, ltMinus = 3 };

// Cells in a strip: the digit strip holds all unlit, then 0 to 9; the sign strip all unlit,
// period, colon and minus.
constexpr int kLEDDigitCells = 11;
constexpr int kLEDSignCells = 4;

struct TMMLEDStrip {
  const char* DigitName;  // resource name of the digit strip, "LCD_13X21"
  const char* SignName;   // and of the sign strip, "LCDS_13X21"
  int CellWidth;
  int CellHeight;
};

// By TMMLEDSize. The names give nominal sizes; the cells are what the controls take.
inline constexpr std::array<TMMLEDStrip, kLEDSizeCount> kLEDStrips = {{
    {"LCD_06X07", "LCDS_06X07", 4, 7},
    {"LCD_07X11", "LCDS_07X11", 5, 9},
    {"LCD_08X13", "LCDS_08X13", 7, 13},
    {"LCD_11X19", "LCDS_11X19", 9, 19},
    {"LCD_13X20", "LCDS_13X20", 11, 20},
    {"LCD_13X21", "LCDS_13X21", 11, 21},
    {"LCD_15X24", "LCDS_15X24", 13, 24},
    {"LCD_15X25", "LCDS_15X25", 13, 25},
    {"LCD_17X29", "LCDS_17X29", 15, 29},
    {"LCD_18X25", "LCDS_18X25", 15, 23},
    {"LCD_19X33", "LCDS_19X33", 17, 33},
    {"LCD_21X37", "LCDS_21X37", 19, 37},
    {"LCD_23X41", "LCDS_23X41", 21, 41},
}};

// The strip of a size; an out-of-range size is taken as ls13x21.
const TMMLEDStrip& LEDStrip(TMMLEDSize Size);
// The number of cells in the strip a display type uses.
int LEDCellCount(TMMLEDType Type);

// The cell a digit paints: its value + 1 for a digit (0, all unlit, when disabled or when
// blanking a zero), the sign cell for the other types (0 when disabled).
int LEDCellIndex(TMMLEDType Type, int Value, bool Enabled, bool ZeroBlank);

// A digit given V keeps V mod 10 (with the sign of V) and passes V div 10 (toward zero) on.
struct TMMLEDDigitShare {
  int Digit;
  int Carry;
};
TMMLEDDigitShare LEDDigitShare(int Value);

// A panel's value kept within Min..Max (below Min gives Min, else above Max gives Max; Min is
// not checked against Max).
int LEDPanelClamp(int Value, int MinValue, int MaxValue);

// The ZeroBlank setting of each digit of a panel, units digit first: digit 0 never blanks;
// with ZeroBlank the digits above those the value needs blank (a blanking digit is dark only
// while it shows 0, so inner zeros stay).
std::vector<bool> LEDZeroBlankFlags(int NumDigits, int Value, bool ZeroBlank);

// What each cell of a panel shows, units first, as a panel's digits work it out: the cell index
// of each digit (LEDCellIndex), with the most significant one a minus sign for a negative
// value. For tests and for terminal read-outs; the panel itself gets it from its digits.
std::vector<int> LEDPanelCells(int NumDigits, int Value, bool ZeroBlank, bool Enabled = true);

// The panel's size for NumDigits cells of CellWidth x CellHeight with Space pixels between
// them inside a bevel of Extend on every side, and the left edge of digit Index (0 the units,
// the rightmost).
struct TMMLEDPanelSize {
  int Width;
  int Height;
};
TMMLEDPanelSize LEDPanelSize(int NumDigits, int CellWidth, int CellHeight, int Space, int Extend);
int LEDDigitLeft(int NumDigits, int Index, int CellWidth, int Space, int Extend);
