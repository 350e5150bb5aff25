// The drawing surface: its pixel layout, the primitives at the edges of their spans and of the
// clip rectangle, the palette it builds, and its refusals.
#include "instruments/dib_canvas.h"

#include <gtest/gtest.h>

#include <QImage>
#include <functional>
#include <string>
#include <vector>

#include "instruments/dib_graphic_control.h"
#include "instruments/dib_primitives.h"

namespace {

// A surface of the given size and depth drawn in one pass by `draw`, with its pixels shown as
// rows of '#' (the colour drawn, red) and '.' (anything else) on a black surface.
std::vector<std::string> Draw(int width, int height, int bits,
                              const std::function<void(TMMDIBCanvas&)>& draw) {
  TMMDIBCanvas canvas(nullptr);
  canvas.SetBitsPerPixel(bits);
  canvas.SetBounds(0, 0, width, height);
  canvas.DIB_InitDrawing();
  canvas.DIB_SetTColor(clRed);
  draw(canvas);
  canvas.DIB_DoneDrawing();
  std::vector<std::string> rows;
  for (int y = 0; y < height; ++y) {
    std::string row;
    for (int x = 0; x < width; ++x) row += canvas.Surface()->Pixel(x, y) == clRed ? '#' : '.';
    rows.push_back(row);
  }
  return rows;
}

using Rows = std::vector<std::string>;

struct TSpanCase {
  const char* Name;
  std::function<void()> Draw;
  Rows Expected;
};

// Every primitive against a 6 x 3 surface, at both depths.
TEST(DibPrimitives, SpansFillsAndLinesAtTheirEdges) {
  const std::vector<TSpanCase> cases = {
      {"HLine", [] { DIB_HLine(1, 4, 1); }, {"......", ".###..", "......"}},
      {"HLine reversed", [] { DIB_HLine(4, 1, 1); }, {"......", ".###..", "......"}},
      {"HLine empty", [] { DIB_HLine(2, 2, 1); }, {"......", "......", "......"}},
      {"HLine clamped", [] { DIB_HLine(-5, 99, 0); }, {"######", "......", "......"}},
      {"HLine row outside", [] { DIB_HLine(0, 6, 3); }, {"......", "......", "......"}},
      {"HLineDotted gap 1", [] { DIB_HLineDotted(0, 6, 0, 1); }, {"#.#.#.", "......", "......"}},
      {"HLineDotted gap 2", [] { DIB_HLineDotted(6, 0, 0, 2); }, {"#..#..", "......", "......"}},
      {"HLineDotted gap 0 is 1",
       [] { DIB_HLineDotted(1, 6, 2, 0); },
       {"......", "......", ".#.#.#"}},
      {"HLineDotted clipped start keeps its dots",
       [] { DIB_HLineDotted(-3, 6, 0, 2); },
       {"#..#..", "......", "......"}},
      {"VLine", [] { DIB_VLine(2, 3, 1); }, {"......", "..#...", "..#..."}},
      {"VLine empty", [] { DIB_VLine(2, 1, 1); }, {"......", "......", "......"}},
      {"VLine column outside", [] { DIB_VLine(-1, 0, 3); }, {"......", "......", "......"}},
      {"VLineDotted clipped start keeps its dots",
       [] { DIB_VLineDotted(5, -9, 9, 1); },
       {"......", ".....#", "......"}},
      {"VLineDotted", [] { DIB_VLineDotted(0, 3, 0, 1); }, {"#.....", "......", "#....."}},
      {"FillRect", [] { DIB_FillRect(Rect(1, 1, 3, 3)); }, {"......", ".##...", ".##..."}},
      {"FillRect reversed", [] { DIB_FillRect(Rect(3, 3, 1, 1)); }, {"......", ".##...", ".##..."}},
      {"FillRect wholly outside",
       [] { DIB_FillRect(Rect(6, 0, 9, 3)); },
       {"......", "......", "......"}},
      {"FillRect above", [] { DIB_FillRect(Rect(0, -5, 6, 0)); }, {"......", "......", "......"}},
      {"FillRect partly outside",
       [] { DIB_FillRect(Rect(4, -1, 9, 1)); },
       {"....##", "......", "......"}},
      {"FillRectDoted",
       [] { DIB_FillRectDoted(Rect(1, 0, 6, 3), true); },
       {".#.#.#", "......", ".#.#.#"}},
      {"FillRectDoted off is solid",
       [] { DIB_FillRectDoted(Rect(0, 0, 2, 1), false); },
       {"##....", "......", "......"}},
      {"FrameRect", [] { DIB_FrameRect(0, 0, 4, 3); }, {"####..", "#..#..", "####.."}},
      {"LineTo leaves out its end",
       [] {
         DIB_MoveTo(0, 0);
         DIB_LineTo(3, 0);
       },
       {"###...", "......", "......"}},
      {"LineTo diagonal clipped",
       [] {
         DIB_MoveTo(-1, -1);
         DIB_LineTo(4, 4);
       },
       {"#.....", ".#....", "..#..."}},
      {"SetPixel outside",
       [] {
         DIB_SetPixel(6, 0, clRed);
         DIB_SetPixel(0, -1, clRed);
       },
       {"......", "......", "......"}},
      {"Clear", [] { DIB_Clear(); }, {"######", "######", "######"}},
  };
  for (int bits : {24, 8}) {
    for (const TSpanCase& c : cases) {
      EXPECT_EQ(Draw(6, 3, bits, [&](TMMDIBCanvas&) { c.Draw(); }), c.Expected)
          << c.Name << " at " << bits << " bits";
    }
  }
}

TEST(DibPrimitives, XorTwiceRestoresAndTouchesOnlyTheRectangle) {
  const Rows once = Draw(4, 2, 24, [](TMMDIBCanvas&) { DIB_XorRect(Rect(1, 0, 3, 1)); });
  EXPECT_EQ(once, (Rows{".##.", "...."}));
  const Rows twice = Draw(4, 2, 8, [](TMMDIBCanvas&) {
    DIB_XorRect(Rect(1, 0, 3, 1));
    DIB_XorRect(Rect(3, 1, 1, 0));
  });
  EXPECT_EQ(twice, (Rows{"....", "...."}));
}

TEST(DibPrimitives, CopyRectIsClippedAndSafeWhenItOverlaps) {
  // A marker column at x = 0 copied onto itself moved right and left within one buffer.
  auto marker = [](const std::function<void(const uint8_t*)>& copy) {
    return Draw(6, 2, 24, [&](TMMDIBCanvas& canvas) {
      DIB_VLine(0, 0, 2);
      DIB_SetPixel(1, 0, clRed);
      copy(canvas.Surface()->Bits());
    });
  };
  EXPECT_EQ(marker([](const uint8_t* bits) { DIB_CopyRect(1, 0, 3, 2, 0, 0, bits); }),
            (Rows{"###...", "##...."}));
  // Moved down by one row (rows overlap): the source row is read before it is written.
  EXPECT_EQ(marker([](const uint8_t* bits) { DIB_CopyRect(0, 1, 2, 1, 0, 0, bits); }),
            (Rows{"##....", "##...."}));
  // Partly outside on the right and bottom, and a source partly outside on the left.
  EXPECT_EQ(marker([](const uint8_t* bits) { DIB_CopyRect(4, 1, 9, 9, 0, 0, bits); }),
            (Rows{"##....", "#...##"}));
  EXPECT_EQ(marker([](const uint8_t* bits) { DIB_CopyRect(3, 0, 3, 1, -1, 0, bits); }),
            (Rows{"##..##", "#....."}));
  EXPECT_EQ(marker([](const uint8_t* bits) { DIB_CopyRect(3, 0, 0, 1, 0, 0, bits); }),
            (Rows{"##....", "#....."}));
}

TEST(DibCanvas, PixelsLieBottomUpInBlueGreenRedOrder) {
  TMMDIBCanvas canvas(nullptr);
  canvas.SetBounds(0, 0, 5, 3);
  canvas.DIB_InitDrawing();
  EXPECT_EQ(DIBDrawContext.Stride, 16);
  EXPECT_EQ(DIBDrawContext.RowStep, -16);
  DIB_SetPixel(1, 0, RGB(0x11, 0x22, 0x33));
  // Clear leaves the padding of each row alone.
  canvas.Surface()->Bits()[15] = 0x5A;
  canvas.DIB_SetTColor(clWhite);
  DIB_Clear();
  DIB_SetPixel(1, 0, RGB(0x11, 0x22, 0x33));
  canvas.DIB_DoneDrawing();
  const uint8_t* bits = canvas.Surface()->Bits();
  const uint8_t* top = bits + 2 * 16;  // row 0 of the picture is the last in memory
  EXPECT_EQ(top[3], 0x33);             // blue
  EXPECT_EQ(top[4], 0x22);             // green
  EXPECT_EQ(top[5], 0x11);             // red
  EXPECT_EQ(bits[15], 0x5A);
  EXPECT_EQ(canvas.Header().bmiHeader.biSize, 40u);
  EXPECT_EQ(canvas.Header().bmiHeader.biHeight, 3);
  EXPECT_EQ(canvas.Header().bmiHeader.biPlanes, 1);
  EXPECT_EQ(canvas.Header().bmiHeader.biClrUsed, 0u);
  EXPECT_TRUE(canvas.Idle());
  EXPECT_EQ(DIBDrawContext.Bits, nullptr);
}

TEST(DibCanvas, EightBitColoursAreNearestIndexesInAllFourBytes) {
  TMMDIBCanvas canvas(nullptr);
  canvas.SetBitsPerPixel(8);
  EXPECT_EQ(canvas.Header().bmiHeader.biClrUsed, 256u);
  canvas.DIB_InitDrawing();
  canvas.DIB_SetTColor(RGB(250, 2, 1));  // nearest: static red, 249
  EXPECT_EQ(DIBDrawContext.Color, 0xF9F9F9F9u);
  canvas.DIB_SetColor(0x1234);
  EXPECT_EQ(DIBDrawContext.Color, 0x34343434u);
  canvas.DIB_DoneDrawing();
  EXPECT_EQ(canvas.DIB_ColorToIndex(clBtnFace), 7u);  // (192, 192, 192)
  canvas.SetBitsPerPixel(24);
  EXPECT_EQ(canvas.DIB_ColorToIndex(clBtnFace), RGB(192, 192, 192));
}

TEST(DibCanvas, ZeroSizesBuildOneByOneAndSizeChangesRebuildLazily) {
  TMMDIBCanvas canvas(nullptr);
  canvas.SetBounds(0, 0, 0, 7);
  EXPECT_TRUE(canvas.MustRebuild());
  EXPECT_EQ(canvas.ClipRect(), Rect(0, 0, 0, 7));
  canvas.DIB_InitDrawing();
  canvas.DIB_SetTColor(clRed);
  DIB_Clear();
  DIB_FillRect(Rect(0, 0, 5, 5));
  canvas.DIB_DoneDrawing();
  EXPECT_FALSE(canvas.MustRebuild());
  EXPECT_EQ(canvas.Surface()->Width(), 1);
  EXPECT_EQ(canvas.Surface()->Height(), 7);
  EXPECT_EQ(canvas.Surface()->Pixel(0, 0), clBlack);  // nothing drawn into a 0-wide surface
  canvas.SetBounds(0, 0, -3, 0);
  canvas.CreateHandle();
  EXPECT_EQ(canvas.Header().bmiHeader.biWidth, 1);
  EXPECT_EQ(canvas.Header().bmiHeader.biHeight, 1);
  EXPECT_EQ(canvas.Width(), 0);
}

// A control whose class name the rebuild refusal carries.
class TMMTestScope : public TMMDIBGraphicControl {
 public:
  using TMMDIBGraphicControl::TMMDIBGraphicControl;
};

TEST(DibCanvas, OtherDepthsAndRebuildsWhileDrawingAreRefused) {
  TMMTestScope scope(nullptr);
  TMMDIBCanvas& canvas = *scope.DIBCanvas();
  for (int bits : {0, 1, 4, 15, 16, 32}) {
    try {
      scope.SetBitsPerPixel(bits);
      ADD_FAILURE() << bits << " bits accepted";
    } catch (const EMMDIBError& e) {
      EXPECT_STREQ(e.what(), "Bitlength not supported yet");
    }
    EXPECT_EQ(canvas.BitsPerPixel(), 24);
  }
  canvas.DIB_InitDrawing();
  for (const auto& change : std::vector<std::function<void()>>{
           [&] { canvas.SetBitsPerPixel(8); }, [&] { canvas.RecreateDIB(); },
           [&] { canvas.SetPaletteRealize(true); }}) {
    try {
      change();
      ADD_FAILURE() << "rebuilt while drawing";
    } catch (const EMMDIBError& e) {
      EXPECT_STREQ(e.what(),
                   "TMMTestScope: Attempt to create new DIB while initialized for drawing");
    }
  }
  EXPECT_EQ(canvas.BitsPerPixel(), 24);
  EXPECT_FALSE(canvas.PaletteRealize());
  EXPECT_NE(DIBDrawContext.Bits, nullptr);  // the pass goes on
  canvas.DIB_DoneDrawing();
  canvas.SetBitsPerPixel(8);
  EXPECT_EQ(canvas.Surface()->BitsPerPixel(), 8);
}

TEST(DibCanvas, PaletteHasStaticEndsAndTakesTheGivenColours) {
  TMMDIBCanvas canvas(nullptr);
  canvas.SetBitsPerPixel(8);
  TLogPalette given;
  for (int i = 0; i < 256; ++i) given.palPalEntry.push_back({uint8_t(i), 1, 2, 0});
  canvas.SetPalette(&given);
  const auto& entries = canvas.Palette()->Entries();
  EXPECT_EQ(entries[8], (PALETTEENTRY{192, 220, 192, 0}));
  EXPECT_EQ(entries[10], (PALETTEENTRY{10, 1, 2, PC_NOCOLLAPSE}));
  EXPECT_EQ(entries[245], (PALETTEENTRY{245, 1, 2, PC_NOCOLLAPSE}));
  EXPECT_EQ(entries[246], (PALETTEENTRY{255, 251, 240, 0}));
  EXPECT_EQ(canvas.Header().bmiColors[10], (RGBQUAD{2, 1, 10, 0}));
  // A palette of an old version or of more than 256 entries is not kept.
  given.palVersion = 0x200;
  canvas.SetPalette(&given);
  EXPECT_EQ(canvas.Palette()->Entries()[10], (PALETTEENTRY{0, 0, 0, PC_NOCOLLAPSE}));
}

TEST(DibCanvas, BackgroundIsStretchedOrTiled) {
  QImage picture(2, 1, QImage::Format_RGB32);
  picture.setPixel(0, 0, qRgb(255, 0, 0));
  picture.setPixel(1, 0, qRgb(0, 0, 255));
  TMMDIBCanvas canvas(nullptr);
  canvas.SetBounds(0, 0, 5, 2);
  canvas.SetBackGroundBitmap(picture);
  canvas.CreateHandle();
  auto row = [&](int y) {
    std::string s;
    for (int x = 0; x < 5; ++x) {
      const TColor c = canvas.BackGround()->Pixel(x, y);
      s += c == clRed ? 'R' : c == clBlue ? 'B' : '?';
    }
    return s;
  };
  EXPECT_EQ(row(0), "RRRBB");  // source pixel x * 2 / 5
  EXPECT_EQ(row(1), "RRRBB");
  canvas.SetStretchBackGround(false);
  EXPECT_EQ(row(0), "RBRBR");
  EXPECT_EQ(row(1), "RBRBR");
  canvas.SetBackGroundBitmap(QImage());
  EXPECT_EQ(canvas.BackGround(), nullptr);
}

TEST(DibCanvas, AnimatedColoursHaveTheirOwnEntriesAndChangeInPlace) {
  TMMDIBCanvas canvas(nullptr);
  canvas.SetBitsPerPixel(8);
  for (int bad : {-1, 237}) EXPECT_THROW(canvas.SetAnimatedColors(bad), EMMDIBError);
  canvas.SetAnimatedColors(3);
  EXPECT_EQ(canvas.FirstAnimatedIndex(), 243);
  const auto& entries = canvas.Palette()->Entries();
  EXPECT_EQ(entries[242].peFlags, PC_NOCOLLAPSE);
  EXPECT_EQ(entries[243].peFlags, 0);
  auto rgb = [&](size_t i) { return RGB(entries[i].peRed, entries[i].peGreen, entries[i].peBlue); };
  for (size_t i = 243; i < 246; ++i) {
    for (size_t j = 0; j < 256; ++j) {
      if (j == i) continue;
      EXPECT_NE(rgb(i), rgb(j)) << i << " repeats " << j;
    }
  }
  try {
    canvas.SetAnimatedColor(3, clRed);
    ADD_FAILURE();
  } catch (const EMMDIBError& e) {
    EXPECT_STREQ(e.what(), "Invalidate animated color index");
  }
  // Inside a bracket the change waits for the outermost end.
  canvas.BeginAnimation();
  canvas.BeginAnimation();
  canvas.SetAnimatedColor(1, clYellow);
  canvas.EndAnimation();
  EXPECT_NE(canvas.Surface()->ColorTable()[244], (RGBQUAD{0, 255, 255, 0}));
  canvas.EndAnimation();
  EXPECT_EQ(canvas.Surface()->ColorTable()[244], (RGBQUAD{0, 255, 255, 0}));
  EXPECT_EQ(canvas.Palette()->Entries()[244].peRed, 255);
}

}  // namespace
