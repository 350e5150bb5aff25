// The drawing stand-ins: the pixel layout of DIB sections, the exact pixels of the device
// context's lines, fills and block copies, and the palette search.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QImage>
#include <cstring>

#include "platform/gdi/device_context.h"
#include "platform/gdi/dib_section.h"
#include "platform/gdi/gdi_types.h"
#include "platform/gdi/palette.h"

namespace {

TBitmapInfo256 Header(int width, int height, int bits) {
  TBitmapInfo256 info;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biBitCount = uint16_t(bits);
  return info;
}

// Row y of an image as '#' for `color` and '.' for anything else.
std::string Row(const QImage& image, int y, TColor color) {
  std::string row;
  for (int x = 0; x < image.width(); ++x)
    row += image.pixel(x, y) == ToQColor(color).rgb() ? '#' : '.';
  return row;
}

TEST(Gdi, ColorsResolveSystemIndexes) {
  EXPECT_EQ(ColorToRGB(clBtnFace), RGB(192, 192, 192));
  EXPECT_EQ(ColorToRGB(clBtnShadow), RGB(128, 128, 128));
  EXPECT_EQ(ColorToRGB(clBtnHighlight), RGB(255, 255, 255));
  EXPECT_EQ(ColorToRGB(clWindowFrame), RGB(0, 0, 0));
  EXPECT_EQ(ColorToRGB(0x00123456), 0x00123456u);
  EXPECT_EQ(ToQColor(RGB(1, 2, 3)), QColor(1, 2, 3));
}

TEST(Gdi, DibSectionRowsAreBottomUpWithPaddedStride) {
  // Stride = (Width x bits / 8 + 3) rounded down to a multiple of 4.
  for (auto [width, bits, stride] : {std::tuple{1, 24, 4},
                                     {2, 24, 8},
                                     {3, 24, 12},
                                     {5, 24, 16},
                                     {1, 8, 4},
                                     {4, 8, 4},
                                     {5, 8, 8},
                                     {7, 8, 8}}) {
    TDIBSection dib(Header(width, 3, bits));
    EXPECT_EQ(dib.Stride(), stride) << width << " x " << bits;
    EXPECT_EQ(dib.SizeInBytes(), size_t(3 * stride));
  }
  TDIBSection dib(Header(2, 3, 24));
  dib.Row(0)[3] = 0x11;  // blue of pixel (1, 0)
  dib.Row(0)[4] = 0x22;  // green
  dib.Row(0)[5] = 0x33;  // red
  // The top row of the picture is the last row in memory.
  EXPECT_EQ(dib.Row(0), dib.Bits() + 2 * 8);
  EXPECT_EQ(dib.Pixel(1, 0), RGB(0x33, 0x22, 0x11));
  EXPECT_EQ(dib.ToImage().pixel(1, 0), qRgb(0x33, 0x22, 0x11));
  EXPECT_EQ(dib.Pixel(1, 2), 0u);
  EXPECT_EQ(dib.Pixel(5, 5), 0u);
}

TEST(Gdi, EightBitSectionsReadThroughTheirColourTable) {
  TBitmapInfo256 info = Header(3, 1, 8);
  info.bmiColors[7] = RGBQUAD{30, 20, 10, 0};
  TDIBSection dib(info);
  dib.Row(0)[2] = 7;
  EXPECT_EQ(dib.RawPixel(2, 0), 7u);
  EXPECT_EQ(dib.Pixel(2, 0), RGB(10, 20, 30));
  // Writing a picture picks the nearest table entry.
  QImage picture(3, 1, QImage::Format_RGB32);
  picture.fill(qRgb(12, 19, 29));
  dib.Assign(picture);
  EXPECT_EQ(dib.RawPixel(0, 0), 7u);
}

TEST(Gdi, LinesLeaveOutTheirLastPointAndFollowTheOrigin) {
  QImage image(8, 4, QImage::Format_RGB32);
  image.fill(Qt::white);
  {
    TDeviceContext dc(&image);
    dc.SetOrigin(QPoint(1, 1));
    dc.SetPen(clRed);
    dc.MoveTo(0, 0);
    dc.LineTo(5, 0);
    dc.MoveTo(6, 2);
    dc.LineTo(2, 2);  // right to left: (6, 2) down to (3, 2)
    EXPECT_EQ(dc.PenPosition(), QPoint(2, 2));
  }
  EXPECT_EQ(Row(image, 1, clRed), ".#####..");
  EXPECT_EQ(Row(image, 3, clRed), "....####");
}

TEST(Gdi, FillsAndCopiesStayInsideTheClipRectangle) {
  QImage image(6, 3, QImage::Format_RGB32);
  image.fill(Qt::white);
  TDIBSection dib(Header(3, 2, 24));
  std::memset(dib.Row(0), 0, 9);
  for (int x = 0; x < 3; ++x) dib.Row(1)[3 * x + 2] = 255;  // bottom row red
  {
    TDeviceContext dc(&image);
    dc.SetClipRect(Rect(1, 0, 5, 3));
    dc.FillRect(Rect(-10, 0, 10, 1), clBlue);  // clipped to columns 1..4
    EXPECT_FALSE(dc.RectVisible(Rect(5, 0, 9, 3)));
    EXPECT_EQ(dc.ClipBox(), Rect(1, 0, 5, 3));
    dc.BitBlt(3, 1, 3, 2, dib, 0, 0);  // the copy's right column falls outside
  }
  EXPECT_EQ(Row(image, 0, clBlue), ".####.");
  EXPECT_EQ(Row(image, 1, clBlack), "...##.");
  EXPECT_EQ(Row(image, 2, clRed), "...##.");
}

TEST(Gdi, BlockCopiesOfEightBitSurfacesUseTheColourTable) {
  TBitmapInfo256 info = Header(2, 1, 8);
  info.bmiColors[3] = RGBQUAD{0, 255, 0, 0};
  TDIBSection dib(info);
  dib.Row(0)[1] = 3;
  QImage image(2, 1, QImage::Format_RGB32);
  {
    TDeviceContext dc(&image);
    dc.BitBlt(0, 0, 2, 1, dib, 0, 0);
  }
  EXPECT_EQ(Row(image, 0, clLime), ".#");
  EXPECT_EQ(Row(image, 0, clBlack), "#.");
}

TEST(Gdi, ThePaletteHasTheStaticColoursAndFindsTheNearest) {
  EXPECT_EQ(SystemPaletteEntry(0), (PALETTEENTRY{0, 0, 0, 0}));
  EXPECT_EQ(SystemPaletteEntry(9), (PALETTEENTRY{166, 202, 240, 0}));
  EXPECT_EQ(SystemPaletteEntry(246), (PALETTEENTRY{255, 251, 240, 0}));
  EXPECT_EQ(SystemPaletteEntry(249), (PALETTEENTRY{255, 0, 0, 0}));
  EXPECT_EQ(SystemPaletteEntry(255), (PALETTEENTRY{255, 255, 255, 0}));
  TPalette palette({{0, 0, 0, 0}, {250, 0, 0, 0}, {255, 0, 0, 0}, {255, 0, 0, 0}});
  EXPECT_EQ(palette.NearestIndex(clRed), 2);  // exact, and the lowest of two equals
  EXPECT_EQ(palette.NearestIndex(RGB(100, 0, 0)), 0);
  PALETTEENTRY out[4];
  EXPECT_EQ(palette.GetEntries(2, 10, out), 2);
  EXPECT_EQ(palette.GetEntries(4, 1, out), 0);
}

TEST(Gdi, LayoutFontsMapOntoInstalledFamiliesAndTextSitsBelowItsTop) {
  EXPECT_EQ(QFontInfo(ToQFont({"Small Fonts", 9})).family(), "DejaVu Sans");
  EXPECT_EQ(QFontInfo(ToQFont({"Arial", 12})).family(), "DejaVu Sans");
  EXPECT_EQ(QFontInfo(ToQFont({"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF", 12})).family(),
            "IPAPGothic");
  QImage image(40, 20, QImage::Format_RGB32);
  image.fill(Qt::white);
  {
    TDeviceContext dc(&image);
    dc.SetFont({"Small Fonts", 12, true, false, clBlue});
    dc.SetBkMode(TRANSPARENT);
    const QSize extent = dc.TextExtent("88");
    EXPECT_GT(extent.width(), 6);
    EXPECT_GE(extent.height(), 12);
    dc.TextOut(2, 5, "88");
  }
  // The ink lies inside the text's cell: below y = 5 and right of x = 2, in the text colour.
  int top = 99, left = 99, blue = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 40; ++x)
      if (image.pixel(x, y) != qRgb(255, 255, 255)) {
        top = std::min(top, y), left = std::min(left, x);
        blue += image.pixel(x, y) == qRgb(0, 0, 255);
      }
  EXPECT_GE(top, 5);
  EXPECT_LE(top, 9);
  EXPECT_GE(left, 2);
  EXPECT_GT(blue, 0);
}

}  // namespace
