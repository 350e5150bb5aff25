// Driver of window_bench.sh: the program's window, headless, monitoring or recording its input
// device for a number of seconds with every instrument live, as a person's clicks would start
// it. Prints the process's CPU over that time as a share of one core, and the voluntary
// context switches a second (wake-ups), measured from the moment the run has started.
//   window_driver monitor SECONDS
//   window_driver record SECONDS FILE
#include <sys/resource.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/main_window.h"
#include "controls/dib_glyph_button.h"
#include "platform/mainloop/main_loop.h"
#include "platform/ui/ui.h"

namespace {

// Answers the save dialog with the file to record to; reports go to standard error.
class TBenchDialogs : public TDialogs {
 public:
  explicit TBenchDialogs(std::string file) : FFile(std::move(file)) {}
  std::optional<std::string> OpenFile(QWidget*, const std::string&, const std::string&,
                                      const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> SaveFile(QWidget*, const std::string&, const std::string&,
                                      const std::string&) override {
    return FFile;
  }
  void MessageBox(QWidget*, const std::string& text, const std::string&) override {
    std::fprintf(stderr, "window_driver: %s\n", text.c_str());
  }
  bool Confirm(QWidget*, const std::string&, const std::string&) override { return false; }

 private:
  std::string FFile;
};

struct TUsage {
  double cpu;
  long switches;
};

TUsage Usage() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return {double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
              double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6,
          u.ru_nvcsw};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::string(argv[1]) == "record" && argc < 4)) {
    std::fprintf(stderr, "usage: window_driver monitor SECONDS | record SECONDS FILE\n");
    return 2;
  }
  const bool record = std::string(argv[1]) == "record";
  const double seconds = std::atof(argv[2]);
  QApplication app(argc, argv);
  InitWindowSystem();
  SetDialogs(std::make_shared<TBenchDialogs>(record ? argv[3] : ""));
  int status = 0;
  {
    TfrmMain window;
    window.show();
    if (record)
      window.btnRecClick(window.btnRec);
    else
      window.btnMoniClick(window.btnMoni);
    if (!window.Recording && !window.Monitoring) {
      std::fprintf(stderr, "window_driver: the run did not start\n");
      return 1;
    }
    // Settle for a second (devices primed, first frames), then measure.
    TUsage start{};
    auto began = std::chrono::steady_clock::now();
    QTimer::singleShot(1000, &window, [&] {
      start = Usage();
      began = std::chrono::steady_clock::now();
    });
    QTimer::singleShot(int(1000 + seconds * 1000), &window, [&] {
      const TUsage end = Usage();
      const double wall =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      std::printf("%.3f %.0f\n", 100.0 * (end.cpu - start.cpu) / wall,
                  double(end.switches - start.switches) / wall);
      window.btnStopClick(window.btnStop);
      window.close();
    });
    status = app.exec();
  }
  return status;
}
