// The base of the instruments that are painted on their parent window (a non-native widget):
// an owned bevel around a drawing area, and an off-screen picture of the control that all
// painting goes into. The picture reaches the screen only from the main thread's paint events,
// at most once per display frame, so instruments may draw directly (DrawDirect) as often as
// their data arrive, from any thread, without touching the widget.
#pragma once

#include <QImage>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "instruments/bevel.h"
#include "platform/component/component.h"
#include "platform/gdi/gdi_types.h"

class TDeviceContext;

// A routine that draws into the control's Canvas during DrawDirect.
using TDrawProc = std::function<void(void* Data, bool Flag)>;

class TMMGraphicControl : public QWidget, public TComponent {
 public:
  explicit TMMGraphicControl(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMGraphicControl() override;

  // The bevel; assigning copies its settings, and every change repaints the control.
  TMMBevel* Bevel() { return FBevel.get(); }
  void SetBevel(const TMMBevel& value) { FBevel->Assign(value); }
  // The colour of the drawing area (the base fills it; DIB instruments clear to it).
  TColor Color() const { return FColor; }
  void SetColor(TColor value);

  // The width of the bevel on each side (0 without a bevel).
  int BevelExtend() const;
  // (0, 0, Width, Height).
  TRect ClientRect() const { return Rect(0, 0, width(), height()); }
  // The client rectangle shrunk by BevelExtend on every side.
  TRect InnerRect() const;

  // Sets the control's place and size on its parent; a new size runs Changed.
  virtual void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);

  bool Designing() const { return FDesigning; }
  // Calls SetDesigning when the value differs from the design state.
  virtual void ChangeDesigning(bool Value);
  // Switches the design state. Instruments override it to register with the display timer
  // and reset their display when they leave design state.
  virtual void SetDesigning(bool Value);

  // Marks the picture to be painted again (Paint) and asks for a screen update; any thread.
  void Invalidate();
  // Paints at once, without waiting for a paint event, and asks for a screen update in the next
  // display frame. Does nothing while the control is hidden or has no parent, or while a full
  // repaint is pending (that repaint shows the new state). Canvas is bound to the picture for
  // DrawProc, with the control's top-left as origin and the clip rectangle (0, 0, Width,
  // Height). Safe from any thread; DrawProc runs with the canvas lock held.
  // An instrument that keeps an off-screen image of its own draws that image here and calls
  // OffScreenChanged: the image is then copied into the picture (PresentOffScreen) once, just
  // before the frame is shown, however many times it was drawn in between.
  void DrawDirect(bool Flag, const TDrawProc& DrawProc, void* Data);

  // The device context bound to the control's picture during Paint and DrawDirect; null
  // otherwise.
  TDeviceContext* Canvas() const { return FCanvas; }
  // The lock that guards the control's picture and the Canvas binding (and, in DIB
  // instruments, the DIB canvas). Paint, DrawDirect and the DIB settings hold it.
  std::recursive_mutex& CanvasLock() { return FCanvasLock; }
  // A copy of the control's picture as it will be shown next (Format_RGB32); it is painted
  // first if a repaint is pending. Main thread.
  QImage Picture();

  // The class name of the control, for messages.
  virtual std::string ClassName() const;

 protected:
  // Runs when the bevel or the bounds change: the base repaints. Instruments override it to
  // recompute their drawing area.
  virtual void Changed();
  // Draws the whole control on Canvas: the base paints the bevel and fills the inner
  // rectangle with Color.
  virtual void Paint();
  // From a DrawProc: the instrument's off-screen image holds new content for the screen.
  void OffScreenChanged() { FOffScreenChanged = true; }
  // Copies the instrument's off-screen image onto Canvas, bound to the picture: main thread,
  // canvas lock held, only after OffScreenChanged. The base has no such image.
  virtual void PresentOffScreen() {}
  void BevelChanged(TObject* Sender);

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // Paints the picture when it is not current, or copies a changed off-screen image into it.
  // Caller holds FCanvasLock.
  void PaintPicture();
  void SizeMaybeChanged();
  void UpdateDirectTarget();
  // Asks for a screen update at the next display frame; any thread.
  void RequestFrame();
  // Main thread: hands the control to the frame clock, which shows it now or when the frame
  // interval has passed.
  void ShowFrame();

  std::unique_ptr<TMMBevel> FBevel;  // main thread
  // Written by the main thread with FCanvasLock held; other threads read it under the lock.
  TColor FColor = clBtnFace;
  bool FDesigning = false;   // main thread
  QSize FKnownSize{-1, -1};  // main thread

  std::recursive_mutex FCanvasLock;
  QImage FPicture;                    // guarded by FCanvasLock
  bool FPictureValid = false;         // guarded by FCanvasLock
  bool FOffScreenChanged = false;     // guarded by FCanvasLock
  TDeviceContext* FCanvas = nullptr;  // guarded by FCanvasLock
  // Visible with a parent: DrawDirect may draw. Written by the main thread.
  std::atomic<bool> FDirectTarget{false};
  // A screen update has been asked for and not yet given to Qt.
  std::atomic<bool> FFramePending{false};
};
