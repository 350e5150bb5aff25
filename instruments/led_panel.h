// A row of LED digits that shows a whole number: the value is clamped to its range, the units
// digit takes its magnitude and passes the tens on from digit to digit, leading zeros may be
// blanked and a negative value shows a minus in the leftmost cell. The panel's size always
// follows the number of digits, their size, the space between them and the bevel.
#pragma once

#include <vector>

#include "instruments/core/led_law.h"
#include "instruments/custom_panel.h"
#include "instruments/led_digit.h"

class TMMLEDPanel : public TMMCustomPanel {
 public:
  // Two lime ls13x21 digits showing 0 to 100 on black, in a lowered bevel.
  explicit TMMLEDPanel(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMLEDPanel() override;

  // Kept within MinValue..MaxValue; a change fires OnChange.
  int GetValue() const { return FValue; }
  void SetValue(int Value);
  // Lower and upper clamp; a value outside moves into the range. Not checked against each
  // other.
  int GetMinValue() const { return FMinValue; }
  void SetMinValue(int Value);
  int GetMaxValue() const { return FMaxValue; }
  void SetMaxValue(int Value);
  // 1 to 9; other values are ignored. Replaces all digits.
  int GetNumDigits() const { return FNumDigits; }
  void SetNumDigits(int Value);
  TMMLEDSize GetDigitSize() const { return FDigitSize; }
  void SetDigitSize(TMMLEDSize Value);
  // The gap between digits in pixels, at least 1.
  int GetLEDSpace() const { return FLEDSpace; }
  void SetLEDSpace(int Value);
  TColor GetLEDColor() const { return FLEDColor; }
  void SetLEDColor(TColor Value);
  TColor GetInactiveColor() const { return FInactiveColor; }
  void SetInactiveColor(TColor Value);
  bool GetDrawInactive() const { return FDrawInactive; }
  void SetDrawInactive(bool Value);
  // Blank leading zeros.
  bool GetZeroBlank() const { return FZeroBlank; }
  void SetZeroBlank(bool Value);
  // A dash in every cell instead of the value: a read-out with nothing to show. The value is
  // kept and shows again when the dashes go.
  bool GetDashes() const { return FDashes; }
  void SetDashes(bool Value);
  bool GetEnabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  // The background; the digits take it as their parent's colour.
  void SetColor(TColor Value);

  // The size is replaced by the one the digits and the bevel need.
  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
  // The digit children, units first.
  const std::vector<TMMLEDDigit*>& Digits() const { return FDigits; }
  // The size the panel takes: 2E + (cell width + LEDSpace) x NumDigits - LEDSpace by 2E + cell
  // height, E the bevel's width.
  QSize CalcSize() const;

  void Loaded() override;

  // After Value changed (not while the layout loads).
  TNotifyEvent OnChange;
  TNotifyEvent OnClick;
  TNotifyEvent OnDblClick;

 protected:
  void BevelChanged() override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void CreateDigits();
  void FreeDigits();
  // Takes the computed size and places the digits.
  void Resize();
  // Gives the digits ZeroBlank for the current value.
  void ApplyZeroBlank();
  // Shows the value on the digits: its magnitude from the units digit on, and the sign; or the
  // dashes.
  void ShowValue();

  // All main thread.
  int FNumDigits = 2;
  int FValue = 0;
  int FMinValue = 0;
  int FMaxValue = 100;
  TMMLEDSize FDigitSize = ls13x21;
  int FLEDSpace = 1;
  TColor FLEDColor = clLime;
  TColor FInactiveColor = RGB(0, 128, 0);
  bool FDrawInactive = true;
  bool FZeroBlank = false;
  bool FDashes = false;
  bool FEnabled = true;
  std::vector<TMMLEDDigit*> FDigits;  // owned through the component tree, units first
  bool FResizing = false;
};
