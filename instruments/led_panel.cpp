#include "instruments/led_panel.h"

#include <QMouseEvent>
#include <QResizeEvent>
#include <algorithm>
#include <climits>
#include <cstdlib>

TMMLEDPanel::TMMLEDPanel(TComponent* AOwner, QWidget* AParent) : TMMCustomPanel(AOwner, AParent) {
  TMMBevelledWidget::SetColor(clBlack);
  CreateDigits();
  Resize();
}

TMMLEDPanel::~TMMLEDPanel() {
  Destroying();
  FreeDigits();
}

void TMMLEDPanel::CreateDigits() {
  for (int i = 0; i < FNumDigits; ++i) {
    auto* digit = new TMMLEDDigit(this, this);
    digit->SetCascadeValues(true);
    digit->SetEnabled(FEnabled);
    digit->SetDigitSize(FDigitSize);
    digit->SetInactiveColor(FInactiveColor);
    digit->SetLEDColor(FLEDColor);
    digit->SetDrawInactive(FDrawInactive);
    // A click on a digit is a click on the panel.
    digit->setAttribute(Qt::WA_TransparentForMouseEvents);
    if (i > 0) FDigits.back()->SetConnect(digit);
    FDigits.push_back(digit);
    digit->show();
  }
  FDigits.front()->SetZeroBlank(false);
  ShowValue();
}

void TMMLEDPanel::FreeDigits() {
  // The most significant first, so no digit outlives the one it is connected to for long.
  while (!FDigits.empty()) {
    delete FDigits.back();
    FDigits.pop_back();
  }
}

QSize TMMLEDPanel::CalcSize() const {
  const TMMLEDStrip& strip = LEDStrip(FDigitSize);
  int w = strip.CellWidth, h = strip.CellHeight;
  if (!FDigits.empty()) {
    w = FDigits.front()->width();
    h = FDigits.front()->height();
  }
  const TMMLEDPanelSize size = LEDPanelSize(FNumDigits, w, h, FLEDSpace, BevelExtend());
  return QSize(size.Width, size.Height);
}

void TMMLEDPanel::Resize() {
  if (FDigits.empty() || IsLoading() || FResizing) return;
  FResizing = true;
  const QSize size = CalcSize();
  const int e = BevelExtend();
  const int w = FDigits.front()->width(), h = FDigits.front()->height();
  for (int i = 0; i < FNumDigits; ++i)
    FDigits[size_t(i)]->SetBounds(LEDDigitLeft(FNumDigits, i, w, FLEDSpace, e), e, w, h);
  if (size == this->size())
    update();
  else
    setGeometry(x(), y(), size.width(), size.height());
  FResizing = false;
}

void TMMLEDPanel::SetBounds(int ALeft, int ATop, int /*AWidth*/, int /*AHeight*/) {
  const QSize size = CalcSize();
  setGeometry(ALeft, ATop, size.width(), size.height());
}

void TMMLEDPanel::resizeEvent(QResizeEvent* event) {
  TMMCustomPanel::resizeEvent(event);
  Resize();
}

void TMMLEDPanel::BevelChanged() {
  TMMCustomPanel::BevelChanged();
  Resize();
}

void TMMLEDPanel::Loaded() {
  TMMCustomPanel::Loaded();
  // The digits took their settings with the panel: each takes its strip, and so its size, now.
  for (TMMLEDDigit* digit : FDigits) digit->Loaded();
  Resize();
}

void TMMLEDPanel::ApplyZeroBlank() {
  const std::vector<bool> blank = LEDZeroBlankFlags(FNumDigits, FValue, FZeroBlank);
  for (size_t i = 1; i < FDigits.size(); ++i) FDigits[i]->SetZeroBlank(blank[i]);
}

void TMMLEDPanel::ShowValue() {
  if (FDigits.empty()) return;
  if (FDashes) {
    for (TMMLEDDigit* digit : FDigits) digit->SetDisplayType(ltMinus);
    return;
  }
  for (size_t i = 0; i + 1 < FDigits.size(); ++i) FDigits[i]->SetDisplayType(ltDigit);
  ApplyZeroBlank();
  FDigits.front()->SetValue(int(std::min<int64_t>(std::llabs(int64_t(FValue)), INT_MAX)));
  FDigits.back()->SetDisplayType(FValue >= 0 ? ltDigit : ltMinus);
}

void TMMLEDPanel::SetValue(int Value) {
  Value = LEDPanelClamp(Value, FMinValue, FMaxValue);
  if (Value == FValue) return;
  FValue = Value;
  ShowValue();
  if (!IsLoading() && OnChange) OnChange(this);
}

void TMMLEDPanel::SetMinValue(int Value) {
  if (Value == FMinValue) return;
  FMinValue = Value;
  if (FValue < FMinValue) SetValue(FMinValue);
  update();
}

void TMMLEDPanel::SetMaxValue(int Value) {
  if (Value == FMaxValue) return;
  FMaxValue = Value;
  if (FValue > FMaxValue) SetValue(FMaxValue);
  update();
}

void TMMLEDPanel::SetNumDigits(int Value) {
  if (Value < 1 || Value > 9 || Value == FNumDigits) return;
  FreeDigits();
  FNumDigits = Value;
  CreateDigits();
  Resize();
}

void TMMLEDPanel::SetLEDSpace(int Value) {
  if (Value < 1 || Value == FLEDSpace) return;
  FLEDSpace = Value;
  Resize();
}

void TMMLEDPanel::SetDigitSize(TMMLEDSize Value) {
  if (int(Value) < 0 || int(Value) >= kLEDSizeCount) return;
  FDigitSize = Value;
  for (TMMLEDDigit* digit : FDigits) digit->SetDigitSize(Value);
  Resize();
}

void TMMLEDPanel::SetLEDColor(TColor Value) {
  FLEDColor = Value;
  for (TMMLEDDigit* digit : FDigits) digit->SetLEDColor(Value);
}

void TMMLEDPanel::SetInactiveColor(TColor Value) {
  FInactiveColor = Value;
  for (TMMLEDDigit* digit : FDigits) digit->SetInactiveColor(Value);
}

void TMMLEDPanel::SetDrawInactive(bool Value) {
  FDrawInactive = Value;
  for (TMMLEDDigit* digit : FDigits) digit->SetDrawInactive(Value);
}

void TMMLEDPanel::SetZeroBlank(bool Value) {
  if (Value == FZeroBlank) return;
  FZeroBlank = Value;
  ApplyZeroBlank();
}

void TMMLEDPanel::SetDashes(bool Value) {
  if (Value == FDashes) return;
  FDashes = Value;
  ShowValue();
}

void TMMLEDPanel::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  setEnabled(Value);
  for (TMMLEDDigit* digit : FDigits) digit->SetEnabled(Value);
}

void TMMLEDPanel::SetColor(TColor Value) {
  TMMBevelledWidget::SetColor(Value);
  for (TMMLEDDigit* digit : FDigits) digit->ParentColorChanged();
}

void TMMLEDPanel::mouseReleaseEvent(QMouseEvent* event) {
  TMMCustomPanel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick)
    OnClick(this);
}

void TMMLEDPanel::mouseDoubleClickEvent(QMouseEvent* event) {
  TMMCustomPanel::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton && OnDblClick) OnDblClick(this);
}
