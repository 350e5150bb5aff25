#include "instruments/core/decay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

TEST(Decay, FactorAndWindowFollowDecayClampedTo1To16) {
  TMMDecay decay;
  // Before the first change the factor is the bare 0.0001, although Decay reads 1.
  EXPECT_EQ(decay.GetDecay(), 1);
  EXPECT_FLOAT_EQ(decay.GetFactor(), 0.0001f);
  EXPECT_EQ(decay.GetWindow(), 1);

  struct Case {
    int set, decay, window;
    double factor;
  };
  const Case cases[] = {{7, 7, 12, 0.9306},
                        {8, 8, 14, 0.9647},
                        {0, 1, 1, 0.01},
                        {20, 16, 30, 0.99985947},
                        {2, 2, 2, 0.1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    decay.SetDecay(c.set);
    EXPECT_EQ(decay.GetDecay(), c.decay);
    EXPECT_EQ(decay.GetWindow(), c.window);
    EXPECT_NEAR(decay.GetFactor(), c.factor, 5e-5);
  }
}

TEST(Decay, StepUpDecay8FallsGeometricallyAfterAFullScaleLevel) {
  TMMDecay decay;
  decay.SetDecayMode(dmStepUp);
  decay.SetDecay(8);
  EXPECT_EQ(decay.Apply(32767), 32767);
  for (int k = 1; k <= 20; ++k) {
    const double expected = 32767 * std::pow(0.0001, k / 256.0);
    EXPECT_NEAR(double(decay.Apply(0)), expected, 1.0) << "update " << k;
  }
  // A level above the falling display takes over at once; one below it shows the display.
  EXPECT_EQ(decay.Apply(30000), 30000);
  EXPECT_EQ(decay.Apply(100), int64_t(30000 * decay.GetFactor()));
}

TEST(Decay, ExponentialApproachesTheLevelByTheFactor) {
  TMMDecay decay;
  decay.SetDecayMode(dmExponential);
  decay.SetDecay(7);
  const double f = decay.GetFactor();
  for (int k = 1; k <= 40; ++k) {
    // Floored, and kept in single precision on the way.
    const double expected = 10000 * (1 - std::pow(f, k));
    EXPECT_NEAR(double(decay.Apply(10000)), expected, 2.0) << "update " << k;
  }
}

TEST(Decay, UniformAveragesTheLastNLevels) {
  TMMDecay decay;
  decay.SetDecayMode(dmUniform);
  decay.SetDecay(3);  // N = 4
  const std::vector<int64_t> in = {100, 0, 0, 0, 0, 40, 40, 40, 40, 40};
  const std::vector<int64_t> out = {100, 50, 33, 25, 0, 10, 20, 30, 40, 40};
  for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(decay.Apply(in[i]), out[i]) << i;

  // A new factor empties the window in this mode; a new mode empties it always.
  decay.SetDecay(2);  // N = 2
  EXPECT_EQ(decay.Apply(10), 10);
  decay.SetDecayMode(dmStepUp);
  decay.SetDecayMode(dmUniform);
  EXPECT_EQ(decay.Apply(6), 6);
}

TEST(Decay, NoneShowsEachLevelAsItIs) {
  TMMDecay decay;
  decay.SetDecay(8);
  for (int64_t level : {32767, 0, 5, 32768}) EXPECT_EQ(decay.Apply(level), level);
}
