#include "cli/transport.h"

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>

#include "platform/mainloop/main_loop.h"
#include "stream/play_chain.h"
#include "stream/record_chain.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_in.h"
#include "stream/wave_out.h"

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) {
  gInterrupted = true;
}

// Ctrl-C, a polite kill, a closed terminal and a reader that went away end the run the normal
// way, so that a recording is finished.
class TInterruptGuard {
 public:
  TInterruptGuard() {
    gInterrupted = false;
    for (size_t i = 0; i < std::size(kSignals); ++i)
      FOld[i] = std::signal(kSignals[i], OnInterrupt);
  }
  ~TInterruptGuard() {
    for (size_t i = 0; i < std::size(kSignals); ++i) std::signal(kSignals[i], FOld[i]);
  }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  void (*FOld[std::size(kSignals)])(int);
};

std::optional<long> ParseNumber(const std::string& text) {
  try {
    size_t used = 0;
    const long value = std::stol(text, &used);
    if (used != text.size()) return std::nullopt;
    return value;
  } catch (...) {
    return std::nullopt;
  }
}

struct Options {
  std::string file;
  TMMDeviceId device = 0;
  int32_t rate = 44100;
  double seconds = -1;
  double buffer = 10;
};

// A number of seconds in [min, max], or none.
std::optional<double> ParseSeconds(const std::string& text, double min, double max) {
  try {
    size_t used = 0;
    const double value = std::stod(text, &used);
    if (used != text.size() || !(value >= min) || !(value <= max)) return std::nullopt;
    return value;
  } catch (...) {
    return std::nullopt;
  }
}

// Reads FILE and the options a command allows; an error message when the words are wrong.
std::optional<std::string> ParseOptions(const std::vector<std::string>& args, bool record,
                                        Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--device" && hasValue) {
      const auto v = ParseNumber(args[++i]);
      if (!v || *v < -1 || *v > 0x7FFFFFFF) return "invalid device number '" + args[i] + "'";
      o.device = TMMDeviceId(*v);
    } else if (record && a == "--rate" && hasValue) {
      const auto v = ParseNumber(args[++i]);
      if (!v || (*v != 44100 && *v != 48000)) return "the rate must be 44100 or 48000";
      o.rate = int32_t(*v);
    } else if (record && a == "--seconds" && hasValue) {
      // Counted in whole milliseconds by the device.
      const auto v = ParseSeconds(args[++i], 0.001, 2147483.0);
      if (!v) return "--seconds must be between 0.001 and 2147483, not '" + args[i] + "'";
      o.seconds = *v;
    } else if (record && a == "--buffer" && hasValue) {
      const auto v = ParseSeconds(args[++i], 0.1, 600);
      if (!v) return "--buffer must be between 0.1 and 600 seconds, not '" + args[i] + "'";
      o.buffer = *v;
    } else if (a.rfind("--", 0) == 0 || !o.file.empty()) {
      return "unexpected argument '" + a + "'";
    } else {
      o.file = a;
    }
  }
  if (o.file.empty()) return "a FILE is needed";
  return std::nullopt;
}

// Reports errors of the engine's threads on standard error and remembers that one came.
class TErrorReport {
 public:
  explicit TErrorReport(std::ostream& err) {
    SetExceptionHandler([this, &err](std::exception_ptr e) {
      FFailed = true;
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        err << x.what() << "\n";
      } catch (...) {
        err << "Unknown error\n";
      }
    });
  }
  ~TErrorReport() { SetExceptionHandler(nullptr); }
  bool Failed() const { return FFailed; }

 private:
  bool FFailed = false;
};

// Runs the main loop until the device stops, the user interrupts or `ended` turns true; shows
// the position about once a second. Returns true when interrupted.
template <typename TDevice>
bool RunDevice(TDevice& device, const std::atomic<bool>& stopped, std::ostream& out,
               const std::function<bool()>& ended) {
  for (;;) {
    const bool done =
        RunUntil([&] { return stopped.load() || gInterrupted.load() || (ended && ended()); }, 1000);
    if (gInterrupted) return true;
    if (stopped || (ended && ended())) return false;
    if (!done) out << "position: " << device.GetPosition() << " ms\n" << std::flush;
  }
}

// Starts a configured chain's device and runs it until it stops, the user interrupts or
// `ended` turns true; the device is closed (finishing its chain) either way.
template <typename TDevice>
void Run(TDevice& device, std::ostream& out, const std::function<bool()>& ended = nullptr) {
  std::atomic<bool> stopped{false};
  device.OnStop = [&](TObject*) { stopped = true; };
  device.Start();
  if (RunDevice(device, stopped, out, ended)) out << "interrupted\n";
  device.Close();
}

// Runs a command's chain with the engine's errors reported. The body returns the command's
// status when it ends normally (0, or 3 for a recording saved incomplete); an error reported
// meanwhile makes it 1, unless the body has accounted for it as an incomplete recording.
int Guarded(std::ostream& err, const std::function<int()>& body) {
  TErrorReport report(err);
  TInterruptGuard interrupts;
  int status = 0;
  try {
    status = body();
  } catch (const std::exception& e) {
    ProcessMessages();
    err << e.what() << "\n";
    return kExitError;
  }
  if (status == kExitIncomplete) return status;
  return report.Failed() ? kExitError : status;
}

}  // namespace

int PlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  if (auto problem = ParseOptions(args, false, o)) {
    err << "needlerec-cli play: " << *problem << "\n"
        << "usage: needlerec-cli play FILE [--device N]\n";
    return kExitUsage;
  }
  return Guarded(err, [&] {
    TMMPlayChain chain;
    chain.WaveOut->SetDeviceID(o.device);
    chain.File->SetFileName(o.file);
    out << "playing " << o.file << " on " << chain.WaveOut->GetProductName() << "\n" << std::flush;
    Run(*chain.WaveOut, out);
    return kExitOk;
  });
}

int RecordCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  if (auto problem = ParseOptions(args, true, o)) {
    err << "needlerec-cli record: " << *problem << "\n"
        << "usage: needlerec-cli record FILE [--device N] [--rate 44100|48000] [--seconds S]"
           " [--buffer S]\n";
    return kExitUsage;
  }
  return Guarded(err, [&] {
    TMMRecordChain chain;
    TMMWaveIn& device = *chain.WaveIn;
    TMMWaveFile& file = *chain.File;
    device.SetSampleRate(o.rate);
    device.SetDeviceID(o.device);
    chain.SetQueueSeconds(o.buffer);
    if (o.seconds > 0) device.SetMaxRecordTime(int32_t(std::llround(o.seconds * 1000)));
    chain.PrepareRun(o.file);
    out << "recording " << o.file << " from " << device.GetProductName() << "\n" << std::flush;
    Run(device, out, [&] { return file.GetEndReason() != feNone; });

    int status = kExitOk;
    if (file.GetEndReason() != feNone) {
      err << FileEndText(file.GetEndReason(), file.GetWrittenMs()) << "\n";
      status = kExitIncomplete;
    }
    if (device.Stalled()) status = kExitIncomplete;  // reported by the device's error
    if (const int64_t frames = chain.LostFrames()) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.3f", chain.LostSeconds());
      err << "lost " << seconds << " s of audio (" << frames << " sample frames) in "
          << chain.Buffer->Dropouts()
          << " dropouts: the disk did not keep up; a larger --buffer helps\n";
      status = kExitIncomplete;
    }
    out << "recorded " << file.GetWrittenBytes() << " bytes\n";
    return status;
  });
}
