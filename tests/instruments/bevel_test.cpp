// The bevel: its width, its rings painted from the outside in, and the one notification an
// assignment or an update bracket gives its owner.
#include "instruments/bevel.h"

#include <gtest/gtest.h>

#include <QImage>
#include <string>

#include "platform/gdi/device_context.h"

namespace {

TEST(Bevel, ExtendCountsEachRingThatIsThere) {
  struct TCase {
    TBorderStyle Style;
    TBevelCut Outer;
    int OuterWidth;
    int Border;
    TBevelCut Inner;
    int InnerWidth;
    int Space;
    int Extend;
  };
  for (const TCase& c : {
           TCase{bsSingle, bvRaised, 2, 3, bvLowered, 1, 1, 8},  // the worked example
           TCase{bsNone, bvLowered, 1, 0, bvNone, 1, 0, 1},      // the defaults
           TCase{bsNone, bvNone, 5, 0, bvNone, 7, 0, 0},         // widths of absent rings
           TCase{bsNone, bvSpace, 4, 0, bvSpace, 2, 0, 6},       // unpainted rings count
           TCase{bsSingle, bvNone, 1, 2, bvNone, 1, 3, 6},
       }) {
    TMMBevel bevel;
    bevel.SetBorderStyle(c.Style);
    bevel.SetBevelOuter(c.Outer);
    bevel.SetBevelOuterWidth(c.OuterWidth);
    bevel.SetBorderWidth(c.Border);
    bevel.SetBevelInner(c.Inner);
    bevel.SetBevelInnerWidth(c.InnerWidth);
    bevel.SetBorderSpace(c.Space);
    EXPECT_EQ(bevel.BevelExtend(), c.Extend) << c.Outer << " " << c.Inner;
  }
}

TEST(Bevel, RingsArePaintedFromTheOutsideIn) {
  TMMBevel bevel;
  bevel.SetBorderStyle(bsSingle);
  bevel.SetBevelOuter(bvRaised);
  bevel.SetBevelOuterWidth(2);
  bevel.SetBorderWidth(3);
  bevel.SetBevelInner(bvLowered);
  bevel.SetBorderSpace(1);
  bevel.SetOuterLightColor(RGB(1, 0, 0));
  bevel.SetOuterShadowColor(RGB(2, 0, 0));
  bevel.SetBorderColor(RGB(3, 0, 0));
  bevel.SetInnerLightColor(RGB(4, 0, 0));
  bevel.SetInnerShadowColor(RGB(5, 0, 0));
  bevel.SetBorderSpaceColor(RGB(6, 0, 0));
  QImage image(20, 20, QImage::Format_RGB32);
  image.fill(qRgb(9, 9, 9));
  TRect inner;
  {
    TDeviceContext dc(&image);
    inner = bevel.PaintBevel(dc, Rect(0, 0, 20, 20), true);
  }
  EXPECT_EQ(inner, Rect(8, 8, 12, 12));
  // Row 10 as the red values: frame 0 (window frame, black), raised outer (light left, shadow
  // right), border, lowered inner (shadow left, light right), space, untouched inside.
  std::string row, column;
  for (int x = 0; x < 20; ++x) row += char('0' + qRed(image.pixel(x, 10)));
  for (int y = 0; y < 20; ++y) column += char('0' + qRed(image.pixel(10, y)));
  EXPECT_EQ(row, "01133356999964333220");
  EXPECT_EQ(column, row);
  // The far corners of a ring belong to its dark side.
  EXPECT_EQ(qRed(image.pixel(18, 1)), 2);
  EXPECT_EQ(qRed(image.pixel(1, 18)), 2);
  EXPECT_EQ(qRed(image.pixel(1, 1)), 1);
  // Without the border, the border ring is left as it was.
  image.fill(qRgb(9, 9, 9));
  {
    TDeviceContext dc(&image);
    bevel.PaintBevel(dc, Rect(0, 0, 20, 20), false);
  }
  EXPECT_EQ(qRed(image.pixel(4, 10)), 9);
}

TEST(Bevel, HugeWidthsPaintWhatFitsAndEndInAnEmptyRectangle) {
  TMMBevel bevel;
  bevel.SetBorderWidth(0x7FFFFFFF);
  bevel.SetBorderSpace(0x7FFFFFFF);
  bevel.SetBevelInner(bvLowered);
  bevel.SetBevelInnerWidth(0x7FFFFFFF);
  EXPECT_EQ(bevel.BevelExtend(), 0x7FFFFFFF);
  QImage image(4, 4, QImage::Format_RGB32);
  TDeviceContext dc(&image);
  EXPECT_TRUE(bevel.PaintBevel(dc, Rect(0, 0, 4, 4), true).IsEmpty());
}

TEST(Bevel, AssignmentAndBracketsGiveOneChange) {
  TMMBevel source;
  source.SetBevelInner(bvRaised);
  source.SetBorderWidth(4);
  source.SetInnerShadowColor(clRed);
  source.SetBorderSpaceColor(clLime);
  TMMBevel bevel;
  int changing = 0, changes = 0;
  bevel.OnChanging = [&](TObject*) { ++changing; };
  bevel.OnChange = [&](TObject*) { ++changes; };
  bevel.Assign(source);
  EXPECT_EQ(changing, 1);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(bevel.BevelInner(), bvRaised);
  EXPECT_EQ(bevel.BorderWidth(), 4);
  EXPECT_EQ(bevel.InnerShadowColor(), clRed);
  EXPECT_EQ(bevel.BorderSpaceColor(), clLime);
  // An unchanged value is no change; a changed one outside a bracket is one.
  bevel.SetBorderWidth(4);
  EXPECT_EQ(changes, 1);
  bevel.SetBorderWidth(5);
  EXPECT_EQ(changes, 2);
  // Nested brackets: one OnChanging at the first open, one OnChange at the last close.
  bevel.BeginUpdate();
  bevel.BeginUpdate();
  bevel.SetBevelOuterWidth(3);
  bevel.EndUpdate();
  EXPECT_EQ(changes, 2);
  bevel.EndUpdate();
  EXPECT_EQ(changing, 2);
  EXPECT_EQ(changes, 3);
  bevel.EndUpdate();  // an extra close is ignored
  EXPECT_EQ(bevel.UpdateCount(), 0);
  EXPECT_EQ(changes, 3);
}

}  // namespace
