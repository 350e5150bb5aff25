// The needle meter as the window dresses it: on each of the three faces, fed sines of known
// levels, the drawn needle ends where the law puts it, and a sine whose peak is the reference
// level rests on the 0 VU mark. The grabs are saved for a person to look at.
#include "instruments/vu_meter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "resources/skin.h"

namespace {

namespace fs = std::filesystem;

// A skin image in its stored form: width and height (16-bit little endian), then blue, green,
// red and alpha bytes per pixel, bottom row first.
QImage StoredImage(std::span<const uint8_t> data) {
  const int w = data[0] | data[1] << 8, h = data[2] | data[3] << 8;
  QImage image(w, h, QImage::Format_RGB32);
  const uint8_t* p = data.data() + 4;
  for (int y = h - 1; y >= 0; --y)
    for (int x = 0; x < w; ++x, p += 4) image.setPixel(x, y, qRgb(p[2], p[1], p[0]));
  return image;
}

// The meter as the window sets it up: 190 x 110, no bevel, the left channel of 16-bit
// stereo, 1000 frames per update, VU mode against -16 dB.
void DressAsWindow(TMMMeter& meter, const QImage& face) {
  meter.Bevel()->SetBevelOuter(bvNone);
  meter.SetBounds(0, 0, 190, 110);
  meter.SetCaption("VU");
  meter.SetFont(TGdiFont{"DejaVu Sans", 11, true, false, clBlack});
  meter.SetNeedleColor(clBlack);
  meter.Law().SetBitLength(b16Bit);
  meter.Law().SetChannel(chLeft);
  meter.Law().SetMode(mStereo);
  meter.Law().SetSamples(1000);
  meter.Law().SetDecayMode(dmExponential);
  meter.Law().SetDecay(7);
  meter.SetShowPeak(false);
  meter.SetBackGroundDIB(face);
  meter.SetMeterMode(mmVU);
  meter.SetRefLevel(-16.0);
  meter.SetShowRefLevel(true);
}

// 1000 frames of 16-bit stereo: a 1 kHz sine at 48 kHz whose peak is `peakDb` dBFS on the
// left, silence on the right.
std::vector<int16_t> Sine(double peakDb) {
  std::vector<int16_t> frames(2000, 0);
  const double amplitude = 32767.0 * std::pow(10.0, peakDb / 20.0);
  for (int i = 0; i < 1000; ++i)
    frames[size_t(2 * i)] =
        int16_t(std::lround(amplitude * std::sin(2 * std::numbers::pi * 1000.0 * i / 48000.0)));
  return frames;
}

// Whether a pixel of `color` lies within one pixel of `at`.
bool Near(const QImage& image, TMMMeterPoint at, QRgb color) {
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const QPoint p(at.X + dx, at.Y + dy);
      if (image.rect().contains(p) && (image.pixel(p) | 0xFF000000) == (color | 0xFF000000))
        return true;
    }
  return false;
}

struct FaceCase {
  int Face;
  const char* Name;
  double PeakDb;  // the sine's peak, which reads PeakDb + 16 VU
  int Mark;       // the VU mark it settles on
};

TEST(VUMeter, NeedleEndsWhereTheLawPutsItOnEachFace) {
  // -7, 0 and +2 VU: left of centre, the 0 mark, into the overload arc.
  const FaceCase cases[] = {
      {0, "blue", -23.0, 14}, {1, "orange", -16.0, 21}, {2, "yellow", -14.0, 23}};
  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  for (const FaceCase& c : cases) {
    SCOPED_TRACE(c.Name);
    QWidget parent;
    parent.resize(190, 110);
    TMMMeter meter(nullptr, &parent);
    DressAsWindow(meter, StoredImage(SkinMeterFaces()[size_t(c.Face)].Data));
    parent.show();
    ASSERT_TRUE(meter.isVisible());
    const std::vector<int16_t> sine = Sine(c.PeakDb);
    for (int i = 0; i < 300; ++i) meter.RefreshPCMData(sine.data());

    const TMMMeterGeometry G = meter.Geometry();
    EXPECT_NEAR(meter.NeedleAngle(), VUMarkAngle(c.Mark, 90), 0.005);
    const QImage grab = meter.Picture();
    grab.save(QString::fromStdString(
        (artefacts / (std::string("vu-meter-") + c.Name + ".png")).string()));
    ASSERT_EQ(grab.size(), QSize(190, 110));
    // The needle's end, on the scale radius, and a point halfway down it are black; the
    // mirror image of the end (across the centre line) is not.
    const double angle = meter.NeedleAngle();
    EXPECT_TRUE(Near(grab, PointAtAngle(G, angle, G.Radius - 1), qRgb(0, 0, 0)));
    EXPECT_TRUE(Near(grab, PointAtAngle(G, angle, G.Radius - 30), qRgb(0, 0, 0)));
    const TMMMeterPoint mirror = PointAtAngle(G, std::numbers::pi / 2 - angle, G.Radius - 1);
    if (std::abs(mirror.X - G.Pivot.X) > 3) {
      EXPECT_FALSE(Near(grab, mirror, qRgb(0, 0, 0)));
    }
    // The scale is drawn: the -20 tick's outer end in navy, the +3 tick's in maroon.
    EXPECT_TRUE(
        Near(grab, PointAtAngle(G, VUMarkAngle(1, 90), G.Radius - 3), ToQColor(clNavy).rgb()));
    EXPECT_TRUE(
        Near(grab, PointAtAngle(G, VUMarkAngle(24, 90), G.Radius - 3), ToQColor(clMaroon).rgb()));
  }
}

TEST(VUMeter, SineAtTheReferenceLevelRestsOnZero) {
  QWidget parent;
  parent.resize(190, 110);
  TMMMeter meter(nullptr, &parent);
  DressAsWindow(meter, StoredImage(SkinMeterFaces()[2].Data));
  parent.show();
  int overflows = 0;
  meter.OnGainOverflow = [&] { ++overflows; };
  const std::vector<int16_t> sine = Sine(-16.0);
  for (int i = 0; i < 300; ++i) meter.RefreshPCMData(sine.data());
  EXPECT_EQ(overflows, 0);
  // 0 VU lies at 10^(-3/20) of the arc.
  EXPECT_NEAR(meter.NeedleAngle() / (std::numbers::pi / 2), 0.708, 0.002);
  const TMMMeterGeometry G = meter.Geometry();
  const QImage grab = meter.Picture();
  // On the drawing the needle runs through the 0 mark's tick.
  const TMMTickSpan tick = TickSpan(G.Radius, soInner, true, 4, 8);
  EXPECT_TRUE(Near(grab, PointAtAngle(G, VUMarkAngle(21, 90), tick.Inner), qRgb(0, 0, 0)));
  EXPECT_TRUE(Near(grab, PointAtAngle(G, VUMarkAngle(21, 90), G.Radius - 1), qRgb(0, 0, 0)));

  // A full-scale sine goes past +3: the overflow fires and the needle rests at the right end.
  const std::vector<int16_t> loud = Sine(0.0);
  for (int i = 0; i < 300; ++i) meter.RefreshPCMData(loud.data());
  EXPECT_GT(overflows, 0);
  EXPECT_NEAR(meter.NeedleAngle(), std::numbers::pi / 2, 1e-9);

  // Hidden, the meter takes no data: the needle stays.
  meter.hide();
  const std::vector<int16_t> quiet = Sine(-40.0);
  for (int i = 0; i < 50; ++i) meter.RefreshPCMData(quiet.data());
  EXPECT_NEAR(meter.NeedleAngle(), std::numbers::pi / 2, 1e-9);
}

// A device worker hands the data over: the needle is drawn on that thread while the main
// thread paints the control, and the screen ends up showing where the needle came to rest.
TEST(VUMeter, DataFromAWorkerThreadReachTheScreen) {
  QWidget parent;
  parent.resize(190, 110);
  TMMMeter meter(nullptr, &parent);
  DressAsWindow(meter, StoredImage(SkinMeterFaces()[0].Data));
  parent.show();
  meter.Picture();
  std::atomic<bool> done{false};
  std::thread worker([&] {
    const std::vector<int16_t> loud = Sine(-16.0), quiet = Sine(-30.0);
    for (int i = 0; i < 400; ++i)
      meter.RefreshPCMData(i < 100 && i % 2 ? quiet.data() : loud.data());
    done = true;
  });
  QElapsedTimer timer;
  timer.start();
  while (!done && timer.elapsed() < 20000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    meter.Picture();
  }
  worker.join();
  ASSERT_TRUE(done);
  EXPECT_NEAR(meter.NeedleAngle(), VUMarkAngle(21, 90), 0.005);
  const TMMMeterGeometry G = meter.Geometry();
  EXPECT_TRUE(
      Near(meter.Picture(), PointAtAngle(G, VUMarkAngle(21, 90), G.Radius - 1), qRgb(0, 0, 0)));
}

}  // namespace
