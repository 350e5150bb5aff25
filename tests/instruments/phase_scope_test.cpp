// The phase scope and the spectrum on a window: points and axes at their pixels, the mode
// switch, refused formats, a sine in its column on the spectrum, the waterfall, and data
// handed over from another thread. The window's phase scope is kept as a picture to look at.
#include "instruments/phase_scope.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <thread>
#include <vector>

#include "stream/wave_format.h"
#include "tests/instruments/instrument_test_util.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using instrumenttest::ProcessUntil;
using instrumenttest::Rgb;

constexpr TColor kMoneyGreen = RGB(192, 220, 192);

// A spectrum alone on a shown parent, painted once.
struct TScope {
  QWidget Parent;
  TMMSpectrum Spectrum{nullptr, &Parent};

  TScope() { Parent.resize(260, 160); }
  void Show() {
    Parent.show();
    Spectrum.Picture();
  }
};

// The window's phase scope: 113 x 113, teal, money-green axes, pmStereo, range factors 1.5,
// 16-bit stereo at 44100 Hz, 1024 samples per block, no read-out.
void MakeWindowScope(TMMSpectrum& Scope, bool WithBevel) {
  if (!WithBevel) Scope.Bevel()->SetBevelOuter(bvNone);
  Scope.SetBounds(0, 0, 113, 113);
  Scope.SetColor(clTeal);
  Scope.SetSpectrumMode(smPhase);
  Scope.SetPhaseMode(pmStereo);
  Scope.SetFFTLength(1024);
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 16, 2, 44100);
  Scope.SetPWaveFormat(&format);
  Scope.SetRangeFactorX(1.5);
  Scope.SetRangeFactorY(1.5);
  Scope.SetAxisColor(kMoneyGreen);
  Scope.SetShowInfo(false);
}

// Frames frames of 16-bit stereo with every pair (Left, Right).
std::vector<int16_t> Pairs(int Left, int Right, int Frames) {
  std::vector<int16_t> data;
  for (int i = 0; i < Frames; ++i) {
    data.push_back(int16_t(Left));
    data.push_back(int16_t(Right));
  }
  return data;
}

// The pixels of Picture in Color, within Area (the whole picture by default).
std::vector<QPoint> PixelsOf(const QImage& Picture, TColor Color, TRect Area = {}) {
  if (Area.IsEmpty()) Area = Rect(0, 0, Picture.width(), Picture.height());
  std::vector<QPoint> points;
  for (int y = Area.Top; y < Area.Bottom; ++y)
    for (int x = Area.Left; x < Area.Right; ++x)
      if (Picture.pixel(x, y) == Rgb(Color)) points.emplace_back(x, y);
  return points;
}

TEST(PhaseScope, WindowScopeShowsAStereoSignalOverItsAxes) {
  TScope scope;
  MakeWindowScope(scope.Spectrum, true);
  scope.Show();
  ASSERT_EQ(scope.Spectrum.width(), 113);
  ASSERT_EQ(scope.Spectrum.GetNumBytes(), 4096);

  // A 441 Hz sine on the left, the same 60 degrees later on the right, at -6 dBFS: an ellipse
  // leaning like a mostly mono signal.
  std::vector<int16_t> block;
  for (int i = 0; i < 1024; ++i) {
    const double t = 2 * std::numbers::pi * 441 * i / 44100;
    block.push_back(int16_t(std::lround(16384 * std::sin(t))));
    block.push_back(int16_t(std::lround(16384 * std::sin(t - std::numbers::pi / 3))));
  }
  scope.Spectrum.RefreshPCMData(block.data());
  const QImage picture = scope.Spectrum.Picture();
  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  picture.save(QString::fromStdString((artefacts / "phase-scope.png").string()));
  picture.scaled(picture.size() * 4)
      .save(QString::fromStdString((artefacts / "phase-scope-x4.png").string()));

  // Inside the bevel: teal, the points, the axes; the centre is an axis dot.
  const TRect area = scope.Spectrum.DrawArea();
  const int cx = area.Left + scope.Spectrum.GetCx(), cy = area.Top + scope.Spectrum.GetCy();
  EXPECT_EQ(picture.pixel(cx, cy), Rgb(kMoneyGreen));
  EXPECT_EQ(picture.pixel(cx + 1, cy + 3), Rgb(clTeal));
  EXPECT_EQ(picture.pixel(cx + 8, cy - 8), Rgb(kMoneyGreen));  // a diagonal dot
  const std::vector<QPoint> points = PixelsOf(picture, clWhite, area);
  EXPECT_GT(points.size(), 80u);
  // The ellipse lies along the vertical (mono) axis: taller than wide.
  int minX = 1000, maxX = -1, minY = 1000, maxY = -1;
  for (const QPoint& p : points) {
    minX = std::min(minX, p.x()), maxX = std::max(maxX, p.x());
    minY = std::min(minY, p.y()), maxY = std::max(maxY, p.y());
  }
  EXPECT_GT(2 * (maxY - minY), 3 * (maxX - minX))
      << minX << ".." << maxX << ", " << minY << ".." << maxY;
}

TEST(PhaseScope, PointsLandAtTheirPixelsAndOffSurfacePointsAreCut) {
  struct Case {
    TPhaseMode Mode;
    double Range;
    int Left, Right;
    int Dx, Dy;  // from the centre; Visible false: nothing in the phase colour anywhere
    bool Visible;
    const char* What;
  };
  const Case cases[] = {
      {pmStereo, 1.0, 16384, 16384, 0, -40, true, "L = R: up by 40"},
      {pmStereo, 1.0, 16384, -16384, -40, 0, true, "L = -R: left by 40"},
      {pmOscillo, 1.0, -32768, -32768, -56, 56, true, "-32768 as -32767: the corner"},
      {pmOscillo, 1.5, 0, 32767, 0, 0, false, "85 pixels right of the centre: cut"},
      {pmStereo, 1.0, 32767, 32767, 0, 0, false, "80 pixels up: cut"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TScope scope;
    MakeWindowScope(scope.Spectrum, false);
    scope.Spectrum.SetPhaseColor(clYellow);
    scope.Spectrum.SetPhaseMode(c.Mode);
    scope.Spectrum.SetRangeFactorX(c.Range);
    scope.Spectrum.SetRangeFactorY(1.0);
    scope.Show();
    ASSERT_EQ(scope.Spectrum.GetCx(), 56);
    ASSERT_EQ(scope.Spectrum.GetCy(), 56);
    const std::vector<int16_t> block = Pairs(c.Left, c.Right, 1024);
    scope.Spectrum.RefreshPCMData(block.data());
    const std::vector<QPoint> lit = PixelsOf(scope.Spectrum.Picture(), clYellow);
    if (!c.Visible) {
      EXPECT_TRUE(lit.empty()) << lit.size();
      continue;
    }
    ASSERT_EQ(lit.size(), 1u);
    EXPECT_EQ(lit[0], QPoint(56 + c.Dx, 56 + c.Dy));
  }
}

TEST(PhaseScope, SilenceSitsOnTheCentreUnderTheAxisDot) {
  TScope scope;
  MakeWindowScope(scope.Spectrum, false);
  scope.Spectrum.SetPhaseColor(clYellow);
  scope.Spectrum.SetRangeFactorX(1.0);
  scope.Show();
  const std::vector<int16_t> silence = Pairs(0, 0, 1024);
  scope.Spectrum.RefreshPCMData(silence.data());
  QImage picture = scope.Spectrum.Picture();
  EXPECT_EQ(picture.pixel(56, 56), Rgb(kMoneyGreen));
  EXPECT_TRUE(PixelsOf(picture, clYellow).empty());
  // The axes of pmStereo: every fifth pixel of the centre lines from the edge (so the centre
  // itself is the diagonals' first dot), the diagonals every 8.
  EXPECT_EQ(picture.pixel(55, 56), Rgb(kMoneyGreen));
  EXPECT_EQ(picture.pixel(52, 56), Rgb(clTeal));
  EXPECT_EQ(picture.pixel(56, 5), Rgb(kMoneyGreen));
  EXPECT_EQ(picture.pixel(56, 6), Rgb(clTeal));
  EXPECT_EQ(picture.pixel(56 - 48, 56 + 48), Rgb(kMoneyGreen));
  // pmOscillo: every fourth pixel; the axis dot there covers the centre as well.
  scope.Spectrum.SetPhaseMode(pmOscillo);
  scope.Spectrum.RefreshPCMData(silence.data());
  picture = scope.Spectrum.Picture();
  EXPECT_EQ(picture.pixel(56, 56), Rgb(kMoneyGreen));
  EXPECT_EQ(picture.pixel(52, 56), Rgb(kMoneyGreen));
  EXPECT_EQ(picture.pixel(56 + 8, 56 - 8), Rgb(clTeal));
}

TEST(PhaseScope, ModeSwitchSquaresTheControlAndSetsTheBlock) {
  TScope scope;
  TMMSpectrum& s = scope.Spectrum;
  s.SetBounds(10, 20, 194, 89);
  EXPECT_EQ(s.GetFFTLength(), 128);
  EXPECT_TRUE(s.GetShowInfo());
  s.SetSpectrumMode(smPhase);
  EXPECT_EQ(s.geometry(), QRect(10, 20, 89, 89));
  EXPECT_EQ(s.GetFFTLength(), 1024);
  EXPECT_FALSE(s.GetShowInfo());
  EXPECT_EQ(s.GetNumBytes(), 1024);  // 8-bit mono by default
  // Any size stays square in phase mode, with the height for the side.
  s.SetBounds(10, 20, 150, 60);
  EXPECT_EQ(s.geometry(), QRect(10, 20, 60, 60));

  s.SetColor(clTeal);
  s.SetSpectrumMode(smNormal);
  EXPECT_EQ(s.geometry(), QRect(10, 20, 194, 89));
  EXPECT_EQ(s.GetFFTLength(), 128);
  EXPECT_TRUE(s.GetShowInfo());
  EXPECT_EQ(s.Color(), clBlack);

  // The length setter rounds and clamps.
  for (const auto& c : {std::pair{1000, 512}, {5000, 4096}, {3, 8}}) {
    s.SetFFTLength(c.first);
    EXPECT_EQ(s.GetFFTLength(), c.second) << c.first;
  }
}

TEST(PhaseScope, UnusableFormatIsRefusedAndTheScopeKeepsItsOwn) {
  TScope scope;
  MakeWindowScope(scope.Spectrum, false);
  WAVEFORMATEX bad{};
  BuildPCMFormat(&bad, 24, 2, 44100);
  try {
    scope.Spectrum.SetPWaveFormat(&bad);
    FAIL() << "a 24-bit format was taken";
  } catch (const EMMSpectrumError& e) {
    EXPECT_STREQ(e.what(), "Invalid WaveFormat");
  }
  EXPECT_EQ(scope.Spectrum.GetNumBytes(), 4096);
  EXPECT_EQ(scope.Spectrum.GetBitLength(), b16Bit);
  EXPECT_EQ(scope.Spectrum.GetMode(), mStereo);
  EXPECT_EQ(scope.Spectrum.GetSampleRate(), 44100);
}

TEST(PhaseScope, DisabledHiddenOrResetScopesShowNoPoints) {
  TScope scope;
  MakeWindowScope(scope.Spectrum, false);
  scope.Spectrum.SetPhaseColor(clYellow);
  scope.Spectrum.SetRangeFactorX(1.0);
  scope.Spectrum.SetRangeFactorY(1.0);
  int needData = 0;
  scope.Spectrum.OnNeedData = [&](TObject*) { ++needData; };
  scope.Show();
  const std::vector<int16_t> block = Pairs(16384, 16384, 1024);

  scope.Spectrum.RefreshPCMData(block.data());
  EXPECT_EQ(PixelsOf(scope.Spectrum.Picture(), clYellow).size(), 1u);
  scope.Spectrum.ResetData();
  EXPECT_TRUE(PixelsOf(scope.Spectrum.Picture(), clYellow).empty());
  EXPECT_EQ(needData, 1);

  scope.Spectrum.setEnabled(false);
  scope.Spectrum.RefreshPCMData(block.data());
  EXPECT_TRUE(PixelsOf(scope.Spectrum.Picture(), clYellow).empty());
  scope.Spectrum.ResetData();
  EXPECT_EQ(needData, 1);  // not while disabled
  scope.Spectrum.setEnabled(true);

  scope.Spectrum.hide();
  scope.Spectrum.RefreshPCMData(block.data());
  scope.Spectrum.show();
  EXPECT_TRUE(PixelsOf(scope.Spectrum.Picture(), clYellow).empty());
}

// A spectrum of 256 x 100 without a bevel, 16-bit mono at 8000 Hz, 512 points, rectangular
// window: bin k is k × 15.625 Hz.
void MakeAnalyser(TMMSpectrum& Spectrum, TMMSpectrumKind Kind) {
  Spectrum.Bevel()->SetBevelOuter(bvNone);
  Spectrum.SetBounds(0, 0, 256, 100);
  Spectrum.SetKind(Kind);
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 16, 1, 8000);
  Spectrum.SetPWaveFormat(&format);
  Spectrum.SetFFTLength(512);
  Spectrum.SetWindow(fwRectangular);
}

std::vector<int16_t> Sine(double Frequency, double Amplitude) {
  std::vector<int16_t> samples;
  for (int i = 0; i < 512; ++i)
    samples.push_back(
        int16_t(std::lround(Amplitude * std::sin(2 * std::numbers::pi * Frequency * i / 8000))));
  return samples;
}

// The column that shows Bin.
int ColumnOf(TMMSpectrum& Spectrum, int Bin) {
  const std::vector<TMMBinRange> mapping = Spectrum.GetMapping();
  for (size_t x = 0; x < mapping.size(); ++x)
    if (mapping[x].First <= Bin && Bin <= mapping[x].Last) return int(x);
  return -1;
}

TEST(SpectrumView, ASineStandsInItsColumnAtItsHeight) {
  TScope scope;
  MakeAnalyser(scope.Spectrum, skVLines);
  scope.Spectrum.SetNumPeaks(0);
  scope.Show();
  // 1000 Hz at half of full scale: bin 64, half the height.
  const std::vector<int16_t> block = Sine(1000, 16384);
  scope.Spectrum.RefreshPCMData(block.data());
  const int column = ColumnOf(scope.Spectrum, 64);
  ASSERT_GE(column, 0);
  const QImage picture = scope.Spectrum.Picture();
  picture.save(QString::fromStdString(
      (fs::path(NEEDLEREC_ARTEFACTS) / "spectrum-vlines-1000hz.png").string()));
  // Lit from the bottom up to 50 of 100 rows: the low zone (aqua) to row 50, then black.
  EXPECT_EQ(picture.pixel(column, 99), Rgb(clAqua));
  EXPECT_EQ(picture.pixel(column, 51), Rgb(clAqua));
  EXPECT_EQ(picture.pixel(column, 48), Rgb(clBlack));
  for (int x = 0; x < 256; ++x) {
    if (std::abs(x - column) > 2) {
      ASSERT_EQ(picture.pixel(x, 90), Rgb(clBlack)) << x;
    }
  }
}

TEST(SpectrumView, BarsLightTheirSpotsAndKeepThePeak) {
  TScope scope;
  MakeAnalyser(scope.Spectrum, skBars);
  scope.Spectrum.SetSpotHeight(3);
  scope.Spectrum.SetInactiveDoted(true);
  scope.Spectrum.SetPeakDelay(50);
  scope.Show();
  const std::vector<int16_t> loud = Sine(1000, 30000), quiet = Sine(1000, 8000);
  scope.Spectrum.RefreshPCMData(loud.data());
  scope.Spectrum.RefreshPCMData(quiet.data());
  // 64 bars of 3 with a gap of 1; 25 spots of 3 with a gap of 1.
  const int bar = ColumnOf(scope.Spectrum, 64);
  ASSERT_GE(bar, 0);
  const int level = scope.Spectrum.GetColumns()[size_t(bar)];
  const int peak = scope.Spectrum.GetPeak(bar);
  EXPECT_EQ(scope.Spectrum.GetLevels(), 25);
  EXPECT_NEAR(level, 6, 1);  // 8000 / 32768 of 25
  EXPECT_NEAR(peak, 23, 1);  // 30000 / 32768 of 25
  const QImage picture = scope.Spectrum.Picture();
  picture.scaled(picture.size() * 2)
      .save(QString::fromStdString((fs::path(NEEDLEREC_ARTEFACTS) / "spectrum-bars.png").string()));
  const int x = bar * 4 + 1;
  auto spotY = [&](int spot) { return 100 - (spot - 1) * 4 - 2; };  // the spot's middle row
  EXPECT_EQ(picture.pixel(x, spotY(1)), Rgb(clAqua));
  EXPECT_EQ(picture.pixel(x, spotY(level)), Rgb(clAqua));
  EXPECT_EQ(picture.pixel(x, spotY(peak)), Rgb(clRed));  // the peak, in the high zone
  // Between them, the unlit spots as dots on black.
  const QRgb between = picture.pixel(x, spotY(level + 2));
  EXPECT_TRUE(between == Rgb(clTeal) || between == Rgb(clBlack));
}

TEST(SpectrumView, ScalesNarrowTheDrawingAreaAndTheGridLiesUnderTheColumns) {
  TScope scope;
  TMMSpectrum& s = scope.Spectrum;
  s.SetBounds(0, 0, 256, 150);  // with the default bevel of 1
  s.SetKind(skLines);
  s.SetLogAmp(true);
  s.SetLogFreq(true);
  s.SetDrawAmpScale(true);
  s.SetDrawFreqScale(true);
  s.SetDrawGrid(true);
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, 16, 1, 8000);
  s.SetPWaveFormat(&format);
  s.SetFFTLength(512);
  scope.Show();
  EXPECT_EQ(s.DrawArea(), Rect(1 + 32, 1, 255 - 32, 149 - 40));
  EXPECT_EQ(s.GetColumns().size(), size_t(256 - 2 - 64));
  const std::vector<int16_t> block = Sine(1000, 16384);
  s.RefreshPCMData(block.data());
  const QImage picture = s.Picture();
  picture.save(
      QString::fromStdString((fs::path(NEEDLEREC_ARTEFACTS) / "spectrum-scales.png").string()));
  // The grid's first dot in the area's top row, a tenth of the width in; the scales beside it.
  const TRect area = s.DrawArea();
  EXPECT_EQ(picture.pixel(area.Left + area.Width() / 10, area.Top), Rgb(clGray));
  EXPECT_EQ(picture.pixel(area.Right - 5, area.Bottom + 30), Rgb(clBtnFace));
  EXPECT_FALSE(PixelsOf(picture, clBlack, Rect(0, area.Bottom, 256, 149)).empty());  // labels
}

TEST(SpectrumView, TheWaterfallMovesDownOneRowPerBlock) {
  TScope scope;
  MakeAnalyser(scope.Spectrum, skScroll);
  scope.Show();
  const std::vector<int16_t> tone = Sine(1000, 30000), silence(512, 0);
  scope.Spectrum.RefreshPCMData(tone.data());
  scope.Spectrum.RefreshPCMData(silence.data());
  scope.Spectrum.RefreshPCMData(silence.data());
  const int column = ColumnOf(scope.Spectrum, 64);
  const QImage picture = scope.Spectrum.Picture();
  EXPECT_EQ(picture.pixel(column, 0), Rgb(clBlack));
  EXPECT_EQ(picture.pixel(column, 2), Rgb(clRed));  // the tone, two blocks ago, loud
  EXPECT_EQ(picture.pixel(column, 3), Rgb(clBlack));
}

TEST(SpectrumView, AMouseReadOutHoldsThePictureUntilReleased) {
  TScope scope;
  MakeAnalyser(scope.Spectrum, skVLines);
  scope.Show();
  const std::vector<int16_t> tone = Sine(1000, 16384);
  const int column = ColumnOf(scope.Spectrum, 64);
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(column, 50), QPointF(column, 50),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&scope.Spectrum, &press);
  ASSERT_TRUE(scope.Spectrum.Tracking());
  scope.Spectrum.RefreshPCMData(tone.data());
  EXPECT_EQ(scope.Spectrum.GetColumns()[size_t(column)], 0);  // ignored while tracking
  // ResetData ends the read-out as a release would.
  scope.Spectrum.ResetData();
  EXPECT_FALSE(scope.Spectrum.Tracking());
  scope.Spectrum.RefreshPCMData(tone.data());
  EXPECT_NEAR(scope.Spectrum.GetColumns()[size_t(column)], 50, 1);
}

TEST(SpectrumView, BlocksFromADeliveringThreadWhileTheWindowPaints) {
  TScope scope;
  MakeWindowScope(scope.Spectrum, true);
  scope.Show();
  std::vector<int16_t> block;
  for (int i = 0; i < 1024; ++i) {
    const auto v = int16_t(std::lround(20000 * std::sin(i * 0.05)));
    block.push_back(v);
    block.push_back(int16_t(-v / 2));
  }
  std::atomic<bool> done{false};
  std::thread feeder([&] {
    for (int i = 0; i < 200; ++i) {
      scope.Spectrum.RefreshPCMData(block.data());
      if (i == 100) scope.Spectrum.ResetData();
      std::this_thread::sleep_for(1ms);
    }
    done = true;
  });
  const bool finished = ProcessUntil([&] { return done.load(); }, 60000);
  feeder.join();
  ASSERT_TRUE(finished);
  EXPECT_GT(PixelsOf(scope.Spectrum.Picture(), clWhite, scope.Spectrum.DrawArea()).size(), 50u);
}

}  // namespace
