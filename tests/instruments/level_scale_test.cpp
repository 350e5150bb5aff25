// The level scale on a window: the window's -30 ... 0 dB labels under the bars, -5 and 0 in
// red, with the real font; tick rows in their zone colours and the 3-D style; a scale asked to
// draw without a canvas.
#include "instruments/level_scale.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "tests/instruments/instrument_test_util.h"

namespace {

namespace fs = std::filesystem;
using instrumenttest::Rgb;

// The window's scale: 200 x 7, "Small Fonts" of 8 pixels, ticks of the window's settings but
// not shown.
void DressAsWindow(TMMLevelScale& Scale) {
  Scale.SetFont(TGdiFont{"Small Fonts", 8});
  Scale.Scale()->SetTickCount(11);
  Scale.Scale()->SetEnlargeEvery(5);
  Scale.Scale()->SetSize(7);
  Scale.Scale()->SetOrigin(soInner);
  Scale.Scale()->SetConnect(false);
}

// Text is smoothed: a pixel counts as red or white by its hue, not its exact value.
bool Reddish(QRgb p) {
  return qRed(p) > 96 && qGreen(p) < qRed(p) / 2 && qBlue(p) < qRed(p) / 2;
}
bool Whitish(QRgb p) {
  return std::min({qRed(p), qGreen(p), qBlue(p)}) > 96;
}

// The columns in which a pixel of a kind occurs.
std::vector<int> Columns(const QImage& Image, bool (*Kind)(QRgb)) {
  std::vector<int> columns;
  for (int x = 0; x < Image.width(); ++x)
    for (int y = 0; y < Image.height(); ++y)
      if (Kind(Image.pixel(x, y))) {
        columns.push_back(x);
        break;
      }
  return columns;
}

}  // namespace

TEST(LevelScale, TheWindowsScaleReadsMinus30To0WithTheTopZoneInRed) {
  QWidget form;
  form.resize(220, 20);
  TMMLevelScale scale(nullptr, &form);
  DressAsWindow(scale);
  scale.SetBounds(1, 6, 200, 7);
  form.show();

  const std::vector<TMMScaleLabel> labels = scale.Labels();
  ASSERT_EQ(labels.size(), 7u);
  const int values[] = {0, -5, -10, -15, -20, -25, -30};
  const int anchors[] = {199, 171, 142, 114, 85, 57, 28};  // the bars' spot boundaries
  const int zones[] = {3, 3, 2, 2, 1, 1, 1};
  QImage probe(1, 1, QImage::Format_RGB32);
  TDeviceContext measure(&probe);
  measure.SetFont(TGdiFont{"Small Fonts", 8});
  for (size_t i = 0; i < labels.size(); ++i) {
    EXPECT_EQ(labels[i].Value, values[i]);
    EXPECT_EQ(labels[i].X + measure.TextExtent(labels[i].Text).width(), anchors[i])
        << labels[i].Text << " ends at its anchor";
    EXPECT_EQ(labels[i].Zone, zones[i]) << labels[i].Text;
  }

  const QImage picture = scale.Picture();
  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  picture.scaled(picture.size() * 4)
      .save(QString::fromStdString((artefacts / "level-scale-window.png").string()));

  // Red only within "-5" and "0"; white only within "-30" ... "-10"; nothing left of "-30".
  const std::vector<int> red = Columns(picture, Reddish);
  const std::vector<int> white = Columns(picture, Whitish);
  ASSERT_FALSE(red.empty());
  ASSERT_FALSE(white.empty());
  EXPECT_GE(red.front(), labels[1].X);
  EXPECT_LT(red.back(), 199);
  EXPECT_GE(white.front(), labels[6].X);
  EXPECT_LT(white.back(), 142);
  for (int x = 0; x < labels[6].X; ++x)
    for (int y = 0; y < picture.height(); ++y)
      ASSERT_EQ(picture.pixel(x, y), Rgb(clBlack)) << "\"-35\" is not drawn: " << x << "," << y;
  // The digits reach the text's middle rows: the labels are not clipped away.
  int lit = 0;
  for (int y = 2; y < 5; ++y)
    for (int x = labels[0].X; x < 199; ++x) lit += Reddish(picture.pixel(x, y));
  EXPECT_GT(lit, 2);
}

TEST(LevelScale, TickRowsInZoneColoursAndInThe3DStyle) {
  QWidget form;
  form.resize(220, 40);
  TMMLevelScale scale(nullptr, &form);
  DressAsWindow(scale);
  scale.SetScaleColor(1, clLime);
  scale.SetBounds(0, 0, 200, 30);
  scale.Scale()->SetVisible(true);
  form.show();

  // "0" is h0 wide on each side: the rows span -h0 - 1 .. 199 - h0, 11 ticks 20 apart, zone
  // limits 5 and 9 of 11 (91 and 164 pixels).
  QImage probe(1, 1, QImage::Format_RGB32);
  TDeviceContext measure(&probe);
  measure.SetFont(TGdiFont{"Small Fonts", 8});
  const int h0 = measure.TextExtent("0").width() / 2;
  QImage picture = scale.Picture();
  const struct {
    int Tick;
    TColor Color;
  } ticks[] = {{2, clLime}, {4, clLime}, {5, clWhite}, {8, clWhite}, {9, clRed}, {10, clRed}};
  for (const auto& t : ticks) {
    const int x = -h0 - 1 + 20 * t.Tick;
    // The top row stands on its bottom edge (next to the labels), the bottom row on its top.
    EXPECT_EQ(picture.pixel(x, 6), Rgb(t.Color)) << "top row, tick " << t.Tick;
    EXPECT_EQ(picture.pixel(x, 23), Rgb(t.Color)) << "bottom row, tick " << t.Tick;
    EXPECT_EQ(picture.pixel(x + 1, 6), Rgb(clBlack));
  }
  // Short ticks: half as long.
  EXPECT_EQ(picture.pixel(-h0 - 1 + 20, 4), Rgb(clLime));
  EXPECT_EQ(picture.pixel(-h0 - 1 + 20, 3), Rgb(clBlack));
  EXPECT_EQ(picture.pixel(-h0 - 1 + 100, 0), Rgb(clWhite)) << "every 5th is long";

  // Lowered: black, then white one pixel to the right, whatever the zones.
  scale.Scale()->SetStyle(stLowered);
  picture = scale.Picture();
  for (const auto& t : ticks) {
    const int x = -h0 - 1 + 20 * t.Tick;
    EXPECT_EQ(picture.pixel(x + 1, 7), Rgb(clWhite)) << "tick " << t.Tick;
  }

  // Hidden tick rows leave the labels alone, wherever ScalePos puts them.
  scale.Scale()->SetVisible(false);
  scale.SetScalePos(spAboveOrLeft);
  EXPECT_EQ(scale.Labels().size(), 7u);
  EXPECT_EQ(scale.Labels()[0].Y, (30 - measure.TextExtent("0").height()) / 2);
}

TEST(LevelScale, DrawingWithoutACanvasIsRefused) {
  TMMScale scale;
  try {
    scale.DrawScale(Rect(0, 0, 100, 7), true);
    FAIL() << "no error";
  } catch (const EMMScaleError& e) {
    EXPECT_STREQ(e.what(), "Canvas needed for this operation");
  }
  // Setters ignore equal values and report changes.
  int changes = 0;
  scale.OnChange = [&](TObject*) { ++changes; };
  scale.SetTickCount(11);
  scale.SetTickCount(1);  // at least 2
  EXPECT_EQ(scale.GetTickCount(), 2);
  scale.SetColor(clRed);
  TMMScale copy;
  copy.Assign(scale);
  EXPECT_EQ(copy.GetTickCount(), 2);
  EXPECT_EQ(copy.GetColor(), clRed);
  EXPECT_EQ(changes, 2);
}
