// The dialogs of the window: the settings dialog's place, title and rendering, and a file
// dialog that leaves no hover behind on the button that opened it.
#include "app/device_dialog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/main_window.h"
#include "controls/dib_glyph_button.h"
#include "controls/dib_image_container.h"
#include "platform/kernel/thread.h"
#include "platform/mainloop/main_loop.h"
#include "platform/ui/ui.h"
#include "platform/wave/system_driver.h"
#include "platform/wave/wave_api.h"

namespace {

namespace fs = std::filesystem;

class DeviceDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nr-dialog-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    setenv("NEEDLEREC_ALSA_DEVICES", "", 1);
    // The window saves its settings when it goes: to the per-user place, in the test's folder.
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    SetWaveDriver(nullptr);
    RescanWaveDevices();
    InitWindowSystem();
  }
  void TearDown() override {
    window.reset();
    for (int i = 0; i < 100 && LiveThreadCount() != 0; ++i) {
      QApplication::processEvents();
      ProcessMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ReapFinishedThreads();
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(dir);
  }

  fs::path dir;
  std::unique_ptr<TfrmMain> window;
};

TEST_F(DeviceDialogTest, OpensCentredOnTheScreenWithTheLayoutsTitle) {
  window = std::make_unique<TfrmMain>((dir / "needlerec").string());
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  // The main window well away from the centre of the screen.
  window->move(screen.topLeft());
  window->show();
  QApplication::processEvents();
  window->btnSettingClick();
  ASSERT_TRUE(window->frmDevice);
  TfrmDevice& dialog = *window->frmDevice;
  QApplication::processEvents();
  ASSERT_TRUE(dialog.isVisible());

  // Within the frame's margins of the screen's centre, not on the main window's.
  const QPoint centre = dialog.frameGeometry().center();
  EXPECT_LE((centre - screen.center()).manhattanLength(), 40)
      << centre.x() << "," << centre.y() << " on a screen centred at " << screen.center().x() << ","
      << screen.center().y();
  EXPECT_GT((centre - window->frameGeometry().center()).manhattanLength(), 80);

  // Exactly the layout's titles; the program sets no display name that the window system
  // would add to them.
  EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("設定"));
  EXPECT_EQ(window->windowTitle(), "Needle Recorder");
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());

  const fs::path artefacts = NEEDLEREC_ARTEFACTS;
  fs::create_directories(artefacts);
  dialog.grab().save(QString::fromStdString((artefacts / "settings-dialog.png").string()));
  dialog.close();
}

// A save dialog that is a real modal window, cancelled as soon as it is up.
class TCancelledModalDialogs : public TDialogs {
 public:
  std::optional<std::string> OpenFile(QWidget*, const std::string&, const std::string&,
                                      const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> SaveFile(QWidget* parent, const std::string&, const std::string&,
                                      const std::string&) override {
    QDialog dialog(parent);
    QTimer::singleShot(0, &dialog, &QDialog::reject);
    dialog.exec();
    return std::nullopt;
  }
  void MessageBox(QWidget*, const std::string&, const std::string&) override {}
  bool Confirm(QWidget*, const std::string&, const std::string&) override { return false; }
};

TEST_F(DeviceDialogTest, TheRecordButtonLosesItsHoverAfterACancelledSaveDialog) {
  SetDialogs(std::make_shared<TCancelledModalDialogs>());
  window = std::make_unique<TfrmMain>((dir / "needlerec").string());
  window->move(0, 0);
  window->show();
  QApplication::processEvents();
  TDIBGlyphButton* rec = window->btnRec;
  const QRect area = rec->BoundsRect();
  const QImage before = window->grab(area).toImage();

  // The cursor ends up away from the window, where the dialog was.
  QCursor::setPos(QPoint(750, 550));
  QApplication::processEvents();
  QWidget* container = window->DIBImageContainer1;
  const QPointF at = area.center();
  for (QEvent::Type type :
       {QEvent::MouseMove, QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent event(type, at, container->mapToGlobal(at),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(container, &event);
  }
  for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);

  EXPECT_FALSE(window->Recording);
  EXPECT_EQ(rec->State(), bsUp);
  const QImage after = window->grab(area).toImage();
  const fs::path artefacts = NEEDLEREC_ARTEFACTS;
  fs::create_directories(artefacts);
  window->grab().save(
      QString::fromStdString((artefacts / "main-window-after-cancelled-save.png").string()));
  EXPECT_TRUE(after == before) << "the record button still shows another glyph";
  SetDialogs(nullptr);
}

}  // namespace
