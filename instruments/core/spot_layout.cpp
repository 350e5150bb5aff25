#include "instruments/core/spot_layout.h"

#include <algorithm>

TMMSpotLayout SpotLayout(int Length, int SpotWidth, int SpotSpace, int Point1, int Point2) {
  TMMSpotLayout layout;
  Length = std::max(Length, 0);
  layout.SpotSpace = std::clamp(SpotSpace, 0, 10);
  layout.SpotWidth = std::clamp(SpotWidth, 1, std::max(Length / 3, 1));
  const int step = layout.SpotWidth + layout.SpotSpace;
  layout.Count = std::max((Length + layout.SpotSpace) / step, 1);
  layout.Margin = (Length - (step * layout.Count - layout.SpotSpace)) / 2;
  layout.Zone1 = std::clamp(Point1, 1, 100) * layout.Count / 100;
  layout.Zone2 = std::clamp(Point2, 1, 100) * layout.Count / 100;
  return layout;
}

int SpotStart(const TMMSpotLayout& Layout, int Index) {
  return Layout.Margin + (Index - 1) * (Layout.SpotWidth + Layout.SpotSpace);
}

int SpotZone(const TMMSpotLayout& Layout, int Index) {
  if (Index > Layout.Zone2) return 3;
  if (Index > Layout.Zone1) return 2;
  return 1;
}

int DemonstrationCount(const TMMSpotLayout& Layout) {
  const int n = Layout.Count;
  if (Layout.Zone2 < n) return Layout.Zone2 + (n - Layout.Zone2) / 2;
  if (Layout.Zone1 < n) return Layout.Zone1 + (n - Layout.Zone1) / 2;
  return n - n / 4;
}
