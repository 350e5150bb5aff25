// The instrument bases on the window: the base paint, the DIB paint cycle, and direct drawing
// from another thread, which reaches the screen through the main thread at most once a frame.
#include "instruments/graphic_control.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScreen>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "instruments/custom_panel.h"
#include "instruments/dib_graphic_control.h"
#include "instruments/dib_primitives.h"
#include "tests/instruments/instrument_test_util.h"

namespace {

using namespace std::chrono_literals;

using instrumenttest::ProcessUntil;
using instrumenttest::Rgb;

// A bar that lights its first `Lit` columns green, and counts its paint events.
class TTestBar : public TMMDIBGraphicControl {
 public:
  using TMMDIBGraphicControl::TMMDIBGraphicControl;
  std::atomic<int> Lit{0};
  std::atomic<int> Paints{0};
  std::atomic<int> Draws{0};     // surface passes
  std::atomic<int> Presents{0};  // block copies of a directly drawn surface to the picture

 protected:
  void DrawContent() override {
    ++Draws;
    DIBCanvas()->DIB_SetTColor(clLime);
    DIB_FillRect(Rect(0, 0, Lit, DIBCanvas()->Height()));
  }
  void paintEvent(QPaintEvent* event) override {
    ++Paints;
    TMMDIBGraphicControl::paintEvent(event);
  }
  void PresentOffScreen() override {
    ++Presents;
    TMMDIBGraphicControl::PresentOffScreen();
  }
};

TEST(GraphicControl, BasePaintsTheBevelAndFillsTheInside) {
  QWidget parent;
  TMMGraphicControl control(nullptr, &parent);
  control.SetBounds(0, 0, 10, 6);
  control.SetColor(clRed);
  EXPECT_EQ(control.BevelExtend(), 1);
  EXPECT_EQ(control.InnerRect(), Rect(1, 1, 9, 5));
  QImage picture = control.Picture();
  EXPECT_EQ(picture.pixel(0, 0), Rgb(clBtnShadow));  // lowered: dark top-left
  EXPECT_EQ(picture.pixel(9, 5), Rgb(clBtnHighlight));
  EXPECT_EQ(picture.pixel(5, 3), Rgb(clRed));
  // A bevel change repaints.
  control.Bevel()->SetBevelOuter(bvNone);
  EXPECT_EQ(control.InnerRect(), Rect(0, 0, 10, 6));
  EXPECT_EQ(control.Picture().pixel(0, 0), Rgb(clRed));
  EXPECT_EQ(control.ClassName(), "TMMGraphicControl");
}

TEST(GraphicControl, PanelsGiveTheirChildrenTheAreaInsideTheBevel) {
  TMMCustomPanel panel(nullptr);
  panel.Bevel()->SetBorderWidth(2);
  EXPECT_EQ(panel.contentsMargins(), QMargins(3, 3, 3, 3));
  EXPECT_EQ(panel.contentsRect().topLeft(), QPoint(3, 3));
}

TEST(DibGraphicControl, PaintCycleCopiesTheSurfaceIntoTheBevel) {
  QWidget parent;
  TTestBar bar(nullptr, &parent);
  bar.SetColor(clNavy);
  bar.Bevel()->SetBevelOuterWidth(2);
  bar.SetBounds(5, 5, 12, 7);
  // The surface is the drawing area: the control shrunk by the bevel.
  EXPECT_EQ(bar.DIBCanvas()->Width(), 8);
  EXPECT_EQ(bar.DIBCanvas()->Height(), 3);
  bar.Lit = 3;
  for (int bits : {24, 8}) {
    bar.SetBitsPerPixel(bits);
    const QImage picture = bar.Picture();
    EXPECT_EQ(picture.pixel(1, 1), Rgb(clBtnShadow)) << bits;
    EXPECT_EQ(picture.pixel(2, 2), Rgb(clLime)) << bits;  // surface (0, 0)
    EXPECT_EQ(picture.pixel(4, 4), Rgb(clLime)) << bits;
    EXPECT_EQ(picture.pixel(5, 4), Rgb(clNavy)) << bits;
    EXPECT_EQ(picture.pixel(9, 4), Rgb(clNavy)) << bits;
    EXPECT_EQ(picture.pixel(10, 4), Rgb(clBtnHighlight)) << bits;
  }
  EXPECT_TRUE(bar.DIBCanvas()->Idle());
}

TEST(DibGraphicControl, BackgroundPictureIsUsedOnlyWhenSwitchedOn) {
  QImage picture(1, 1, QImage::Format_RGB32);
  picture.fill(qRgb(0, 128, 0));
  TTestBar bar(nullptr);
  bar.Bevel()->SetBevelOuter(bvNone);
  bar.SetColor(clMaroon);
  bar.SetBounds(0, 0, 4, 2);
  bar.SetBackGroundDIB(picture);
  EXPECT_FALSE(bar.UseBackGroundDIB());
  EXPECT_EQ(bar.GetPalette(), nullptr);
  EXPECT_EQ(bar.Picture().pixel(3, 1), Rgb(clMaroon));
  bar.SetUseBackGroundDIB(true);
  EXPECT_TRUE(bar.PaletteRealize());
  EXPECT_NE(bar.GetPalette(), nullptr);
  EXPECT_EQ(bar.Picture().pixel(3, 1), Rgb(clGreen));
  // In design state the picture itself switches the background on and off.
  bar.ChangeDesigning(true);
  bar.SetBackGroundDIB(QImage());
  EXPECT_FALSE(bar.UseBackGroundDIB());
  EXPECT_FALSE(bar.PaletteRealize());
  EXPECT_EQ(bar.Picture().pixel(3, 1), Rgb(clMaroon));
  bar.SetBackGroundDIB(picture);
  EXPECT_TRUE(bar.UseBackGroundDIB());
  // While a layout loads the switch is held until Loaded.
  TTestBar loading(nullptr);
  loading.BeginLoading();
  loading.SetBackGroundDIB(picture);
  loading.SetUseBackGroundDIB(true);
  EXPECT_FALSE(loading.UseBackGroundDIB());
  loading.Loaded();
  EXPECT_TRUE(loading.UseBackGroundDIB());
  EXPECT_TRUE(loading.PaletteRealize());
}

TEST(DibGraphicControl, DirectDrawingFromAnotherThreadReachesTheScreenAtTheFrameRate) {
  QWidget parent;
  parent.resize(60, 20);
  TTestBar bar(nullptr, &parent);
  bar.SetBounds(0, 0, 52, 10);
  parent.show();
  ASSERT_TRUE(ProcessUntil([&] { return bar.Paints > 0; }));
  const int paintsBefore = bar.Paints, drawsBefore = bar.Draws;

  // About a thousand hand-overs a second for a third of a second, each redrawing the bar.
  std::atomic<bool> done{false};
  QElapsedTimer elapsed;
  elapsed.start();
  std::thread feeder([&] {
    for (int i = 1; i <= 50; ++i) {
      for (int j = 0; j < 6; ++j) {
        bar.Lit = i;
        bar.DrawSurfaceDirect();
        std::this_thread::sleep_for(1ms);
      }
    }
    done = true;
  });
  ProcessUntil([&] { return done.load(); });
  feeder.join();
  ASSERT_TRUE(ProcessUntil([&] { return bar.grab().toImage().pixel(50, 5) == Rgb(clLime); }));
  const double frameMs = 1000.0 / parent.screen()->refreshRate();
  const int paints = bar.Paints - paintsBefore;
  EXPECT_GE(paints, 1);
  // One paint per frame at most (the grab adds its own), however many hand-overs there were.
  EXPECT_LE(paints, int(double(elapsed.elapsed()) / frameMs) + 3) << elapsed.elapsed() << " ms";
  EXPECT_LT(paints, 300);
  // The surface was drawn for every hand-over; it was copied to the picture once per paint.
  EXPECT_GE(bar.Draws - drawsBefore, 300);
  EXPECT_LE(bar.Presents, paints);
}

TEST(DibGraphicControl, DirectDrawingSkipsHiddenControls) {
  QWidget parent;
  TTestBar bar(nullptr, &parent);
  bar.SetBounds(0, 0, 10, 10);
  int calls = 0;
  bar.DrawDirect(
      false, [&](void*, bool) { ++calls; }, nullptr);
  EXPECT_EQ(calls, 0);  // the parent has never been shown
  parent.show();
  ASSERT_TRUE(ProcessUntil([&] { return bar.Paints > 0; }));
  bar.DrawDirect(
      true,
      [&](void* data, bool flag) {
        ++calls;
        EXPECT_TRUE(flag);
        EXPECT_EQ(data, &calls);
        EXPECT_NE(bar.Canvas(), nullptr);
      },
      &calls);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(bar.Canvas(), nullptr);
  bar.hide();
  bar.DrawDirect(
      false, [&](void*, bool) { ++calls; }, nullptr);
  EXPECT_EQ(calls, 1);
}

TEST(DibGraphicControl, InvalidateFromAnotherThreadRepaintsOnTheMainThread) {
  QWidget parent;
  TTestBar bar(nullptr, &parent);
  bar.SetBounds(0, 0, 10, 4);
  parent.show();
  ASSERT_TRUE(ProcessUntil([&] { return bar.Paints > 0; }));
  const int before = bar.Paints;
  bar.Lit = 8;
  std::thread([&] { bar.Invalidate(); }).join();
  ASSERT_TRUE(ProcessUntil([&] { return bar.Paints > before; }));
  EXPECT_EQ(bar.Picture().pixel(8, 2), Rgb(clLime));
}

}  // namespace
