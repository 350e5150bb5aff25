#include "controls/dib_glyph_button.h"

#include <QPainter>

TDIBGlyphButton::TDIBGlyphButton(TComponent* AOwner)
    : TDIBControl(AOwner), FGlyph([this] {
        AdjustSize();
        Invalidate();
      }) {}

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
