// The main of test programs that need a QApplication. The build lists the tests by running the
// program, so it must start on a machine without a display: it then uses Qt's offscreen
// platform. Qt also wants a private runtime folder; each run gets a fresh one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  std::string runtime = (std::filesystem::temp_directory_path() / "nr-qt-XXXXXX").string();
  if (::mkdtemp(runtime.data())) ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

  int result;
  {
    QApplication app(argc, argv);
    result = RUN_ALL_TESTS();
  }
  std::error_code ignored;
  std::filesystem::remove_all(runtime, ignored);
  return result;
}
