#include "controls/float_number_edit.h"

#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <charconv>
#include <cmath>

#include "platform/ui/ui.h"

namespace float_number {

QChar DecimalSeparator() {
  const QString point = QLocale().decimalPoint();
  return point.isEmpty() ? QChar('.') : point.front();
}

double Clamp(double value, double min, double max) {
  if (max == min) return value;
  if (value < min) return min;
  if (value > max) return max;
  return value;
}

QString Format(double value, QChar separator) {
  QString text = QString::number(value, 'f', 2);
  if (separator != QChar('.')) text.replace(QChar('.'), separator);
  return text;
}

std::optional<double> Parse(const QString& text, QChar separator) {
  const QString trimmed = text.trimmed();
  // The number rewritten in the C notation that from_chars reads.
  std::string number;
  qsizetype i = 0;
  const qsizetype n = trimmed.size();
  auto isDigit = [&](qsizetype at) {
    return at < n && trimmed[at] >= QChar('0') && trimmed[at] <= QChar('9');
  };
  if (i < n && (trimmed[i] == QChar('+') || trimmed[i] == QChar('-'))) {
    if (trimmed[i] == QChar('-')) number += '-';
    ++i;
  }
  int digits = 0;
  for (; isDigit(i); ++i, ++digits) number += char(trimmed[i].unicode());
  if (i < n && trimmed[i] == separator) {
    number += '.';
    for (++i; isDigit(i); ++i, ++digits) number += char(trimmed[i].unicode());
  }
  if (digits == 0) return std::nullopt;
  if (i < n && (trimmed[i] == QChar('e') || trimmed[i] == QChar('E'))) {
    number += 'e';
    ++i;
    if (i < n && (trimmed[i] == QChar('+') || trimmed[i] == QChar('-')))
      number += char(trimmed[i++].unicode());
    if (!isDigit(i)) return std::nullopt;
    for (; isDigit(i); ++i) number += char(trimmed[i].unicode());
  }
  if (i != n) return std::nullopt;
  double value = 0.0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || end != number.data() + number.size() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

bool IsValidChar(QChar key, QChar separator, bool enabled) {
  const char16_t c = key.unicode();
  if (!enabled) return c < 32 && c != '\r' && c != '\b';
  if (c < 32) return c != '\r';
  return c == '+' || c == '-' || (c >= '0' && c <= '9') || key == separator;
}

}  // namespace float_number

TMMFloatNumberEdit::TMMFloatNumberEdit(TComponent* AOwner, QWidget* AParent)
    : QLineEdit(AParent), TComponent(AOwner) {
  setText("0.00");
  SetAlignment(taLeftJustify);
  connect(this, &QLineEdit::textChanged, this, [this] {
    if (OnChange && !IsLoading()) OnChange(this);
  });
}

TMMFloatNumberEdit::~TMMFloatNumberEdit() {
  Destroying();
}

double TMMFloatNumberEdit::Value() const {
  return float_number::Parse(text(), float_number::DecimalSeparator()).value_or(FMinValue);
}

void TMMFloatNumberEdit::SetValue(double value) {
  if (!std::isfinite(value)) return;
  const double clamped = float_number::Clamp(value, FMinValue, FMaxValue);
  const QString shown = float_number::Format(clamped, float_number::DecimalSeparator());
  if (shown != text()) setText(shown);
}

void TMMFloatNumberEdit::SetAlignment(TAlignment value) {
  FAlignment = value;
  Qt::Alignment horizontal = Qt::AlignLeft;
  if (value == taRightJustify) horizontal = Qt::AlignRight;
  if (value == taCenter) horizontal = Qt::AlignHCenter;
  setAlignment(horizontal | Qt::AlignVCenter);
}

void TMMFloatNumberEdit::SetText(const std::string& value) {
  const QString shown = QString::fromStdString(value);
  if (shown != text()) setText(shown);
}

bool TMMFloatNumberEdit::IsValidChar(QChar key) const {
  return float_number::IsValidChar(key, float_number::DecimalSeparator(), isEnabled());
}

void TMMFloatNumberEdit::keyPressEvent(QKeyEvent* event) {
  // Keys that type nothing (arrows, Home, Delete, whose text is DEL) and shortcuts go to the
  // edit box as they are; a typed character must be one of a number.
  const QString typed = event->text();
  const bool shortcut = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
  if (!typed.isEmpty() && typed != QString(QChar(0x7F)) && !shortcut) {
    for (QChar key : typed) {
      if (!IsValidChar(key)) {
        event->accept();
        Beep();
        return;
      }
    }
  }
  QLineEdit::keyPressEvent(event);
}

void TMMFloatNumberEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  // Entering with a click places the cursor where the click was instead.
  if (FAutoSelect && event->reason() != Qt::MouseFocusReason &&
      QGuiApplication::mouseButtons() == Qt::NoButton)
    selectAll();
}

void TMMFloatNumberEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // What was typed is shown again clamped and with two decimals.
  SetValue(Value());
}
