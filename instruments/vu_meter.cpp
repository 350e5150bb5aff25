#include "instruments/vu_meter.h"

#include <QEvent>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "instruments/display_timer.h"

namespace {

// The labels of the scale: "Small Fonts" at 6 points, 8 pixels high.
const TGdiFont kScaleFont{"Small Fonts", 8, false, false, clBlack};
// The printed reference level: the caption's face at 8 points, 11 pixels high, not bold.
constexpr int kRefLevelHeight = 11;

// Text without its leading minus sign.
std::string WithoutMinus(const std::string& text) {
  return !text.empty() && text[0] == '-' ? text.substr(1) : text;
}

}  // namespace

TMMMeter::TMMMeter(TComponent* AOwner, QWidget* AParent) : TMMGraphicControl(AOwner, AParent) {
  SetColor(clBlack);
  SetBounds(0, 0, 170, 90);
  FLaw.OnChange = [this] { NeedleChanged(); };
  FLaw.OnGainOverflow = [this] {
    if (OnGainOverflow) OnGainOverflow();
  };
  FLaw.OnPcmOverflow = [this] {
    if (OnPcmOverflow) OnPcmOverflow();
  };
  UpdateActive();
  UpdateTimerItem();
}

TMMMeter::~TMMMeter() {
  FActive = false;
  // Waits for a tick that is running, so the law outlives every tick.
  FTick.Remove();
}

void TMMMeter::SetPWaveFormat(const WAVEFORMATEX* Format) {
  FLaw.SetPWaveFormat(Format);
}

void TMMMeter::RefreshPCMData(const void* Data) {
  if (!FActive.load(std::memory_order_relaxed)) return;
  FLaw.RefreshPCMData(Data);
}

void TMMMeter::ResetData() {
  FLaw.ResetData();
  FAngle.store(FLaw.GetAngle(), std::memory_order_relaxed);
  FLevel.store(FLaw.GetLevel(), std::memory_order_relaxed);
  Invalidate();
}

void TMMMeter::SetValue(int Value) {
  FLaw.SetValue(Value);
}

void TMMMeter::NeedleChanged() {
  FAngle.store(FLaw.GetAngle(), std::memory_order_relaxed);
  FLevel.store(FLaw.GetLevel(), std::memory_order_relaxed);
  if (!FActive.load(std::memory_order_relaxed)) return;
  DrawDirect(
      false,
      [this](void*, bool) {
        if (FScaleCache.isNull() || FScaleCache.size() != FWork.size()) return;
        RestoreScale();
        DrawNeedles(Geometry());
        OffScreenChanged();
        if (OnPostPaint) OnPostPaint();
      },
      nullptr);
}

// ------------------------------------------------------------------ settings

void TMMMeter::SetMeterMode(TMeterMode Value) {
  if (Value == FLaw.GetMeterMode()) return;
  const bool vu = Value == mmVU;
  {
    std::lock_guard lock(CanvasLock());
    FLaw.SetMeterMode(Value);
    FAngle.store(FLaw.GetAngle(), std::memory_order_relaxed);
    FCaption = vu ? "VU" : "db";
    FScale1Color = vu ? clNavy : clGreen;
    FScale3Color = vu ? clMaroon : clRed;
    FTopSpace = vu ? 20 : 14;
    if (!vu) FShowRefLevel = false;
  }
  UpdateTimerItem();
  Invalidate();
}

void TMMMeter::SetRefLevel(double Value) {
  if (Value == FLaw.GetRefLevel()) return;
  {
    std::lock_guard lock(CanvasLock());
    FLaw.SetRefLevel(Value);
  }
  Invalidate();
}

void TMMMeter::SetShowRefLevel(bool Value) {
  SetDrawing(FShowRefLevel, Value);
}

void TMMMeter::SetShowPeak(bool Value) {
  if (Value == FLaw.GetShowPeak()) return;
  FLaw.SetShowPeak(Value);
  UpdateTimerItem();
  Invalidate();
}

void TMMMeter::SetScaleAngle(int Value) {
  Value = std::clamp(Value, 45, 180);
  if (Value == FLaw.GetScaleAngle()) return;
  {
    std::lock_guard lock(CanvasLock());
    FLaw.SetScaleAngle(Value);
  }
  ResetData();
}

void TMMMeter::SetCaption(const std::string& Value) {
  SetDrawing(FCaption, Value);
}

void TMMMeter::SetFont(const TGdiFont& Value) {
  {
    std::lock_guard lock(CanvasLock());
    FFont = Value;
  }
  Invalidate();
}

void TMMMeter::SetScale1Color(TColor Value) {
  SetDrawing(FScale1Color, Value);
}
void TMMMeter::SetScale2Color(TColor Value) {
  SetDrawing(FScale2Color, Value);
}
void TMMMeter::SetScale3Color(TColor Value) {
  SetDrawing(FScale3Color, Value);
}
void TMMMeter::SetNeedleColor(TColor Value) {
  SetDrawing(FNeedleColor, Value);
}
void TMMMeter::SetPeakColor(TColor Value) {
  SetDrawing(FPeakColor, Value);
}
void TMMMeter::SetNeedleOffset(int Value) {
  SetDrawing(FNeedleOffset, std::max(Value, 0));
}
void TMMMeter::SetNeedleWidth(int Value) {
  SetDrawing(FNeedleWidth, std::max(Value, 0));
}
void TMMMeter::SetScaleOrigin(TMMScaleOrigin Value) {
  SetDrawing(FScaleOrigin, Value);
}
void TMMMeter::SetScaleHeight1(int Value) {
  SetDrawing(FScaleHeight1, std::max(Value, 0));
}
void TMMMeter::SetScaleHeight2(int Value) {
  SetDrawing(FScaleHeight2, std::max(Value, 0));
}
void TMMMeter::SetScaleTicks(int Value) {
  SetDrawing(FScaleTicks, std::max(Value, 2));
}
void TMMMeter::SetScaleTicksEnlargeEvery(int Value) {
  SetDrawing(FScaleTicksEnlargeEvery, std::max(Value, 1));
}
void TMMMeter::SetScaleTicksTextEvery(int Value) {
  SetDrawing(FScaleTicksTextEvery, std::max(Value, 1));
}
void TMMMeter::SetDrawScale(bool Value) {
  SetDrawing(FDrawScale, Value);
}
void TMMMeter::SetTopSpace(int Value) {
  SetDrawing(FTopSpace, Value);
}
void TMMMeter::SetPoint1(int Value) {
  SetDrawing(FPoint1, std::clamp(Value, 1, 100));
}
void TMMMeter::SetPoint2(int Value) {
  SetDrawing(FPoint2, std::clamp(Value, 1, 100));
}

void TMMMeter::SetBackGroundDIB(const QImage& Value) {
  {
    std::lock_guard lock(CanvasLock());
    FBackGroundDIB = Value.convertToFormat(QImage::Format_RGB32);
  }
  Invalidate();
}

// ------------------------------------------------------------------ state

void TMMMeter::SetDesigning(bool Value) {
  TMMGraphicControl::SetDesigning(Value);
  UpdateTimerItem();
  ResetData();
}

void TMMMeter::UpdateActive() {
  FActive = isEnabled() && isVisible();
}

void TMMMeter::UpdateTimerItem() {
  if (Designing()) {
    FTick.Remove();
    return;
  }
  // The held peak falls on the display timer's ticks; the repaint comes with the next data.
  const bool suspend = !FLaw.GetShowPeak() || !isEnabled();
  FTick.Add(suspend);
  FTick.SetSuspended(suspend);
}

void TMMMeter::changeEvent(QEvent* event) {
  TMMGraphicControl::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) {
    UpdateActive();
    UpdateTimerItem();
    ResetData();
  }
}

void TMMMeter::showEvent(QShowEvent* event) {
  TMMGraphicControl::showEvent(event);
  UpdateActive();
}

void TMMMeter::hideEvent(QHideEvent* event) {
  TMMGraphicControl::hideEvent(event);
  UpdateActive();
}

void TMMMeter::Changed() {
  {
    std::lock_guard lock(CanvasLock());
    const TRect inner = InnerRect();
    FArea = inner;
    const QSize size(std::max(inner.Width(), 1), std::max(inner.Height(), 1));
    if (FWork.size() != size) {
      FWork = QImage(size, QImage::Format_RGB32);
      FScaleCache = QImage(size, QImage::Format_RGB32);
      FNeedleBox = QRect();
    }
  }
  ResetData();
}

// ------------------------------------------------------------------ drawing

TMMMeterGeometry TMMMeter::Geometry() const {
  return MeterGeometry(FArea.Width(), FArea.Height(), FNeedleOffset, FTopSpace,
                       FLaw.GetScaleAngle());
}

void TMMMeter::Paint() {
  TDeviceContext& canvas = *Canvas();
  Bevel()->PaintBevel(canvas, ClientRect(), true);
  const TRect inner = InnerRect();
  if (!(inner == FArea) || FWork.isNull()) {
    // A size the resize handler has not seen yet (a paint before the resize event).
    FArea = inner;
    const QSize size(std::max(inner.Width(), 1), std::max(inner.Height(), 1));
    FWork = QImage(size, QImage::Format_RGB32);
    FScaleCache = QImage(size, QImage::Format_RGB32);
    FNeedleBox = QRect();
  }
  const TMMMeterGeometry G = Geometry();
  DrawFace(G);
  FScaleCache = FWork.copy();
  DrawNeedles(G);
  ShowWork();
  if (OnPostPaint) OnPostPaint();
}

void TMMMeter::ShowWork() {
  if (FArea.IsEmpty()) return;
  Canvas()->StretchBlt(FArea, FWork, Rect(0, 0, FArea.Width(), FArea.Height()));
}

void TMMMeter::DrawFace(const TMMMeterGeometry& G) {
  TDeviceContext dc(&FWork);
  const TRect all = Rect(0, 0, FWork.width(), FWork.height());
  if (!FBackGroundDIB.isNull())
    dc.StretchBlt(all, FBackGroundDIB, Rect(0, 0, FBackGroundDIB.width(), FBackGroundDIB.height()));
  else
    dc.FillRect(all, Color());
  if (FDrawScale) {
    dc.SetNullBrush();
    TGdiFont font = kScaleFont;
    font.Color = FFont.Color;
    dc.SetFont(font);
    dc.SetBkMode(TRANSPARENT);
    if (FLaw.GetMeterMode() == mmVU)
      DrawVUScale(dc, G);
    else
      DrawPeakScale(dc, G);
  }
  DrawCaption(dc, G);
}

void TMMMeter::DrawVUScale(TDeviceContext& dc, const TMMMeterGeometry& G) {
  const int R = G.Radius;
  const int cx = G.Pivot.X, cy = G.Pivot.Y;
  // The two coloured arcs: overload from 0 to +3, normal from -70 to 0. An arc runs
  // counterclockwise, so from its right end to its left end.
  const int r = VUArcRadius(R, FScaleHeight1, FScaleHeight2);
  const TRect box = Rect(cx - r, cy - r, cx + r + 1, cy + r + 1);
  auto at = [&](int k, int rho) {
    const TMMMeterPoint p = PointAtAngle(G, VUMarkAngle(k, G.ScaleAngle), rho);
    return QPoint(p.X, p.Y);
  };
  const int zero = 21, top = kVUMarkCount - 1;  // marks 0 and +3
  dc.SetPen(FScale3Color, 1);
  dc.Arc(box, at(top, r), at(zero, r));
  dc.SetPen(FScale1Color, 1);
  dc.Arc(box, at(zero, r), at(0, r));

  for (int k = 0; k < kVUMarkCount; ++k) {
    const bool long_ = IsLongVUMark(k);
    const TMMTickSpan span = TickSpan(R, FScaleOrigin, long_, FScaleHeight1, FScaleHeight2);
    dc.SetPen(IsOverloadVUMark(k) ? FScale3Color : FScale1Color, 1);
    const QPoint outer = at(k, span.Outer), inner = at(k, span.Inner);
    dc.MoveTo(outer.x(), outer.y());
    dc.LineTo(inner.x(), inner.y());
    const std::string label = VUMarkLabel(k);
    if (label.empty()) continue;
    // The digits centred on the tick, the minus sign hanging to the left.
    const QPoint o = at(k, R - 2);
    const int left = VULabelLeft(o.x(), dc.TextExtent(label).width(),
                                 dc.TextExtent(WithoutMinus(label)).width());
    dc.TextOut(left, VULabelTop(o.y(), dc.TextExtent("O").height()), label);
  }
}

void TMMMeter::DrawPeakScale(TDeviceContext& dc, const TMMMeterGeometry& G) {
  const int R = G.Radius;
  for (int k = 0; k < FScaleTicks; ++k) {
    const int level = PeakTickLevel(k, FScaleTicks);
    const bool long_ = IsLongPeakTick(k, FScaleTicks, FScaleTicksEnlargeEvery);
    const TMMTickSpan span = TickSpan(R, FScaleOrigin, long_, FScaleHeight1, FScaleHeight2);
    const int zone = PeakTickZone(k, FScaleTicks, FPoint1, FPoint2);
    dc.SetPen(zone == 3 ? FScale3Color : zone == 2 ? FScale2Color : FScale1Color, 1);
    const TMMMeterPoint outer = PointAtLevel(G, level, span.Outer);
    const TMMMeterPoint inner = PointAtLevel(G, level, span.Inner);
    dc.MoveTo(outer.X, outer.Y);
    dc.LineTo(inner.X, inner.Y);
    if (!IsLabelledPeakTick(k, FScaleTicksTextEvery)) continue;
    const std::string label =
        std::to_string(PeakTickLabel(k, FScaleTicks, FLaw.GetSensitivy(), FLaw.GetLogAmp()));
    const TMMMeterPoint o = PointAtLevel(G, level, R - 2);
    const int left =
        VULabelLeft(o.X, dc.TextExtent(label).width(), dc.TextExtent(WithoutMinus(label)).width());
    dc.TextOut(left, VULabelTop(o.Y, dc.TextExtent("O").height()), label);
  }
}

void TMMMeter::DrawCaption(TDeviceContext& dc, const TMMMeterGeometry& G) {
  dc.SetBkMode(TRANSPARENT);
  dc.SetFont(FFont);
  // Centred as one line in (0, B - h, W, B).
  const int bottom = CaptionBottom(G.Height);
  const int h = dc.TextExtent("W").height();
  dc.TextOut((G.Width - dc.TextExtent(FCaption).width()) / 2, bottom - h, FCaption);
  if (FLaw.GetMeterMode() != mmVU || !FShowRefLevel) return;
  // Right-aligned in (0, B' - h', W - 1, B').
  TGdiFont font = FFont;
  font.Height = kRefLevelHeight;
  font.Bold = false;
  dc.SetFont(font);
  const std::string text = RefLevelText(FLaw.GetRefLevel());
  const int refBottom = RefLevelBottom(G.Height);
  dc.TextOut(G.Width - 1 - dc.TextExtent(text).width(), refBottom - dc.TextExtent("W").height(),
             text);
}

void TMMMeter::DrawNeedles(const TMMMeterGeometry& G) {
  TDeviceContext dc(&FWork);
  QRect box;
  auto line = [&](TColor color, TMMMeterPoint to) {
    dc.SetPen(color, FNeedleWidth);
    dc.MoveTo(G.Pivot.X, G.Pivot.Y);
    dc.LineTo(to.X, to.Y);
    // A wide pen reaches half its width beyond the line's ends and sides.
    const int reach = FNeedleWidth + 1;
    box |= QRect(QPoint(std::min(G.Pivot.X, to.X), std::min(G.Pivot.Y, to.Y)),
                 QPoint(std::max(G.Pivot.X, to.X), std::max(G.Pivot.Y, to.Y)))
               .adjusted(-reach, -reach, reach, reach);
  };
  if (FLaw.GetMeterMode() == mmVU) {
    line(FNeedleColor, PointAtAngle(G, FAngle.load(std::memory_order_relaxed), G.Radius));
  } else {
    if (FLaw.GetShowPeak()) line(FPeakColor, PointAtLevel(G, FLaw.GetPeak(), G.Radius));
    line(FNeedleColor, PointAtLevel(G, FLevel.load(std::memory_order_relaxed), G.Radius));
  }
  FNeedleBox = box & FWork.rect();
}

void TMMMeter::RestoreScale() {
  if (FNeedleBox.isNull()) {
    FWork = FScaleCache.copy();
    return;
  }
  const int x = FNeedleBox.left(), w = FNeedleBox.width();
  for (int y = FNeedleBox.top(); y <= FNeedleBox.bottom(); ++y)
    std::memcpy(reinterpret_cast<QRgb*>(FWork.scanLine(y)) + x,
                reinterpret_cast<const QRgb*>(FScaleCache.constScanLine(y)) + x,
                size_t(w) * sizeof(QRgb));
}
