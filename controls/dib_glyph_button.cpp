#include "controls/dib_glyph_button.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>

#include "controls/dib_image_container.h"

// A modal dialog opened from a click takes the mouse, and the container hears no leave: when
// the dialog closes somewhere else, the button would keep its mouse-over glyph. This filter
// on the container and its window ends the hover when the window is blocked, deactivated or
// hidden, through the container's own leave handling (so its record of the control under the
// mouse stays right), and once the window is free again moves the hover to where the cursor
// really is.
class TDIBHoverWatch : public QObject {
 public:
  explicit TDIBHoverWatch(TDIBGlyphButton* button) : FButton(button) {}

  // Watches `container` and its window; again after a change of either.
  void Watch(TDIBImageContainer* container) {
    QWidget* window = container ? container->window() : nullptr;
    if (container == FContainer && window == FWindow) return;
    if (FContainer) FContainer->removeEventFilter(this);
    if (FWindow && FWindow != FContainer) FWindow->removeEventFilter(this);
    FContainer = container;
    FWindow = window;
    if (FContainer) FContainer->installEventFilter(this);
    if (FWindow && FWindow != FContainer) FWindow->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::WindowBlocked:
        // Even when a leave came first: the click that opened the dialog is followed by the
        // container's tracking at the position of the click, which may be long stale.
        FRecheck = true;
        EndHover();
        break;
      case QEvent::WindowDeactivate:
        EndHover();
        break;
      case QEvent::Hide:
        if (watched == FContainer || watched == FWindow) EndHover();
        break;
      case QEvent::WindowUnblocked:
      case QEvent::WindowActivate:
        // Later, once the handler that opened the dialog has returned and the container has
        // done its own tracking at the old position.
        if (FRecheck && !FRecheckPending) {
          FRecheckPending = true;
          QTimer::singleShot(0, this, [this] {
            FRecheckPending = false;
            FRecheck = false;
            Recheck();
          });
        }
        break;
      default:
        break;
    }
    return false;
  }

 private:
  void EndHover() {
    if (!FButton->MouseInside()) return;
    FRecheck = true;
    Leave();
  }

  void Leave() {
    if (!FContainer) return;
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(FContainer, &leave);
  }

  void Recheck() {
    if (!FContainer || !FContainer->isVisible()) return;
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal != FContainer->window()) return;  // still blocked
    const QPoint global = QCursor::pos();
    const QPoint local = FContainer->mapFromGlobal(global);
    QWidget* under = QApplication::widgetAt(global);
    if (FContainer->rect().contains(local) && under &&
        (under == FContainer || FContainer->isAncestorOf(under))) {
      QMouseEvent move(QEvent::MouseMove, QPointF(local), QPointF(global), Qt::NoButton,
                       QApplication::mouseButtons(), QApplication::keyboardModifiers());
      QCoreApplication::sendEvent(FContainer, &move);
    } else {
      Leave();
    }
  }

  TDIBGlyphButton* FButton;  // owns this watch
  QPointer<TDIBImageContainer> FContainer;
  QPointer<QWidget> FWindow;
  bool FRecheck = false;  // look where the cursor is when the window is free again
  bool FRecheckPending = false;
};

TDIBGlyphButton::TDIBGlyphButton(TComponent* AOwner)
    : TDIBControl(AOwner), FGlyph([this] {
        AdjustSize();
        Invalidate();
      }) {}

TDIBGlyphButton::~TDIBGlyphButton() = default;

int TDIBGlyphButton::GlyphIndex(int state, int numGlyphs) {
  if (state < bsUp || state > bsDown) throw EDIBGlyphButtonError("Unknown button state");
  if (state + 1 <= numGlyphs) return state;
  switch (state) {
    case bsDisabled:
    case bsMouseOver:
      return bsUp;
    default:  // down shows the clicking glyph
      return bsClicking;
  }
}

void TDIBGlyphButton::SetNumGlyphs(int value) {
  if (value < 2 || value > 5 || value == FNumGlyphs) return;
  FNumGlyphs = value;
  AdjustSize();
  Invalidate();
}

void TDIBGlyphButton::SetDown(bool value) {
  if (value == FDown) return;
  FDown = value;
  UpdateState();
  if (FDown && FGroup != 0 && Owner()) {
    // A copy: releasing a button runs no user code, but stay safe against changes.
    const std::vector<TComponent*> siblings = Owner()->Components();
    for (TComponent* component : siblings) {
      auto* other = dynamic_cast<TDIBGlyphButton*>(component);
      if (other && other != this && other->FGroup == FGroup && other->FDown) other->SetDown(false);
    }
  }
}

void TDIBGlyphButton::SetCaption(const std::string& value) {
  if (value == FCaption) return;
  FCaption = value;
  Invalidate();
}

void TDIBGlyphButton::Click() {
  TDIBControl::Click();
  if (FToggleDown) SetDown(!FDown);
}

void TDIBGlyphButton::Loaded() {
  TDIBControl::Loaded();
  AdjustSize();
  UpdateState();
}

void TDIBGlyphButton::UpdateState() {
  int state;
  if (!Enabled())
    state = bsDisabled;
  else if (FDown)
    state = bsDown;
  else if (!MouseInside() && !Focused())
    state = bsUp;
  else
    state = FHeld ? bsClicking : bsMouseOver;
  if (state == FState) return;
  FState = state;
  Invalidate();
}

void TDIBGlyphButton::AdjustSize() {
  const TMemoryDIB* strip = FGlyph.Image();
  if (!strip || strip->Empty()) return;
  SetBounds(Left(), Top(), strip->Width() / FNumGlyphs, strip->Height());
}

void TDIBGlyphButton::Paint(QPainter& Canvas) {
  const int glyph = GlyphIndex();
  if (const TMemoryDIB* strip = FGlyph.Image(); strip && !strip->Empty())
    Canvas.drawImage(QPoint(0, 0), strip->Image(), QRect(glyph * Width(), 0, Width(), Height()));
  if (FCaption.empty()) return;
  const bool disabled = FState == bsDisabled;
  QPoint offset;
  switch (FState) {
    case bsUp:
      offset = CaptionOffsetEnabled;
      break;
    case bsClicking:
    case bsDown:
      offset = CaptionOffsetMouseClick;
      break;
    case bsDisabled:
      offset = CaptionOffsetDisabled;
      break;
    case bsMouseOver:
      offset = CaptionOffsetMouseOver;
      break;
    default:
      throw EDIBGlyphButtonError("Unknown button state");
  }
  Canvas.setFont(disabled ? FontDisabled : Font);
  Canvas.setPen(disabled ? FontDisabledColor : FontColor);
  Canvas.drawText(QRect(offset, QSize(Width(), Height())), Qt::AlignCenter,
                  QString::fromStdString(FCaption));
}

void TDIBGlyphButton::MouseEnter() {
  TDIBControl::MouseEnter();
  if (!FHoverWatch) FHoverWatch = std::make_unique<TDIBHoverWatch>(this);
  FHoverWatch->Watch(Parent());
  UpdateState();
}

void TDIBGlyphButton::MouseLeave() {
  TDIBControl::MouseLeave();
  UpdateState();
}

void TDIBGlyphButton::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
  if (Button == mbLeft) FHeld = true;
  UpdateState();
  TDIBControl::MouseDown(Button, Shift, X, Y);
}

void TDIBGlyphButton::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) {
  if (Button == mbLeft) FHeld = false;
  UpdateState();
  TDIBControl::MouseUp(Button, Shift, X, Y);
}

void TDIBGlyphButton::DoEnter() {
  UpdateState();
  TDIBControl::DoEnter();
}

void TDIBGlyphButton::DoExit() {
  UpdateState();
  TDIBControl::DoExit();
}

void TDIBGlyphButton::KeyDown(int& Key, TShiftState Shift) {
  TDIBControl::KeyDown(Key, Shift);
  if ((Key == Qt::Key_Space || Key == Qt::Key_Return || Key == Qt::Key_Enter) && Enabled()) {
    Key = 0;
    Click();
  }
}

void TDIBGlyphButton::EnabledChanged() {
  if (!Enabled()) FHeld = false;
  UpdateState();
}
