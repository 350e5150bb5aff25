// The skin images of the main window, drawn by skin_generator and built into the program, in
// the stored image form that TMemoryDIB::SetData reads.
#pragma once

#include <cstdint>
#include <span>

struct TSkinImage {
  const char* DisplayName;
  std::span<const uint8_t> Data;
};

// The eight images of the window's image list, by index: 0 the 700 x 450 background; 1 to 3
// the monitor, play and record lamps (three 40 x 12 glyphs each); 4 to 6 the monitor, play and
// record buttons (five 136 x 57 glyphs each); 7 the stop button (two 98 x 41 glyphs).
std::span<const TSkinImage> SkinImages();

// The 67 x 64 picture that sits between the monitor and the stop button.
std::span<const uint8_t> SkinPicture();

// The three 190 x 110 needle meter faces, by index: 0 blue, 1 orange, 2 yellow. They carry no
// scale: the meter draws it.
std::span<const TSkinImage> SkinMeterFaces();

// The LED read-outs' glyph strips of the thirteen digit sizes, by resource name: "LCD_13X21"
// holds 11 digit cells (all unlit, then 0 to 9), "LCDS_13X21" 4 sign cells (all unlit, period,
// colon, minus). Only three colours occur: black background, silver unlit segments (every other
// pixel) and white lit segments.
std::span<const TSkinImage> SkinLEDStrips();
