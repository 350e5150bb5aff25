#include "instruments/core/led_readout.h"

#include <algorithm>
#include <cmath>

TTimeReadout SplitPosition(int32_t PositionMs) {
  TTimeReadout t;
  if (PositionMs < 1) return t;
  const int32_t minutes = PositionMs / 60000;
  const int32_t rest = PositionMs % 60000;
  t.Hours = minutes / 60;
  t.Minutes = minutes % 60;
  t.Seconds = rest / 1000;
  t.Milliseconds = rest % 1000;
  return t;
}

std::optional<int> PeakReadout(int LeftPercent, int RightPercent) {
  if (LeftPercent == 0 && RightPercent == 0) return std::nullopt;
  const int peak = std::max(LeftPercent, RightPercent);
  // A bar never reports a negative peak; one is taken as no peak rather than passed to the
  // logarithm.
  if (peak <= 0) return std::nullopt;
  return int(std::lround(std::fabs(20.0 * std::log10(peak / 100.0))));
}
