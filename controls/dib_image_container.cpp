#include "controls/dib_image_container.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cctype>

namespace {

TShiftState ShiftOf(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons) {
  TShiftState shift = 0;
  if (modifiers & Qt::ShiftModifier) shift |= ssShift;
  if (modifiers & Qt::AltModifier) shift |= ssAlt;
  if (modifiers & Qt::ControlModifier) shift |= ssCtrl;
  if (buttons & Qt::LeftButton) shift |= ssLeft;
  if (buttons & Qt::RightButton) shift |= ssRight;
  if (buttons & Qt::MiddleButton) shift |= ssMiddle;
  return shift;
}

bool ButtonOf(Qt::MouseButton button, TMouseButton& result) {
  switch (button) {
    case Qt::LeftButton:
      result = mbLeft;
      return true;
    case Qt::RightButton:
      result = mbRight;
      return true;
    case Qt::MiddleButton:
      result = mbMiddle;
      return true;
    default:
      return false;
  }
}

}  // namespace

TDIBImageContainer::TDIBImageContainer(TComponent* AOwner, QWidget* parent)
    : QWidget(parent), TComponent(AOwner), FIndexImage([this] { update(); }) {
  setMouseTracking(true);
  setFocusPolicy(Qt::TabFocus);
  // Every pixel is painted here, so Qt need not clear the area first.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

TDIBImageContainer::~TDIBImageContainer() {
  Destroying();
  // The controls belong to their owner and may outlive the container.
  for (TDIBControl* control : FControls) control->FParent = nullptr;
  FControls.clear();
  FHover = FCaptured = FActive = nullptr;
}

void TDIBImageContainer::SetTileMethod(TTileMethod value) {
  if (value == FTileMethod) return;
  FTileMethod = value;
  update();
}

void TDIBImageContainer::SetBorderDrawPosition(TBorderDrawPosition value) {
  if (value == FBorderDrawPosition) return;
  FBorderDrawPosition = value;
  update();
}

void TDIBImageContainer::SetDIBBorder(const TDIBBorder& value) {
  FBorder = value;
  update();
}

void TDIBImageContainer::SetColor(const QColor& value) {
  if (value == FColor) return;
  FColor = value;
  update();
}

// ------------------------------------------------------------------ children

void TDIBImageContainer::AddControl(TDIBControl* control) {
  FControls.push_back(control);
  control->Invalidate();
}

void TDIBImageContainer::RemoveControl(TDIBControl* control) {
  if (!Contains(control)) return;
  if (control->FVisible) update(control->FBounds);
  std::erase(FControls, control);
  control->FMouseInside = false;
  if (FHover == control) FHover = nullptr;
  if (FCaptured == control) FCaptured = nullptr;
  if (FActive == control) {
    FActive = nullptr;
    if (OnActiveControlChange && !IsLoading()) OnActiveControlChange(this);
  }
}

void TDIBImageContainer::ControlHidden(TDIBControl* control) {
  if (FHover == control) {
    FHover = nullptr;
    control->MouseLeave();
  }
  if (FActive == control) SetActiveControl(nullptr);
}

bool TDIBImageContainer::Contains(const TDIBControl* control) const {
  return std::find(FControls.begin(), FControls.end(), control) != FControls.end();
}

TDIBControl* TDIBImageContainer::ControlAt(const QPoint& point) const {
  for (auto it = FControls.rbegin(); it != FControls.rend(); ++it)
    if ((*it)->FVisible && (*it)->FBounds.contains(point)) return *it;
  return nullptr;
}

// ------------------------------------------------------------------ painting

void TDIBImageContainer::PaintBackground(QPainter& painter, const QRect& area) {
  const TMemoryDIB* dib = FIndexImage.Image();
  if (!dib || dib->Empty()) {
    painter.fillRect(area, FColor);
    return;
  }
  const QImage image = dib->Image();
  if (FTileMethod == tmCenter) {
    if (image.size() != size()) painter.fillRect(area, FColor);
    const int x = width() / 2 - image.width() / 2;
    const int y = height() / 2 - image.height() / 2;
    painter.drawImage(QPoint(x, y), image);
    return;
  }
  // Tiles from the top-left corner, only those that meet the area being painted.
  const int w = image.width(), h = image.height();
  for (int y = (area.top() / h) * h; y <= area.bottom(); y += h)
    for (int x = (area.left() / w) * w; x <= area.right(); x += w) painter.drawImage(x, y, image);
}

void TDIBImageContainer::PaintBorder(QPainter& painter) {
  if (FBorder.Width <= 0) return;
  const int b = FBorder.Width;
  const QRect r = rect();
  painter.fillRect(QRect(r.left(), r.top(), r.width(), b), FBorder.Color);
  painter.fillRect(QRect(r.left(), r.bottom() - b + 1, r.width(), b), FBorder.Color);
  painter.fillRect(QRect(r.left(), r.top() + b, b, r.height() - 2 * b), FBorder.Color);
  painter.fillRect(QRect(r.right() - b + 1, r.top() + b, b, r.height() - 2 * b), FBorder.Color);
}

void TDIBImageContainer::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QRect area = event->rect();
  PaintBackground(painter, area);
  if (BeforePaint && !IsLoading()) BeforePaint(this, painter);
  if (FBorderDrawPosition == bdUnderControls) PaintBorder(painter);
  // A copy: a paint handler may add or remove controls.
  const std::vector<TDIBControl*> controls = FControls;
  for (TDIBControl* control : controls) {
    if (!Contains(control) || !control->FVisible || !control->FBounds.intersects(area)) continue;
    painter.save();
    painter.translate(control->FBounds.topLeft());
    painter.setClipRect(QRect(QPoint(0, 0), control->FBounds.size()));
    if (control->FOpacity < 255) painter.setOpacity(control->FOpacity / 255.0);
    control->PaintControl(painter);
    painter.restore();
  }
  if (FBorderDrawPosition == bdOverControls) PaintBorder(painter);
  if (AfterPaint && !IsLoading()) AfterPaint(this, painter);
}

// ------------------------------------------------------------------ mouse

void TDIBImageContainer::TrackMouse(const QPoint* point) {
  TDIBControl* target = point ? ControlAt(*point) : nullptr;
  // While the left button is held on a control, only that control can have the mouse inside.
  if (FCaptured && target != FCaptured) target = nullptr;
  if (target == FHover) return;
  TDIBControl* old = FHover;
  FHover = target;
  if (old) old->MouseLeave();
  if (target && Contains(target) && FHover == target) target->MouseEnter();
}

void TDIBImageContainer::mousePressEvent(QMouseEvent* event) {
  TMouseButton button;
  if (!ButtonOf(event->button(), button)) return;
  const QPoint pos = event->position().toPoint();
  TrackMouse(&pos);
  TDIBControl* target = ControlAt(pos);
  if (!target || !target->FEnabled) return;
  if (button == mbLeft) {
    FCaptured = target;
    FDoubleClickPress = false;
  }
  const QPoint local = pos - target->FBounds.topLeft();
  target->MouseDown(button, ShiftOf(event->modifiers(), event->buttons()), local.x(), local.y());
}

void TDIBImageContainer::mouseDoubleClickEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  TDIBControl* target = ControlAt(pos);
  if (event->button() != Qt::LeftButton || !target || !target->FEnabled) {
    mousePressEvent(event);
    return;
  }
  // The second press of a double click: a double click instead of a second click.
  FCaptured = target;
  FDoubleClickPress = true;
  TrackMouse(&pos);
  const QPoint local = pos - target->FBounds.topLeft();
  target->DblClick();
  if (Contains(target))
    target->MouseDown(mbLeft, ShiftOf(event->modifiers(), event->buttons()) | ssDouble, local.x(),
                      local.y());
}

void TDIBImageContainer::mouseMoveEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  TrackMouse(&pos);
  TDIBControl* target = FCaptured ? FCaptured : ControlAt(pos);
  if (!target || !target->FEnabled) return;
  const QPoint local = pos - target->FBounds.topLeft();
  target->MouseMove(ShiftOf(event->modifiers(), event->buttons()), local.x(), local.y());
}

void TDIBImageContainer::mouseReleaseEvent(QMouseEvent* event) {
  TMouseButton button;
  if (!ButtonOf(event->button(), button)) return;
  const QPoint pos = event->position().toPoint();
  const TShiftState shift = ShiftOf(event->modifiers(), event->buttons());
  if (button != mbLeft) {
    TDIBControl* target = ControlAt(pos);
    if (target && target->FEnabled) {
      const QPoint local = pos - target->FBounds.topLeft();
      target->MouseUp(button, shift, local.x(), local.y());
    }
    return;
  }
  TDIBControl* target = FCaptured;
  const bool click = !FDoubleClickPress;
  FCaptured = nullptr;
  FDoubleClickPress = false;
  if (target) {
    const QPoint local = pos - target->FBounds.topLeft();
    target->MouseUp(mbLeft, shift, local.x(), local.y());
    // A click needs the release on the control that took the press, still enabled and shown.
    if (click && Contains(target) && target->FEnabled && target->FVisible &&
        target->FBounds.contains(pos))
      target->Click();
  }
  // The click handler may have moved, hidden or removed controls.
  if (rect().contains(pos))
    TrackMouse(&pos);
  else
    TrackMouse(nullptr);
}

void TDIBImageContainer::leaveEvent(QEvent* event) {
  TrackMouse(nullptr);
  QWidget::leaveEvent(event);
}

// ------------------------------------------------------------------ keyboard

TDIBControl* TDIBImageContainer::NextInTabOrder(bool forward) const {
  std::vector<TDIBControl*> stops;
  for (TDIBControl* c : FControls)
    if (c->FTabOrder >= 0 && c->FVisible && c->FEnabled) stops.push_back(c);
  std::stable_sort(stops.begin(), stops.end(),
                   [](TDIBControl* a, TDIBControl* b) { return a->FTabOrder < b->FTabOrder; });
  if (stops.empty()) return nullptr;
  const auto at = std::find(stops.begin(), stops.end(), FActive);
  if (at == stops.end()) return forward ? stops.front() : stops.back();
  if (forward) return at + 1 == stops.end() ? nullptr : *(at + 1);
  return at == stops.begin() ? nullptr : *(at - 1);
}

void TDIBImageContainer::SetActiveControl(TDIBControl* control) {
  if (control && !Contains(control)) return;
  if (control == FActive) return;
  TDIBControl* old = FActive;
  FActive = control;
  if (old) old->DoExit();
  if (FActive == control && control) control->DoEnter();
  if (OnActiveControlChange && !IsLoading()) OnActiveControlChange(this);
}

void TDIBImageContainer::keyPressEvent(QKeyEvent* event) {
  const TShiftState shift = ShiftOf(event->modifiers(), Qt::NoButton);
  if ((event->modifiers() & Qt::AltModifier) && event->key() < 0x80) {
    const char letter = char(std::tolower(event->key()));
    for (TDIBControl* c : FControls)
      if (c->FAccelerator && std::tolower(static_cast<unsigned char>(c->FAccelerator)) == letter &&
          c->FVisible && c->FEnabled) {
        c->Click();
        return;
      }
  }
  if (!FActive || !FActive->FEnabled) {
    QWidget::keyPressEvent(event);
    return;
  }
  TDIBControl* target = FActive;
  int key = event->key();
  target->KeyDown(key, shift);
  const QByteArray text = event->text().toLatin1();
  if (key != 0 && !text.isEmpty() && Contains(target)) {
    char ch = text.at(0);
    target->KeyPress(ch);
  }
}

void TDIBImageContainer::keyReleaseEvent(QKeyEvent* event) {
  if (!FActive || !FActive->FEnabled) {
    QWidget::keyReleaseEvent(event);
    return;
  }
  int key = event->key();
  FActive->KeyUp(key, ShiftOf(event->modifiers(), Qt::NoButton));
}

void TDIBImageContainer::focusInEvent(QFocusEvent* event) {
  if (!FActive) {
    if (event->reason() == Qt::TabFocusReason)
      SetActiveControl(NextInTabOrder(true));
    else if (event->reason() == Qt::BacktabFocusReason)
      SetActiveControl(NextInTabOrder(false));
  }
  QWidget::focusInEvent(event);
}

void TDIBImageContainer::focusOutEvent(QFocusEvent* event) {
  // Keep the focused control while the whole window is inactive or a popup is up.
  if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
    SetActiveControl(nullptr);
  QWidget::focusOutEvent(event);
}

bool TDIBImageContainer::focusNextPrevChild(bool next) {
  // Tab moves among the controls while one of them, or the container itself, has the focus;
  // past the last one it goes on to the next widget.
  if (FActive || hasFocus()) {
    if (TDIBControl* control = NextInTabOrder(next)) {
      SetActiveControl(control);
      return true;
    }
    SetActiveControl(nullptr);
  }
  return QWidget::focusNextPrevChild(next);
}
