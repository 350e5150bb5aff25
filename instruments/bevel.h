// The bevel of an instrument: up to two 3-D rings, a flat border between them, a flat space
// inside them and a one-pixel frame around them, painted from the outside in.
#pragma once

#include "instruments/mm_object.h"
#include "platform/gdi/gdi_types.h"

class TDeviceContext;

enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };
enum TBorderStyle { bsNone, bsSingle };

class TMMBevel : public TMMObject {
 public:
  // The indexes of the six colours.
  enum TColorIndex {
    ciBorderColor,
    ciBorderSpaceColor,
    ciInnerLightColor,
    ciInnerShadowColor,
    ciOuterLightColor,
    ciOuterShadowColor
  };

  // Copies all settings in one update bracket, so the owner sees one OnChange.
  void Assign(const TMMBevel& source);

  TBevelCut BevelInner() const { return FBevelInner; }
  void SetBevelInner(TBevelCut value);
  TBevelCut BevelOuter() const { return FBevelOuter; }
  void SetBevelOuter(TBevelCut value);
  // 1 and more; smaller values are taken as 1.
  int BevelInnerWidth() const { return FBevelInnerWidth; }
  void SetBevelInnerWidth(int value);
  int BevelOuterWidth() const { return FBevelOuterWidth; }
  void SetBevelOuterWidth(int value);
  TBorderStyle BorderStyle() const { return FBorderStyle; }
  void SetBorderStyle(TBorderStyle value);
  // 0 and more; negative values are taken as 0.
  int BorderWidth() const { return FBorderWidth; }
  void SetBorderWidth(int value);
  int BorderSpace() const { return FBorderSpace; }
  void SetBorderSpace(int value);

  TColor GetColor(TColorIndex index) const { return FColors[index]; }
  void SetColor(TColorIndex index, TColor value);
  TColor BorderColor() const { return FColors[ciBorderColor]; }
  void SetBorderColor(TColor v) { SetColor(ciBorderColor, v); }
  TColor BorderSpaceColor() const { return FColors[ciBorderSpaceColor]; }
  void SetBorderSpaceColor(TColor v) { SetColor(ciBorderSpaceColor, v); }
  TColor InnerLightColor() const { return FColors[ciInnerLightColor]; }
  void SetInnerLightColor(TColor v) { SetColor(ciInnerLightColor, v); }
  TColor InnerShadowColor() const { return FColors[ciInnerShadowColor]; }
  void SetInnerShadowColor(TColor v) { SetColor(ciInnerShadowColor, v); }
  TColor OuterLightColor() const { return FColors[ciOuterLightColor]; }
  void SetOuterLightColor(TColor v) { SetColor(ciOuterLightColor, v); }
  TColor OuterShadowColor() const { return FColors[ciOuterShadowColor]; }
  void SetOuterShadowColor(TColor v) { SetColor(ciOuterShadowColor, v); }

  // The width the bevel takes on each side of the control (a bvSpace ring counts, unpainted).
  int BevelExtend() const;
  // Paints the rings inside `rect`, outermost first, and returns the rectangle left inside
  // them. Without `drawBorder` the flat border is only skipped over.
  TRect PaintBevel(TDeviceContext& canvas, TRect rect, bool drawBorder) const;

 private:
  TBevelCut FBevelInner = bvNone;
  TBevelCut FBevelOuter = bvLowered;
  int FBevelInnerWidth = 1;
  int FBevelOuterWidth = 1;
  TBorderStyle FBorderStyle = bsNone;
  int FBorderWidth = 0;
  int FBorderSpace = 0;
  TColor FColors[6] = {clBtnFace,   clBlack,        clBtnHighlight,
                       clBtnShadow, clBtnHighlight, clBtnShadow};
};

// A 3-D frame `width` rings deep inside `rect`: the left and top edges of each ring in `top`,
// the right and bottom edges in `bottom`, each ring one pixel inside the last. `rect` is left
// shrunk by `width` on every side.
void Frame3D(TDeviceContext& canvas, TRect& rect, TColor top, TColor bottom, int width);
