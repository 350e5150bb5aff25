#include "cli/transport.h"

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>

#include "platform/mainloop/main_loop.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_in.h"
#include "stream/wave_out.h"

namespace {

constexpr int32_t kBlockBytes = 8192;

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

// The main window's block sizes and thread mode for a device and its ring buffer.
template <typename TDevice>
void Configure(TDevice& device, TMMRingBuffer& ring, TMMQueueMode mode, TMMDeviceId id) {
  device.SetBufferSize(kBlockBytes);
  device.SetNumBuffers(20);
  device.SetCallBackMode(cmThread);
  device.SetTimeFormat(tfMillisecond);
  device.SetDeviceID(id);
  ring.SetBufferSize(kBlockBytes);
  ring.SetNumBuffers(50);
  ring.SetQueueMode(mode);
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
    TMMWaveFile file(nullptr);
    TMMRingBuffer ring(nullptr);
    TMMWaveOut device(nullptr);
    Configure(device, ring, qmRead, o.device);
    file.SetFileName(o.file);
    ring.SetInput(&file);
    device.SetInput(&ring);
    out << "playing " << o.file << " on " << device.GetProductName() << "\n" << std::flush;
    Run(device, out);
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
    // Declared so that the device goes first, then the ring buffer, then the file.
    TMMWaveFile file(nullptr);
    TMMRingBuffer ring(nullptr);
    TMMWaveIn device(nullptr);
    device.SetMode(mStereo);
    device.SetBitLength(b16Bit);
    device.SetSampleRate(o.rate);
    Configure(device, ring, qmWrite, o.device);
    // The queue to the disk holds --buffer seconds, so that a disk that stalls that long loses
    // nothing; the writer still wakes about five times a second, so that the file on disk is
    // never far behind.
    const WAVEFORMATEX* format = device.GetPWaveFormat();
    const double bytesPerSecond = format ? format->nAvgBytesPerSec : 4.0 * o.rate;
    ring.SetNumBuffers(std::max(2, int32_t(std::ceil(o.buffer * bytesPerSecond / kBlockBytes))));
    ring.SetFlushThreshold(int32_t(bytesPerSecond / 5 / kBlockBytes) + 1);
    if (o.seconds > 0) device.SetMaxRecordTime(int32_t(std::llround(o.seconds * 1000)));
    file.GetWave()->SetFileMustExist(false);
    file.SetFileName(o.file);
    device.SetOutput(&ring);
    ring.SetOutput(&file);
    out << "recording " << o.file << " from " << device.GetProductName() << "\n" << std::flush;
    Run(device, out, [&] { return file.GetEndReason() != feNone; });

    int status = kExitOk;
    if (file.GetEndReason() != feNone) {
      err << FileEndText(file.GetEndReason(), file.GetWrittenMs()) << "\n";
      status = kExitIncomplete;
    }
    if (device.Stalled()) status = kExitIncomplete;  // reported by the device's error
    if (ring.DroppedBlocks() > 0 && format && format->nBlockAlign) {
      const int64_t frames = ring.DroppedBytes() / format->nBlockAlign;
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.3f", double(frames) / format->nSamplesPerSec);
      err << "lost " << seconds << " s of audio (" << frames << " sample frames) in "
          << ring.Dropouts() << " dropouts: the disk did not keep up; a larger --buffer helps\n";
      status = kExitIncomplete;
    }
    out << "recorded " << file.GetWrittenBytes() << " bytes\n";
    return status;
  });
}
