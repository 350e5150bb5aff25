#include "cli/transport.h"

#include <atomic>
#include <csignal>
#include <functional>
#include <optional>

#include "platform/mainloop/main_loop.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_in.h"
#include "stream/wave_out.h"

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) {
  gInterrupted = true;
}

// Ctrl-C (and a polite kill) end the run the normal way, so that a recording is finished.
class TInterruptGuard {
 public:
  TInterruptGuard() {
    gInterrupted = false;
    FOldInt = std::signal(SIGINT, OnInterrupt);
    FOldTerm = std::signal(SIGTERM, OnInterrupt);
  }
  ~TInterruptGuard() {
    std::signal(SIGINT, FOldInt);
    std::signal(SIGTERM, FOldTerm);
  }

 private:
  void (*FOldInt)(int);
  void (*FOldTerm)(int);
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
};

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
      try {
        size_t used = 0;
        o.seconds = std::stod(args[++i], &used);
        if (used != args[i].size() || !(o.seconds > 0) || o.seconds > 2e6) throw 0;
      } catch (...) {
        return "invalid number of seconds '" + args[i] + "'";
      }
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

// Runs the main loop until the device stops or the user interrupts; shows the position about
// once a second. Returns true when interrupted.
template <typename TDevice>
bool RunDevice(TDevice& device, const std::atomic<bool>& stopped, std::ostream& out) {
  while (!stopped) {
    if (RunUntil([&] { return stopped.load() || gInterrupted.load(); }, 1000)) {
      if (gInterrupted) return true;
      break;
    }
    out << "position: " << device.GetPosition() << " ms\n" << std::flush;
  }
  return false;
}

// The main window's block sizes and thread mode for a device and its ring buffer.
template <typename TDevice>
void Configure(TDevice& device, TMMRingBuffer& ring, TMMQueueMode mode, TMMDeviceId id) {
  device.SetBufferSize(8192);
  device.SetNumBuffers(20);
  device.SetCallBackMode(cmThread);
  device.SetTimeFormat(tfMillisecond);
  device.SetDeviceID(id);
  ring.SetBufferSize(8192);
  ring.SetNumBuffers(50);
  ring.SetQueueMode(mode);
}

// Starts a configured chain's device and runs it until it stops or the user interrupts; the
// device is closed (finishing its chain) either way.
template <typename TDevice>
void Run(TDevice& device, std::ostream& out) {
  std::atomic<bool> stopped{false};
  device.OnStop = [&](TObject*) { stopped = true; };
  device.Start();
  if (RunDevice(device, stopped, out)) out << "interrupted\n";
  device.Close();
}

// Runs a command's chain with the engine's errors reported; 0 on success, 1 on an error.
int Guarded(std::ostream& err, const std::function<void()>& body) {
  TErrorReport report(err);
  TInterruptGuard interrupts;
  try {
    body();
  } catch (const std::exception& e) {
    ProcessMessages();
    err << e.what() << "\n";
    return 1;
  }
  return report.Failed() ? 1 : 0;
}

}  // namespace

int PlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  if (auto problem = ParseOptions(args, false, o)) {
    err << "needlerec-cli play: " << *problem << "\n"
        << "usage: needlerec-cli play FILE [--device N]\n";
    return 2;
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
  });
}

int RecordCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  if (auto problem = ParseOptions(args, true, o)) {
    err << "needlerec-cli record: " << *problem << "\n"
        << "usage: needlerec-cli record FILE [--device N] [--rate 44100|48000] [--seconds S]\n";
    return 2;
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
    if (o.seconds > 0) device.SetMaxRecordTime(int32_t(o.seconds * 1000 + 0.5));
    file.GetWave()->SetFileMustExist(false);
    file.SetFileName(o.file);
    device.SetOutput(&ring);
    ring.SetOutput(&file);
    out << "recording " << o.file << " from " << device.GetProductName() << "\n" << std::flush;
    Run(device, out);
    out << "recorded " << device.BytesRecorded() << " bytes\n";
  });
}
