#include "instruments/bevel.h"

#include <algorithm>

#include "platform/gdi/device_context.h"

namespace {

// The rectangle shrunk by `width` on every side; widths up to the largest int do not overflow.
TRect Shrunk(const TRect& rect, int width) {
  auto at = [](long long v) { return int(std::clamp<long long>(v, -0x7FFFFFFF, 0x7FFFFFFF)); };
  return Rect(at((long long)rect.Left + width), at((long long)rect.Top + width),
              at((long long)rect.Right - width), at((long long)rect.Bottom - width));
}

}  // namespace

void Frame3D(TDeviceContext& canvas, TRect& rect, TColor top, TColor bottom, int width) {
  for (int i = 0; i < width; ++i) {
    if (rect.IsEmpty()) {
      // Nothing left to paint: skip the remaining rings at once.
      rect = Shrunk(rect, width - i);
      return;
    }
    // Top row and left column without the last pixel: the far corners belong to the dark side.
    canvas.FillRect(Rect(rect.Left, rect.Top, rect.Right - 1, rect.Top + 1), top);
    canvas.FillRect(Rect(rect.Left, rect.Top, rect.Left + 1, rect.Bottom - 1), top);
    canvas.FillRect(Rect(rect.Right - 1, rect.Top, rect.Right, rect.Bottom), bottom);
    canvas.FillRect(Rect(rect.Left, rect.Bottom - 1, rect.Right, rect.Bottom), bottom);
    rect = Shrunk(rect, 1);
  }
}

void TMMBevel::Assign(const TMMBevel& source) {
  if (&source == this) return;
  BeginUpdate();
  SetBevelInner(source.FBevelInner);
  SetBevelOuter(source.FBevelOuter);
  SetBevelInnerWidth(source.FBevelInnerWidth);
  SetBevelOuterWidth(source.FBevelOuterWidth);
  SetBorderStyle(source.FBorderStyle);
  SetBorderWidth(source.FBorderWidth);
  SetBorderSpace(source.FBorderSpace);
  for (TColorIndex i : {ciBorderColor, ciBorderSpaceColor, ciOuterLightColor, ciOuterShadowColor,
                        ciInnerLightColor, ciInnerShadowColor})
    SetColor(i, source.FColors[i]);
  EndUpdate();
}

#define NR_BEVEL_SETTER(Name, Type, Field, Expr) \
  void TMMBevel::Set##Name(Type value) {         \
    value = (Expr);                              \
    if (Field == value) return;                  \
    Field = value;                               \
    DoChange();                                  \
  }

NR_BEVEL_SETTER(BevelInner, TBevelCut, FBevelInner, value)
NR_BEVEL_SETTER(BevelOuter, TBevelCut, FBevelOuter, value)
NR_BEVEL_SETTER(BevelInnerWidth, int, FBevelInnerWidth, std::max(1, value))
NR_BEVEL_SETTER(BevelOuterWidth, int, FBevelOuterWidth, std::max(1, value))
NR_BEVEL_SETTER(BorderStyle, TBorderStyle, FBorderStyle, value)
NR_BEVEL_SETTER(BorderWidth, int, FBorderWidth, std::max(0, value))
NR_BEVEL_SETTER(BorderSpace, int, FBorderSpace, std::max(0, value))
#undef NR_BEVEL_SETTER

void TMMBevel::SetColor(TColorIndex index, TColor value) {
  if (index < ciBorderColor || index > ciOuterShadowColor || FColors[index] == value) return;
  FColors[index] = value;
  DoChange();
}

int TMMBevel::BevelExtend() const {
  // 64-bit sum, clamped: the widths may each be as large as an int.
  long long extend = (long long)FBorderWidth + FBorderSpace;
  if (FBevelOuter != bvNone) extend += FBevelOuterWidth;
  if (FBevelInner != bvNone) extend += FBevelInnerWidth;
  if (FBorderStyle != bsNone) extend += 1;
  return int(std::min<long long>(extend, 0x7FFFFFFF));
}

TRect TMMBevel::PaintBevel(TDeviceContext& canvas, TRect rect, bool drawBorder) const {
  auto ring = [&](TBevelCut cut, int width, TColor shadow, TColor light) {
    if (cut == bvLowered) Frame3D(canvas, rect, shadow, light, width);
    if (cut == bvRaised) Frame3D(canvas, rect, light, shadow, width);
    if (cut == bvSpace) rect = Shrunk(rect, width);
  };
  if (FBorderStyle == bsSingle) Frame3D(canvas, rect, clWindowFrame, clWindowFrame, 1);
  ring(FBevelOuter, FBevelOuterWidth, FColors[ciOuterShadowColor], FColors[ciOuterLightColor]);
  if (drawBorder)
    Frame3D(canvas, rect, FColors[ciBorderColor], FColors[ciBorderColor], FBorderWidth);
  else
    rect = Shrunk(rect, FBorderWidth);
  ring(FBevelInner, FBevelInnerWidth, FColors[ciInnerShadowColor], FColors[ciInnerLightColor]);
  if (FBorderSpace > 0)
    Frame3D(canvas, rect, FColors[ciBorderSpaceColor], FColors[ciBorderSpaceColor], FBorderSpace);
  return rect;
}
