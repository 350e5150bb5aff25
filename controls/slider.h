// A track bar: a groove, a thumb and an optional tick scale, with an integer position between
// two bounds that the mouse and the keys move and every change of which is reported. The
// position reads linearly or logarithmically off the track.
#pragma once

#include <QImage>
#include <functional>
#include <memory>

#include "controls/slider_model.h"
#include "instruments/custom_control.h"
#include "instruments/scale.h"

class TDeviceContext;

enum TMMGrooveStyle { gsBevelled, gsFlat };
enum TMMThumbStyle { tsBevelled, tsFlat };
// How the focus shows: not at all, as a dotted frame inside the bevel, or as the thumb's grip
// line in FocusColor.
enum TMMFocusAction { faNone, faFocusRect, faFocusThumb };

// Draws part of the slider (Rect in client pixels) instead of the built-in drawing.
using TMMSliderDrawEvent =
    std::function<void(TObject* Sender, TDeviceContext& Canvas, const TRect& Rect)>;

class TMMSlider : public TMMCustomControl {
 public:
  explicit TMMSlider(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMSlider() override;

  // The position, read through the track's mapping; setting it moves the thumb and fires
  // OnChange whenever the value asked for differs from the track position held, even when
  // clamping to the bounds leaves it where it was.
  int Position() const { return FModel.Position(); }
  void SetPosition(int value);
  int MinValue() const { return FModel.MinValue(); }
  void SetMinValue(int value);
  int MaxValue() const { return FModel.MaxValue(); }
  void SetMaxValue(int value);
  int LineSize() const { return FModel.LineSize(); }
  void SetLineSize(int value) { FModel.SetLineSize(value); }
  int PageSize() const { return FModel.PageSize(); }
  void SetPageSize(int value) { FModel.SetPageSize(value); }
  bool Logarithmic() const { return FModel.Logarithmic(); }
  void SetLogarithmic(bool value);
  // dB, below 0; other values are ignored.
  int Sensitivity() const { return FModel.Sensitivity(); }
  void SetSensitivity(int value);
  const TMMSliderModel& Model() const { return FModel; }

  // Turning the slider swaps its width and height (not while loading).
  TMMOrientation Orientation() const { return FOrientation; }
  void SetOrientation(TMMOrientation value);

  TMMBevel* Groove() { return FGroove.get(); }
  int GrooveSize() const { return FGrooveSize; }
  void SetGrooveSize(int value);
  TMMGrooveStyle GrooveStyle() const { return FGrooveStyle; }
  void SetGrooveStyle(TMMGrooveStyle value);
  TMMThumbStyle ThumbStyle() const { return FThumbStyle; }
  void SetThumbStyle(TMMThumbStyle value);
  // Along a horizontal track and across it; a vertical slider turns the thumb.
  int ThumbWidth() const { return FThumbWidth; }
  void SetThumbWidth(int value);
  int ThumbHeight() const { return FThumbHeight; }
  void SetThumbHeight(int value);
  bool ThumbBorder() const { return FThumbBorder; }
  void SetThumbBorder(bool value);
  TMMFocusAction FocusAction() const { return FFocusAction; }
  void SetFocusAction(TMMFocusAction value);
  TColor FocusColor() const { return FFocusColor; }
  void SetFocusColor(TColor value);
  TColor GrooveColor() const { return FGrooveColor; }
  void SetGrooveColor(TColor value);
  TColor ThumbColor() const { return FThumbColor; }
  void SetThumbColor(TColor value);
  TColor DisabledColor() const { return FDisabledColor; }
  void SetDisabledColor(TColor value);

  // The tick row beside the groove: hidden, origin inner and connected at first. Its changes
  // repaint; assigning copies the settings.
  TMMScale* Scale() { return FScale.get(); }
  void SetScale(const TMMScale& value) { FScale->Assign(value); }
  int ScaleDistance() const { return FScaleDistance; }
  void SetScaleDistance(int value);
  TMMScalePos ScalePosition() const { return FScalePosition; }
  void SetScalePosition(TMMScalePos value);

  // Pictures at the two ends of the track (the top and bottom of a vertical one).
  const QImage& PicLeft() const { return FPicLeft; }
  void SetPicLeft(const QImage& value);
  const QImage& PicRight() const { return FPicRight; }
  void SetPicRight(const QImage& value);

  // Where the thumb is drawn, in client pixels.
  TRect ThumbRect() const;

  void Loaded() override;

  TNotifyEvent OnChange;
  // The user moves the thumb (a press, a key) and has let go.
  TNotifyEvent OnTrack;
  TNotifyEvent OnTrackEnd;
  TMMSliderDrawEvent OnDrawThumb;
  TMMSliderDrawEvent OnDrawGroove;

 protected:
  // A property changed: repaint, unless loading.
  void Changed() override;
  void Paint() override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  // Where everything lies for the current size and settings.
  struct TLayout {
    TRect Track;     // the part of the drawing area the thumb travels in
    int Along = 0;   // thumb size along the track
    int Across = 0;  // and across it
    int Travel = 0;  // pixels the thumb's edge moves from MinValue to MaxValue
    TRect Groove;    // groove with its bevel
    TRect ScaleRows[2];
    bool ScaleFlip[2] = {false, false};
    int ScaleRowCount = 0;
    TRect PicLeft, PicRight;
  };
  TLayout Layout() const;
  TRect ThumbRectAt(const TLayout& layout, int raw) const;
  // The offset along the track of a point, for the thumb's leading edge at `grip` pixels
  // before it: from the left of a horizontal track, from the bottom of a vertical one.
  int TrackOffset(const TLayout& layout, QPoint point, int grip) const;
  // Stores the raw position; repaints and fires OnChange when the value asked for differed.
  bool SetRaw(int value);
  bool CanFire() const { return !IsLoading(); }
  void Track();
  void TrackEnd();

  void DrawGroove(TDeviceContext& canvas, const TLayout& layout);
  void DrawScale(TDeviceContext& canvas, const TLayout& layout);
  void DrawThumb(TDeviceContext& canvas, const TRect& thumb);

  TMMSliderModel FModel;
  TMMOrientation FOrientation = orHorizontal;
  std::unique_ptr<TMMBevel> FGroove;
  int FGrooveSize = 3;
  TMMGrooveStyle FGrooveStyle = gsBevelled;
  TMMThumbStyle FThumbStyle = tsBevelled;
  int FThumbWidth = 11;
  int FThumbHeight = 23;
  bool FThumbBorder = true;
  TMMFocusAction FFocusAction = faFocusThumb;
  TColor FFocusColor = clNavy;  // the classic active caption
  TColor FGrooveColor = clBtnFace;
  TColor FThumbColor = clBtnFace;
  TColor FDisabledColor = clWhite;
  std::unique_ptr<TMMScale> FScale;
  int FScaleDistance = 10;
  TMMScalePos FScalePosition = spBelowOrRight;
  QImage FPicLeft;
  QImage FPicRight;
  bool FDragging = false;  // the left button holds the thumb
  int FGrip = 0;           // pixels from the thumb's leading edge to where it is held
  bool FTracking = false;  // OnTrack fired and OnTrackEnd not yet
};
