#include "controls/spin_button.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLocale>
#include <QPainter>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "controls/float_number_edit.h"
#include "tests/controls/dib_test_support.h"

namespace fs = std::filesystem;
using namespace dibtest;

namespace {

// Runs the event loop until `done` or `timeoutMs`; whether it got done.
bool ProcessUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void ProcessFor(int ms) {
  ProcessUntil([] { return false; }, ms);
}

QRect Geometry(QWidget* w) {
  return w->geometry();
}

// The mouse moved with the left button held.
void Drag(QWidget& widget, QPoint pos) {
  QMouseEvent event(QEvent::MouseMove, QPointF(pos), widget.mapToGlobal(QPointF(pos)), Qt::NoButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
}

// A spin button of 20 x 17 that counts its clicks and notes when they came.
class SpinButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.resize(60, 40);
    spin.resize(20, 17);
    host.show();  // a hidden widget hears of its size only when shown
    spin.OnUpClick = [this](TObject* sender) {
      EXPECT_EQ(sender, &spin);
      ups.push_back(clock.elapsed());
    };
    spin.OnDownClick = [this](TObject*) { downs.push_back(clock.elapsed()); };
    clock.start();
  }
  QPoint UpCentre() const { return spin.UpButton()->rect().center(); }
  QPoint DownCentre() const { return spin.DownButton()->rect().center(); }

  QWidget host;
  TSpinButton& spin = *new TSpinButton(nullptr, &host);
  QElapsedTimer clock;
  std::vector<qint64> ups, downs;
};

TEST_F(SpinButtonTest, ButtonsShareTheHeightAndOverlapByOneRow) {
  EXPECT_EQ(Geometry(spin.UpButton()), QRect(0, 0, 20, 8));
  EXPECT_EQ(Geometry(spin.DownButton()), QRect(0, 7, 20, 10));
  spin.resize(30, 24);
  EXPECT_EQ(Geometry(spin.UpButton()), QRect(0, 0, 30, 12));
  EXPECT_EQ(Geometry(spin.DownButton()), QRect(0, 11, 30, 13));
  spin.resize(9, 24);  // at least 15 wide
  EXPECT_EQ(spin.width(), 15);
  EXPECT_EQ(Geometry(spin.UpButton()), QRect(0, 0, 15, 12));

  TSpinButton fresh(nullptr);
  EXPECT_EQ(fresh.size(), QSize(20, 25));
}

TEST_F(SpinButtonTest, AClickIsAReleaseOverTheArrow) {
  Click(*spin.UpButton(), UpCentre());
  Click(*spin.DownButton(), DownCentre());
  Click(*spin.DownButton(), DownCentre());
  EXPECT_EQ(ups.size(), 1u);
  EXPECT_EQ(downs.size(), 2u);
  EXPECT_EQ(spin.FocusedButton(), spin.DownButton());

  // Pressed, dragged off the arrow and let go there: no click, and the arrow pops back up.
  TTimerSpeedButton& up = *spin.UpButton();
  Mouse(up, QEvent::MouseButtonPress, UpCentre());
  EXPECT_TRUE(up.Pressed());
  Drag(up, QPoint(40, 40));
  EXPECT_FALSE(up.Pressed());
  Mouse(up, QEvent::MouseButtonRelease, QPoint(40, 40));
  EXPECT_EQ(ups.size(), 1u);
  EXPECT_FALSE(up.Repeating());
  // The right button does nothing.
  Click(up, UpCentre());
  Mouse(up, QEvent::MouseButtonPress, UpCentre(), Qt::RightButton);
  Mouse(up, QEvent::MouseButtonRelease, UpCentre(), Qt::RightButton);
  EXPECT_EQ(ups.size(), 2u);
}

// Held, the arrow repeats 400 ms after the press and then every 100 ms, and its release adds
// one click. Timers are never early, so the lower bounds are firm; a loaded machine may make
// them late, so the upper bound only tells the short repeat from the long first pause.
TEST_F(SpinButtonTest, HoldingAnArrowRepeatsAfter400msThenEvery100ms) {
  TTimerSpeedButton& up = *spin.UpButton();
  Mouse(up, QEvent::MouseButtonPress, UpCentre());
  const qint64 pressed = clock.elapsed();
  ASSERT_TRUE(ProcessUntil([&] { return ups.size() >= 7; }));
  Mouse(up, QEvent::MouseButtonRelease, UpCentre());
  ASSERT_EQ(ups.size(), 8u);  // the release's click

  EXPECT_GE(ups[0] - pressed, 399);
  qint64 repeats = 0;
  for (size_t i = 1; i < 7; ++i) {
    EXPECT_GE(ups[i] - ups[i - 1], 95) << "repeat " << i;
    repeats += ups[i] - ups[i - 1];
  }
  EXPECT_LT(repeats / 6, 300) << "the repeats keep the first pause";
  EXPECT_FALSE(up.Repeating());
  ProcessFor(300);
  EXPECT_EQ(ups.size(), 8u);
  EXPECT_TRUE(downs.empty());
}

TEST_F(SpinButtonTest, HeldOffTheArrowItDoesNotRepeat) {
  TTimerSpeedButton& down = *spin.DownButton();
  Mouse(down, QEvent::MouseButtonPress, DownCentre());
  Drag(down, QPoint(-30, 4));
  ProcessFor(700);
  EXPECT_TRUE(downs.empty());
  // Back over it, the repeats go on.
  Drag(down, DownCentre());
  ASSERT_TRUE(ProcessUntil([&] { return !downs.empty(); }));
  Mouse(down, QEvent::MouseButtonRelease, DownCentre());
  EXPECT_GE(downs.size(), 2u);
}

TEST_F(SpinButtonTest, ArrowKeysClickTheirButtonAndSpaceTheFocusedOne) {
  EXPECT_EQ(spin.FocusedButton(), spin.UpButton());
  Key(spin, Qt::Key_Space, " ");
  EXPECT_EQ(ups.size(), 1u);
  Key(spin, Qt::Key_Down);
  EXPECT_EQ(downs.size(), 1u);
  EXPECT_EQ(spin.FocusedButton(), spin.DownButton());
  Key(spin, Qt::Key_Space, " ");
  Key(spin, Qt::Key_Space, " ");
  EXPECT_EQ(downs.size(), 3u);
  Key(spin, Qt::Key_Up);
  EXPECT_EQ(ups.size(), 2u);
  EXPECT_EQ(spin.FocusedButton(), spin.UpButton());
  Key(spin, Qt::Key_Left);
  Key(spin, Qt::Key_A, "a");
  EXPECT_EQ(ups.size(), 2u);
  EXPECT_EQ(downs.size(), 3u);
}

TEST_F(SpinButtonTest, DisabledItTakesNoInputAndLooksTheSame) {
  const QImage enabled = spin.grab().toImage();
  spin.SetEnabled(false);
  EXPECT_FALSE(spin.Enabled());
  Click(*spin.UpButton(), UpCentre());
  Key(spin, Qt::Key_Down);
  Key(spin, Qt::Key_Space, " ");
  EXPECT_TRUE(ups.empty());
  EXPECT_TRUE(downs.empty());
  EXPECT_EQ(spin.grab().toImage(), enabled);
  spin.SetEnabled(true);
  Click(*spin.UpButton(), UpCentre());
  EXPECT_EQ(ups.size(), 1u);
}

TEST_F(SpinButtonTest, ClicksFireNoEventWhileLoading) {
  spin.BeginLoading();
  Click(*spin.UpButton(), UpCentre());
  Key(spin, Qt::Key_Down);
  spin.Loaded();
  EXPECT_TRUE(ups.empty());
  EXPECT_TRUE(downs.empty());
}

TEST_F(SpinButtonTest, GlyphsAreReplacedAndRestored) {
  QImage arrow(9, 6, QImage::Format_RGB32);
  arrow.fill(Qt::white);
  arrow.setPixel(4, 2, qRgb(255, 0, 0));
  spin.SetUpGlyph(arrow);
  EXPECT_EQ(spin.UpGlyph(), arrow);
  // The strip's background (its bottom-left colour) is transparent; the arrow shows.
  const QImage shown = spin.UpButton()->grab().toImage();
  const QPoint at((20 - 9) / 2 + 4, (8 - 6) / 2 + 2);
  EXPECT_EQ(shown.pixel(at), qRgb(255, 0, 0));
  EXPECT_NE(shown.pixel(at + QPoint(1, 0)), qRgb(255, 255, 255));

  spin.SetUpGlyph(QImage());
  EXPECT_EQ(spin.UpGlyph(), TSpinButton::BuiltInGlyph(true));
  spin.SetDownNumGlyphs(3);
  spin.SetDownNumGlyphs(5);
  spin.SetDownNumGlyphs(0);
  EXPECT_EQ(spin.DownNumGlyphs(), 3);
}

// The reference-level box with its arrows as the window shows them, on a plate of the window's
// silver, kept for a person to look at.
TEST(SpinButtonPicture, EditWithSpinButtonOnThePlate) {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  QWidget plate;
  plate.resize(110, 40);
  plate.setAutoFillBackground(true);
  QPalette palette = plate.palette();
  palette.setColor(QPalette::Window, QColor(196, 198, 200));
  plate.setPalette(palette);
  auto* edit = new TMMFloatNumberEdit(nullptr, &plate);
  edit->setGeometry(8, 11, 50, 18);
  edit->setReadOnly(true);
  edit->setFrame(false);
  edit->SetMinValue(-30);
  edit->SetMaxValue(-10);
  edit->SetValue(-16);
  auto* spin = new TSpinButton(nullptr, &plate);
  spin->setGeometry(59, 12, 20, 17);
  spin->SetFocusControl(edit);
  spin->OnUpClick = [edit](TObject*) { edit->SetValue(edit->Value() + 0.1); };
  plate.show();
  Click(*spin->UpButton(), spin->UpButton()->rect().center());
  EXPECT_EQ(edit->Text(), "-15.90");

  // The down arrow held, so both faces show.
  Mouse(*spin->DownButton(), QEvent::MouseButtonPress, spin->DownButton()->rect().center());
  const QImage picture = plate.grab().toImage();
  Mouse(*spin->DownButton(), QEvent::MouseButtonRelease, QPoint(-50, -50));
  const fs::path artefacts = fs::path(NEEDLEREC_ARTEFACTS);
  fs::create_directories(artefacts);
  picture.scaled(picture.size() * 4)
      .save(QString::fromStdString((artefacts / "reference-level-edit.png").string()));

  // The up arrow: its dark triangle in the middle of a light cap; the down arrow sunk darker.
  const QRgb upGlyph = picture.pixel(59 + 10, 12 + 4);
  const QRgb upCap = picture.pixel(59 + 3, 12 + 4);
  EXPECT_LT(qGray(upGlyph), 60);
  EXPECT_GT(qGray(upCap), 200);
  EXPECT_LT(qGray(picture.pixel(59 + 3, 12 + 12)), qGray(upCap));
  QLocale::setDefault(QLocale::system());
}

}  // namespace
