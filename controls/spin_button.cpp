#include "controls/spin_button.h"

#include <QKeyEvent>
#include <QPainter>
#include <algorithm>

namespace {

constexpr int kMinWidth = 15;

}  // namespace

TSpinButton::TSpinButton(TComponent* AOwner, QWidget* AParent)
    : QWidget(AParent),
      TComponent(AOwner),
      FUpButton(new TTimerSpeedButton(this)),
      FDownButton(new TTimerSpeedButton(this)),
      FFocusedButton(FUpButton) {
  setFocusPolicy(Qt::StrongFocus);
  for (TTimerSpeedButton* button : {FUpButton, FDownButton}) {
    button->SetTimeBtnState(tbAllowTimer);
    button->OnPress = [this](TTimerSpeedButton* b) { ButtonPressed(b); };
    button->OnClick = [this](TTimerSpeedButton* b) { ButtonClicked(b); };
  }
  FUpButton->SetGlyph(BuiltInGlyph(true));
  FDownButton->SetGlyph(BuiltInGlyph(false));
  resize(20, 25);
  AdjustSize();
}

TSpinButton::~TSpinButton() {
  Destroying();
}

QImage TSpinButton::BuiltInGlyph(bool up) {
  // A triangle of 7 x 4 pixels, rows of 1, 3, 5 and 7.
  QImage glyph(7, 4, QImage::Format_ARGB32);
  glyph.fill(Qt::transparent);
  for (int row = 0; row < 4; ++row) {
    const int y = up ? row : 3 - row;
    for (int x = 3 - row; x <= 3 + row; ++x) glyph.setPixel(x, y, 0xFF202020);
  }
  return glyph;
}

void TSpinButton::SetUpGlyph(const QImage& value) {
  FUpButton->SetGlyph(value.isNull() ? BuiltInGlyph(true) : value);
}

void TSpinButton::SetDownGlyph(const QImage& value) {
  FDownButton->SetGlyph(value.isNull() ? BuiltInGlyph(false) : value);
}

void TSpinButton::Loaded() {
  TComponent::Loaded();
  AdjustSize();
}

void TSpinButton::AdjustSize() {
  const int w = std::max(width(), kMinWidth);
  if (w != width()) resize(w, height());  // comes back through resizeEvent
  const int h = height();
  const int half = h / 2;
  FUpButton->setGeometry(0, 0, w, half);
  FDownButton->setGeometry(0, half - 1, w, h - half + 1);
}

void TSpinButton::resizeEvent(QResizeEvent* /*event*/) {
  AdjustSize();
}

void TSpinButton::SetFocusButton(TTimerSpeedButton* button) {
  if (button == FFocusedButton) return;
  FFocusedButton = button;
  UpdateFocusRect();
}

void TSpinButton::UpdateFocusRect() {
  for (TTimerSpeedButton* button : {FUpButton, FDownButton}) {
    const TTimeBtnState state = button->TimeBtnState() & ~tbFocusRect;
    button->SetTimeBtnState(button == FFocusedButton && hasFocus() ? state | tbFocusRect : state);
  }
}

void TSpinButton::ButtonPressed(TTimerSpeedButton* button) {
  SetFocusButton(button);
  QWidget* target = FFocusControl;
  const bool canTake =
      target && target->isEnabled() && target->isVisible() && target->focusPolicy() != Qt::NoFocus;
  if (canTake) {
    if (!target->hasFocus()) target->setFocus(Qt::MouseFocusReason);
  } else if (focusPolicy() != Qt::NoFocus && !hasFocus()) {
    setFocus(Qt::MouseFocusReason);
  }
}

void TSpinButton::ButtonClicked(TTimerSpeedButton* button) {
  if (IsLoading()) return;
  const TNotifyEvent& event = button == FUpButton ? OnUpClick : OnDownClick;
  if (event) event(this);
}

void TSpinButton::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Up:
      SetFocusButton(FUpButton);
      FUpButton->Click();
      break;
    case Qt::Key_Down:
      SetFocusButton(FDownButton);
      FDownButton->Click();
      break;
    case Qt::Key_Space:
      FFocusedButton->Click();
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

void TSpinButton::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  UpdateFocusRect();
}

void TSpinButton::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  UpdateFocusRect();
}

void TSpinButton::paintEvent(QPaintEvent* /*event*/) {
  // The buttons cover the control; this only shows if they were hidden.
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
}
