#include "instruments/level_scale.h"

#include <QImage>
#include <algorithm>

TMMLevelScale::TMMLevelScale(TComponent* AOwner, QWidget* AParent)
    : TMMGraphicControl(AOwner, AParent) {
  // The labels fill the whole control; it has no frame.
  Bevel()->SetBevelOuter(bvNone);
  SetColor(clBlack);
  FScale.OnChange = [this](TObject*) { Invalidate(); };
  SetBounds(0, 0, 200, 7);
}

void TMMLevelScale::SetFont(const TGdiFont& Value) {
  FFont = Value;
  Invalidate();
}

void TMMLevelScale::SetScaleTicks(int Value) {
  Value = std::max(Value, 2);
  if (Value == FSettings.ScaleTicks) return;
  FSettings.ScaleTicks = Value;
  Invalidate();
}

void TMMLevelScale::SetPoint1(int Value) {
  Value = std::clamp(Value, 1, 100);
  if (Value == FSettings.Point1) return;
  FSettings.Point1 = Value;
  Invalidate();
}

void TMMLevelScale::SetPoint2(int Value) {
  Value = std::clamp(Value, 1, 100);
  if (Value == FSettings.Point2) return;
  FSettings.Point2 = Value;
  Invalidate();
}

void TMMLevelScale::SetScaleColor(int Zone, TColor Value) {
  TColor& color = FScaleColor[ZoneIndex(Zone)];
  if (Value == color) return;
  color = Value;
  Invalidate();
}

void TMMLevelScale::SetSensitivy(int Value) {
  Value = std::clamp(Value, -90, -9);
  if (Value == FSettings.Sensitivy) return;
  FSettings.Sensitivy = Value;
  Invalidate();
}

void TMMLevelScale::SetLogAmp(bool Value) {
  if (Value == FSettings.LogAmp) return;
  FSettings.LogAmp = Value;
  Invalidate();
}

void TMMLevelScale::SetKind(TMMLevelKind Value) {
  const bool vertical = Value == lkVertical;
  if (vertical == FSettings.Vertical) return;
  FSettings.Vertical = vertical;
  if (vertical ? width() > height() : height() > width()) SetBounds(x(), y(), height(), width());
  Invalidate();
}

void TMMLevelScale::SetDirection(TMMLevelDirection Value) {
  if (Value == FSettings.Direction) return;
  FSettings.Direction = Value;
  Invalidate();
}

void TMMLevelScale::SetScalePos(TMMScalePos Value) {
  if (Value == FScalePos) return;
  FScalePos = Value;
  Invalidate();
}

std::vector<TMMScaleLabel> TMMLevelScale::Layout(TDeviceContext& Canvas, bool DrawRows) {
  Canvas.SetFont(FFont);
  const QSize zero = Canvas.TextExtent("0");
  const int h0 = FSettings.Vertical ? zero.height() / 2 : zero.width() / 2;
  TMMScaleRect area{0, 0, width(), height()};
  if (FScale.GetVisible()) {
    const TMMLevelScaleRows rows =
        LevelScaleRows(FSettings, FScalePos, FScale.ScaleWidth(), FScale.GetTickCount(), area, h0);
    if (DrawRows) {
      // Zones that run from the far end take the high zone's colour first.
      if (rows.Mirrored)
        FScale.SetZoneColors(FScaleColor[2], FScaleColor[1], FScaleColor[0]);
      else
        FScale.SetZoneColors(FScaleColor[0], FScaleColor[1], FScaleColor[2]);
      FScale.SetZoneLimits(rows.Limit1, rows.Limit2);
      FScale.SetCanvas(&Canvas);
      try {
        for (const TMMScaleRow& row : rows.Rows)
          FScale.DrawScale(Rect(row.Rect.Left, row.Rect.Top, row.Rect.Right, row.Rect.Bottom),
                           row.Flip);
      } catch (...) {
        FScale.SetCanvas(nullptr);
        throw;
      }
      FScale.SetCanvas(nullptr);
    }
    area = rows.LabelArea;
  }
  return LevelScaleLabels(
      FSettings, area, width(), height(),
      [&](const std::string& text) { return Canvas.TextExtent(text).width(); }, zero.height());
}

void TMMLevelScale::Paint() {
  TDeviceContext& canvas = *Canvas();
  canvas.FillRect(ClientRect(), Color());
  canvas.SetBkMode(TRANSPARENT);
  for (const TMMScaleLabel& label : Layout(canvas, true)) {
    canvas.SetTextColor(GetScaleColor(label.Zone));
    canvas.TextOut(label.X, label.Y, label.Text);
  }
}

std::vector<TMMScaleLabel> TMMLevelScale::Labels() {
  QImage scratch(std::max(width(), 1), std::max(height(), 1), QImage::Format_RGB32);
  TDeviceContext canvas(&scratch);
  return Layout(canvas, false);
}
