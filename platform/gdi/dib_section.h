// Device-independent bitmaps in the window system's own pixel layout: bottom-up rows (row y of
// the picture at (Height - 1 - y) x Stride), each row padded to a multiple of 4 bytes, pixels of
// 24 bits (blue, green, red) or 8-bit indexes into a 256-entry colour table. The pixels are our
// own memory; Qt sees them only through copies and views made for drawing.
#pragma once

#include <QImage>
#include <array>
#include <cstdint>
#include <memory>

#include "platform/gdi/gdi_types.h"

constexpr uint32_t BI_RGB = 0;

struct BITMAPINFOHEADER {
  uint32_t biSize = 40;
  int32_t biWidth = 1;
  int32_t biHeight = 1;  // positive: bottom-up rows
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 24;
  uint32_t biCompression = BI_RGB;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct RGBQUAD {
  uint8_t rgbBlue = 0;
  uint8_t rgbGreen = 0;
  uint8_t rgbRed = 0;
  uint8_t rgbReserved = 0;
  friend bool operator==(const RGBQUAD&, const RGBQUAD&) = default;
};
static_assert(sizeof(RGBQUAD) == 4);

// The header block: the header followed by a 256-entry colour table.
struct TBitmapInfo256 {
  BITMAPINFOHEADER bmiHeader;
  std::array<RGBQUAD, 256> bmiColors{};
};

// Bytes per row of a surface: Width x BitsPerPixel / 8 + 3, rounded down to a multiple of 4.
constexpr int DIBStride(int width, int bitsPerPixel) {
  return (width * bitsPerPixel / 8 + 3) & ~3;
}

class TDIBSection {
 public:
  // A surface of the header's size and depth (8 or 24 bits, positive height, both at least 1;
  // anything else is a programming error), all bytes zero.
  explicit TDIBSection(const TBitmapInfo256& info);

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  int BitsPerPixel() const { return FBitsPerPixel; }
  int Stride() const { return FStride; }
  uint8_t* Bits() { return FBits.get(); }
  const uint8_t* Bits() const { return FBits.get(); }
  size_t SizeInBytes() const { return size_t(FStride) * size_t(FHeight); }
  // The first byte of picture row y (0 the top row).
  uint8_t* Row(int y) { return FBits.get() + size_t(FHeight - 1 - y) * size_t(FStride); }
  const uint8_t* Row(int y) const {
    return FBits.get() + size_t(FHeight - 1 - y) * size_t(FStride);
  }

  const std::array<RGBQUAD, 256>& ColorTable() const { return FColors; }
  // Overwrites up to `count` colour-table entries from `start`; the number written.
  int SetColorTable(int start, int count, const RGBQUAD* colors);

  // The red-green-blue value (0x00BBGGRR) of a pixel, the colour table resolving 8-bit indexes;
  // 0 outside the surface.
  TColor Pixel(int x, int y) const;
  // The raw pixel value: the index at 8 bits, 0x00BBGGRR at 24 bits; 0 outside.
  uint32_t RawPixel(int x, int y) const;
  // The picture, top row first, as a Format_RGB32 image.
  QImage ToImage() const;
  // Writes a picture of the surface's size (top row first, any format) into the surface; at 8
  // bits each colour becomes the nearest colour-table entry.
  void Assign(const QImage& picture);

 private:
  int FWidth;
  int FHeight;
  int FBitsPerPixel;
  int FStride;
  std::array<RGBQUAD, 256> FColors;
  std::unique_ptr<uint8_t[]> FBits;
};
