// The LED read-outs' rules: what each cell of a panel shows for a value (cascade, zero
// blanking, the minus sign, the digits a value does not fit into), the panel's size, and the
// window's time and peak read-outs.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "instruments/core/led_law.h"
#include "instruments/core/led_readout.h"

namespace {

// Cell indexes: 0 all unlit, 1 + d the digit d, and in the sign strip 3 the minus.
constexpr int kDark = 0;
constexpr int kMinus = 3;
constexpr int D(int digit) {
  return digit + 1;
}

}  // namespace

TEST(LEDLaw, PanelCellsForAValue) {
  struct Case {
    int NumDigits;
    int Value;
    bool ZeroBlank;
    std::vector<int> Cells;  // units first
  };
  const Case cases[] = {
      {3, 105, true, {D(5), D(0), D(1)}},  // an inner zero stays
      {3, 5, true, {D(5), kDark, kDark}},  // leading zeros go dark
      {3, 5, false, {D(5), D(0), D(0)}},   // or show
      {3, 0, true, {D(0), kDark, kDark}},  // the units digit never blanks
      {4, 1005, true, {D(5), D(0), D(0), D(1)}},
      {4, 10, true, {D(0), D(1), kDark, kDark}},
      {3, -42, false, {D(2), D(4), kMinus}},  // the minus takes the leftmost cell
      {3, -42, true, {D(2), D(4), kMinus}},
      {2, -3, false, {D(3), kMinus}},
      {2, 100, false, {D(0), D(0)}},  // the hundreds have no digit
      {1, 7, true, {D(7)}},
      {1, -7, false, {kMinus}},
      {9, 123456789, true, {D(9), D(8), D(7), D(6), D(5), D(4), D(3), D(2), D(1)}},
      {3, INT_MIN, false, {D(7), D(4), kMinus}},  // the magnitude saturates at INT_MAX
  };
  for (const Case& c : cases)
    EXPECT_EQ(LEDPanelCells(c.NumDigits, c.Value, c.ZeroBlank), c.Cells)
        << c.NumDigits << " digits showing " << c.Value << (c.ZeroBlank ? " blanked" : "");
  // Disabled, every cell is the unlit one.
  EXPECT_EQ(LEDPanelCells(3, -42, false, false), (std::vector<int>{kDark, kDark, kDark}));
}

TEST(LEDLaw, DigitShareClampAndCells) {
  // A digit keeps V mod 10 with the sign of V and passes V div 10 on, toward zero.
  EXPECT_EQ(LEDDigitShare(12).Digit, 2);
  EXPECT_EQ(LEDDigitShare(12).Carry, 1);
  EXPECT_EQ(LEDDigitShare(-42).Digit, -2);
  EXPECT_EQ(LEDDigitShare(-42).Carry, -4);
  EXPECT_EQ(LEDDigitShare(7).Carry, 0);

  EXPECT_EQ(LEDPanelClamp(150, 0, 100), 100);
  EXPECT_EQ(LEDPanelClamp(-3, 0, 100), 0);
  EXPECT_EQ(LEDPanelClamp(-3, -10, 100), -3);
  // A range upside down is not checked: below the minimum wins.
  EXPECT_EQ(LEDPanelClamp(5, 10, 0), 10);

  EXPECT_EQ(LEDCellIndex(ltDigit, 9, true, false), 10);
  EXPECT_EQ(LEDCellIndex(ltDigit, 0, true, true), 0);
  EXPECT_EQ(LEDCellIndex(ltColon, 0, true, true), 2);
  EXPECT_EQ(LEDCellIndex(ltPeriod, 4, false, false), 0);
  // An out-of-range size falls back on the default one rather than reading past the table.
  EXPECT_STREQ(LEDStrip(TMMLEDSize(40)).DigitName, "LCD_13X21");
}

TEST(LEDLaw, PanelSizesOfTheWindowsReadOuts) {
  struct Case {
    const char* Name;
    int NumDigits;
    TMMLEDSize Size;
    int Extend;
    int Width, Height;
  };
  const Case cases[] = {
      {"LEDHour", 1, ls13x21, 0, 11, 21}, {"LEDMin", 2, ls13x21, 0, 23, 21},
      {"LEDMSec", 3, ls08x13, 0, 23, 13}, {"LEDPeak", 2, ls15x24, 0, 27, 24},
      {"LEDFloat", 1, ls08x13, 0, 7, 13}, {"a default panel", 2, ls13x21, 1, 25, 23},
  };
  for (const Case& c : cases) {
    const TMMLEDStrip& strip = LEDStrip(c.Size);
    const TMMLEDPanelSize size =
        LEDPanelSize(c.NumDigits, strip.CellWidth, strip.CellHeight, 1, c.Extend);
    EXPECT_EQ(size.Width, c.Width) << c.Name;
    EXPECT_EQ(size.Height, c.Height) << c.Name;
  }
  // The most significant digit stands leftmost, inside the bevel.
  EXPECT_EQ(LEDDigitLeft(3, 2, 7, 1, 0), 0);
  EXPECT_EQ(LEDDigitLeft(3, 0, 7, 1, 0), 16);
  EXPECT_EQ(LEDDigitLeft(2, 1, 11, 1, 2), 2);
}

TEST(LEDReadout, TimeOfAPosition) {
  struct Case {
    int32_t Ms;
    TTimeReadout Shown;
  };
  const Case cases[] = {
      {3'723'456, {1, 2, 3, 456}},
      {36'000'000, {10, 0, 0, 0}},  // the hour panel clamps this to 9
      {59'999, {0, 0, 59, 999}},
      {60'000, {0, 1, 0, 0}},
      {3'599'999, {0, 59, 59, 999}},
      {1, {0, 0, 0, 1}},
      {0, {0, 0, 0, 0}},
      {-5, {0, 0, 0, 0}},
      {INT32_MAX, {596, 31, 23, 647}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitPosition(c.Ms), c.Shown) << c.Ms << " ms";
}

TEST(LEDReadout, PeakInDecibelsBelowFullScale) {
  EXPECT_EQ(PeakReadout(50, 25), 6);
  EXPECT_EQ(PeakReadout(25, 50), 6);
  EXPECT_EQ(PeakReadout(100, 0), 0);
  EXPECT_EQ(PeakReadout(0, 1), 40);
  EXPECT_EQ(PeakReadout(70, 3), 3);
  // Nothing to show: the read-out keeps its value.
  EXPECT_EQ(PeakReadout(0, 0), std::nullopt);
  EXPECT_EQ(PeakReadout(-4, 0), std::nullopt);
}
