// The decay laws that smooth an instrument's level from one update to the next: none, a
// display that rises at once and falls geometrically, an exponential average, and a moving
// average over the last N levels.
#pragma once

#include <array>
#include <cstdint>

enum TMMDecayMode { dmNone, dmStepUp, dmExponential, dmUniform };

class TMMDecay {
 public:
  static constexpr int kRingSize = 32;

  // Clamped to 1..16. A new value sets the factor f = 0.0001^(1/2^Decay), taken as Decay
  // successive square roots each kept in single precision, and the window length
  // N = clamp(2 × (Decay − 1), 1, 32); in dmUniform it also empties the state. Before the first
  // change f is 0.0001 and N is 1, although Decay reads 1.
  void SetDecay(int Value);
  int GetDecay() const { return FDecay; }
  // A change of mode empties the state.
  void SetDecayMode(TMMDecayMode Value);
  TMMDecayMode GetDecayMode() const { return FDecayMode; }

  float GetFactor() const { return FFactor; }
  int GetWindow() const { return FWindow; }
  float GetSmoothed() const { return FSmoothed; }

  // Empties the ring, its index and fill count, the running sum and the smoothed value.
  void Reset();
  // Feeds one new level and returns the level to show.
  int64_t Apply(int64_t Level);

 private:
  int FDecay = 1;
  TMMDecayMode FDecayMode = dmNone;
  float FFactor = 0.0001f;
  int FWindow = 1;
  std::array<int64_t, kRingSize> FRing{};
  int FIndex = 0;
  int FCount = 0;
  int64_t FSum = 0;
  float FSmoothed = 0.0f;
};
