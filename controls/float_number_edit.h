// A one-line edit box that holds a floating-point value within a range and shows it with two
// decimals and the user's decimal separator. It lets through only the keys of a number and
// beeps for the others.
#pragma once

#include <QChar>
#include <QLineEdit>
#include <QString>
#include <optional>
#include <string>

#include "platform/component/component.h"

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

// The number rules of the box, without a window.
namespace float_number {

// The user's decimal separator (that of the default locale).
QChar DecimalSeparator();
// V within min..max; no clamping when the two bounds are equal.
double Clamp(double value, double min, double max);
// V in fixed notation with exactly two decimals and `separator` as the decimal point.
QString Format(double value, QChar separator);
// The number the text stands for, read with `separator` as the decimal point: an optional
// sign, digits with at most one separator, an optional exponent, spaces around it allowed.
// None for anything else (an empty text, letters, the other separator, "nan", "inf").
std::optional<double> Parse(const QString& text, QChar separator);
// Whether a typed character may reach the box: the signs, the digits, the decimal separator
// and the control characters other than carriage return; while disabled, only the control
// characters other than carriage return and backspace.
bool IsValidChar(QChar key, QChar separator, bool enabled);

}  // namespace float_number

class TMMFloatNumberEdit : public QLineEdit, public TComponent {
 public:
  explicit TMMFloatNumberEdit(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMFloatNumberEdit() override;

  // The text as a number; MinValue when the text is not one. Not clamped.
  double Value() const;
  // Clamps the value, then shows it with two decimals. Not a finite number: ignored.
  void SetValue(double value);
  double MinValue() const { return FMinValue; }
  void SetMinValue(double value) { FMinValue = value; }
  double MaxValue() const { return FMaxValue; }
  void SetMaxValue(double value) { FMaxValue = value; }
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment value);
  std::string Text() const { return text().toStdString(); }
  // Setting what the box already shows changes nothing and fires no OnChange.
  void SetText(const std::string& value);
  // Whether entering the box with the keyboard selects its whole text.
  bool AutoSelect() const { return FAutoSelect; }
  void SetAutoSelect(bool value) { FAutoSelect = value; }

  // Whether a typed character may reach the box.
  virtual bool IsValidChar(QChar key) const;

  // Fires whenever the text changes, also when the program sets it; not while loading.
  TNotifyEvent OnChange;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  double FMinValue = 0.0;
  double FMaxValue = 1000.0;
  TAlignment FAlignment = taLeftJustify;
  bool FAutoSelect = true;
};
