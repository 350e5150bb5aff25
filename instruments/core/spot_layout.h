// How a level bar of a given length divides into spots: their size, count, margin, the two zone
// limits as spot counts, and where spot i lies along the bar.
#pragma once

struct TMMSpotLayout {
  int SpotWidth = 1;  // effective width along the bar: 1 to a third of the bar length
  int SpotSpace = 1;  // gap between spots
  int Count = 1;      // n, the number of spots
  int Margin = 0;     // m, pixels before the first spot
  int Zone1 = 0;      // p1: spots above it are in the middle zone
  int Zone2 = 0;      // p2: spots above it are in the high zone
};

// The layout of a bar Length pixels long (the client width, or height for a vertical bar).
// SpotSpace is clamped to 0..10 and Point1, Point2 (percent of the bar) to 1..100.
TMMSpotLayout SpotLayout(int Length, int SpotWidth, int SpotSpace, int Point1, int Point2);

// The first pixel of spot Index (1-based) counted from the end of the bar where it starts
// (left or bottom for the normal direction, right or top otherwise); the spot covers SpotWidth
// pixels from there.
int SpotStart(const TMMSpotLayout& Layout, int Index);

// The colour zone of spot Index: 1 (low), 2 (middle) or 3 (high).
int SpotZone(const TMMSpotLayout& Layout, int Index);

// The count a form designer shows as a sample: half-way into the highest zone the bar has.
int DemonstrationCount(const TMMSpotLayout& Layout);
