// The LED read-outs on a window: the glyph strips built into the program, the window's time
// read-out showing 1:02:03.456 pixel for pixel, clamping, zero blanking, the minus sign, the
// cascade from digit to digit, the panel's size, and the strips the digits share.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <vector>

#include "instruments/core/led_readout.h"
#include "instruments/led_digit.h"
#include "instruments/led_panel.h"
#include "resources/skin.h"
#include "tests/instruments/instrument_test_util.h"

namespace {

namespace fs = std::filesystem;
using instrumenttest::Rgb;

constexpr TColor kCream = RGB(255, 251, 240);

// The stored strip of a name as an image, top row first.
QImage StoredStrip(const char* Name) {
  for (const TSkinImage& image : SkinLEDStrips()) {
    if (std::string(image.DisplayName) != Name) continue;
    const auto& d = image.Data;
    const int w = d[0] | (d[1] << 8), h = d[2] | (d[3] << 8);
    QImage result(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t* p = d.data() + 4 + (size_t(h - 1 - y) * w + x) * 4;
        result.setPixel(x, y, qRgb(p[2], p[1], p[0]));
      }
    return result;
  }
  return {};
}

// The pixels of a colour in one cell of a strip.
std::set<std::pair<int, int>> Pixels(const QImage& Strip, int Cell, int Width, QRgb Color) {
  std::set<std::pair<int, int>> pixels;
  for (int y = 0; y < Strip.height(); ++y)
    for (int x = 0; x < Width; ++x)
      if (Strip.pixel(Cell * Width + x, y) == Color) pixels.insert({x, y});
  return pixels;
}

void DressAsWindowPanel(TMMLEDPanel& Panel, int NumDigits, TMMLEDSize Size, int MaxValue) {
  Panel.Bevel()->SetBevelOuter(bvNone);
  Panel.SetNumDigits(NumDigits);
  Panel.SetDigitSize(Size);
  Panel.SetMaxValue(MaxValue);
  Panel.SetLEDColor(kCream);
  Panel.SetInactiveColor(kCream);
  Panel.SetDrawInactive(false);
}

void DressAsWindowSign(TMMLEDDigit& Digit, TMMLEDType Type) {
  Digit.SetDisplayType(Type);
  Digit.SetColor(clBlack);
  Digit.SetInactiveColor(clBlack);
  Digit.SetLEDColor(clWhite);
}

// The window's time read-out, h:mm:ss.mmm, at its places on the window moved by (-340, -243).
struct TWindowTimeReadout {
  QWidget Form;
  TMMLEDPanel Hour{nullptr, &Form};
  TMMLEDDigit Colon1{nullptr, &Form};
  TMMLEDPanel Min{nullptr, &Form};
  TMMLEDDigit Colon2{nullptr, &Form};
  TMMLEDPanel Sec{nullptr, &Form};
  TMMLEDDigit Period{nullptr, &Form};
  TMMLEDPanel MSec{nullptr, &Form};

  TWindowTimeReadout() {
    Form.resize(140, 30);
    Form.setAutoFillBackground(true);
    QPalette palette = Form.palette();
    palette.setColor(QPalette::Window, Qt::black);
    Form.setPalette(palette);
    DressAsWindowPanel(Hour, 1, ls13x21, 9);
    DressAsWindowPanel(Min, 2, ls13x21, 59);
    DressAsWindowPanel(Sec, 2, ls13x21, 59);
    DressAsWindowPanel(MSec, 3, ls08x13, 999);
    DressAsWindowSign(Colon1, ltColon);
    DressAsWindowSign(Colon2, ltColon);
    DressAsWindowSign(Period, ltPeriod);
    Hour.SetBounds(5, 5, 11, 21);
    Colon1.SetBounds(19, 5, 11, 21);
    Min.SetBounds(32, 5, 23, 21);
    Colon2.SetBounds(57, 5, 11, 21);
    Sec.SetBounds(70, 5, 23, 21);
    Period.SetBounds(97, 5, 11, 21);
    MSec.SetBounds(108, 13, 23, 13);
    Form.show();
  }

  void Show(int32_t PositionMs) {
    const TTimeReadout t = SplitPosition(PositionMs);
    Hour.SetValue(t.Hours);
    Min.SetValue(t.Minutes);
    Sec.SetValue(t.Seconds);
    MSec.SetValue(t.Milliseconds);
  }
};

// The cell indexes a panel's digits show, units first.
std::vector<int> Cells(const TMMLEDPanel& Panel) {
  std::vector<int> cells;
  for (const TMMLEDDigit* digit : Panel.Digits()) cells.push_back(digit->CellIndex());
  return cells;
}

constexpr int D(int digit) {
  return digit + 1;
}

}  // namespace

TEST(LEDStrips, EverySizeHasItsCellsInTheThreeColours) {
  const QRgb black = Rgb(clBlack), silver = Rgb(clSilver), white = Rgb(clWhite);
  for (int size = 0; size < kLEDSizeCount; ++size) {
    const TMMLEDStrip& strip = LEDStrip(TMMLEDSize(size));
    const int w = strip.CellWidth;
    const QImage digits = StoredStrip(strip.DigitName);
    const QImage signs = StoredStrip(strip.SignName);
    ASSERT_EQ(digits.size(), QSize(11 * w, strip.CellHeight)) << strip.DigitName;
    ASSERT_EQ(signs.size(), QSize(4 * w, strip.CellHeight)) << strip.SignName;
    for (const QImage* image : {&digits, &signs})
      for (int y = 0; y < image->height(); ++y)
        for (int x = 0; x < image->width(); ++x) {
          const QRgb p = image->pixel(x, y);
          ASSERT_TRUE(p == black || p == silver || p == white)
              << strip.DigitName << " at " << x << "," << y;
        }

    // Cell 0 is all unlit; the ten digits are lit, all different, and 8 lights them all.
    EXPECT_TRUE(Pixels(digits, 0, w, white).empty()) << strip.DigitName;
    EXPECT_FALSE(Pixels(digits, 0, w, silver).empty()) << strip.DigitName;
    const auto eight = Pixels(digits, D(8), w, white);
    std::set<std::set<std::pair<int, int>>> glyphs;
    for (int d = 0; d <= 9; ++d) {
      const auto lit = Pixels(digits, D(d), w, white);
      EXPECT_FALSE(lit.empty()) << strip.DigitName << " digit " << d;
      EXPECT_TRUE(std::includes(eight.begin(), eight.end(), lit.begin(), lit.end()))
          << strip.DigitName << " digit " << d;
      glyphs.insert(lit);
    }
    EXPECT_EQ(glyphs.size(), 10u) << strip.DigitName;

    // Sign cells: nothing lit, a dot in the lower part, two dots, the middle bar.
    EXPECT_TRUE(Pixels(signs, 0, w, white).empty()) << strip.SignName;
    const auto period = Pixels(signs, ltPeriod, w, white);
    const auto colon = Pixels(signs, ltColon, w, white);
    const auto minus = Pixels(signs, ltMinus, w, white);
    ASSERT_FALSE(period.empty() || colon.empty() || minus.empty()) << strip.SignName;
    const int h = strip.CellHeight;
    for (auto [x, y] : period) EXPECT_GE(y, h * 2 / 3) << strip.SignName;
    int above = 0, below = 0;
    for (auto [x, y] : colon) (y < h / 2 ? above : below)++;
    EXPECT_EQ(above, below) << strip.SignName;
    for (auto [x, y] : minus) EXPECT_NEAR(y, h / 2, h / 6 + 1) << strip.SignName;
  }
}

TEST(LEDStrips, RecolouredStripTakesTheDigitsColours) {
  const std::unique_ptr<TDIBSection> shown =
      LoadLEDStrip(ltDigit, ls13x21, clNavy, clTeal, clYellow, true);
  const std::unique_ptr<TDIBSection> hidden =
      LoadLEDStrip(ltDigit, ls13x21, clNavy, clTeal, clYellow, false);
  ASSERT_TRUE(shown && hidden);
  std::set<TColor> withInactive, without;
  for (int y = 0; y < shown->Height(); ++y)
    for (int x = 0; x < shown->Width(); ++x) {
      withInactive.insert(shown->Pixel(x, y));
      without.insert(hidden->Pixel(x, y));
    }
  EXPECT_EQ(withInactive, (std::set<TColor>{clNavy, clTeal, clYellow}));
  EXPECT_EQ(without, (std::set<TColor>{clNavy, clYellow}));
}

TEST(LEDReadOut, TimeReadOutShowsAPositionAsHoursMinutesSecondsAndMilliseconds) {
  TWindowTimeReadout readout;
  readout.Show(3'723'456);
  EXPECT_EQ(Cells(readout.Hour), (std::vector<int>{D(1)}));
  EXPECT_EQ(Cells(readout.Min), (std::vector<int>{D(2), D(0)}));
  EXPECT_EQ(Cells(readout.Sec), (std::vector<int>{D(3), D(0)}));
  EXPECT_EQ(Cells(readout.MSec), (std::vector<int>{D(6), D(5), D(4)}));
  EXPECT_EQ(readout.Hour.size(), QSize(11, 21));
  EXPECT_EQ(readout.Min.size(), QSize(23, 21));
  EXPECT_EQ(readout.MSec.size(), QSize(23, 13));

  const QImage grab = readout.Form.grab().toImage().convertToFormat(QImage::Format_RGB32);
  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  grab.scaled(grab.size() * 4)
      .save(QString::fromStdString((artefacts / "led-time-1-02-03-456.png").string()));

  // Every cell on the screen is the cell of the recoloured strip, pixel for pixel.
  struct Cell {
    QPoint At;
    TMMLEDType Type;
    TMMLEDSize Size;
    int Index;
    bool Sign;
  };
  const Cell cells[] = {
      {{5, 5}, ltDigit, ls13x21, D(1), false},    {{19, 5}, ltColon, ls13x21, ltColon, true},
      {{32, 5}, ltDigit, ls13x21, D(0), false},   {{44, 5}, ltDigit, ls13x21, D(2), false},
      {{57, 5}, ltColon, ls13x21, ltColon, true}, {{70, 5}, ltDigit, ls13x21, D(0), false},
      {{82, 5}, ltDigit, ls13x21, D(3), false},   {{97, 5}, ltPeriod, ls13x21, ltPeriod, true},
      {{108, 13}, ltDigit, ls08x13, D(4), false}, {{116, 13}, ltDigit, ls08x13, D(5), false},
      {{124, 13}, ltDigit, ls08x13, D(6), false},
  };
  for (const Cell& c : cells) {
    const std::unique_ptr<TDIBSection> strip =
        c.Sign ? LoadLEDStrip(c.Type, c.Size, clBlack, clBlack, clWhite, true)
               : LoadLEDStrip(c.Type, c.Size, clBlack, kCream, kCream, false);
    ASSERT_TRUE(strip);
    const int w = LEDStrip(c.Size).CellWidth, h = LEDStrip(c.Size).CellHeight;
    const QImage expected = strip->ToImage().copy(c.Index * w, 0, w, h);
    const QImage shown = grab.copy(c.At.x(), c.At.y(), w, h);
    EXPECT_EQ(shown, expected) << "cell at " << c.At.x() << "," << c.At.y();
  }
  // And the read-out shows something: cream segments of the hour's 1.
  EXPECT_EQ(grab.pixel(5 + 9, 5 + 5), Rgb(kCream));
}

TEST(LEDReadOut, HourPanelClampsTenHoursToNineAndRunsOnFromZero) {
  TWindowTimeReadout readout;
  readout.Form.grab();  // painted once: from now on a new value is drawn at once
  readout.Show(36'000'000);
  EXPECT_EQ(readout.Hour.GetValue(), 9);
  EXPECT_EQ(Cells(readout.Hour), (std::vector<int>{D(9)}));
  const std::unique_ptr<TDIBSection> strip =
      LoadLEDStrip(ltDigit, ls13x21, clBlack, kCream, kCream, false);
  ASSERT_TRUE(strip);
  EXPECT_EQ(readout.Hour.Digits()[0]->Picture(), strip->ToImage().copy(D(9) * 11, 0, 11, 21));
  EXPECT_EQ(Cells(readout.Min), (std::vector<int>{D(0), D(0)}));
  readout.Show(0);
  EXPECT_EQ(Cells(readout.Hour), (std::vector<int>{D(0)}));
  EXPECT_EQ(Cells(readout.MSec), (std::vector<int>{D(0), D(0), D(0)}));
}

TEST(LEDPanel, ClampingZeroBlankingMinusAndChangeEvents) {
  QWidget form;
  TMMLEDPanel panel(nullptr, &form);
  int changes = 0;
  panel.OnChange = [&](TObject* sender) {
    EXPECT_EQ(sender, &panel);
    ++changes;
  };
  form.show();

  // Two digits up to 100: 150 clamps to 100, of which only the two zeros have digits.
  panel.SetValue(150);
  EXPECT_EQ(panel.GetValue(), 100);
  EXPECT_EQ(Cells(panel), (std::vector<int>{D(0), D(0)}));
  EXPECT_EQ(changes, 1);
  panel.SetValue(100);
  EXPECT_EQ(changes, 1) << "no change, no event";
  // Below the minimum.
  panel.SetValue(-3);
  EXPECT_EQ(panel.GetValue(), 0);
  // A negative range: a minus in the leftmost cell, and back.
  panel.SetMinValue(-10);
  panel.SetValue(-3);
  EXPECT_EQ(Cells(panel), (std::vector<int>{D(3), ltMinus}));
  EXPECT_EQ(panel.Digits()[1]->GetDisplayType(), ltMinus);
  EXPECT_EQ(panel.Digits()[1]->size(), QSize(11, 21));
  panel.SetValue(42);
  EXPECT_EQ(Cells(panel), (std::vector<int>{D(2), D(4)}));
  // Raising the minimum moves the value up with it.
  panel.SetMinValue(50);
  EXPECT_EQ(panel.GetValue(), 50);

  // Three digits with leading zeros blanked; inner zeros stay; the units digit never blanks.
  panel.SetMinValue(0);
  panel.SetMaxValue(999);
  panel.SetNumDigits(3);
  panel.SetZeroBlank(true);
  const struct {
    int Value;
    std::vector<int> Cells;
  } blanked[] = {
      {105, {D(5), D(0), D(1)}},
      {5, {D(5), 0, 0}},
      {0, {D(0), 0, 0}},
      {40, {D(0), D(4), 0}},
  };
  for (const auto& c : blanked) {
    panel.SetValue(c.Value);
    EXPECT_EQ(Cells(panel), c.Cells) << c.Value;
  }
  panel.SetZeroBlank(false);
  EXPECT_EQ(Cells(panel), (std::vector<int>{D(0), D(4), D(0)}));

  // Out-of-range digit counts are ignored; the digits are replaced and keep the value.
  panel.SetNumDigits(10);
  panel.SetNumDigits(0);
  EXPECT_EQ(panel.GetNumDigits(), 3);
  panel.SetNumDigits(4);
  EXPECT_EQ(Cells(panel), (std::vector<int>{D(0), D(4), D(0), D(0)}));

  // Disabled, every digit shows its unlit cell.
  panel.SetEnabled(false);
  EXPECT_EQ(Cells(panel), (std::vector<int>{0, 0, 0, 0}));
}

// Dashes stand in every cell, blanked zeros included, while the value lives on underneath:
// one set meanwhile shows when the dashes go, a negative one with its minus.
TEST(LEDPanel, DashesHideTheValueAndGiveItBack) {
  QWidget form;
  TMMLEDPanel panel(nullptr, &form);
  form.show();
  panel.SetMinValue(-99);
  panel.SetNumDigits(3);
  panel.SetZeroBlank(true);
  panel.SetValue(7);
  panel.SetDashes(true);
  EXPECT_EQ(Cells(panel), (std::vector<int>{ltMinus, ltMinus, ltMinus}));
  EXPECT_EQ(panel.Digits()[0]->size(), QSize(11, 21)) << "a dash takes a digit's cell";
  panel.SetValue(-42);
  EXPECT_EQ(Cells(panel), (std::vector<int>{ltMinus, ltMinus, ltMinus}));
  EXPECT_EQ(panel.GetValue(), -42);
  panel.SetDashes(false);
  EXPECT_EQ(Cells(panel), (std::vector<int>{D(2), D(4), ltMinus}));
  panel.SetValue(5);
  EXPECT_EQ(Cells(panel), (std::vector<int>{D(5), 0, 0}));
}

TEST(LEDPanel, SizeFollowsDigitsSpaceAndBevel) {
  QWidget form;
  TMMLEDPanel panel(nullptr, &form);
  form.show();
  // A lowered bevel of 1 around two 11 x 21 cells one pixel apart.
  EXPECT_EQ(panel.size(), QSize(25, 23));
  panel.SetBounds(10, 20, 300, 300);
  EXPECT_EQ(panel.geometry(), QRect(10, 20, 25, 23)) << "the requested size is replaced";
  panel.resize(50, 50);
  EXPECT_EQ(panel.size(), QSize(25, 23));
  panel.SetNumDigits(3);
  EXPECT_EQ(panel.size(), QSize(37, 23));
  panel.SetLEDSpace(3);
  panel.SetLEDSpace(0);  // ignored
  EXPECT_EQ(panel.size(), QSize(41, 23));
  panel.SetDigitSize(ls15x24);
  EXPECT_EQ(panel.size(), QSize(47, 26));
  panel.Bevel()->SetBevelOuter(bvNone);
  EXPECT_EQ(panel.size(), QSize(45, 24));
  // Most significant digit leftmost.
  EXPECT_EQ(panel.Digits()[2]->geometry(), QRect(0, 0, 13, 24));
  EXPECT_EQ(panel.Digits()[0]->geometry(), QRect(32, 0, 13, 24));
  EXPECT_EQ(panel.pos(), QPoint(10, 20));
}

// A panel dressed in its loading state takes its digits' strips once, at Loaded: it must end
// with the same strips, size and picture as a panel dressed setting by setting.
TEST(LEDPanel, DressedWhileLoadingItShowsWhatItShowsDressedLive) {
  QWidget form;
  form.resize(120, 40);
  TMMLEDPanel live(nullptr, &form), loaded(nullptr, &form);
  DressAsWindowPanel(live, 3, ls15x24, 999);
  loaded.BeginLoading();
  DressAsWindowPanel(loaded, 3, ls15x24, 999);
  EXPECT_EQ(loaded.Digits()[0]->Strip(), nullptr) << "no strip while the settings come";
  loaded.Loaded();
  live.SetBounds(0, 0, 1, 1);
  loaded.SetBounds(60, 0, 1, 1);
  live.SetValue(-42);
  loaded.SetValue(-42);
  form.show();
  ASSERT_EQ(loaded.size(), live.size());
  for (size_t i = 0; i < live.Digits().size(); ++i)
    EXPECT_EQ(loaded.Digits()[i]->Strip(), live.Digits()[i]->Strip()) << "digit " << i;
  const QImage grab = form.grab().toImage();
  EXPECT_EQ(grab.copy(QRect(QPoint(60, 0), live.size())),
            grab.copy(QRect(QPoint(0, 0), live.size())));
}

TEST(LEDDigit, SizeValueRangeAndCascade) {
  QWidget form;
  TMMLEDDigit minus(nullptr, &form);
  minus.SetDisplayType(ltMinus);
  minus.SetDigitSize(ls15x24);
  minus.SetBounds(3, 4, 100, 100);
  EXPECT_EQ(minus.geometry(), QRect(3, 4, 13, 24)) << "the cell's size, whatever is asked";

  TMMLEDDigit units(nullptr, &form), tens(nullptr, &form);
  units.SetMaxValue(5);
  units.SetValue(7);
  EXPECT_EQ(units.GetValue(), 0) << "outside MinValue..MaxValue: unchanged";
  units.SetMaxValue(9);
  units.SetMaxValue(12);  // ignored
  EXPECT_EQ(units.GetMaxValue(), 9);
  units.SetConnect(&tens);
  units.SetValue(12);
  EXPECT_EQ(units.GetValue(), 2);
  EXPECT_EQ(tens.GetValue(), 0) << "no cascade without CascadeValues";
  units.SetCascadeValues(true);
  units.SetValue(12);
  EXPECT_EQ(tens.GetValue(), 1);
  // The top digit's range narrows its value into it.
  tens.SetMaxValue(0);
  EXPECT_EQ(tens.GetValue(), 0);

  // A digit cannot feed itself, and a chain that loops back ends.
  units.SetConnect(&units);
  EXPECT_EQ(units.GetConnect(), &tens);
  tens.SetMaxValue(9);
  tens.SetCascadeValues(true);
  tens.SetConnect(&units);
  units.SetValue(34);
  EXPECT_EQ(units.GetValue(), 4);
  EXPECT_EQ(tens.GetValue(), 3);
  {
    // A connected digit that goes is let go of.
    TMMLEDDigit hundreds(nullptr, &form);
    tens.SetConnect(&hundreds);
  }
  EXPECT_EQ(tens.GetConnect(), nullptr);
  units.SetValue(567);
  EXPECT_EQ(tens.GetValue(), 6);
}

TEST(LEDDigit, AlikeDigitsShareOneStripAndTheLastOneFreesTheCache) {
  ASSERT_EQ(TDigitCache::Instance(), nullptr) << "a digit of another test is still alive";
  {
    QWidget form;
    auto a = std::make_unique<TMMLEDDigit>(nullptr, &form);
    auto b = std::make_unique<TMMLEDDigit>(nullptr, &form);
    ASSERT_NE(TDigitCache::Instance(), nullptr);
    EXPECT_EQ(TDigitCache::Instance()->EntryCount(), 1);
    EXPECT_EQ(a->Strip(), b->Strip());
    a->SetLEDColor(clRed);
    EXPECT_EQ(TDigitCache::Instance()->EntryCount(), 2) << "b keeps the old colours";
    EXPECT_NE(a->Strip(), b->Strip());
    b->SetLEDColor(clRed);
    EXPECT_EQ(TDigitCache::Instance()->EntryCount(), 1);
    EXPECT_EQ(a->Strip(), b->Strip());
    a.reset();
    EXPECT_EQ(TDigitCache::Instance()->EntryCount(), 1);
    b.reset();
    EXPECT_EQ(TDigitCache::Instance(), nullptr);
  }
  // A panel's digits go with it.
  {
    TMMLEDPanel panel(nullptr);
    panel.SetNumDigits(5);
    EXPECT_EQ(TDigitCache::Instance()->EntryCount(), 1);
    panel.SetValue(-1);
    EXPECT_EQ(panel.GetValue(), 0);
  }
  EXPECT_EQ(TDigitCache::Instance(), nullptr);
}
