// Where the phase scope's points land for known sample pairs, the range factors, and how a
// block of each PCM layout fills the left and right buffers.
#include "instruments/core/phase_law.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

TEST(PhaseLaw, PointsOnA113By113ScopeLandAtTheirPixels) {
  // Centre (56, 56); W / 2 = H / 2 = 56.5.
  struct Case {
    TPhaseMode Mode;
    int Left, Right;
    TPhasePoint Expected;
    const char* What;
  };
  const Case cases[] = {
      {pmStereo, 16384, 16384, {56, 16}, "mono: straight up by 40"},
      {pmStereo, 16384, -16384, {16, 56}, "L = -R: straight left by 40"},
      {pmStereo, -16384, 16384, {96, 56}, "R = -L: straight right by 40"},
      {pmStereo, 0, 0, {56, 56}, "silence on the centre"},
      {pmStereo, 32767, 32767, {56, -24}, "full-scale mono leaves the top"},
      {pmOscillo, 0, 32767, {112, 56}, "right alone is horizontal; 56.5 rounds to 56"},
      {pmOscillo, 32767, 0, {56, 0}, "left alone is vertical"},
      {pmOscillo, -32767, 0, {56, 112}, "negative left points down"},
      {pmOscillo, 16384, 16384, {84, 28}, "both: the diagonal"},
  };
  TMMPhaseLaw law;
  law.SetGeometry(113, 113, 56, 56);
  for (const Case& c : cases) {
    law.SetPhaseMode(c.Mode);
    EXPECT_EQ(law.Point(c.Left, c.Right), c.Expected) << c.What;
  }
}

TEST(PhaseLaw, RangeFactorsScaleEachAxisAndRoundHalvesToEven) {
  TMMPhaseLaw law;
  law.SetGeometry(113, 113, 56, 56);
  law.SetPhaseMode(pmOscillo);
  law.SetRangeFactorX(1.5);
  law.SetRangeFactorY(0.5);
  // x: 56.5 × 1.5 = 84.75 -> 85, off the surface; y: 56.5 × 0.5 = 28.25 -> 28.
  EXPECT_EQ(law.Point(32767, 32767), (TPhasePoint{56 + 85, 56 - 28}));
  // The client size, not the centre, scales the points: W / 2 = 57 on a 114-wide control
  // whose centre was moved.
  law.SetRangeFactorX(1.0);
  law.SetGeometry(114, 114, 10, 20);
  EXPECT_EQ(law.Point(0, 32767), (TPhasePoint{10 + 57, 20}));
}

TEST(PhaseLaw, RangeFactorOutsideHalfToTwoIsOneAndInsideHasOneDecimal) {
  struct Case {
    double In, Out;
  };
  const Case cases[] = {{2.5, 1.0},  {0.4, 1.0}, {2.0, 2.0},    {0.5, 0.5}, {1.57, 1.6},
                        {1.04, 1.0}, {-1, 1.0},  {2.0001, 1.0}, {1.5, 1.5}};
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(PhaseRangeFactor(c.In), c.Out) << c.In;
  // 1.25 keeps one decimal place, whichever way its half goes.
  const double f = PhaseRangeFactor(1.25);
  EXPECT_TRUE(f == 1.2 || f == 1.3) << f;
  EXPECT_DOUBLE_EQ(PhaseRangeFactor(std::numeric_limits<double>::quiet_NaN()), 1.0);
  EXPECT_DOUBLE_EQ(PhaseRangeFactor(std::numeric_limits<double>::infinity()), 1.0);
}

// Copies Values into a buffer of exactly their size, so that a read past it is caught by the
// address sanitizer.
template <typename T>
std::vector<uint8_t> Bytes(const std::vector<T>& Values) {
  std::vector<uint8_t> bytes(Values.size() * sizeof(T));
  std::memcpy(bytes.data(), Values.data(), bytes.size());
  return bytes;
}

TEST(PhaseLaw, BlocksOfEachLayoutFillLeftAndRightWithinTheirBytes) {
  struct Case {
    TMMBits Bits;
    int Channels;
    std::vector<uint8_t> Data;
    std::vector<int16_t> Left, Right;
    const char* What;
  };
  const Case cases[] = {
      {b16Bit,
       2,
       Bytes<int16_t>({-32768, 100, 5, -32767, 32767, 0}),
       {-32767, 5, 32767},
       {100, -32767, 0},
       "16-bit stereo; -32768 taken as -32767"},
      {b16Bit,
       1,
       Bytes<int16_t>({7, -32768, 3}),
       {7, -32767, 3},
       {7, -32767, 3},
       "16-bit mono: both channels the same"},
      {b8Bit,
       2,
       Bytes<uint8_t>({0, 128, 255, 129, 128, 1}),
       {-32767, 32512, 0},
       {0, 256, -32512},
       "8-bit stereo re-centred"},
      {b16Bit,
       4,
       Bytes<int16_t>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),
       {1, 5, 9},
       {2, 6, 10},
       "four channels: the first two of each frame"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TMMPcmLayout layout;
    layout.BitLength = c.Bits;
    layout.Channels = c.Channels;
    ASSERT_EQ(size_t(PcmBytes(layout, 3)), c.Data.size());
    TMMPhaseLaw law;
    law.TakeBlock(c.Data.data(), layout, 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(law.Left(i), c.Left[size_t(i)]) << i;
      EXPECT_EQ(law.Right(i), c.Right[size_t(i)]) << i;
    }
    law.Reset();
    EXPECT_EQ(law.Left(0), 0);
    EXPECT_EQ(law.Right(2), 0);
  }
}

TEST(PhaseLaw, MinusFullScaleLandsWhereMinusFullScalePlusOneDoes) {
  TMMPhaseLaw law;
  law.SetGeometry(113, 113, 56, 56);
  law.SetPhaseMode(pmStereo);
  const std::vector<uint8_t> block = Bytes<int16_t>({-32768, -32768, -32767, -32767});
  TMMPcmLayout layout;
  layout.BitLength = b16Bit;
  layout.Channels = 2;
  law.TakeBlock(block.data(), layout, 2);
  EXPECT_EQ(law.Point(0), law.Point(1));
  EXPECT_EQ(law.Point(0), (TPhasePoint{56, 56 + 80}));
}

}  // namespace
