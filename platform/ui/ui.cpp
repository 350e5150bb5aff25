#include "platform/ui/ui.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QFont>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <mutex>
#include <utility>

#include "platform/mainloop/main_loop.h"

const char* const kJapaneseGothic = "ＭＳ Ｐゴシック";
const char* const kApplicationTitle = "Needle Recorder";

namespace {

// "Wave Files(*.wav)|*.wav" -> "Wave Files(*.wav)".
QString QtFilter(const std::string& filter) {
  const size_t bar = filter.find('|');
  return QString::fromStdString(bar == std::string::npos ? filter : filter.substr(0, bar));
}

class TQtDialogs : public TDialogs {
 public:
  std::optional<std::string> OpenFile(QWidget* parent, const std::string& title,
                                      const std::string& filter,
                                      const std::string& selected) override {
    const QString name = QFileDialog::getOpenFileName(
        parent, QString::fromStdString(title), QString::fromStdString(selected), QtFilter(filter));
    if (name.isEmpty()) return std::nullopt;
    return name.toStdString();
  }
  std::optional<std::string> SaveFile(QWidget* parent, const std::string& title,
                                      const std::string& filter,
                                      const std::string& suggestedName) override {
    // The caller asks before an existing file is replaced, once the name has its extension.
    const QString name = QFileDialog::getSaveFileName(
        parent, QString::fromStdString(title), QString::fromStdString(suggestedName),
        QtFilter(filter), nullptr, QFileDialog::DontConfirmOverwrite);
    if (name.isEmpty()) return std::nullopt;
    return name.toStdString();
  }
  void MessageBox(QWidget* parent, const std::string& text, const std::string& caption) override {
    QMessageBox::warning(parent, QString::fromStdString(caption), QString::fromStdString(text));
  }
  bool Confirm(QWidget* parent, const std::string& text, const std::string& caption) override {
    return QMessageBox::warning(parent, QString::fromStdString(caption),
                                QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) == QMessageBox::Yes;
  }
};

std::mutex gDialogsLock;
std::shared_ptr<TDialogs> gDialogs;
QPointer<QWidget> gReportWindow;
std::function<void()> gBeepHandler;  // main thread

// The platform's texts use LF + CR between lines; a message box wants plain line feeds.
std::string Displayable(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') continue;
    out += text[i];
  }
  return out;
}

// The window a report appears over: the active one (a dialog may cover the main window),
// else the main window.
QWidget* ReportParent() {
  if (QWidget* active = QApplication::activeWindow()) return active;
  return gReportWindow;
}

int gSignalPipe[2] = {-1, -1};

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Set on the main thread when a termination signal starts the close; from then on nothing
// waits for a person to answer a message box.
bool gClosingOnSignal = false;

void RestoreDefaultSignals() {
  for (int signal : kTerminationSignals) ::signal(signal, SIG_DFL);
}

extern "C" void OnTerminationSignal(int) {
  // Only async-signal-safe work here: the event loop does the rest. Every signal, the first
  // and any that follow while the close runs (as `timeout` or a hurried user sends them),
  // only asks for the close, so none cuts short the finishing of the recording and the saving
  // of the settings. A close that hangs can still be ended with SIGKILL.
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(gSignalPipe[1], &byte, 1);
  errno = savedErrno;
}

// A report while the program ends on a signal goes to the standard error output instead of a
// message box, which nobody may be there to close.
void ReportToStderr(const std::string& text) {
  const std::string line = "needlerec: " + Displayable(text) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void ShowReport(const std::string& text, const std::string& caption) {
  if (gClosingOnSignal)
    ReportToStderr(text);
  else
    Dialogs().MessageBox(ReportParent(), Displayable(text), caption);
}

// Ends the modal dialogs and message boxes that are open, so that their event loops return
// and none holds up the close.
void EndModalWindows() {
  for (int i = 0; i < 32; ++i) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    modal->close();
    // A message box without an escape button refuses to close; a hidden dialog still ends
    // its event loop.
    if (modal->isVisible()) modal->hide();
  }
}

}  // namespace

TDialogs& Dialogs() {
  std::lock_guard guard(gDialogsLock);
  if (!gDialogs) gDialogs = std::make_shared<TQtDialogs>();
  return *gDialogs;
}

void SetDialogs(std::shared_ptr<TDialogs> dialogs) {
  std::lock_guard guard(gDialogsLock);
  gDialogs = std::move(dialogs);
}

void Beep() {
  if (gBeepHandler)
    gBeepHandler();
  else
    QApplication::beep();
}

void SetBeepHandler(std::function<void()> handler) {
  gBeepHandler = std::move(handler);
}

void SetReportWindow(QWidget* window) {
  gReportWindow = window;
}

void InitWindowSystem() {
  // The layouts name fonts of another platform; these are the installed faces that stand in.
  QFont::insertSubstitution(QString::fromUtf8(kJapaneseGothic), "IPAPGothic");
  QFont::insertSubstitution("Small Fonts", "DejaVu Sans");
  QFont::insertSubstitution("MS Sans Serif", "DejaVu Sans");
  QFont::insertSubstitution("Arial", "DejaVu Sans");

  // Every post to the main thread's queue asks Qt to drain it soon; a flag keeps one request
  // in flight at a time.
  static std::atomic<bool> pending{false};
  SetMainLoopWakeHook([] {
    if (pending.exchange(true)) return;
    QMetaObject::invokeMethod(
        qApp,
        [] {
          pending = false;
          ProcessMessages();
        },
        Qt::QueuedConnection);
  });

  SetExceptionHandler([](std::exception_ptr error) {
    std::string text = "Unknown error";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      text = e.what();
    } catch (...) {
    }
    ShowReport(text, kApplicationTitle);
  });
  SetBusyCursorHook([](bool busy) {
    if (busy)
      QApplication::setOverrideCursor(Qt::WaitCursor);
    else
      QApplication::restoreOverrideCursor();
  });
  SetMessageBoxHook(
      [](const std::string& text, const std::string& caption) { ShowReport(text, caption); });
}

void CloseOnTerminationSignals(QWidget* window) {
  if (gSignalPipe[0] < 0) {
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  }
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, window);
  QPointer<QWidget> target = window;
  QObject::connect(notifier, &QSocketNotifier::activated, window, [target] {
    char buffer[16];
    while (read(gSignalPipe[0], buffer, sizeof buffer) > 0) {
    }
    // A signal read while the close runs (its handlers may process events) changes nothing.
    static bool closing = false;
    if (closing || !target) return;
    closing = true;
    gClosingOnSignal = true;
    EndModalWindows();
    target->close();
    // A window that refused to close goes on as before, and may show its reports again.
    if (target && target->isVisible()) gClosingOnSignal = false;
    closing = false;
  });
  // Without the window nobody reads the pipe: the signals end the program the default way.
  QObject::connect(notifier, &QObject::destroyed, [] { RestoreDefaultSignals(); });
  gClosingOnSignal = false;
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kTerminationSignals) sigaction(signal, &action, nullptr);
}
