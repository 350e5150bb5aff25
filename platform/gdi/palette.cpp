#include "platform/gdi/palette.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::array<PALETTEENTRY, 20> kStatic = {{
    {0, 0, 0, 0},       {128, 0, 0, 0},     {0, 128, 0, 0},     {128, 128, 0, 0},
    {0, 0, 128, 0},     {128, 0, 128, 0},   {0, 128, 128, 0},   {192, 192, 192, 0},
    {192, 220, 192, 0}, {166, 202, 240, 0}, {255, 251, 240, 0}, {160, 160, 164, 0},
    {128, 128, 128, 0}, {255, 0, 0, 0},     {0, 255, 0, 0},     {255, 255, 0, 0},
    {0, 0, 255, 0},     {255, 0, 255, 0},   {0, 255, 255, 0},   {255, 255, 255, 0},
}};

}  // namespace

PALETTEENTRY SystemPaletteEntry(int index) {
  if (index >= 0 && index < 10) return kStatic[size_t(index)];
  if (index >= 246 && index < 256) return kStatic[size_t(index - 236)];
  return {};
}

bool ScreenIsPaletteDevice() {
  return false;
}

int TPalette::GetEntries(int start, int count, PALETTEENTRY* out) const {
  if (start < 0 || start >= Count() || count <= 0) return 0;
  const int n = std::min(count, Count() - start);
  std::copy_n(FEntries.begin() + start, n, out);
  return n;
}

int TPalette::SetEntries(int start, int count, const PALETTEENTRY* in) {
  if (start < 0 || start >= Count() || count <= 0) return 0;
  const int n = std::min(count, Count() - start);
  std::copy_n(in, n, FEntries.begin() + start);
  return n;
}

int TPalette::NearestIndex(TColor color) const {
  const TColor rgb = ColorToRGB(color);
  const int r = GetRValue(rgb), g = GetGValue(rgb), b = GetBValue(rgb);
  int best = 0;
  int bestDistance = std::numeric_limits<int>::max();
  for (int i = 0; i < Count(); ++i) {
    const PALETTEENTRY& e = FEntries[size_t(i)];
    const int dr = e.peRed - r, dg = e.peGreen - g, db = e.peBlue - b;
    const int distance = dr * dr + dg * dg + db * db;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
      if (distance == 0) break;
    }
  }
  return best;
}
