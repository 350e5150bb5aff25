// Logical palettes: up to 256 colour entries with their flags, the twenty static colours of the
// system palette, and the nearest-colour search that 8-bit surfaces draw with.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/gdi/gdi_types.h"

constexpr uint8_t PC_RESERVED = 0x01;
constexpr uint8_t PC_EXPLICIT = 0x02;
constexpr uint8_t PC_NOCOLLAPSE = 0x04;

struct PALETTEENTRY {
  uint8_t peRed = 0;
  uint8_t peGreen = 0;
  uint8_t peBlue = 0;
  uint8_t peFlags = 0;
  friend bool operator==(const PALETTEENTRY&, const PALETTEENTRY&) = default;
};
static_assert(sizeof(PALETTEENTRY) == 4);

// A palette as a caller describes it: a version (0x300) and its entries.
struct TLogPalette {
  uint16_t palVersion = 0x300;
  std::vector<PALETTEENTRY> palPalEntry;
};

// The static colours of the system palette: entries 0-9 and 246-255 of a 256-entry palette.
// Entry `index` of the 256; black for an index between them.
PALETTEENTRY SystemPaletteEntry(int index);
// Whether the screen is a palette device; never on this platform (always true colour).
bool ScreenIsPaletteDevice();

// A logical palette of 1 to 256 entries.
class TPalette {
 public:
  explicit TPalette(std::vector<PALETTEENTRY> entries) : FEntries(std::move(entries)) {}

  int Count() const { return int(FEntries.size()); }
  // Copies up to `count` entries from `start` into `out`; the number copied (0 when `start` is
  // outside the palette).
  int GetEntries(int start, int count, PALETTEENTRY* out) const;
  // Overwrites up to `count` entries from `start`; the number written.
  int SetEntries(int start, int count, const PALETTEENTRY* in);
  // The index of the entry nearest to the colour (least squared distance in red, green and
  // blue; the lowest index among equals).
  int NearestIndex(TColor color) const;
  const std::vector<PALETTEENTRY>& Entries() const { return FEntries; }

 private:
  std::vector<PALETTEENTRY> FEntries;
};
