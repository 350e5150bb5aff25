// The geometry of the tick rows and the level scale's dB labels: the window's scale of -30 to 0
// on 200 pixels, the other directions and kinds, the label stride, and the tick rows' edges,
// lengths and colour zones.
#include "instruments/core/scale_law.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A font whose digits are 5 pixels wide and whose minus sign is 3.
int Width(const std::string& text) {
  int w = 0;
  for (char c : text) w += c == '-' ? 3 : 5;
  return w;
}
constexpr int kTextHeight = 10;

std::vector<int> Values(const std::vector<TMMScaleLabel>& labels) {
  std::vector<int> values;
  for (const TMMScaleLabel& l : labels) values.push_back(l.Value);
  return values;
}

}  // namespace

TEST(LevelScaleLabels, TheWindowsScaleEndsEachLabelAtItsSpotBoundary) {
  // 200 x 7, 8 positions from -35 to 0 dB, zones above 50 % and 85 %.
  const TMMLevelScaleSettings s;
  const std::vector<TMMScaleLabel> labels =
      LevelScaleLabels(s, {0, 0, 200, 7}, 200, 7, Width, kTextHeight);
  // "-35" would start left of the control: it is left out. The labels come from the right.
  ASSERT_EQ(Values(labels), (std::vector<int>{0, -5, -10, -15, -20, -25, -30}));
  const int anchors[] = {199, 171, 142, 114, 85, 57, 28};
  const int zones[] = {3, 3, 2, 2, 1, 1, 1};  // -5 and 0 in the top zone (red on the window)
  for (size_t i = 0; i < labels.size(); ++i) {
    EXPECT_EQ(labels[i].X + Width(labels[i].Text), anchors[i]) << labels[i].Text;
    EXPECT_EQ(labels[i].Y, -1) << "centred on a 7-pixel height";
    EXPECT_EQ(labels[i].Zone, zones[i]) << labels[i].Text;
    EXPECT_EQ(labels[i].Text, std::to_string(labels[i].Value));
  }
}

TEST(LevelScaleLabels, DirectionsKindsAndLinearAxis) {
  // Reversed: 0 at the left, each label starting at its anchor; "-35" would leave the right
  // edge.
  TMMLevelScaleSettings reversed;
  reversed.Direction = dirReversed;
  std::vector<TMMScaleLabel> labels =
      LevelScaleLabels(reversed, {0, 0, 200, 7}, 200, 7, Width, kTextHeight);
  ASSERT_EQ(Values(labels), (std::vector<int>{0, -5, -10, -15, -20, -25, -30}));
  EXPECT_EQ(labels[0].X, 0);
  EXPECT_EQ(labels[1].X, 28);
  EXPECT_EQ(labels[0].Zone, 3);
  EXPECT_EQ(labels[6].Zone, 1);

  // Vertical, 20 x 200: 0 at the top, starting at its anchor; the labels right-aligned in a
  // column as wide as "-35", centred across; the last would leave the bottom.
  TMMLevelScaleSettings vertical;
  vertical.Vertical = true;
  labels = LevelScaleLabels(vertical, {0, 0, 20, 200}, 20, 200, Width, kTextHeight);
  ASSERT_EQ(Values(labels), (std::vector<int>{0, -5, -10, -15, -20, -25, -30}));
  EXPECT_EQ(labels[0].Y, 0);
  EXPECT_EQ(labels[1].Y, 28);
  EXPECT_EQ(labels[0].X, 3 + 13 - 5);  // column at (20 - 13) div 2, "0" at its right
  EXPECT_EQ(labels[1].X, 3 + 13 - 8);
  EXPECT_EQ(labels[0].Zone, 3);

  // A linear axis runs over the amplitudes, so the labels crowd towards the top of the range.
  TMMLevelScaleSettings linear;
  linear.LogAmp = false;
  labels = LevelScaleLabels(linear, {0, 0, 200, 7}, 200, 7, Width, kTextHeight);
  EXPECT_EQ(Values(labels), (std::vector<int>{0, -1, -3, -5, -7, -11, -16}));
}

TEST(LevelScaleLabels, StrideAndControlsTooSmall) {
  const TMMLevelScaleSettings s;  // "-35" is 13 wide, 7 gaps
  EXPECT_EQ(LabelStride(s, 200, 13), 1);
  EXPECT_EQ(LabelStride(s, 91, 13), 1);
  EXPECT_EQ(LabelStride(s, 90, 13), 2);
  EXPECT_EQ(LabelStride(s, 13, 13), 4);  // (7 div 4) labels: one
  EXPECT_EQ(LabelStride(s, 12, 13), 0);
  TMMLevelScaleSettings symmetric;
  symmetric.Direction = dirSymetric;
  EXPECT_EQ(LabelStride(symmetric, 182, 13), 1);
  EXPECT_EQ(LabelStride(symmetric, 150, 13), 2);

  // Every second position on 60 pixels; nothing at all on 10.
  std::vector<TMMScaleLabel> labels = LevelScaleLabels(s, {0, 0, 60, 7}, 60, 7, Width, 10);
  EXPECT_EQ(Values(labels), (std::vector<int>{0, -10, -20}));
  EXPECT_TRUE(LevelScaleLabels(s, {0, 0, 10, 7}, 10, 7, Width, 10).empty());
  EXPECT_TRUE(LevelScaleLabels(s, {0, 0, 200, 0}, 200, 0, Width, 10).empty());
}

TEST(LevelScaleLabels, SymmetricScaleMirrorsUnsignedValuesOntoTheSecondHalf) {
  TMMLevelScaleSettings s;
  s.Direction = dirSymetric;
  s.ScaleTicks = 4;  // -35, -23, -12, 0 on each half
  const std::vector<TMMScaleLabel> labels =
      LevelScaleLabels(s, {0, 0, 400, 7}, 400, 7, Width, kTextHeight);
  ASSERT_FALSE(labels.empty());
  int left = 0, right = 0;
  for (const TMMScaleLabel& l : labels) {
    const int end = l.X + Width(l.Text);
    if (l.X < 200) {
      ++left;
      EXPECT_LE(end, 200) << l.Text;
      EXPECT_LE(l.Value, 0);
    } else {
      ++right;
      EXPECT_LE(end, 400) << l.Text;
      EXPECT_GE(l.Value, 0) << "the mirrored side is unsigned";
    }
  }
  EXPECT_EQ(left, right);
  // The 0 of the first half ends at the centre, its mirror starts there.
  EXPECT_EQ(labels[0].Text, "0");
  EXPECT_EQ(labels[0].X + 5, 199);
  EXPECT_EQ(labels[1].Text, "0");
  EXPECT_EQ(labels[1].X, 201);
}

TEST(ScaleLines, TickLengthsEdgesAndDirection) {
  TMMScaleSettings s;
  // 11 ticks on 100 pixels, long every 5th, standing on the far (bottom) edge.
  std::vector<TMMScaleLine> lines = ScaleLines(s, {0, 0, 100, 7}, true);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], (TMMScaleLine{0, 0, 0, 7, 1}));
  EXPECT_EQ(lines[1], (TMMScaleLine{10, 4, 10, 7, 1}));  // short: Size div 2
  EXPECT_EQ(lines[5], (TMMScaleLine{50, 0, 50, 7, 1}));
  EXPECT_EQ(lines[10], (TMMScaleLine{100, 0, 100, 7, 1}));
  // Near edge: soInner without flip, or soOuter with it.
  lines = ScaleLines(s, {0, 0, 100, 7}, false);
  EXPECT_EQ(lines[1], (TMMScaleLine{10, 0, 10, 3, 1}));
  s.Origin = soOuter;
  EXPECT_EQ(ScaleLines(s, {0, 0, 100, 7}, true)[1], lines[1]);

  // Two ticks: both long, at the ends. EnlargeEvery 1: every tick long.
  TMMScaleSettings two;
  two.TickCount = 2;
  lines = ScaleLines(two, {0, 0, 30, 7}, true);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Y1, 0);
  EXPECT_EQ(lines[1], (TMMScaleLine{30, 0, 30, 7, 1}));
  TMMScaleSettings every;
  every.EnlargeEvery = 1;
  for (const TMMScaleLine& l : ScaleLines(every, {0, 0, 100, 7}, true)) EXPECT_EQ(l.Y1, 0);

  // A square rectangle is vertical: ticks run across it at rounded heights.
  lines = ScaleLines(TMMScaleSettings{}, {0, 0, 7, 7}, true);
  EXPECT_EQ(lines[1], (TMMScaleLine{4, 1, 7, 1, 1}));  // y = rint(0.7)
  EXPECT_EQ(lines[5], (TMMScaleLine{0, 4, 7, 4, 1}));  // y = rint(3.5), halves to even
}

TEST(ScaleLines, ZonesAndTheConnectingLine) {
  TMMScaleSettings s;
  s.ColorsDiffer = true;
  s.Limit1 = 4;  // of 11: 36.4 pixels of 100
  s.Limit2 = 8;  // 72.7
  s.Connect = true;
  const std::vector<TMMScaleLine> lines = ScaleLines(s, {0, 0, 100, 8}, true);
  ASSERT_EQ(lines.size(), 3u + 11u);
  // The line along the feet, in three pieces split a tick's width past each limit.
  EXPECT_EQ(lines[0], (TMMScaleLine{0, 8, 45, 8, 1}));
  EXPECT_EQ(lines[1], (TMMScaleLine{45, 8, 81, 8, 2}));
  EXPECT_EQ(lines[2], (TMMScaleLine{81, 8, 101, 8, 3}));
  const int zones[] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(lines[size_t(3 + i)].Zone, zones[i]) << "tick " << i;

  // Equal colours, limits out of order or a 3-D style: everything in colour 1.
  for (auto change : {+[](TMMScaleSettings& t) { t.ColorsDiffer = false; },
                      +[](TMMScaleSettings& t) { t.Limit1 = 9; },
                      +[](TMMScaleSettings& t) { t.Style = stRaised; }}) {
    TMMScaleSettings t = s;
    change(t);
    for (const TMMScaleLine& l : ScaleLines(t, {0, 0, 100, 8}, true)) EXPECT_EQ(l.Zone, 1);
  }
  // A 3-D connected scale leaves room for the line's shadow.
  TMMScaleSettings raised = s;
  raised.Style = stRaised;
  EXPECT_EQ(ScaleRowWidth(raised), 9);
  EXPECT_EQ(ScaleLines(raised, {0, 0, 100, 9}, true)[0].Y1, 8);
  EXPECT_EQ(ScaleLines(raised, {0, 0, 9, 100}, true)[1], (TMMScaleLine{1, 0, 8, 0, 1}));
}

TEST(LevelScaleRows, RowsAroundTheLabelsMeetTheAnchors) {
  TMMLevelScaleSettings s;
  // Rows of 7 above and below a 200 x 30 control; "0" is 5 wide, so h0 = 2.
  TMMLevelScaleRows rows = LevelScaleRows(s, spBoth, 7, 11, {0, 0, 200, 30}, 2);
  ASSERT_EQ(rows.Rows.size(), 2u);
  EXPECT_EQ(rows.Rows[0].Rect, (TMMScaleRect{-3, 0, 197, 7}));
  EXPECT_TRUE(rows.Rows[0].Flip);
  EXPECT_EQ(rows.Rows[1].Rect, (TMMScaleRect{-3, 23, 197, 30}));
  EXPECT_FALSE(rows.Rows[1].Flip);
  EXPECT_EQ(rows.LabelArea, (TMMScaleRect{0, 7, 200, 23}));
  EXPECT_FALSE(rows.Mirrored);
  EXPECT_EQ(rows.Limit1, 5);  // MulDiv(49, 11, 100)
  EXPECT_EQ(rows.Limit2, 9);  // MulDiv(84, 11, 100)

  // Reversed horizontally: shifted the other way, the zones mirrored.
  s.Direction = dirReversed;
  rows = LevelScaleRows(s, spAboveOrLeft, 7, 11, {0, 0, 200, 30}, 2);
  ASSERT_EQ(rows.Rows.size(), 1u);
  EXPECT_EQ(rows.Rows[0].Rect, (TMMScaleRect{2, 0, 201, 7}));
  EXPECT_TRUE(rows.Mirrored);
  EXPECT_EQ(rows.Limit1, 2);  // MulDiv(14, 11, 100)
  EXPECT_EQ(rows.Limit2, 5);  // MulDiv(49, 11, 100)

  // Vertical: a column on the right.
  s.Direction = dirNormal;
  s.Vertical = true;
  rows = LevelScaleRows(s, spBelowOrRight, 7, 11, {0, 0, 30, 200}, 5);
  ASSERT_EQ(rows.Rows.size(), 1u);
  EXPECT_EQ(rows.Rows[0].Rect, (TMMScaleRect{23, -6, 30, 194}));
  EXPECT_EQ(rows.LabelArea, (TMMScaleRect{0, 0, 23, 200}));
  EXPECT_TRUE(rows.Mirrored);
}
