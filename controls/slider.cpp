#include "controls/slider.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <algorithm>

#include "platform/gdi/device_context.h"

namespace {

// A rectangle given along the track (u) and across it (v).
TRect TrackRect(TMMOrientation orientation, int u0, int u1, int v0, int v1) {
  return orientation == orHorizontal ? Rect(u0, v0, u1, v1) : Rect(v0, u0, v1, u1);
}

bool Contains(const TRect& r, QPoint p) {
  return p.x() >= r.Left && p.x() < r.Right && p.y() >= r.Top && p.y() < r.Bottom;
}

// A byte-sized setting: 0..255.
int Byte(int value) {
  return std::clamp(value, 0, 255);
}

}  // namespace

TMMSlider::TMMSlider(TComponent* AOwner, QWidget* AParent)
    : TMMCustomControl(AOwner, AParent),
      FGroove(std::make_unique<TMMBevel>()),
      FScale(std::make_unique<TMMScale>()) {
  Bevel()->SetBorderWidth(5);
  FScale->SetVisible(false);
  FScale->SetConnect(true);
  FGroove->OnChange = [this](TObject* /*Sender*/) { Changed(); };
  FScale->OnChange = [this](TObject* /*Sender*/) { Changed(); };
  setFocusPolicy(Qt::StrongFocus);  // a tab stop
  resize(200, 40);
}

TMMSlider::~TMMSlider() {
  Destroying();
}

void TMMSlider::Changed() {
  if (!IsLoading()) update();
}

void TMMSlider::Loaded() {
  TMMCustomControl::Loaded();
  update();
}

// ------------------------------------------------------------------ the value

bool TMMSlider::SetRaw(int value) {
  if (!FModel.SetRaw(value)) return false;
  if (IsLoading()) return true;
  update();
  if (OnChange) OnChange(this);
  return true;
}

void TMMSlider::SetPosition(int value) {
  SetRaw(FModel.RawForPosition(value));
}

void TMMSlider::SetMinValue(int value) {
  if (value == FModel.MinValue()) return;
  const int raw = FModel.Raw();
  FModel.SetMinValue(value);
  Changed();
  if (FModel.Raw() != raw && CanFire() && OnChange) OnChange(this);
}

void TMMSlider::SetMaxValue(int value) {
  if (value == FModel.MaxValue()) return;
  const int raw = FModel.Raw();
  FModel.SetMaxValue(value);
  Changed();
  if (FModel.Raw() != raw && CanFire() && OnChange) OnChange(this);
}

void TMMSlider::SetLogarithmic(bool value) {
  if (value == FModel.Logarithmic()) return;
  FModel.SetLogarithmic(value);
  Changed();
}

void TMMSlider::SetSensitivity(int value) {
  if (value == FModel.Sensitivity()) return;
  FModel.SetSensitivity(value);
  Changed();
}

// ------------------------------------------------------------------ the look

void TMMSlider::SetOrientation(TMMOrientation value) {
  if (value == FOrientation) return;
  FOrientation = value;
  if (!IsLoading()) resize(height(), width());
  Changed();
}

void TMMSlider::SetGrooveSize(int value) {
  value = Byte(value);
  if (value == FGrooveSize) return;
  FGrooveSize = value;
  Changed();
}

void TMMSlider::SetGrooveStyle(TMMGrooveStyle value) {
  if (value == FGrooveStyle) return;
  FGrooveStyle = value;
  Changed();
}

void TMMSlider::SetThumbStyle(TMMThumbStyle value) {
  if (value == FThumbStyle) return;
  FThumbStyle = value;
  Changed();
}

void TMMSlider::SetThumbWidth(int value) {
  value = Byte(value);
  if (value == FThumbWidth) return;
  FThumbWidth = value;
  Changed();
}

void TMMSlider::SetThumbHeight(int value) {
  value = Byte(value);
  if (value == FThumbHeight) return;
  FThumbHeight = value;
  Changed();
}

void TMMSlider::SetThumbBorder(bool value) {
  if (value == FThumbBorder) return;
  FThumbBorder = value;
  Changed();
}

void TMMSlider::SetFocusAction(TMMFocusAction value) {
  if (value == FFocusAction) return;
  FFocusAction = value;
  Changed();
}

void TMMSlider::SetFocusColor(TColor value) {
  if (value == FFocusColor) return;
  FFocusColor = value;
  Changed();
}

void TMMSlider::SetGrooveColor(TColor value) {
  if (value == FGrooveColor) return;
  FGrooveColor = value;
  Changed();
}

void TMMSlider::SetThumbColor(TColor value) {
  if (value == FThumbColor) return;
  FThumbColor = value;
  Changed();
}

void TMMSlider::SetDisabledColor(TColor value) {
  if (value == FDisabledColor) return;
  FDisabledColor = value;
  Changed();
}

void TMMSlider::SetScaleDistance(int value) {
  if (value == FScaleDistance) return;
  FScaleDistance = value;
  Changed();
}

void TMMSlider::SetScalePosition(TMMScalePos value) {
  if (value == FScalePosition) return;
  FScalePosition = value;
  Changed();
}

void TMMSlider::SetPicLeft(const QImage& value) {
  FPicLeft = value;
  Changed();
}

void TMMSlider::SetPicRight(const QImage& value) {
  FPicRight = value;
  Changed();
}

// ------------------------------------------------------------------ geometry

TMMSlider::TLayout TMMSlider::Layout() const {
  TLayout l;
  const bool horizontal = FOrientation == orHorizontal;
  const int extend = BevelExtend();
  // The drawing area along (u) and across (v) the track.
  const int u0 = extend;
  const int u1 = (horizontal ? width() : height()) - extend;
  const int v0 = extend;
  const int v1 = (horizontal ? height() : width()) - extend;
  const int across = v1 - v0;

  // The pictures sit at the two ends, centred across, with a gap of 2 to the track.
  auto along = [&](const QImage& p) { return horizontal ? p.width() : p.height(); };
  auto thick = [&](const QImage& p) { return horizontal ? p.height() : p.width(); };
  int t0 = u0;
  int t1 = u1;
  if (!FPicLeft.isNull()) {
    const int pv = v0 + (across - thick(FPicLeft)) / 2;
    l.PicLeft = TrackRect(FOrientation, u0, u0 + along(FPicLeft), pv, pv + thick(FPicLeft));
    t0 += along(FPicLeft) + 2;
  }
  if (!FPicRight.isNull()) {
    const int pv = v0 + (across - thick(FPicRight)) / 2;
    l.PicRight = TrackRect(FOrientation, u1 - along(FPicRight), u1, pv, pv + thick(FPicRight));
    t1 -= along(FPicRight) + 2;
  }
  t1 = std::max(t1, t0);

  l.Along = FThumbWidth;
  l.Across = FThumbHeight;
  l.Travel = std::max(0, t1 - t0 - l.Along);

  // Across the track, from the thumb's near side: the groove through the thumb's middle, the
  // scale rows ScaleDistance away from it; the whole is centred in the drawing area.
  const int groove = FGrooveSize + (FGrooveStyle == gsBevelled ? 2 * FGroove->BevelExtend() : 0);
  const int g0 = (l.Across - groove) / 2;
  int lo = 0;
  int hi = l.Across;
  int rowStart[2] = {0, 0};
  const int row = FScale->ScaleWidth();
  if (FScale->GetVisible()) {
    if (FScalePosition != spBelowOrRight) {
      rowStart[l.ScaleRowCount] = g0 - FScaleDistance - row;
      l.ScaleFlip[l.ScaleRowCount++] = true;
      lo = std::min(lo, g0 - FScaleDistance - row);
    }
    if (FScalePosition != spAboveOrLeft) {
      rowStart[l.ScaleRowCount] = g0 + groove + FScaleDistance;
      l.ScaleFlip[l.ScaleRowCount++] = false;
      hi = std::max(hi, g0 + groove + FScaleDistance + row);
    }
  }
  const int base = v0 + (across - (hi - lo)) / 2 - lo;

  l.Track = TrackRect(FOrientation, t0, t1, base, base + l.Across);
  l.Groove = TrackRect(FOrientation, t0, t1, base + g0, base + g0 + groove);
  // The ticks run between the thumb's centres at the two bounds. A horizontal row's connecting
  // line lies just outside its rectangle.
  const int s0 = t0 + l.Along / 2;
  const int c = horizontal && FScale->GetConnect() ? 1 : 0;
  for (int i = 0; i < l.ScaleRowCount; ++i)
    l.ScaleRows[i] = TrackRect(FOrientation, s0, s0 + l.Travel, base + rowStart[i] + c,
                               base + rowStart[i] + row - c);
  return l;
}

TRect TMMSlider::ThumbRectAt(const TLayout& l, int raw) const {
  const int offset = FModel.OffsetOfRaw(raw, l.Travel);
  if (FOrientation == orHorizontal) {
    const int left = l.Track.Left + offset;
    return Rect(left, l.Track.Top, left + l.Along, l.Track.Bottom);
  }
  // A vertical track has its low end at the bottom.
  const int top = l.Track.Bottom - l.Along - offset;
  return Rect(l.Track.Left, top, l.Track.Right, top + l.Along);
}

TRect TMMSlider::ThumbRect() const {
  return ThumbRectAt(Layout(), FModel.Raw());
}

int TMMSlider::TrackOffset(const TLayout& l, QPoint point, int grip) const {
  if (FOrientation == orHorizontal) return point.x() - grip - l.Track.Left;
  return l.Track.Bottom - l.Along - (point.y() - grip);
}

// ------------------------------------------------------------------ input

void TMMSlider::Track() {
  FTracking = true;
  if (CanFire() && OnTrack) OnTrack(this);
}

void TMMSlider::TrackEnd() {
  if (!FTracking) return;
  FTracking = false;
  if (CanFire() && OnTrackEnd) OnTrackEnd(this);
}

void TMMSlider::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  setFocus(Qt::MouseFocusReason);
  const TLayout l = Layout();
  const QPoint point = event->position().toPoint();
  const TRect thumb = ThumbRectAt(l, FModel.Raw());
  // Held where it was taken; taken elsewhere, the thumb comes centred under the mouse.
  if (Contains(thumb, point))
    FGrip = FOrientation == orHorizontal ? point.x() - thumb.Left : point.y() - thumb.Top;
  else
    FGrip = l.Along / 2;
  FDragging = true;
  SetRaw(FModel.RawAtOffset(TrackOffset(l, point, FGrip), l.Travel));
  Track();
}

void TMMSlider::mouseMoveEvent(QMouseEvent* event) {
  if (!FDragging) return;
  const TLayout l = Layout();
  SetRaw(FModel.RawAtOffset(TrackOffset(l, event->position().toPoint(), FGrip), l.Travel));
}

void TMMSlider::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !FDragging) return;
  FDragging = false;
  TrackEnd();
}

void TMMSlider::keyPressEvent(QKeyEvent* event) {
  TMMSliderKey key;
  switch (event->key()) {
    case Qt::Key_PageUp:
      key = skPageUp;
      break;
    case Qt::Key_PageDown:
      key = skPageDown;
      break;
    case Qt::Key_Home:
      key = skHome;
      break;
    case Qt::Key_End:
      key = skEnd;
      break;
    case Qt::Key_Left:
    case Qt::Key_Down:
      key = skLineDown;
      break;
    case Qt::Key_Right:
    case Qt::Key_Up:
      key = skLineUp;
      break;
    default:
      TMMCustomControl::keyPressEvent(event);
      return;
  }
  event->accept();
  if (SetRaw(FModel.RawForKey(key, FOrientation))) Track();
}

void TMMSlider::keyReleaseEvent(QKeyEvent* event) {
  TMMCustomControl::keyReleaseEvent(event);
  if (!event->isAutoRepeat() && !FDragging) TrackEnd();
}

void TMMSlider::focusInEvent(QFocusEvent* event) {
  TMMCustomControl::focusInEvent(event);
  if (FFocusAction != faNone) update();
}

void TMMSlider::focusOutEvent(QFocusEvent* event) {
  TMMCustomControl::focusOutEvent(event);
  if (FFocusAction != faNone) update();
}

// ------------------------------------------------------------------ drawing

void TMMSlider::Paint() {
  TDeviceContext& canvas = *Canvas();
  const TRect inner = Bevel()->PaintBevel(canvas, ClientRect(), true);
  canvas.FillRect(inner, Color());
  canvas.SetClipRect(inner);
  const TLayout l = Layout();
  for (const auto& [picture, where] : {std::pair{&FPicLeft, l.PicLeft}, {&FPicRight, l.PicRight}})
    if (!picture->isNull())
      canvas.StretchBlt(where, *picture, Rect(0, 0, picture->width(), picture->height()));
  if (OnDrawGroove)
    OnDrawGroove(this, canvas, l.Groove);
  else
    DrawGroove(canvas, l);
  DrawScale(canvas, l);
  const TRect thumb = ThumbRectAt(l, FModel.Raw());
  if (OnDrawThumb)
    OnDrawThumb(this, canvas, thumb);
  else
    DrawThumb(canvas, thumb);
  if (FFocusAction == faFocusRect && hasFocus()) {
    const TRect r = Rect(inner.Left + 1, inner.Top + 1, inner.Right - 1, inner.Bottom - 1);
    for (int x = r.Left; x < r.Right; x += 2) {
      canvas.SetPixel(x, r.Top, FFocusColor);
      canvas.SetPixel(x, r.Bottom - 1, FFocusColor);
    }
    for (int y = r.Top; y < r.Bottom; y += 2) {
      canvas.SetPixel(r.Left, y, FFocusColor);
      canvas.SetPixel(r.Right - 1, y, FFocusColor);
    }
  }
  canvas.ResetClip();
}

void TMMSlider::DrawGroove(TDeviceContext& canvas, const TLayout& l) {
  const TColor fill = isEnabled() ? FGrooveColor : FDisabledColor;
  if (FGrooveStyle == gsFlat) {
    canvas.FillRect(l.Groove, fill);
    return;
  }
  const TRect inside = FGroove->PaintBevel(canvas, l.Groove, true);
  canvas.FillRect(inside, fill);
}

void TMMSlider::DrawScale(TDeviceContext& canvas, const TLayout& l) {
  if (!FScale->GetVisible()) return;
  FScale->SetCanvas(&canvas);
  for (int i = 0; i < l.ScaleRowCount; ++i) FScale->DrawScale(l.ScaleRows[i], l.ScaleFlip[i]);
  FScale->SetCanvas(nullptr);
}

void TMMSlider::DrawThumb(TDeviceContext& canvas, const TRect& thumb) {
  TRect r = thumb;
  if (FThumbBorder) {
    canvas.FrameRect(r, clBlack);
    r = Rect(r.Left + 1, r.Top + 1, r.Right - 1, r.Bottom - 1);
  }
  if (FThumbStyle == tsBevelled) Frame3D(canvas, r, clBtnHighlight, clBtnShadow, 1);
  canvas.FillRect(r, isEnabled() ? FThumbColor : FDisabledColor);
  // A grip line across the middle, in the focus colour while the slider has the focus.
  const TColor grip = FFocusAction == faFocusThumb && hasFocus() ? FFocusColor : clBtnShadow;
  if (FOrientation == orHorizontal) {
    const int x = (thumb.Left + thumb.Right) / 2;
    canvas.FillRect(Rect(x, r.Top + 1, x + 1, r.Bottom - 1), grip);
  } else {
    const int y = (thumb.Top + thumb.Bottom) / 2;
    canvas.FillRect(Rect(r.Left + 1, y, r.Right - 1, y + 1), grip);
  }
}
