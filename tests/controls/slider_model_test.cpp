#include "controls/slider_model.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TMMSliderModel Bounds(int min, int max) {
  TMMSliderModel m;
  m.SetMaxValue(max);
  m.SetMinValue(min);
  return m;
}

TEST(SliderModel, RawIsClampedAndAChangeIsWhatWasAskedFor) {
  TMMSliderModel m = Bounds(0, 20);
  const struct {
    int asked;
    bool changed;
    int raw;
  } steps[] = {
      {1, true, 1},       {1, false, 1}, {50, true, 20},  // clamped
      {50, true, 20},                                     // still differs from the 20 held
      {20, false, 20},    {0, true, 0},  {-5, true, 0},  // clamped to the old value: still a change
      {INT_MIN, true, 0},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(m.SetRaw(s.asked), s.changed) << s.asked;
    EXPECT_EQ(m.Raw(), s.raw) << s.asked;
  }
}

TEST(SliderModel, BoundsMoveTogetherAndKeepTheRawInside) {
  TMMSliderModel m = Bounds(0, 20);
  m.SetRaw(15);
  m.SetMaxValue(10);
  EXPECT_EQ(m.Raw(), 10);
  m.SetMinValue(30);  // past the top: the top follows
  EXPECT_EQ(m.MaxValue(), 30);
  EXPECT_EQ(m.Raw(), 30);
  m.SetMaxValue(-5);
  EXPECT_EQ(m.MinValue(), -5);
  EXPECT_EQ(m.Raw(), -5);
}

TEST(SliderModel, LinearPositionIsTheRawPosition) {
  TMMSliderModel m = Bounds(0, 20);
  for (int v : {-5, 0, 7, 20, 50}) EXPECT_EQ(m.RawForPosition(v), v);
  for (int r : {0, 7, 20}) EXPECT_EQ(m.PositionForRaw(r), r);
  EXPECT_EQ(m.PositionForRaw(25), 20);
}

TEST(SliderModel, LogarithmicTrackMapsDecibelsLinearly) {
  // N = 20, S = 24: a halving of the position is 6 dB, a quarter of the 24 dB track.
  TMMSliderModel m = Bounds(0, 20);
  m.SetLogarithmic(true);
  const struct {
    int position, raw;
  } forward[] = {
      {20, 20}, {10, 15}, {5, 10}, {2, 3}, {1, 0},  // -26 dB is below the track
      {0, 0},   {40, 20},                           // clamped
      {-3, 0},                                      // no logarithm: the low end
  };
  for (const auto& c : forward) EXPECT_EQ(m.RawForPosition(c.position), c.raw) << c.position;
  const struct {
    int raw, position;
  } back[] = {{20, 20}, {15, 10}, {10, 5}, {3, 2}, {1, 1}, {0, 0}};
  for (const auto& c : back) EXPECT_EQ(m.PositionForRaw(c.raw), c.position) << c.raw;

  // A finer track reads back every position it can resolve.
  TMMSliderModel fine = Bounds(0, 1000);
  fine.SetLogarithmic(true);
  fine.SetSensitivity(-48);
  for (int v = 20; v <= 1000; v += 7)
    EXPECT_NEAR(fine.PositionForRaw(fine.RawForPosition(v)), v, v * 0.01 + 1) << v;

  // Sensitivity must be below 0.
  fine.SetSensitivity(0);
  fine.SetSensitivity(12);
  EXPECT_EQ(fine.Sensitivity(), -48);
  // No range: everything is the one value.
  TMMSliderModel none = Bounds(5, 5);
  none.SetLogarithmic(true);
  EXPECT_EQ(none.RawForPosition(3), 5);
  EXPECT_EQ(none.PositionForRaw(5), 5);
}

TEST(SliderModel, KeysStepWithinTheBounds) {
  const struct {
    int raw;
    TMMSliderKey key;
    TMMOrientation orientation;
    int target;
  } cases[] = {
      {10, skPageUp, orHorizontal, 15}, {16, skPageUp, orHorizontal, 20},
      {15, skPageUp, orHorizontal, 20}, {10, skPageDown, orHorizontal, 5},
      {4, skPageDown, orHorizontal, 0}, {7, skLineUp, orHorizontal, 8},
      {20, skLineUp, orHorizontal, 20}, {7, skLineDown, orVertical, 6},
      {0, skLineDown, orVertical, 0},   {7, skEnd, orHorizontal, 20},
      {7, skHome, orHorizontal, 0},     {7, skEnd, orVertical, 0},
      {7, skHome, orVertical, 20},
  };
  for (const auto& c : cases) {
    TMMSliderModel m = Bounds(0, 20);
    m.SetRaw(c.raw);
    EXPECT_EQ(m.RawForKey(c.key, c.orientation), c.target)
        << "key " << c.key << " from " << c.raw << (c.orientation ? " vertical" : "");
  }
  // Steps as large as the type do not wrap around.
  TMMSliderModel m = Bounds(-100, 100);
  m.SetPageSize(INT_MAX);
  m.SetLineSize(INT_MAX);
  EXPECT_EQ(m.RawForKey(skPageUp, orHorizontal), 100);
  EXPECT_EQ(m.RawForKey(skPageDown, orHorizontal), -100);
  EXPECT_EQ(m.RawForKey(skLineUp, orHorizontal), INT_MAX);  // clamped when it is set
  m.SetRaw(m.RawForKey(skLineUp, orHorizontal));
  EXPECT_EQ(m.Raw(), 100);
}

TEST(SliderModel, PixelsAndPositionsMapBothWays) {
  TMMSliderModel m = Bounds(0, 20);
  const int length = 85;
  for (int raw = 0; raw <= 20; ++raw)
    EXPECT_EQ(m.RawAtOffset(m.OffsetOfRaw(raw, length), length), raw) << raw;
  EXPECT_EQ(m.OffsetOfRaw(0, length), 0);
  EXPECT_EQ(m.OffsetOfRaw(20, length), 85);
  EXPECT_EQ(m.OffsetOfRaw(10, length), 43);  // 42.5 rounds up
  EXPECT_EQ(m.RawAtOffset(-40, length), 0);
  EXPECT_EQ(m.RawAtOffset(400, length), 20);
  EXPECT_EQ(m.RawAtOffset(2, length), 0);
  EXPECT_EQ(m.RawAtOffset(3, length), 1);
  // No track, or no range: the low end.
  EXPECT_EQ(m.RawAtOffset(10, 0), 0);
  EXPECT_EQ(m.OffsetOfRaw(10, 0), 0);
  TMMSliderModel negative = Bounds(-10, 10);
  EXPECT_EQ(negative.RawAtOffset(50, 100), 0);
  EXPECT_EQ(negative.OffsetOfRaw(-10, 100), 0);
}

}  // namespace
