// needlerec: the recorder's window, on the platform's message loop until it is closed.
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "app/main_window.h"
#include "platform/ui/ui.h"

int main(int argc, char** argv) {
  // Answered before the application object exists, so that they need no display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
      std::cout << "needlerec " NEEDLEREC_VERSION "\n";
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << "usage: needlerec [--help] [--version]\n"
                   "\n"
                   "Records, monitors and plays sound in a window with needle VU meters.\n"
                   "The window reads no other arguments; needlerec-cli records from a terminal.\n"
                   "  -h, --help     this text\n"
                   "  -V, --version  the version\n";
      return 0;
    }
  }
  // A file-size limit (ulimit -f) makes the write fail with EFBIG instead of killing the
  // program: the recording then ends with its file saved and says why.
  std::signal(SIGXFSZ, SIG_IGN);
  QApplication app(argc, argv);
  // No application display name: the window system would add it to every title, and the
  // window's and dialogs' titles are exactly the layout's. The desktop file name ties the
  // window to the installed menu entry and its icon.
  QGuiApplication::setDesktopFileName("needlerec");
  InitWindowSystem();
  int status = 0;
  {
    TfrmMain window;
    SetReportWindow(&window);
    CloseOnTerminationSignals(&window);
    // Centred on the screen.
    if (QScreen* screen = QGuiApplication::primaryScreen())
      window.move(screen->availableGeometry().center() - window.rect().center());
    window.show();
    // For the start-up benchmark: quit as soon as the window is shown.
    if (std::getenv("NEEDLEREC_QUIT_WHEN_SHOWN")) QTimer::singleShot(0, &window, &QWidget::close);
    status = app.exec();
    SetReportWindow(nullptr);
  }
  return status;
}
