#include "instruments/core/scale_law.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "stream/wave_format.h"

namespace {

// (a·b + c div 2) div c, on non-negative numbers.
int MulDivRound(int a, int b, int c) {
  if (c <= 0 || a < 0 || b < 0) return 0;
  return int((uint64_t(a) * uint64_t(b) + uint64_t(c) / 2) / uint64_t(c));
}

// Appends the connecting line from From to To (along the row) at Across, split at the zone
// boundaries.
void ConnectLine(std::vector<TMMScaleLine>& lines, bool horizontal, int from, int to, int across,
                 bool zones, double z1, double z2, double u) {
  auto add = [&](int a, int b, int zone) {
    if (b <= a) return;
    if (horizontal)
      lines.push_back({a, across, b, across, zone});
    else
      lines.push_back({across, a, across, b, zone});
  };
  if (!zones) {
    add(from, to, 1);
    return;
  }
  const int b1 = std::clamp(int(from + z1 + u), from, to);
  const int b2 = std::clamp(int(from + z2 + u), b1, to);
  add(from, b1, 1);
  add(b1, b2, 2);
  add(b2, to, 3);
}

}  // namespace

int ScaleRowWidth(const TMMScaleSettings& S) {
  return S.Size + (S.Connect ? 1 : 0) + (S.Style != stColor ? 1 : 0);
}

std::vector<TMMScaleLine> ScaleLines(const TMMScaleSettings& S, const TMMScaleRect& R, bool Flip) {
  std::vector<TMMScaleLine> lines;
  const int ticks = std::max(S.TickCount, 2);
  const int every = std::max(S.EnlargeEvery, 1);
  const bool threeD = S.Style != stColor;
  const bool zones =
      S.ColorsDiffer && 0 <= S.Limit1 && S.Limit1 <= S.Limit2 && S.Limit2 <= ticks && !threeD;
  const int w = R.Right - R.Left;
  const int h = R.Bottom - R.Top;
  const bool horizontal = w > h;
  const double length = double(std::max(w, h));
  const double z1 = zones ? double(S.Limit1) / ticks * length : 0;
  const double z2 = zones ? double(S.Limit2) / ticks * length : 0;
  const double u = length / ticks;
  const bool far = (S.Origin == soInner) == Flip;

  if (S.Connect) {
    if (horizontal)
      ConnectLine(lines, true, R.Left, R.Right + 1, far ? R.Bottom - (threeD ? 1 : 0) : R.Top - 1,
                  zones, z1, z2, u);
    else
      ConnectLine(lines, false, R.Top + 1, R.Bottom + 1,
                  far ? R.Right - 1 - (threeD ? 1 : 0) : R.Left, zones, z1, z2, u);
  }

  const int c = S.Connect && threeD ? 1 : 0;
  for (int i = 0; i < ticks; ++i) {
    const double p = length / (ticks - 1) * i;
    // Every EnlargeEvery-th tick is long, and so are both ends of the scale.
    const int len = i % every == 0 || i == ticks - 1 ? S.Size : S.Size / 2;
    const int zone = !zones ? 1 : p <= z1 ? 1 : p <= z2 ? 2 : 3;
    if (horizontal) {
      const int x = int(R.Left + p);
      if (far)
        lines.push_back({x, R.Bottom - len, x, R.Bottom, zone});
      else
        lines.push_back({x, R.Top, x, R.Top + len, zone});
    } else {
      const int y = int(std::nearbyint(R.Top + p));
      if (far)
        lines.push_back({R.Right - len - c, y, R.Right - c, y, zone});
      else
        lines.push_back({R.Left + c, y, R.Left + len + c, y, zone});
    }
  }
  return lines;
}

TMMLevelScaleRows LevelScaleRows(const TMMLevelScaleSettings& S, TMMScalePos Pos, int RowWidth,
                                 int TickCount, const TMMScaleRect& Client, int H0) {
  TMMLevelScaleRows result;
  result.LabelArea = Client;
  result.Mirrored = S.Vertical != (S.Direction == dirReversed);
  const int p1 = result.Mirrored ? 100 - S.Point2 : S.Point1;
  const int p2 = result.Mirrored ? 100 - S.Point1 : S.Point2;
  result.Limit1 = MulDiv(p1 - 1, TickCount, 100);
  result.Limit2 = MulDiv(p2 - 1, TickCount, 100);

  // The span of a row along the label axis.
  const bool reversed = S.Direction == dirReversed;
  auto span = [&](int first, int last) {
    return reversed ? std::pair(first + H0, last + H0 - 1)
                    : std::pair(first - H0 - 1, last - H0 - 1);
  };
  TMMScaleRect& area = result.LabelArea;
  if (Pos == spAboveOrLeft || Pos == spBoth) {
    if (S.Vertical) {
      const auto [a, b] = span(area.Top, area.Bottom);
      result.Rows.push_back({{area.Left, a, area.Left + RowWidth, b}, true});
      area.Left += RowWidth;
    } else {
      const auto [a, b] = span(area.Left, area.Right);
      result.Rows.push_back({{a, area.Top, b, area.Top + RowWidth}, true});
      area.Top += RowWidth;
    }
  }
  if (Pos == spBelowOrRight || Pos == spBoth) {
    if (S.Vertical) {
      const auto [a, b] = span(area.Top, area.Bottom);
      result.Rows.push_back({{area.Right - RowWidth, a, area.Right, b}, false});
      area.Right -= RowWidth;
    } else {
      const auto [a, b] = span(area.Left, area.Right);
      result.Rows.push_back({{a, area.Bottom - RowWidth, b, area.Bottom}, false});
      area.Bottom -= RowWidth;
    }
  }
  return result;
}

int LabelStride(const TMMLevelScaleSettings& S, int Length, int LabelWidth) {
  const int n = std::max(S.ScaleTicks, 2);
  const int room = S.Direction == dirSymetric ? Length / 2 : Length;
  for (int k = 1; k <= n - 1; ++k)
    if (int64_t((n - 1) / k) * LabelWidth <= room) return k;
  return 0;
}

std::vector<TMMScaleLabel> LevelScaleLabels(const TMMLevelScaleSettings& S,
                                            const TMMScaleRect& Area, int ControlWidth,
                                            int ControlHeight, const TTextWidth& TextWidth,
                                            int TextHeight) {
  std::vector<TMMScaleLabel> labels;
  if (Area.IsEmpty()) return labels;
  const int n = std::max(S.ScaleTicks, 2);
  const bool vertical = S.Vertical;
  const int w = TextWidth(std::to_string(S.Sensitivy));
  const int k = LabelStride(S, vertical ? ControlHeight : ControlWidth, w);
  if (k == 0) return labels;

  // A symmetric scale lays its first half out as a normal one and mirrors it onto the second.
  const bool symmetric = S.Direction == dirSymetric;
  const bool reversed = S.Direction == dirReversed;
  const int areaLength = vertical ? Area.Height() : Area.Width();
  const int length = symmetric ? areaLength / 2 : areaLength;
  const int limit = symmetric ? length : vertical ? ControlHeight : ControlWidth;
  const int step = vertical ? (reversed ? -1 : 1) : (reversed ? 1 : -1);
  // Where the dB value is counted from the other end than the index (the label of index 0 is
  // the top of the range).
  const bool fromTop = vertical == reversed;
  const bool zoneMirrored = !fromTop;
  const double t0 = 32767.0 / std::pow(10.0, -S.Sensitivy / 20.0);

  int j = step > 0 ? 0 : n - 1;
  for (int t = 0; t < n; ++t, j += step) {
    if (t % k != 0) continue;
    TMMScaleLabel label;
    int v = MulDiv(32767, j, n - 1);
    if (zoneMirrored) v = 32767 - v;
    label.Zone = v > S.Point2 * 32767 / 100.0 ? 3 : v > S.Point1 * 32767 / 100.0 ? 2 : 1;
    if (S.LogAmp) {
      const int jj = fromTop ? n - 1 - j : j;
      label.Value = MulDiv(jj, S.Sensitivy, n - 1);
    } else {
      const int jj = fromTop ? j : n - 1 - j;
      label.Value =
          int(std::nearbyint(20.0 * std::log10((jj * (32767.0 - t0) / (n - 1) + t0) / 32767.0)));
    }
    label.Text = std::to_string(label.Value);
    const int tw = TextWidth(label.Text);
    const int extent = vertical ? TextHeight : tw;
    const int anchor = MulDivRound(j, length - 1, n - 1);
    // For step -1 the text ends at its anchor, otherwise it starts there.
    const int start = step < 0 ? anchor - extent : anchor;
    const bool fits = start >= 0 && start + extent <= limit;
    auto place = [&](TMMScaleLabel& l, int along, int width) {
      if (vertical) {
        l.X = Area.Left + (Area.Width() - w) / 2 + (w - width);
        l.Y = Area.Top + along;
      } else {
        l.X = Area.Left + along;
        l.Y = Area.Top + (Area.Height() - TextHeight) / 2;
      }
    };
    if (fits) {
      place(label, start, tw);
      labels.push_back(label);
    }
    if (!symmetric) continue;
    // The mirror image about the centre, with the unsigned value, anchored at the mirrored
    // anchor on the side the first one was not.
    TMMScaleLabel mirror = label;
    mirror.Value = std::abs(label.Value);
    mirror.Text = std::to_string(mirror.Value);
    const int mw = TextWidth(mirror.Text);
    const int mextent = vertical ? TextHeight : mw;
    const int manchor = areaLength - anchor;
    const int mstart = step < 0 ? manchor : manchor - mextent;
    if (mstart >= areaLength - length && mstart + mextent <= areaLength) {
      place(mirror, mstart, mw);
      labels.push_back(mirror);
    }
  }
  return labels;
}
