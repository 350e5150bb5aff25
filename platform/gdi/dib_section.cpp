#include "platform/gdi/dib_section.h"

#include <algorithm>
#include <cassert>
#include <limits>

TDIBSection::TDIBSection(const TBitmapInfo256& info)
    : FWidth(std::max(1, int(info.bmiHeader.biWidth))),
      FHeight(std::max(1, int(info.bmiHeader.biHeight))),
      FBitsPerPixel(info.bmiHeader.biBitCount == 8 ? 8 : 24),
      FStride(DIBStride(FWidth, FBitsPerPixel)),
      FColors(info.bmiColors),
      FBits(new uint8_t[size_t(FStride) * size_t(FHeight)]()) {
  assert(info.bmiHeader.biBitCount == 8 || info.bmiHeader.biBitCount == 24);
}

int TDIBSection::SetColorTable(int start, int count, const RGBQUAD* colors) {
  if (start < 0 || start >= 256 || count <= 0) return 0;
  const int n = std::min(count, 256 - start);
  std::copy_n(colors, n, FColors.begin() + start);
  return n;
}

uint32_t TDIBSection::RawPixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) return 0;
  const uint8_t* p = Row(y);
  if (FBitsPerPixel == 8) return p[x];
  p += 3 * x;
  return RGB(p[2], p[1], p[0]);
}

TColor TDIBSection::Pixel(int x, int y) const {
  const uint32_t raw = RawPixel(x, y);
  if (FBitsPerPixel == 24) return raw;
  const RGBQUAD& q = FColors[raw & 0xFF];
  return RGB(q.rgbRed, q.rgbGreen, q.rgbBlue);
}

QImage TDIBSection::ToImage() const {
  QImage image(FWidth, FHeight, QImage::Format_RGB32);
  for (int y = 0; y < FHeight; ++y) {
    auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
    const uint8_t* p = Row(y);
    if (FBitsPerPixel == 24) {
      for (int x = 0; x < FWidth; ++x, p += 3) out[x] = qRgb(p[2], p[1], p[0]);
    } else {
      for (int x = 0; x < FWidth; ++x) {
        const RGBQUAD& q = FColors[p[x]];
        out[x] = qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
      }
    }
  }
  return image;
}

void TDIBSection::Assign(const QImage& picture) {
  const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
  const int w = std::min(FWidth, rgb.width()), h = std::min(FHeight, rgb.height());
  for (int y = 0; y < h; ++y) {
    const auto* in = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    uint8_t* p = Row(y);
    for (int x = 0; x < w; ++x) {
      const int r = qRed(in[x]), g = qGreen(in[x]), b = qBlue(in[x]);
      if (FBitsPerPixel == 24) {
        p[3 * x] = uint8_t(b);
        p[3 * x + 1] = uint8_t(g);
        p[3 * x + 2] = uint8_t(r);
        continue;
      }
      int best = 0, bestDistance = std::numeric_limits<int>::max();
      for (int i = 0; i < 256 && bestDistance; ++i) {
        const RGBQUAD& q = FColors[size_t(i)];
        const int dr = q.rgbRed - r, dg = q.rgbGreen - g, db = q.rgbBlue - b;
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) bestDistance = d, best = i;
      }
      p[x] = uint8_t(best);
    }
  }
}
