#include "controls/timer_speed_button.h"

#include <QEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

namespace {

// The face of the button: a metal cap like the window's plates, lit from above, and sunk in
// while pressed.
constexpr QRgb kFrame = 0xFF464646;
constexpr QRgb kCapTop = 0xFFF8F8F8;
constexpr QRgb kCapBottom = 0xFFC4C4C4;
constexpr QRgb kSunkTop = 0xFFB0B0B0;
constexpr QRgb kSunkBottom = 0xFFD6D6D6;
constexpr QRgb kLight = 0xFFFFFFFF;
constexpr QRgb kShade = 0xFF969696;

// Dots on every other pixel of a rectangle's outline.
void DottedFrame(QPainter& painter, const QRect& r, QColor color) {
  if (r.width() < 1 || r.height() < 1) return;
  painter.setPen(color);
  for (int x = r.left(); x <= r.right(); x += 2) {
    painter.drawPoint(x, r.top());
    painter.drawPoint(x, r.bottom());
  }
  for (int y = r.top(); y <= r.bottom(); y += 2) {
    painter.drawPoint(r.left(), y);
    painter.drawPoint(r.right(), y);
  }
}

}  // namespace

TTimerSpeedButton::TTimerSpeedButton(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

TTimerSpeedButton::~TTimerSpeedButton() = default;

void TTimerSpeedButton::SetGlyph(const QImage& value) {
  FGlyph = value;
  update();
}

void TTimerSpeedButton::SetNumGlyphs(int value) {
  if (value < 1 || value > 4 || value == FNumGlyphs) return;
  FNumGlyphs = value;
  update();
}

void TTimerSpeedButton::SetTimeBtnState(TTimeBtnState value) {
  if (value == FTimeBtnState) return;
  FTimeBtnState = value;
  if (!(FTimeBtnState & tbAllowTimer)) StopRepeat();
  update();
}

bool TTimerSpeedButton::Repeating() const {
  return FRepeatTimer && FRepeatTimer->isActive();
}

void TTimerSpeedButton::Click() {
  if (OnClick) OnClick(this);
}

void TTimerSpeedButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  FDragging = true;
  FInside = true;
  update();
  if (OnPress) OnPress(this);
  if (FTimeBtnState & tbAllowTimer) {
    if (!FRepeatTimer) {
      FRepeatTimer = new QTimer(this);
      FRepeatTimer->setTimerType(Qt::PreciseTimer);
      connect(FRepeatTimer, &QTimer::timeout, this, [this] { TimerExpired(); });
    }
    FRepeatTimer->start(kInitRepeatPause);
  }
}

void TTimerSpeedButton::mouseMoveEvent(QMouseEvent* event) {
  if (!FDragging) return;
  const bool inside = rect().contains(event->position().toPoint());
  if (inside == FInside) return;
  FInside = inside;
  update();
}

void TTimerSpeedButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !FDragging) return;
  const bool inside = rect().contains(event->position().toPoint());
  FDragging = false;
  FInside = false;
  StopRepeat();
  update();
  if (inside) Click();
}

void TTimerSpeedButton::changeEvent(QEvent* event) {
  // A button that can no longer take input lets go, so it does not repeat on its own.
  if (event->type() == QEvent::EnabledChange && !isEnabled()) {
    FDragging = false;
    FInside = false;
    StopRepeat();
    update();
  }
  QWidget::changeEvent(event);
}

void TTimerSpeedButton::TimerExpired() {
  FRepeatTimer->setInterval(kRepeatPause);
  // Only while the arrow is held with the mouse over it.
  if (Pressed()) Click();
}

void TTimerSpeedButton::StopRepeat() {
  if (FRepeatTimer) FRepeatTimer->stop();
}

QImage TTimerSpeedButton::ShownGlyph() const {
  if (FGlyph.isNull()) return {};
  // The look does not change while disabled: normal, or pressed when the strip has it.
  const int index = Pressed() && FNumGlyphs >= 3 ? 2 : 0;
  const int width = FGlyph.width() / FNumGlyphs;
  QImage glyph =
      FGlyph.copy(index * width, 0, width, FGlyph.height()).convertToFormat(QImage::Format_ARGB32);
  if (!FGlyph.hasAlphaChannel() && glyph.height() > 0 && width > 0) {
    const QRgb background = glyph.pixel(0, glyph.height() - 1);
    for (int y = 0; y < glyph.height(); ++y)
      for (int x = 0; x < glyph.width(); ++x)
        if (glyph.pixel(x, y) == background) glyph.setPixel(x, y, 0);
  }
  return glyph;
}

void TTimerSpeedButton::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const QRect r = rect();
  const bool pressed = Pressed();
  QLinearGradient cap(0, 0, 0, r.height());
  cap.setColorAt(0, QColor::fromRgb(pressed ? kSunkTop : kCapTop));
  cap.setColorAt(1, QColor::fromRgb(pressed ? kSunkBottom : kCapBottom));
  painter.fillRect(r, cap);
  painter.setPen(QColor::fromRgb(kFrame));
  painter.drawRect(r.adjusted(0, 0, -1, -1));
  // The inner edge: lit top and left, shaded bottom and right; only a shade on top when sunk.
  const QRect inner = r.adjusted(1, 1, -2, -2);
  if (inner.width() > 0 && inner.height() > 0) {
    painter.setPen(QColor::fromRgb(pressed ? kShade : kLight));
    painter.drawLine(inner.topLeft(), inner.topRight());
    painter.drawLine(inner.topLeft(), inner.bottomLeft());
    if (!pressed) {
      painter.setPen(QColor::fromRgb(kShade));
      painter.drawLine(inner.bottomLeft(), inner.bottomRight());
      painter.drawLine(inner.topRight(), inner.bottomRight());
    }
  }
  const int shift = pressed ? 1 : 0;
  const QImage glyph = ShownGlyph();
  if (!glyph.isNull())
    painter.drawImage(
        QPoint((r.width() - glyph.width()) / 2 + shift, (r.height() - glyph.height()) / 2 + shift),
        glyph);
  if (FTimeBtnState & tbFocusRect)
    DottedFrame(painter, r.adjusted(3 + shift, 3 + shift, -4 + shift, -4 + shift), Qt::black);
}
