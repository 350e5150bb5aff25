// The level bar on a window: the spots, the unlit image and the held peak at known levels,
// the orientations, the enabled and visible states, and direct drawing that reaches the screen
// at most once a display frame however often the data come.
#include "instruments/level_bar.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QElapsedTimer>
#include <QScreen>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "stream/wave_format.h"
#include "tests/instruments/instrument_test_util.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using instrumenttest::ProcessUntil;
using instrumenttest::Rgb;

// 50 frames of 16-bit stereo: the left channel at ±Left, the right one at ±Right.
std::vector<int16_t> Stereo(int Left, int Right) {
  std::vector<int16_t> data;
  for (int i = 0; i < 50; ++i) {
    const int sign = i % 2 ? -1 : 1;
    data.push_back(int16_t(sign * Left));
    data.push_back(int16_t(sign * Right));
  }
  return data;
}

// The amplitude of a level in dBFS.
int Amplitude(double Db) {
  return int(std::lround(32767 * std::pow(10.0, Db / 20)));
}

// A bar that counts the paint events that reach the screen.
class TCountingLevel : public TMMLevel {
 public:
  using TMMLevel::TMMLevel;
  std::atomic<int> Paints{0};

 protected:
  void paintEvent(QPaintEvent* event) override {
    ++Paints;
    TMMLevel::paintEvent(event);
  }
};

// The left bar of the window: 200 x 8 without a bevel, spots of 2 with a gap of 1 (67 spots,
// zones above 33 and 56), cream lit spots, silver dotted unlit ones and a red top zone.
constexpr TColor kCream = RGB(255, 251, 240);

void MakeWindowBar(TMMLevel& Bar) {
  Bar.Bevel()->SetBevelOuter(bvNone);
  Bar.SetBounds(0, 0, 200, 8);
  Bar.SetSpotWidth(2);
  Bar.SetBarColor(1, kCream);
  Bar.SetBarColor(2, kCream);
  Bar.SetInactiveColor(1, clSilver);
  Bar.SetInactiveColor(2, clSilver);
  Bar.SetInactiveColor(3, clRed);
  Bar.SetInactiveDoted(true);
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 16, 2, 44100);
  Bar.SetPWaveFormat(&format);
  Bar.SetChannel(chLeft);
}

TEST(LevelBar, GrabAtKnownLevelsShowsTheLitSpotsTheUnlitImageAndThePeak) {
  QWidget parent;
  parent.resize(220, 20);
  TCountingLevel bar(nullptr, &parent);
  MakeWindowBar(bar);
  bar.SetPeakDelay(50);  // held 101 ticks, about 2.5 s: long enough to be seen here
  parent.show();
  ASSERT_TRUE(ProcessUntil([&] { return bar.Paints > 0; }));
  ASSERT_EQ(bar.GetNumBytes(), 200);

  // -3 dBFS lights 61 spots and leaves the peak there; -10 dBFS then lights 48. The right
  // channel is loud and must not count.
  const std::vector<int16_t> loud = Stereo(Amplitude(-3), 32767);
  const std::vector<int16_t> quiet = Stereo(Amplitude(-10), 32767);
  bar.RefreshPCMData(loud.data());
  bar.RefreshPCMData(quiet.data());
  ASSERT_EQ(bar.GetCount(), 48);
  ASSERT_EQ(bar.GetPeak(), 61);
  const QImage picture = bar.Picture();
  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  picture.scaled(picture.size() * 4)
      .save(QString::fromStdString((artefacts / "level-bar-48-peak-61.png").string()));

  struct Probe {
    int X, Y;
    TColor Color;
    const char* What;
  };
  const Probe probes[] = {
      {0, 0, kCream, "spot 1"},
      {141, 0, kCream, "spot 48, the last lit one, left column"},
      {142, 7, kCream, "spot 48, right column, bottom row"},
      {143, 3, clBlack, "the gap after spot 48"},
      {144, 0, clSilver, "spot 49, the first unlit one: a dot"},
      {144, 1, clBlack, "spot 49: between the dots"},
      {145, 0, clBlack, "spot 49: between the dots"},
      {147, 2, clSilver, "spot 50: a dot"},
      {177, 0, clRed, "spot 60, unlit in the top zone: a dot"},
      {177, 1, clBlack, "spot 60: between the dots"},
      {180, 1, clRed, "spot 61, the peak: solid"},
      {181, 6, clRed, "spot 61, the peak: solid"},
      {183, 1, clBlack, "spot 62, unlit: between the dots"},
      {199, 7, clBlack, "the last column, the gap after spot 67"},
  };
  for (const Probe& p : probes)
    EXPECT_EQ(picture.pixel(p.X, p.Y), Rgb(p.Color)) << p.What << " at " << p.X << "," << p.Y;
  // The held peak reads as the level that lights 61 spots.
  EXPECT_EQ(bar.GetPeakPercent(), 70);
}

TEST(LevelBar, KindDirectionAndInvertPlaceTheSpots) {
  // 31 pixels long, spots of 2 with a gap of 1: 10 spots, a margin of 1, zones above 5 and 8.
  // -24.5 dBFS lights 3 spots, full scale 10.
  struct Case {
    TMMLevelKind Kind;
    TMMLevelDirection Direction;
    bool Invert;
    double Db;
    int Count;
    QPoint Lit, Unlit;  // a pixel of a lit spot and one of an unlit spot
  };
  const Case cases[] = {
      {lkHorizontal, dirNormal, false, -24.5, 3, {1, 5}, {10, 5}},     // from the left
      {lkHorizontal, dirReversed, false, -24.5, 3, {29, 5}, {20, 5}},  // from the right
      {lkVertical, dirNormal, false, -24.5, 3, {5, 29}, {5, 20}},      // from the bottom
      {lkVertical, dirReversed, false, -24.5, 3, {5, 1}, {5, 10}},     // from the top
      {lkHorizontal, dirNormal, true, -24.5, 7, {19, 5}, {22, 5}},     // 10 - 3 spots
      // Symmetric: half the count, five spots around it in its zone's colour, from the right:
      // spots 3 to 7 lit (spot 7 at x 10, in the low zone's colour), spot 1 unlit.
      {lkHorizontal, dirSymetric, false, 0.0, 5, {10, 5}, {29, 5}},
  };
  QWidget parent;
  parent.resize(40, 40);
  parent.show();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "kind " << c.Kind << " direction " << c.Direction << " invert " << c.Invert);
    TMMLevel bar(nullptr, &parent);
    bar.Bevel()->SetBevelOuter(bvNone);
    bar.SetKind(c.Kind);
    bar.SetBounds(0, 0, c.Kind == lkHorizontal ? 31 : 10, c.Kind == lkHorizontal ? 10 : 31);
    bar.SetSpotWidth(2);
    bar.SetDirection(c.Direction);
    bar.SetInvert(c.Invert);
    bar.show();
    ASSERT_TRUE(ProcessUntil([&] { return !bar.Picture().isNull(); }));
    bar.UpdateValue(Amplitude(c.Db));
    ASSERT_EQ(bar.GetLayout().Count, 10);
    ASSERT_EQ(bar.GetCount(), c.Count);
    const QImage picture = bar.Picture();
    EXPECT_EQ(picture.pixel(c.Lit), Rgb(clAqua));
    EXPECT_EQ(picture.pixel(c.Unlit), Rgb(clTeal));
  }
}

TEST(LevelBar, DisabledHiddenAndResizedBarsShowNoLevel) {
  QWidget parent;
  parent.resize(220, 20);
  TMMLevel bar(nullptr, &parent);
  MakeWindowBar(bar);
  parent.show();
  ASSERT_TRUE(ProcessUntil([&] { return !bar.Picture().isNull(); }));
  const std::vector<int16_t> loud = Stereo(Amplitude(-3), 0);

  bar.RefreshPCMData(loud.data());
  ASSERT_EQ(bar.GetCount(), 61);
  // Disabled: the level and the peak go, data are ignored, only the unlit bar shows.
  bar.setEnabled(false);
  EXPECT_EQ(bar.GetCount(), 0);
  EXPECT_EQ(bar.GetPeak(), 0);
  bar.RefreshPCMData(loud.data());
  EXPECT_EQ(bar.GetCount(), 0);
  EXPECT_EQ(bar.Picture().pixel(0, 0), Rgb(clSilver));
  EXPECT_EQ(bar.Picture().pixel(0, 1), Rgb(clBlack));
  bar.setEnabled(true);
  bar.RefreshPCMData(loud.data());
  EXPECT_EQ(bar.GetCount(), 61);
  EXPECT_EQ(bar.Picture().pixel(0, 1), Rgb(kCream));

  // Hidden: data are ignored.
  bar.hide();
  bar.ResetData();
  bar.RefreshPCMData(loud.data());
  EXPECT_EQ(bar.GetCount(), 0);
  bar.show();

  // A new size lays the spots out again and starts from nothing.
  bar.RefreshPCMData(loud.data());
  ASSERT_EQ(bar.GetCount(), 61);
  bar.SetBounds(0, 0, 150, 8);
  EXPECT_EQ(bar.GetLayout().Count, 50);
  EXPECT_EQ(bar.GetCount(), 0);
  EXPECT_EQ(bar.GetPeak(), 0);
  EXPECT_EQ(bar.Picture().pixel(0, 1), Rgb(clBlack));

  // A format the bar cannot show is refused and the old one kept.
  WAVEFORMATEX bad{};
  BuildPCMFormat(&bad, 24, 2, 44100);
  EXPECT_THROW(bar.SetPWaveFormat(&bad), EMMLevelError);
  EXPECT_EQ(bar.GetNumBytes(), 200);
}

TEST(LevelBar, HeldPeakFallsOnTheDisplayTicksWhileDataFlow) {
  QWidget parent;
  parent.resize(220, 20);
  TMMLevel bar(nullptr, &parent);
  MakeWindowBar(bar);
  bar.SetPeakSpeed(2);
  parent.show();
  ASSERT_TRUE(ProcessUntil([&] { return !bar.Picture().isNull(); }));
  const std::vector<int16_t> loud = Stereo(Amplitude(-3), 0);
  const std::vector<int16_t> quiet = Stereo(Amplitude(-10), 0);
  bar.RefreshPCMData(loud.data());
  bar.RefreshPCMData(quiet.data());
  ASSERT_EQ(bar.GetPeak(), 61);
  // After its hold the peak falls a spot every 2 ticks, down onto the level, and the picture
  // follows with the data.
  std::vector<int> seen;
  ASSERT_TRUE(ProcessUntil([&] {
    bar.RefreshPCMData(quiet.data());
    if (seen.empty() || seen.back() != bar.GetPeak()) seen.push_back(bar.GetPeak());
    return bar.GetPeak() <= 48;
  })) << "peak "
      << bar.GetPeak();
  EXPECT_GE(seen.size(), 3u);  // it passed through spots between 61 and 48
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i], seen[i - 1]);
  // Spot 61 is no longer drawn as a peak (a dot of the unlit top zone again).
  EXPECT_EQ(bar.Picture().pixel(180, 1), Rgb(clBlack));
}

// A hand-over draws only the spots that change (lit, put back unlit, the peak moving); the
// surface must then hold exactly what a whole drawing of the same state gives.
TEST(LevelBar, HandOversThatDrawOnlyTheChangedSpotsLeaveTheWholeDrawingsPicture) {
  QWidget parent;
  parent.resize(220, 20);
  TMMLevel bar(nullptr, &parent);
  MakeWindowBar(bar);
  bar.SetNumPeaks(2);
  parent.show();
  ASSERT_TRUE(ProcessUntil([&] { return !bar.Picture().isNull(); }));
  const auto surface = [&] {
    const TDIBSection* s = bar.DIBCanvas()->Surface();
    return std::vector<uint8_t>(s->Bits(), s->Bits() + s->SizeInBytes());
  };
  // Rising, falling under the held peak, the same level twice, silence, full scale.
  for (const double db : {-20.0, -3.0, -10.0, -10.0, -40.0, -1.0, -60.0, 0.0, -6.0}) {
    const std::vector<int16_t> data = Stereo(db > -60 ? Amplitude(db) : 0, 0);
    bar.RefreshPCMData(data.data());
    const std::vector<uint8_t> handedOver = surface();
    bar.DrawSurfaceDirect();
    EXPECT_EQ(handedOver, surface()) << "after " << db << " dBFS: count " << bar.GetCount()
                                     << ", peak " << bar.GetPeak();
  }
}

// The clip mark: the last three spots (65 to 67, x 192 to 199) lit solid in the clip colour,
// over the unlit red dots and over any level drawn under it, whole or spot by spot; the level's
// reset leaves it and a left click puts it out, giving back the plain bar pixel for pixel.
TEST(LevelBar, TheClipMarkStaysLitOverTheLevelUntilALeftClick) {
  constexpr TColor kMark = RGB(255, 64, 58);
  QWidget parent;
  parent.resize(220, 20);
  TMMLevel bar(nullptr, &parent);
  MakeWindowBar(bar);
  bar.SetNumPeaks(2);
  bar.SetClipColor(kMark);
  int clicks = 0;
  bar.OnClipClick = [&](TObject*) { ++clicks; };
  parent.show();
  ASSERT_TRUE(ProcessUntil([&] { return !bar.Picture().isNull(); }));
  const QImage plain = bar.Picture();

  const auto marked = [&](const QImage& picture) {
    for (int x : {192, 193, 195, 196, 198, 199})
      for (int y = 0; y < 8; ++y)
        if (picture.pixel(x, y) != Rgb(kMark)) return false;
    // Spot 64 is the bar's own, and so are the gaps between the marked spots.
    return picture.pixel(189, 0) != Rgb(kMark) && picture.pixel(194, 3) == Rgb(clBlack) &&
           picture.pixel(197, 3) == Rgb(clBlack);
  };
  bar.SetClipped(true);
  EXPECT_TRUE(marked(bar.Picture()));
  EXPECT_EQ(bar.Picture().copy(0, 0, 191, 8), plain.copy(0, 0, 191, 8))
      << "the rest of the bar is unchanged";

  const auto surface = [&] {
    const TDIBSection* s = bar.DIBCanvas()->Surface();
    return std::vector<uint8_t>(s->Bits(), s->Bits() + s->SizeInBytes());
  };
  // Full scale lights every spot and holds the peak at the end, then the level falls: the
  // spots that change under the mark are drawn again, and the mark over them.
  for (const double db : {0.0, -3.0, -40.0}) {
    SCOPED_TRACE(db);
    const std::vector<int16_t> data = Stereo(db == 0.0 ? 32767 : Amplitude(db), 0);
    bar.RefreshPCMData(data.data());
    EXPECT_TRUE(marked(bar.Picture()));
    const std::vector<uint8_t> handedOver = surface();
    bar.DrawSurfaceDirect();
    EXPECT_EQ(handedOver, surface()) << "spot by spot as drawn whole";
  }
  bar.ResetData();
  EXPECT_TRUE(bar.GetClipped());
  EXPECT_TRUE(marked(bar.Picture()));

  const auto press = [&](Qt::MouseButton button) {
    QMouseEvent event(QEvent::MouseButtonPress, QPointF(100, 4), bar.mapToGlobal(QPointF(100, 4)),
                      button, button, Qt::NoModifier);
    QApplication::sendEvent(&bar, &event);
  };
  press(Qt::RightButton);
  EXPECT_TRUE(bar.GetClipped()) << "the right button leaves it";
  press(Qt::LeftButton);
  EXPECT_FALSE(bar.GetClipped());
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(bar.Picture(), plain);
  press(Qt::LeftButton);
  EXPECT_EQ(clicks, 1) << "a click on a bar without the mark is no clip click";
}

TEST(LevelBar, AThousandHandOversASecondReachTheScreenAtTheFrameRate) {
  QWidget parent;
  parent.resize(220, 20);
  TCountingLevel bar(nullptr, &parent);
  MakeWindowBar(bar);
  std::atomic<int> draws{0};
  bar.OnPaint = [&](TObject*) { ++draws; };
  parent.show();
  ASSERT_TRUE(ProcessUntil([&] { return bar.Paints > 0; }));
  const int paintsBefore = bar.Paints;
  const int drawsBefore = draws;

  // About a thousand blocks a second for half a second from a delivering thread, each at a
  // new level, while the main thread runs its events.
  const std::vector<int16_t> loud = Stereo(Amplitude(-3), 0);
  const std::vector<int16_t> quiet = Stereo(Amplitude(-10), 0);
  constexpr int kHandOvers = 500;
  std::atomic<bool> done{false};
  QElapsedTimer elapsed;
  elapsed.start();
  std::thread feeder([&] {
    for (int i = 0; i < kHandOvers; ++i) {
      bar.RefreshPCMData(i % 2 ? quiet.data() : loud.data());
      std::this_thread::sleep_for(1ms);
    }
    done = true;
  });
  ProcessUntil([&] { return done.load(); }, 60000);
  feeder.join();
  ProcessUntil([] { return false; }, 100);  // the last frame
  const double ms = double(elapsed.elapsed());

  // Every hand-over redrew the off-screen image...
  EXPECT_GE(draws - drawsBefore, kHandOvers);
  // ...but the screen got one paint per display frame at most (the grab adds its own).
  const double frameMs = 1000.0 / parent.screen()->refreshRate();
  const int paints = bar.Paints - paintsBefore;
  EXPECT_GE(paints, 1);
  EXPECT_LE(paints, int(ms / frameMs) + 3) << ms << " ms, " << frameMs << " ms a frame";
  EXPECT_LT(paints, kHandOvers / 2);
}

}  // namespace
