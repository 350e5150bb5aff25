// What the window's LED read-outs show, without the panels: the elapsed time of a device
// position split into hours, minutes, seconds and milliseconds, and the peak of the two level
// bars in whole dB below full scale.
#pragma once

#include <cstdint>
#include <optional>

struct TTimeReadout {
  int Hours = 0;
  int Minutes = 0;
  int Seconds = 0;
  int Milliseconds = 0;
  friend bool operator==(const TTimeReadout&, const TTimeReadout&) = default;
};

// A position in milliseconds as h:mm:ss.mmm; all zero below 1 ms. The hours are not limited
// here (the hour panel clamps them to its single digit).
TTimeReadout SplitPosition(int32_t PositionMs);

// The peak read-out for the held peaks of the two bars, in percent of full scale: the larger
// one as round(|20 log10(P / 100)|). None while both are 0: the read-out keeps what it shows.
std::optional<int> PeakReadout(int LeftPercent, int RightPercent);
