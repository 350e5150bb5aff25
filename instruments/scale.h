// A row of tick marks along one side of a rectangle: long and short ticks, up to three colour
// zones, an optional line joining the tick feet and a flat or 3-D line style. Controls own one
// as their Scale, give it their canvas and call DrawScale; the geometry is ScaleLines'.
#pragma once

#include "instruments/core/scale_law.h"
#include "platform/component/component.h"
#include "platform/gdi/gdi_types.h"
#include "stream/mm_error.h"

class TDeviceContext;

class EMMScaleError : public EMMError {
 public:
  using EMMError::EMMError;
};

class TMMCustomScale : public TObject {
 public:
  TMMCustomScale() = default;

  // The owner draws the scale only when set.
  bool GetVisible() const { return FVisible; }
  void SetVisible(bool Value);
  // Colour 1; the setter gives all three zones this colour.
  TColor GetColor() const { return FColors[0]; }
  void SetColor(TColor Value);
  // Zone colour 1, 2 or 3.
  TColor GetZoneColor(int Zone) const;
  TMMScaleStyle GetStyle() const { return FStyle; }
  void SetStyle(TMMScaleStyle Value);
  // At least 2; smaller values are taken as 2.
  int GetTickCount() const { return FTickCount; }
  void SetTickCount(int Value);
  // Every n-th tick is long; at least 1.
  int GetEnlargeEvery() const { return FEnlargeEvery; }
  void SetEnlargeEvery(int Value);
  // The long tick's length in pixels; at least 1.
  int GetSize() const { return FSize; }
  void SetSize(int Value);
  TMMScaleOrigin GetOrigin() const { return FOrigin; }
  void SetOrigin(TMMScaleOrigin Value);
  // Draw a line joining the tick feet.
  bool GetConnect() const { return FConnect; }
  void SetConnect(bool Value);

  // Set by the owner before drawing, without OnChange: the three zone colours, the zone
  // limits (in 1/TickCount of the length) and the canvas to draw on.
  void SetZoneColors(TColor Color1, TColor Color2, TColor Color3);
  void SetZoneLimits(int Limit1, int Limit2);
  int GetZoneLimit(int Index) const { return Index <= 1 ? FLimit1 : FLimit2; }
  void SetCanvas(TDeviceContext* Canvas) { FCanvas = Canvas; }
  TDeviceContext* GetCanvas() const { return FCanvas; }

  // The thickness a row takes: Size, + 1 with Connect, + 1 more in a 3-D style.
  int ScaleWidth() const;
  // Draws the ticks into Rect on the canvas; EMMScaleError without one.
  void DrawScale(const TRect& Rect, bool Flip);
  // Copies Visible, colour 1, Style, TickCount, EnlargeEvery, Size, Origin and Connect, then
  // fires OnChange.
  void Assign(const TMMCustomScale& Source);

  // Fired by every setter that changes a value; owners repaint.
  TNotifyEvent OnChange;

 protected:
  void Changed();
  TMMScaleSettings Settings() const;

  bool FVisible = true;

 private:
  // One line in the zone's colour, or, in a 3-D style, in white (raised) or black (lowered)
  // with a copy one pixel across it in the other.
  void DrawLine(const TMMScaleLine& Line);

  TColor FColors[3] = {clBlack, clBlack, clBlack};
  int FLimit1 = 0;
  int FLimit2 = 0;
  TDeviceContext* FCanvas = nullptr;
  TMMScaleStyle FStyle = stColor;
  int FTickCount = 11;
  int FEnlargeEvery = 5;
  int FSize = 7;
  TMMScaleOrigin FOrigin = soInner;
  bool FConnect = false;
};

// The scale of a control that shows all its settings.
class TMMScale : public TMMCustomScale {};

// The level scale's own tick rows: hidden until asked for; colours and zone limits come from
// the level scale.
class TMMLevScale : public TMMCustomScale {
 public:
  TMMLevScale() { FVisible = false; }
};
