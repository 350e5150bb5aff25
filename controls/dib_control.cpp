#include "controls/dib_control.h"

#include <QPainter>
#include <algorithm>

#include "controls/dib_image_container.h"

TDIBControl::TDIBControl(TComponent* AOwner) : TComponent(AOwner) {}

TDIBControl::~TDIBControl() {
  Destroying();
  if (FParent) FParent->RemoveControl(this);
}

void TDIBControl::SetParent(TDIBImageContainer* parent) {
  if (parent == FParent) return;
  if (FParent) FParent->RemoveControl(this);
  FParent = parent;
  if (FParent) FParent->AddControl(this);
}

void TDIBControl::SetBounds(int left, int top, int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  const QRect bounds(left, top, width, height);
  if (bounds == FBounds) return;
  const bool resized = bounds.size() != FBounds.size();
  Invalidate();
  FBounds = bounds;
  Invalidate();
  if (resized && OnResize && CanFire()) OnResize(this);
}

void TDIBControl::SetVisible(bool value) {
  if (value == FVisible) return;
  FVisible = value;
  if (FParent) {
    FParent->update(FBounds);
    if (!FVisible) FParent->ControlHidden(this);
  }
  VisibleChanged();
}

void TDIBControl::SetEnabled(bool value) {
  if (value == FEnabled) return;
  FEnabled = value;
  EnabledChanged();
  Invalidate();
}

void TDIBControl::SetOpacity(int value) {
  value = std::clamp(value, 0, 255);
  if (value == FOpacity) return;
  FOpacity = value;
  Invalidate();
}

bool TDIBControl::Focused() const {
  return FParent && FParent->ActiveControl() == this;
}

void TDIBControl::SetFocus() {
  if (FParent) FParent->SetActiveControl(this);
}

void TDIBControl::Invalidate() {
  if (FParent && FVisible && !FBounds.isEmpty()) FParent->update(FBounds);
}

void TDIBControl::Click() {
  if (OnClick && CanFire()) OnClick(this);
}

void TDIBControl::MouseEnter() {
  FMouseInside = true;
  if (OnMouseEnter && CanFire()) OnMouseEnter(this);
}

void TDIBControl::MouseLeave() {
  FMouseInside = false;
  if (OnMouseLeave && CanFire()) OnMouseLeave(this);
}

void TDIBControl::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
  if (OnMouseDown && CanFire()) OnMouseDown(this, Button, Shift, X, Y);
}

void TDIBControl::MouseMove(TShiftState Shift, int X, int Y) {
  if (OnMouseMove && CanFire()) OnMouseMove(this, Shift, X, Y);
}

void TDIBControl::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) {
  if (OnMouseUp && CanFire()) OnMouseUp(this, Button, Shift, X, Y);
}

void TDIBControl::DblClick() {
  if (OnDblClick && CanFire()) OnDblClick(this);
}

void TDIBControl::DoEnter() {
  if (OnEnter && CanFire()) OnEnter(this);
}

void TDIBControl::DoExit() {
  if (OnExit && CanFire()) OnExit(this);
}

void TDIBControl::KeyDown(int& Key, TShiftState Shift) {
  if (OnKeyDown && CanFire()) OnKeyDown(this, Key, Shift);
}

void TDIBControl::KeyPress(char& Key) {
  if (OnKeyPress && CanFire()) OnKeyPress(this, Key);
}

void TDIBControl::KeyUp(int& Key, TShiftState Shift) {
  if (OnKeyUp && CanFire()) OnKeyUp(this, Key, Shift);
}

void TDIBControl::PaintControl(QPainter& Canvas) {
  if (OnPaintStart && CanFire()) OnPaintStart(this);
  Paint(Canvas);
  if (OnPaintEnd && CanFire()) OnPaintEnd(this);
}
