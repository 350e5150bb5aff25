#include "instruments/scale.h"

#include <algorithm>
#include <cstdlib>

#include "platform/gdi/device_context.h"

void TMMCustomScale::Changed() {
  if (OnChange) OnChange(this);
}

void TMMCustomScale::SetVisible(bool Value) {
  if (Value == FVisible) return;
  FVisible = Value;
  Changed();
}

void TMMCustomScale::SetColor(TColor Value) {
  if (Value == FColors[0] && Value == FColors[1] && Value == FColors[2]) return;
  FColors[0] = FColors[1] = FColors[2] = Value;
  Changed();
}

TColor TMMCustomScale::GetZoneColor(int Zone) const {
  return FColors[std::clamp(Zone, 1, 3) - 1];
}

void TMMCustomScale::SetStyle(TMMScaleStyle Value) {
  if (Value == FStyle) return;
  FStyle = Value;
  Changed();
}

void TMMCustomScale::SetTickCount(int Value) {
  Value = std::max(Value, 2);
  if (Value == FTickCount) return;
  FTickCount = Value;
  Changed();
}

void TMMCustomScale::SetEnlargeEvery(int Value) {
  Value = std::max(Value, 1);
  if (Value == FEnlargeEvery) return;
  FEnlargeEvery = Value;
  Changed();
}

void TMMCustomScale::SetSize(int Value) {
  Value = std::max(Value, 1);
  if (Value == FSize) return;
  FSize = Value;
  Changed();
}

void TMMCustomScale::SetOrigin(TMMScaleOrigin Value) {
  if (Value == FOrigin) return;
  FOrigin = Value;
  Changed();
}

void TMMCustomScale::SetConnect(bool Value) {
  if (Value == FConnect) return;
  FConnect = Value;
  Changed();
}

void TMMCustomScale::SetZoneColors(TColor Color1, TColor Color2, TColor Color3) {
  FColors[0] = Color1;
  FColors[1] = Color2;
  FColors[2] = Color3;
}

void TMMCustomScale::SetZoneLimits(int Limit1, int Limit2) {
  FLimit1 = Limit1;
  FLimit2 = Limit2;
}

TMMScaleSettings TMMCustomScale::Settings() const {
  TMMScaleSettings s;
  s.TickCount = FTickCount;
  s.EnlargeEvery = FEnlargeEvery;
  s.Size = FSize;
  s.Origin = FOrigin;
  s.Connect = FConnect;
  s.Style = FStyle;
  s.ColorsDiffer = !(FColors[0] == FColors[1] && FColors[1] == FColors[2]);
  s.Limit1 = FLimit1;
  s.Limit2 = FLimit2;
  return s;
}

int TMMCustomScale::ScaleWidth() const {
  return ScaleRowWidth(Settings());
}

void TMMCustomScale::DrawLine(const TMMScaleLine& Line) {
  TDeviceContext& canvas = *FCanvas;
  auto line = [&](int dx, int dy, TColor color) {
    canvas.SetPen(color);
    canvas.MoveTo(Line.X1 + dx, Line.Y1 + dy);
    canvas.LineTo(Line.X2 + dx, Line.Y2 + dy);
  };
  if (FStyle == stColor) {
    line(0, 0, GetZoneColor(Line.Zone));
    return;
  }
  const TColor first = FStyle == stRaised ? clWhite : clBlack;
  const TColor second = FStyle == stRaised ? clBlack : clWhite;
  line(0, 0, first);
  // Across the line: down for a line that runs more horizontally, right otherwise.
  const bool horizontal = std::abs(Line.X2 - Line.X1) >= std::abs(Line.Y2 - Line.Y1);
  line(horizontal ? 0 : 1, horizontal ? 1 : 0, second);
}

void TMMCustomScale::DrawScale(const TRect& Rect, bool Flip) {
  if (!FCanvas) throw EMMScaleError("Canvas needed for this operation");
  const TMMScaleRect r{Rect.Left, Rect.Top, Rect.Right, Rect.Bottom};
  for (const TMMScaleLine& line : ScaleLines(Settings(), r, Flip)) DrawLine(line);
}

void TMMCustomScale::Assign(const TMMCustomScale& Source) {
  FVisible = Source.FVisible;
  FColors[0] = Source.FColors[0];
  FStyle = Source.FStyle;
  FTickCount = Source.FTickCount;
  FEnlargeEvery = Source.FEnlargeEvery;
  FSize = Source.FSize;
  FOrigin = Source.FOrigin;
  FConnect = Source.FConnect;
  Changed();
}
