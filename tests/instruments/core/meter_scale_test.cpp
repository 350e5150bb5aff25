#include "instruments/core/meter_scale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

// The window's meters: 190 × 110, needle 30 below the bottom, 20 above the scale, 90 degrees.
TMMMeterGeometry FormGeometry() {
  return MeterGeometry(190, 110, 30, 20, 90);
}

}  // namespace

TEST(MeterScale, PivotRadiusAndPointsOnTheArc) {
  const TMMMeterGeometry g = FormGeometry();
  EXPECT_EQ(g.Pivot, (TMMMeterPoint{95, 140}));
  EXPECT_EQ(g.Radius, 120);
  const double arc = std::numbers::pi / 2;
  EXPECT_EQ(PointAtAngle(g, 0, 120), (TMMMeterPoint{10, 55}));
  EXPECT_EQ(PointAtAngle(g, arc / 2, 120), (TMMMeterPoint{95, 20}));
  EXPECT_EQ(PointAtAngle(g, arc, 120), (TMMMeterPoint{180, 55}));
  // 0 VU: 70.8 % of the arc, right of the middle.
  EXPECT_EQ(PointAtAngle(g, VUMarkAngle(21, 90), 120), (TMMMeterPoint{134, 26}));
  // Peak mode runs over the same arc from level 0 to full scale.
  EXPECT_EQ(PointAtLevel(g, 0, 120), (TMMMeterPoint{10, 55}));
  EXPECT_EQ(PointAtLevel(g, 32767, 120), (TMMMeterPoint{180, 55}));
  EXPECT_EQ(PointAtLevel(g, 16384, 120), (TMMMeterPoint{95, 20}));
  // A wider arc: 180 degrees puts the ends level with the pivot.
  const TMMMeterGeometry wide = MeterGeometry(190, 110, 30, 20, 180);
  EXPECT_EQ(PointAtAngle(wide, std::numbers::pi, 100), (TMMMeterPoint{195, 140}));
  EXPECT_EQ(PointAtLevel(wide, 0, 100), (TMMMeterPoint{-5, 140}));
}

TEST(MeterScale, VUMarks) {
  EXPECT_EQ(kVUMarks.front(), -70);
  EXPECT_EQ(kVUMarks[1], -20);
  EXPECT_EQ(kVUMarks[21], 0);
  EXPECT_EQ(kVUMarks.back(), 3);
  EXPECT_DOUBLE_EQ(VUMarkAngle(24, 90), std::numbers::pi / 2);
  EXPECT_NEAR(VUMarkAngle(21, 90) / VUMarkAngle(24, 90), 0.708, 0.0005);
  EXPECT_NEAR(VUMarkAngle(1, 90) / VUMarkAngle(24, 90), 0.0708, 0.0001);

  int longMarks = 0;
  std::string labels;
  for (int k = 0; k < kVUMarkCount; ++k) {
    longMarks += IsLongVUMark(k);
    if (!VUMarkLabel(k).empty()) labels += VUMarkLabel(k) + " ";
  }
  EXPECT_EQ(longMarks, 12);
  EXPECT_EQ(labels, "-20 -10 -7 -5 -3 -2 -1 0 1 2 3 ");
  EXPECT_FALSE(IsOverloadVUMark(0));
  EXPECT_FALSE(IsOverloadVUMark(20));
  EXPECT_TRUE(IsOverloadVUMark(21));
  EXPECT_TRUE(IsOverloadVUMark(24));

  // "-20" 13 pixels wide, "20" 9: the digits centre on the tick, the minus hangs left.
  EXPECT_EQ(VULabelLeft(100, 13, 9), 92);
  EXPECT_EQ(VULabelLeft(100, 5, 5), 98);
  EXPECT_EQ(VULabelTop(40, 8), 29);
  EXPECT_EQ(VUArcRadius(120, 4, 8), 111);
}

TEST(MeterScale, TickLengthsByOrigin) {
  struct Case {
    TMMScaleOrigin origin;
    bool isLong;
    int outer, inner;
  };
  const Case cases[] = {{soInner, true, 118, 110},
                        {soOuter, true, 118, 110},
                        {soInner, false, 114, 110},
                        {soOuter, false, 118, 114}};
  for (const Case& c : cases) {
    const TMMTickSpan span = TickSpan(120, c.origin, c.isLong, 4, 8);
    EXPECT_EQ(span.Outer, c.outer) << c.origin << c.isLong;
    EXPECT_EQ(span.Inner, c.inner) << c.origin << c.isLong;
  }
}

TEST(MeterScale, PeakScaleTicks) {
  EXPECT_EQ(PeakTickLevel(0, 41), 0);
  EXPECT_EQ(PeakTickLevel(20, 41), 16383);
  EXPECT_EQ(PeakTickLevel(40, 41), 32767);
  EXPECT_TRUE(IsLongPeakTick(0, 41, 4));
  EXPECT_FALSE(IsLongPeakTick(3, 41, 4));
  EXPECT_TRUE(IsLongPeakTick(40, 41, 4));
  EXPECT_TRUE(IsLongPeakTick(9, 10, 4));  // the last is long
  // Zones above 60 % and 80 % of full scale.
  EXPECT_EQ(PeakTickZone(24, 41, 60, 80), 1);  // exactly 60 %
  EXPECT_EQ(PeakTickZone(25, 41, 60, 80), 2);
  EXPECT_EQ(PeakTickZone(33, 41, 60, 80), 3);
  EXPECT_TRUE(IsLabelledPeakTick(8, 8));
  EXPECT_FALSE(IsLabelledPeakTick(4, 8));
  EXPECT_EQ(PeakTickLabel(0, 41, -50, true), -50);
  EXPECT_EQ(PeakTickLabel(8, 41, -50, true), -40);
  EXPECT_EQ(PeakTickLabel(40, 41, -50, true), 0);
  EXPECT_EQ(PeakTickLabel(0, 41, -50, false), -50);
  EXPECT_EQ(PeakTickLabel(20, 41, -50, false), -6);
  EXPECT_EQ(PeakTickLabel(40, 41, -50, false), 0);
}

TEST(MeterScale, CaptionAndReferenceLevel) {
  EXPECT_EQ(CaptionBottom(110), 104);
  EXPECT_EQ(RefLevelBottom(110), 104);
  EXPECT_EQ(CaptionBottom(90), 85);
  EXPECT_EQ(RefLevelBottom(90), 85);
  EXPECT_EQ(RefLevelBottom(170), 160);
  EXPECT_EQ(RefLevelText(-16.0), "-16.0");
  EXPECT_EQ(RefLevelText(-12.3), "-12.3");
  EXPECT_EQ(RefLevelText(-10.0), "-10.0");
}
