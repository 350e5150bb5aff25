// The Qt side of the window system: the adapter that drains the main loop from Qt's event loop,
// the application's error report, the open and save file dialogs and message boxes behind an
// interface that tests replace with scripted answers, the font substitutions, and the ending
// of the program on a termination signal.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QWidget;

class TDialogs {
 public:
  virtual ~TDialogs() = default;
  // The chosen file's full name, or none when the user cancels. `filter` is in the form
  // "Wave Files(*.wav)|*.wav". The open dialog shows `selected` (a full name) chosen, when
  // given; the save dialog opens in the folder of `suggestedName` (a full name) with its name
  // filled in. Neither asks about an existing file: the caller does (Confirm).
  virtual std::optional<std::string> OpenFile(QWidget* parent, const std::string& title,
                                              const std::string& filter,
                                              const std::string& selected = "") = 0;
  virtual std::optional<std::string> SaveFile(QWidget* parent, const std::string& title,
                                              const std::string& filter,
                                              const std::string& suggestedName) = 0;
  virtual void MessageBox(QWidget* parent, const std::string& text, const std::string& caption) = 0;
  // Asks a question to be answered Yes or No (the default); true for Yes.
  virtual bool Confirm(QWidget* parent, const std::string& text, const std::string& caption) = 0;
};

// The dialogs in use: Qt's own unless a test has installed others.
TDialogs& Dialogs();
// Installs dialogs (tests); none restores Qt's.
void SetDialogs(std::shared_ptr<TDialogs> dialogs);

// Sets up the platform for a QApplication that exists: the main loop is drained from Qt's event
// loop, errors reported by the engine are shown as message boxes over `mainWindow`, and the
// font families the windows ask for map onto installed fonts. Call once, before any window.
void InitWindowSystem();
// The window the error report and message boxes appear over.
void SetReportWindow(QWidget* window);

// The system's default beep, as controls sound it for a key they refuse.
void Beep();
// Replaces what Beep does (tests count the beeps); none restores the system's beep. Main
// thread only.
void SetBeepHandler(std::function<void()> handler);

// SIGTERM, SIGINT and SIGHUP close `window` the normal way (from Qt's event loop, not from the
// signal handler), so a recording is finished and the settings are saved before the end. Open
// modal dialogs and message boxes are ended first; further signals while the close runs are
// absorbed, and from the signal on the error report and message boxes write to the standard
// error output instead of waiting for a person.
void CloseOnTerminationSignals(QWidget* window);

// The caption of the error report's message boxes.
extern const char* const kApplicationTitle;  // "Needle Recorder"

// Font families of the layouts, mapped onto installed fonts.
extern const char* const kJapaneseGothic;  // "ＭＳ Ｐゴシック"
