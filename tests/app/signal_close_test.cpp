// The end of the program on termination signals: the real needlerec on the virtual devices,
// signalled as `timeout` and impatient users do, and the window system's side in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/mainloop/main_loop.h"
#include "platform/ui/ui.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether `pid` has a handler of its own for `signal` (the caught mask in /proc).
bool Catches(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("SigCgt:", 0) == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
  return false;
}

// The program, copied into a folder of its own, with a home and a configuration folder of its
// own in the test's folder.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nr-signal-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    fs::create_directory(dir / "runtime");
    fs::create_directory(dir / "home");
    fs::permissions(dir / "runtime", fs::perms::owner_all);
    fs::copy_file(NEEDLEREC_BINARY, dir / "needlerec");
  }
  void TearDown() override {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    fs::remove_all(dir);
  }

  // Starts the program (by default the copy in the test's folder) and waits until it handles
  // SIGTERM itself (its window is up). XDG_CONFIG_HOME is `config`, or unset when it is empty.
  void Start(const fs::path& program = {}, const fs::path& config = {}) {
    const fs::path exe = program.empty() ? dir / "needlerec" : program;
    const fs::path xdg = config.empty() && program.empty() ? dir / "config" : config;
    pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int err = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, 2);
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      ::setenv("XDG_RUNTIME_DIR", (dir / "runtime").c_str(), 1);
      ::setenv("NEEDLEREC_ALSA_DEVICES", "", 1);  // the virtual devices only
      ::unsetenv("NEEDLEREC_QUIT_WHEN_SHOWN");
      ::setenv("HOME", (dir / "home").c_str(), 1);
      if (xdg.empty())
        ::unsetenv("XDG_CONFIG_HOME");
      else
        ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
      ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (!Catches(pid, SIGTERM) && Clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(Catches(pid, SIGTERM)) << "the window did not come up";
  }

  // The exit status, or none when the program is still running after the time limit.
  std::optional<int> Wait(int seconds) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    do {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < end);
    return std::nullopt;
  }

  fs::path dir;
  pid_t pid = -1;
};

TEST_F(ProgramTest, TwoQuickSignalsStillSaveTheSettingsAndEndCleanly) {
  const struct {
    const char* name;
    int sent[2];
  } cases[] = {{"SIGTERM twice", {SIGTERM, SIGTERM}}, {"SIGINT then SIGTERM", {SIGINT, SIGTERM}}};
  const fs::path ini = dir / "config" / "needlerec" / "needlerec.ini";
  for (const auto& c : cases) {
    fs::remove(ini);
    Start();
    ::kill(pid, c.sent[0]);
    ::kill(pid, c.sent[1]);
    const std::optional<int> status = Wait(20);
    ASSERT_TRUE(status.has_value()) << c.name << ": still running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << c.name << ": status " << *status << "\n"
        << ReadFile(dir / "stderr.txt");
    const std::string saved = ReadFile(ini);
    for (const char* key :
         {"OutputDev=", "InputDev=", "SampleRate=", "LRefLevel=", "RRefLevel=", "ScaleFactor="})
      EXPECT_NE(saved.find(key), std::string::npos) << c.name << ": " << key << "\n" << saved;
  }
}

// Where the settings file goes, by how the program was installed: a portable copy keeps using
// the file beside it; a program in a writable folder (~/.local/bin) and one in a folder it
// cannot write (or, as root, should not: /usr/bin) leave nothing beside them and keep their
// settings in the per-user place.
TEST_F(ProgramTest, TheSettingsFileIsBesideAPortableCopyElseInThePerUserPlace) {
  const fs::path home = dir / "home";
  const struct {
    const char* name;
    fs::path bin;
    bool portable;
    bool readOnly;
    fs::path config;  // XDG_CONFIG_HOME; empty: unset
    fs::path ini;     // where the settings must be
  } cases[] = {
      {"portable", dir / "portable", true, false, dir / "config",
       dir / "portable" / "needlerec.ini"},
      {"per-user install", home / ".local" / "bin", false, false, dir / "config",
       dir / "config" / "needlerec" / "needlerec.ini"},
      {"system install",
       dir / "usr" / "bin",
       false,
       true,
       {},
       home / ".config" / "needlerec" / "needlerec.ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(c.bin);
    fs::copy_file(NEEDLEREC_BINARY, c.bin / "needlerec", fs::copy_options::overwrite_existing);
    // Values of its own that the program reads and writes back.
    if (c.portable) std::ofstream(c.bin / "needlerec.ini") << "[Common]\nScaleFactor=7\n";
    if (c.readOnly)
      fs::permissions(c.bin, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read |
                                 fs::perms::others_exec);
    ASSERT_NO_FATAL_FAILURE(Start(c.bin / "needlerec", c.config));
    ::kill(pid, SIGTERM);
    const std::optional<int> status = Wait(20);
    fs::permissions(c.bin, fs::perms::owner_all);
    ASSERT_TRUE(status.has_value()) << "still running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n"
                                                                 << ReadFile(dir / "stderr.txt");

    const std::string saved = ReadFile(c.ini);
    for (const char* key :
         {"OutputDev=", "InputDev=", "SampleRate=", "LRefLevel=", "RRefLevel=", "ScaleFactor="})
      EXPECT_NE(saved.find(key), std::string::npos) << key << " in " << c.ini << ":\n" << saved;
    if (c.portable) {
      EXPECT_NE(saved.find("ScaleFactor=7\n"), std::string::npos) << "read from there";
      EXPECT_FALSE(fs::exists(dir / "config")) << "nothing in the per-user place";
    } else {
      EXPECT_FALSE(fs::exists(c.bin / "needlerec.ini")) << "written beside the program";
      EXPECT_EQ(fs::status(c.ini.parent_path()).permissions(), fs::perms::owner_all);
    }
    std::vector<std::string> beside;
    for (const auto& e : fs::directory_iterator(c.bin)) beside.push_back(e.path().filename());
    std::sort(beside.begin(), beside.end());
    const std::vector<std::string> expected =
        c.portable ? std::vector<std::string>{"needlerec", "needlerec.ini"}
                   : std::vector<std::string>{"needlerec"};
    EXPECT_EQ(beside, expected);
  }
}

TEST_F(ProgramTest, ASettingsFileThatIsAFolderIsReportedOnStderrAndTheProgramEnds) {
  fs::create_directory(dir / "needlerec.ini");
  Start();
  ::kill(pid, SIGTERM);
  const std::optional<int> status = Wait(20);
  ASSERT_TRUE(status.has_value()) << "still running: a message box waits for nobody";
  EXPECT_TRUE(WIFEXITED(*status)) << *status;
  const std::string err = ReadFile(dir / "stderr.txt");
  EXPECT_NE(err.find("Could not save the settings"), std::string::npos) << err;
  EXPECT_NE(err.find("needlerec.ini"), std::string::npos) << err;
}

// A settings file that is a FIFO (its open would block the start) or a link to /dev/zero (a read
// without end) is not read: the window comes up on the defaults and says why on stderr, and the
// file stays what it was.
TEST_F(ProgramTest, ASettingsFileThatIsNoRegularFileIsIgnoredWithAMessage) {
  for (const char* kind : {"FIFO", "/dev/zero"}) {
    SCOPED_TRACE(kind);
    fs::remove(dir / "needlerec.ini");
    if (std::string(kind) == "FIFO")
      ASSERT_EQ(::mkfifo((dir / "needlerec.ini").c_str(), 0600), 0);
    else
      fs::create_symlink("/dev/zero", dir / "needlerec.ini");
    ASSERT_NO_FATAL_FAILURE(Start());
    ::kill(pid, SIGTERM);
    const std::optional<int> status = Wait(20);
    ASSERT_TRUE(status.has_value()) << "still running";
    const std::string err = ReadFile(dir / "stderr.txt");
    EXPECT_NE(err.find("needlerec: " + (dir / "needlerec.ini").string() +
                       ": not a regular file; the default settings are used"),
              std::string::npos)
        << err;
    EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(dir / "needlerec.ini")));
  }
}

// ------------------------------------------------------------------ in this process

class TRecordedDialogs : public TDialogs {
 public:
  std::optional<std::string> OpenFile(QWidget*, const std::string&, const std::string&,
                                      const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> SaveFile(QWidget*, const std::string&, const std::string&,
                                      const std::string&) override {
    return std::nullopt;
  }
  void MessageBox(QWidget*, const std::string& text, const std::string&) override {
    Messages.push_back(text);
  }
  bool Confirm(QWidget*, const std::string&, const std::string&) override { return false; }
  std::vector<std::string> Messages;
};

// A window whose close fails to save, as one with an unwritable settings file does.
class TFailingCloseWindow : public QWidget {
 public:
  int Closes = 0;

 protected:
  void closeEvent(QCloseEvent* event) override {
    ++Closes;
    // A further signal while the close runs.
    std::raise(SIGTERM);
    QApplication::processEvents();
    try {
      throw std::runtime_error("Could not save the settings: test.ini: Is a directory");
    } catch (...) {
      HandleException(std::current_exception());
    }
    event->accept();
  }
};

TEST(TerminationSignalTest, ClosesOverAModalBoxOnceAndReportsOnStderr) {
  InitWindowSystem();
  auto dialogs = std::make_shared<TRecordedDialogs>();
  SetDialogs(dialogs);
  {
    TFailingCloseWindow window;
    window.show();
    CloseOnTerminationSignals(&window);
    // Before the signals, reports are message boxes.
    HandleException(std::make_exception_ptr(std::runtime_error("shown")));
    EXPECT_EQ(dialogs->Messages, std::vector<std::string>{"shown"});

    ::testing::internal::CaptureStderr();
    QMessageBox box(QMessageBox::Warning, "Needle Recorder", "A box nobody answers",
                    QMessageBox::Ok, &window);
    QTimer::singleShot(0, &box, [] {
      std::raise(SIGTERM);
      std::raise(SIGTERM);
    });
    box.exec();  // returns when the signal ends it
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (window.isVisible() && Clock::now() < end) QApplication::processEvents();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(window.Closes, 1);
    EXPECT_EQ(dialogs->Messages.size(), 1u) << "no message box during the close";
    EXPECT_NE(err.find("Could not save the settings: test.ini: Is a directory"), std::string::npos)
        << err;
  }
  SetDialogs(nullptr);
}

// --version and --help are answered before any window system is reached: with no display
// and no platform named, both exit 0 with their text on standard output.
TEST(ProgramWords, VersionAndHelpNeedNoDisplay) {
  const struct {
    const char* word;
    std::string start;
  } cases[] = {{"--version", "needlerec " NEEDLEREC_VERSION "\n"}, {"--help", "usage: needlerec "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    const std::string command =
        std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") + NEEDLEREC_BINARY +
        " " + c.word + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = ::pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(out.rfind(c.start, 0), 0u) << out;
  }
}

}  // namespace
