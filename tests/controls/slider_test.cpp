#include "controls/slider.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/controls/dib_test_support.h"

namespace fs = std::filesystem;
using namespace dibtest;

namespace {

// The mouse moved with the left button held.
void Drag(QWidget& widget, QPoint pos) {
  QMouseEvent event(QEvent::MouseMove, QPointF(pos), widget.mapToGlobal(QPointF(pos)), Qt::NoButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
}

// A slider that writes down its events in order: "change 5", "track", "end".
class SliderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    slider.OnChange = [this](TObject* sender) {
      EXPECT_EQ(sender, &slider);
      log.push_back("change " + std::to_string(slider.Position()));
    };
    slider.OnTrack = [this](TObject*) { log.push_back("track"); };
    slider.OnTrackEnd = [this](TObject*) { log.push_back("end"); };
  }
  std::vector<std::string> Take() { return std::exchange(log, {}); }
  using Log = std::vector<std::string>;

  TMMSlider slider{nullptr};
  Log log;
};

TEST_F(SliderTest, PositionFiresChangeWhenTheValueAskedForDiffers) {
  slider.SetMaxValue(20);
  const struct {
    int asked, position;
    bool fires;
  } steps[] = {{1, 1, true},   {1, 1, false},   {0, 0, true}, {0, 0, false},
               {50, 20, true}, {20, 20, false}, {0, 0, true}, {-5, 0, true}};
  for (const auto& s : steps) {
    slider.SetPosition(s.asked);
    EXPECT_EQ(slider.Position(), s.position) << s.asked;
    EXPECT_EQ(Take().size(), s.fires ? 1u : 0u) << s.asked;
  }
  // Narrowed bounds pull the position in and say so.
  slider.SetPosition(15);
  Take();
  slider.SetMaxValue(10);
  EXPECT_EQ(Take(), Log{"change 10"});
}

TEST_F(SliderTest, NoEventsWhileLoading) {
  slider.BeginLoading();
  slider.SetMaxValue(20);
  slider.SetPageSize(1);
  slider.SetPosition(7);
  slider.SetPosition(50);
  slider.Loaded();
  EXPECT_EQ(slider.Position(), 20);
  EXPECT_TRUE(Take().empty());
}

TEST_F(SliderTest, LogarithmicPositionReadsOffTheTrack) {
  slider.SetMaxValue(20);
  slider.SetLogarithmic(true);
  slider.SetPosition(10);  // -6 dB of a 24 dB track
  EXPECT_EQ(slider.Model().Raw(), 15);
  EXPECT_EQ(slider.Position(), 10);
  EXPECT_EQ(Take(), Log{"change 10"});
}

TEST_F(SliderTest, KeysStepAndTrack) {
  slider.SetMaxValue(20);
  slider.SetPageSize(1);
  Key(slider, Qt::Key_Right);
  EXPECT_EQ(Take(), (Log{"change 1", "track", "end"}));
  Key(slider, Qt::Key_PageUp);
  Key(slider, Qt::Key_Up);
  EXPECT_EQ(Take(), (Log{"change 2", "track", "end", "change 3", "track", "end"}));
  Key(slider, Qt::Key_End);
  EXPECT_EQ(slider.Position(), 20);
  Take();
  // At the top the keys that go up change nothing, so they neither fire nor track.
  Key(slider, Qt::Key_Right);
  Key(slider, Qt::Key_PageUp);
  Key(slider, Qt::Key_End);
  EXPECT_TRUE(Take().empty());
  Key(slider, Qt::Key_Home);
  EXPECT_EQ(Take(), (Log{"change 0", "track", "end"}));
  Key(slider, Qt::Key_Left);
  Key(slider, Qt::Key_A, "a");
  EXPECT_TRUE(Take().empty());
}

// The default slider, 200 x 40, 0..10: a bevel 6 deep, a thumb of 11 x 23 whose left edge
// travels 177 pixels, from x = 6 to x = 183, rows 8 to 30.
TEST_F(SliderTest, MouseMovesThePositionAndDragsTheThumb) {
  EXPECT_EQ(slider.ThumbRect(), Rect(6, 8, 17, 31));
  // Pressed off the thumb: the thumb comes centred under the mouse.
  Mouse(slider, QEvent::MouseButtonPress, QPoint(190, 20));
  EXPECT_EQ(slider.Position(), 10);
  EXPECT_EQ(slider.ThumbRect(), Rect(183, 8, 194, 31));
  Drag(slider, QPoint(100, 35));  // left edge at 95: 89 of 177
  EXPECT_EQ(slider.Position(), 5);
  Drag(slider, QPoint(-50, 20));
  EXPECT_EQ(slider.Position(), 0);
  Mouse(slider, QEvent::MouseButtonRelease, QPoint(-50, 20));
  EXPECT_EQ(Take(), (Log{"change 10", "track", "change 5", "change 0", "end"}));

  // Taken at its right edge, the thumb keeps that grip: its left edge follows 10 pixels back.
  Mouse(slider, QEvent::MouseButtonPress, QPoint(16, 12));
  Drag(slider, QPoint(16 + 124, 12));  // left edge at 130: 124 of 177
  EXPECT_EQ(slider.Position(), 7);
  EXPECT_EQ(slider.ThumbRect().Left, 6 + 124);
  Mouse(slider, QEvent::MouseButtonRelease, QPoint(140, 12));
  EXPECT_EQ(Take(), (Log{"track", "change 7", "end"}));

  // Other buttons do nothing; moving without a press neither.
  Mouse(slider, QEvent::MouseButtonPress, QPoint(20, 20), Qt::RightButton);
  Mouse(slider, QEvent::MouseMove, QPoint(20, 20));
  EXPECT_EQ(slider.Position(), 7);
  EXPECT_TRUE(Take().empty());
}

TEST_F(SliderTest, VerticalTrackRisesFromTheBottom) {
  slider.SetOrientation(orVertical);
  EXPECT_EQ(slider.size(), QSize(40, 200));
  EXPECT_EQ(slider.ThumbRect(), Rect(8, 183, 31, 194));
  Mouse(slider, QEvent::MouseButtonPress, QPoint(20, 10));
  Mouse(slider, QEvent::MouseButtonRelease, QPoint(20, 10));
  EXPECT_EQ(slider.Position(), 10);
  EXPECT_EQ(slider.ThumbRect(), Rect(8, 6, 31, 17));
  Key(slider, Qt::Key_Down);
  EXPECT_EQ(slider.Position(), 9);
  Key(slider, Qt::Key_End);
  EXPECT_EQ(slider.Position(), 0);
}

// Whether the thumb's black frame stands at column x, over its rows.
bool ThumbEdgeAt(const QImage& picture, int x, int top, int bottom) {
  for (int y = top; y < bottom; ++y)
    if (picture.pixel(x, y) != qRgb(0, 0, 0)) return false;
  return true;
}

// The slider as the window holds it, and a larger one with a scale on a plate of the
// window's silver, kept for a person to look at.
TEST(SliderPicture, TheWindowsSliderAndAScaledOne) {
  TMMSlider small(nullptr);
  small.resize(105, 21);
  small.SetMaxValue(20);
  small.SetPageSize(1);
  small.SetGrooveSize(1);
  small.SetThumbWidth(10);
  small.SetThumbHeight(10);
  small.SetScaleDistance(2);
  small.Groove()->SetBevelOuter(bvLowered);
  TMMScale* scale = small.Scale();
  scale->SetVisible(true);
  scale->SetColor(clBlack);
  scale->SetTickCount(5);
  scale->SetEnlargeEvery(2);
  scale->SetSize(5);
  scale->SetOrigin(soInner);
  scale->SetConnect(true);
  small.SetPosition(10);

  // The thumb's left edge travels 83 pixels from x = 6; at 10 of 20 it is 42 along.
  const TRect thumb = small.ThumbRect();
  EXPECT_EQ(thumb.Left, 6 + 42);
  const QImage middle = small.grab().toImage();
  EXPECT_TRUE(ThumbEdgeAt(middle, thumb.Left, std::max(thumb.Top, 6), thumb.Bottom - 1));
  EXPECT_TRUE(ThumbEdgeAt(middle, thumb.Right - 1, std::max(thumb.Top, 6), thumb.Bottom - 1));
  small.SetPosition(20);
  const QImage end = small.grab().toImage();
  EXPECT_FALSE(ThumbEdgeAt(end, thumb.Left, std::max(thumb.Top, 6), thumb.Bottom - 1));
  EXPECT_TRUE(ThumbEdgeAt(end, 6 + 83, std::max(thumb.Top, 6), thumb.Bottom - 1));

  TMMSlider large(nullptr);
  large.resize(220, 52);
  large.SetColor(RGB(196, 198, 200));
  large.Bevel()->SetBorderColor(RGB(196, 198, 200));
  large.SetMaxValue(20);
  large.SetThumbHeight(17);
  large.SetScaleDistance(4);
  large.SetScale(*small.Scale());
  large.Scale()->SetTickCount(11);
  large.Scale()->SetEnlargeEvery(5);
  large.SetPosition(13);
  const QImage picture = large.grab().toImage();
  // Ticks below the groove: the long ones at both ends of the thumb's travel.
  const TRect at13 = large.ThumbRect();
  EXPECT_EQ(picture.pixel(at13.Left + 5, (at13.Top + at13.Bottom) / 2), qRgb(128, 128, 128))
      << "the grip line";

  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  small.SetPosition(10);
  const QImage window = small.grab().toImage();
  window.scaled(window.size() * 4)
      .save(QString::fromStdString((artefacts / "slider-window.png").string()));
  picture.scaled(picture.size() * 3)
      .save(QString::fromStdString((artefacts / "slider-scale.png").string()));
}

}  // namespace
