#include "instruments/core/led_law.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

const TMMLEDStrip& LEDStrip(TMMLEDSize Size) {
  const int index = int(Size);
  if (index < 0 || index >= kLEDSizeCount) return kLEDStrips[ls13x21];
  return kLEDStrips[size_t(index)];
}

int LEDCellCount(TMMLEDType Type) {
  return Type == ltDigit ? kLEDDigitCells : kLEDSignCells;
}

int LEDCellIndex(TMMLEDType Type, int Value, bool Enabled, bool ZeroBlank) {
  if (!Enabled) return 0;
  if (Type != ltDigit) return int(Type);
  if (ZeroBlank && Value == 0) return 0;
  return Value + 1;
}

TMMLEDDigitShare LEDDigitShare(int Value) {
  // C++ division truncates toward zero and the remainder takes the sign of the value.
  return {Value % 10, Value / 10};
}

int LEDPanelClamp(int Value, int MinValue, int MaxValue) {
  if (Value < MinValue) return MinValue;
  if (Value > MaxValue) return MaxValue;
  return Value;
}

std::vector<bool> LEDZeroBlankFlags(int NumDigits, int Value, bool ZeroBlank) {
  std::vector<bool> flags(size_t(std::max(NumDigits, 0)), false);
  if (!ZeroBlank || NumDigits < 2) return flags;
  // Digits 1 .. i - 1 are needed by the value; i and above blank their zeros.
  const int64_t magnitude = std::llabs(int64_t(Value));
  int i = 1;
  int64_t limit = 10;
  while (magnitude > limit && i < NumDigits - 1) {
    ++i;
    limit *= 10;
  }
  for (int d = i; d < NumDigits; ++d) flags[size_t(d)] = true;
  return flags;
}

std::vector<int> LEDPanelCells(int NumDigits, int Value, bool ZeroBlank, bool Enabled) {
  std::vector<int> cells;
  if (NumDigits < 1) return cells;
  const std::vector<bool> blank = LEDZeroBlankFlags(NumDigits, Value, ZeroBlank);
  // Digit 0 is given |Value| and the cascade fills the others.
  int carry = int(std::min<int64_t>(std::llabs(int64_t(Value)), INT_MAX));
  for (int d = 0; d < NumDigits; ++d) {
    const TMMLEDDigitShare share = LEDDigitShare(carry);
    carry = share.Carry;
    const bool sign = d == NumDigits - 1 && Value < 0;
    cells.push_back(sign ? LEDCellIndex(ltMinus, 0, Enabled, false)
                         : LEDCellIndex(ltDigit, share.Digit, Enabled, blank[size_t(d)]));
  }
  return cells;
}

TMMLEDPanelSize LEDPanelSize(int NumDigits, int CellWidth, int CellHeight, int Space, int Extend) {
  return {2 * Extend + (CellWidth + Space) * NumDigits - Space, 2 * Extend + CellHeight};
}

int LEDDigitLeft(int NumDigits, int Index, int CellWidth, int Space, int Extend) {
  // The most significant digit stands leftmost.
  return Extend + (CellWidth + Space) * (NumDigits - 1 - Index);
}
