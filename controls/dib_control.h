// The base of windowless controls: a rectangle of its container's client area that the
// container draws over its background and to which it hands its mouse and keyboard input.
#pragma once

#include <QRect>
#include <functional>

#include "platform/component/component.h"

class QPainter;
class TDIBImageContainer;

enum TMouseButton { mbLeft, mbRight, mbMiddle };

enum TShiftStateFlag : unsigned {
  ssShift = 1,
  ssAlt = 2,
  ssCtrl = 4,
  ssLeft = 8,
  ssRight = 16,
  ssMiddle = 32,
  ssDouble = 64,
};
using TShiftState = unsigned;

// Mouse positions are in the control's own coordinates. Key codes are Qt::Key values; a
// handler that sets the key to 0 stops its default handling.
using TMouseEvent =
    std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;
using TKeyEvent = std::function<void(TObject* Sender, int& Key, TShiftState Shift)>;
using TKeyPressEvent = std::function<void(TObject* Sender, char& Key)>;

class TDIBControl : public TComponent {
 public:
  explicit TDIBControl(TComponent* AOwner);
  ~TDIBControl() override;

  // The container that draws the control; null for none. Controls are drawn in the order they
  // joined it, later ones on top.
  TDIBImageContainer* Parent() const { return FParent; }
  void SetParent(TDIBImageContainer* parent);

  int Left() const { return FBounds.left(); }
  int Top() const { return FBounds.top(); }
  int Width() const { return FBounds.width(); }
  int Height() const { return FBounds.height(); }
  QRect BoundsRect() const { return FBounds; }
  void SetBounds(int left, int top, int width, int height);

  bool Visible() const { return FVisible; }
  void SetVisible(bool value);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value);
  // 0..255; 255 draws the control opaque.
  int Opacity() const { return FOpacity; }
  void SetOpacity(int value);
  // The order of keyboard focus among the container's controls; -1 (the default) takes no
  // focus from the Tab key.
  int DIBTabOrder() const { return FTabOrder; }
  void SetDIBTabOrder(int value) { FTabOrder = value; }

  // Alt and this letter (or digit) click the control; 0 for none.
  char Accelerator() const { return FAccelerator; }
  void SetAccelerator(char value) { FAccelerator = value; }

  bool MouseInside() const { return FMouseInside; }
  bool Focused() const;
  void SetFocus();

  // Asks the container to draw the control again.
  void Invalidate();
  // What a click does: fires OnClick.
  virtual void Click();

  TNotifyEvent OnClick;
  TNotifyEvent OnDblClick;
  TMouseEvent OnMouseDown;
  TMouseMoveEvent OnMouseMove;
  TMouseEvent OnMouseUp;
  TNotifyEvent OnMouseEnter;
  TNotifyEvent OnMouseLeave;
  TNotifyEvent OnEnter;
  TNotifyEvent OnExit;
  TKeyEvent OnKeyDown;
  TKeyPressEvent OnKeyPress;
  TKeyEvent OnKeyUp;
  TNotifyEvent OnPaintStart;
  TNotifyEvent OnPaintEnd;
  TNotifyEvent OnResize;

 protected:
  friend class TDIBImageContainer;

  // Draws the control; the painter's origin is the control's top-left corner and it is
  // clipped to the control.
  virtual void Paint(QPainter& Canvas) = 0;

  // Input from the container. The overrides call these first.
  virtual void MouseEnter();
  virtual void MouseLeave();
  virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
  virtual void MouseMove(TShiftState Shift, int X, int Y);
  virtual void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
  virtual void DblClick();
  virtual void DoEnter();
  virtual void DoExit();
  virtual void KeyDown(int& Key, TShiftState Shift);
  virtual void KeyPress(char& Key);
  virtual void KeyUp(int& Key, TShiftState Shift);
  // Enabled or Visible changed.
  virtual void EnabledChanged() {}
  virtual void VisibleChanged() {}

  // Events do not fire while the stored layout is being loaded.
  bool CanFire() const { return !IsLoading(); }

 private:
  void PaintControl(QPainter& Canvas);

  TDIBImageContainer* FParent = nullptr;
  QRect FBounds{0, 0, 0, 0};
  bool FVisible = true;
  bool FEnabled = true;
  int FOpacity = 255;
  int FTabOrder = -1;  // not a tab stop
  char FAccelerator = 0;
  bool FMouseInside = false;
};
