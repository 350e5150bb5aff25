#include "controls/dib_image_container.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <cstdlib>

#include "controls/dib_glyph_button.h"
#include "resources/skin.h"
#include "tests/controls/dib_test_support.h"

using namespace dibtest;

namespace {

constexpr uint32_t kRed = 0xFFFF0000, kGreen = 0xFF00FF00, kBlue = 0xFF0000FF, kBlack = 0xFF000000,
                   kWhite = 0xFFFFFFFF;

class ContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    list = new TDIBImageList(&form);
    container = new TDIBImageContainer(&form);
    container->SetColor(Qt::black);
    container->SetDIBImageList(list);
  }
  TComponent form{nullptr};
  TDIBImageList* list = nullptr;
  TDIBImageContainer* container = nullptr;
};

TEST_F(ContainerTest, CentresItsBackgroundTheRightWayUpOverItsColour) {
  // 10 x 4: top row red, bottom row green, blue between.
  TMemoryDIB& dib = list->Add().DIB;
  dib.SetSize(10, 4);
  Fill(dib, 0, 0, 10, 4, kBlue);
  Fill(dib, 0, 0, 10, 1, kRed);
  Fill(dib, 0, 3, 10, 1, kGreen);
  dib.Changed();
  container->IndexImage().SetDIBIndex(0);
  container->resize(21, 11);
  // x = 21 div 2 - 10 div 2 = 5, y = 11 div 2 - 4 div 2 = 3.
  const QImage shot = container->grab().toImage();
  EXPECT_EQ(shot.pixel(5, 3), kRed);
  EXPECT_EQ(shot.pixel(14, 3), kRed);
  EXPECT_EQ(shot.pixel(5, 4), kBlue);
  EXPECT_EQ(shot.pixel(5, 6), kGreen);
  EXPECT_EQ(shot.pixel(4, 3), kBlack);
  EXPECT_EQ(shot.pixel(15, 3), kBlack);
  EXPECT_EQ(shot.pixel(5, 2), kBlack);
  EXPECT_EQ(shot.pixel(5, 7), kBlack);

  // An index that names no image paints the colour alone.
  container->IndexImage().SetDIBIndex(5);
  EXPECT_EQ(PixelAt(*container, QPoint(5, 3)), kBlack);
}

TEST_F(ContainerTest, TilesFromTheTopLeftCorner) {
  TMemoryDIB& dib = list->Add().DIB;
  dib.SetSize(4, 3);
  Fill(dib, 0, 0, 4, 3, kBlue);
  dib.SetPixel(0, 0, kRed);
  dib.Changed();
  container->IndexImage().SetDIBIndex(0);
  container->SetTileMethod(tmTile);
  container->resize(10, 7);
  const QImage shot = container->grab().toImage();
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 10; ++x)
      EXPECT_EQ(shot.pixel(x, y), (x % 4 == 0 && y % 3 == 0) ? kRed : kBlue) << x << "," << y;
}

TEST_F(ContainerTest, ComposesItsControlsInOrderOverTheBackground) {
  TMemoryDIB& bg = list->Add().DIB;
  bg.SetSize(30, 12);
  Fill(bg, 0, 0, 30, 12, kWhite);
  bg.Changed();
  Strip(list->Add().DIB, 5, 8, 6);  // index 1
  container->IndexImage().SetDIBIndex(0);
  container->resize(30, 12);

  auto* below = new TDIBGlyphButton(&form);
  auto* above = new TDIBGlyphButton(&form);
  for (TDIBGlyphButton* b : {below, above}) {
    b->SetDIBImageList(list);
    b->SetNumGlyphs(5);
    b->Glyph().SetDIBIndex(1);
    b->SetParent(container);
  }
  below->SetBounds(2, 2, 8, 6);
  above->SetBounds(6, 4, 8, 6);
  above->SetDown(true);

  EXPECT_EQ(GlyphAt(*container, QPoint(3, 3)), 0);        // below, up
  EXPECT_EQ(GlyphAt(*container, QPoint(7, 5)), 4);        // overlap: above wins, down
  EXPECT_EQ(GlyphAt(*container, QPoint(13, 9)), 4);       // above alone
  EXPECT_EQ(PixelAt(*container, QPoint(20, 2)), kWhite);  // background around them
  EXPECT_EQ(container->ControlAt(QPoint(7, 5)), above);

  above->SetVisible(false);
  EXPECT_EQ(GlyphAt(*container, QPoint(7, 5)), 0);
  EXPECT_EQ(container->ControlAt(QPoint(7, 5)), below);
  EXPECT_EQ(PixelAt(*container, QPoint(13, 9)), kWhite);

  // A frame over the controls, then under them.
  container->SetDIBBorder({3, Qt::green});
  EXPECT_EQ(PixelAt(*container, QPoint(2, 2)), kGreen);
  container->SetBorderDrawPosition(bdUnderControls);
  EXPECT_EQ(GlyphAt(*container, QPoint(2, 2)), 0);

  // A destroyed control leaves the container.
  delete below;
  EXPECT_EQ(container->DIBControls(), (std::vector<TDIBControl*>{above}));
  EXPECT_EQ(PixelAt(*container, QPoint(5, 5)), kWhite);
}

TEST_F(ContainerTest, ControlsOutliveTheirContainer) {
  Strip(list->Add().DIB, 2, 4, 4);
  auto* button = new TDIBGlyphButton(&form);
  button->SetParent(container);
  delete container;
  EXPECT_EQ(button->Parent(), nullptr);
  button->SetDown(true);  // repaints nothing, and does not crash
  button->SetVisible(false);
}

// The images the window is built from, by index: name, width, height, glyphs.
const struct {
  const char* name;
  int width, height, glyphs;
  QPoint at;
} kSkin[] = {
    {"MeterPanelBG", 700, 450, 0, {}},       {"MoniLED", 120, 12, 3, {284, 303}},
    {"PlayLED", 120, 12, 3, {284, 290}},     {"RecLED", 120, 12, 3, {284, 277}},
    {"MoniBtnONOFF", 680, 57, 5, {12, 381}}, {"PlayBtnONOFF", 680, 57, 5, {406, 381}},
    {"RecBtnOnOFF", 680, 57, 5, {550, 381}}, {"StopBtnONOFF", 196, 41, 2, {289, 392}},
};

TEST(SkinTest, ImagesHaveTheSizesOfTheWindowLayout) {
  TComponent form(nullptr);
  auto* list = new TDIBImageList(&form);
  ASSERT_EQ(SkinImages().size(), std::size(kSkin));
  for (size_t i = 0; i < std::size(kSkin); ++i) {
    const TSkinImage& image = SkinImages()[i];
    EXPECT_STREQ(image.DisplayName, kSkin[i].name);
    EXPECT_EQ(image.Data.size(), 4u + 4u * kSkin[i].width * kSkin[i].height) << kSkin[i].name;
    TDIBImagesItem& item = list->Add(image.DisplayName, image.Data);
    EXPECT_EQ(item.DIB.Width(), kSkin[i].width) << kSkin[i].name;
    EXPECT_EQ(item.DIB.Height(), kSkin[i].height) << kSkin[i].name;
  }
  TMemoryDIB picture;
  picture.SetData(SkinPicture());
  EXPECT_EQ(picture.Width(), 67);
  EXPECT_EQ(picture.Height(), 64);

  // The window's layout: the background, the buttons and the lamps, all shown.
  auto* container = new TDIBImageContainer(&form);
  container->resize(700, 450);
  container->SetColor(Qt::black);
  container->SetDIBImageList(list);
  container->IndexImage().SetDIBIndex(0);
  std::vector<TDIBGlyphButton*> buttons;
  for (size_t i = 1; i < std::size(kSkin); ++i) {
    auto* b = new TDIBGlyphButton(&form);
    b->SetBounds(kSkin[i].at.x(), kSkin[i].at.y(), 1, 1);
    b->SetDIBImageList(list);
    b->SetNumGlyphs(kSkin[i].glyphs);
    b->Glyph().SetDIBIndex(int(i));
    b->SetParent(container);
    EXPECT_EQ(b->Width() * kSkin[i].glyphs, kSkin[i].width) << kSkin[i].name;
    EXPECT_EQ(b->Height(), kSkin[i].height) << kSkin[i].name;
    buttons.push_back(b);
  }
  // Recording: the record button down and its lamp lit, the others disabled.
  buttons[5]->SetDown(true);
  buttons[0]->SetEnabled(false);
  buttons[1]->SetEnabled(false);
  buttons[3]->SetEnabled(false);
  buttons[4]->SetEnabled(false);
  const QImage shot = container->grab().toImage();
  EXPECT_EQ(shot.size(), QSize(700, 450));
  // The lit record button differs from the same place drawn up.
  const QPoint recLamp(550 + 88, 381 + 42);
  const QRgb lit = shot.pixel(recLamp);
  buttons[5]->SetDown(false);
  EXPECT_NE(container->grab().toImage().pixel(recLamp), lit);

  // NEEDLEREC_SKIN_PREVIEW=file.png keeps the picture for a person to look at.
  if (const char* preview = std::getenv("NEEDLEREC_SKIN_PREVIEW")) {
    buttons[5]->SetDown(true);
    QImage full = container->grab().toImage();
    QPainter painter(&full);
    painter.drawImage(185, 374, picture.Image());
    painter.end();
    EXPECT_TRUE(full.save(preview));
  }
}

}  // namespace
