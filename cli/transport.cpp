#include "cli/transport.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>

#include "cli/cli.h"
#include "cli/devices.h"
#include "cli/info.h"
#include "cli/options.h"
#include "cli/terminal_meter.h"
#include "cli/usage.h"
#include "platform/mainloop/main_loop.h"
#include "platform/wave/sample_format.h"
#include "stream/connector.h"
#include "stream/play_chain.h"
#include "stream/record_chain.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_format.h"
#include "stream/wave_in.h"
#include "stream/wave_out.h"

namespace {

// The command line's blocks hold 3/8 of a second of audio, eight times the window's: a recorder
// in a terminal or a script runs for hours, and every block wakes the device's threads (and a
// sound server's) once. The meters follow the sound by a block, still within the needle's own
// rise time of about 0.3 s; a quarter second cost a third more of a core's time in all.
constexpr int32_t kBlockMs = 375;
// How long the end of a run waits for a close that a stop in progress holds up.
constexpr uint32_t kCloseWaitMs = 5000;

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) {
  gInterrupted = true;
  WakeMainLoop();  // async-signal-safe: the main loop sees the interruption at once
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

enum class TCommand { Play, Record, Monitor };

const char* CommandName(TCommand command) {
  switch (command) {
    case TCommand::Play:
      return "play";
    case TCommand::Record:
      return "record";
    case TCommand::Monitor:
      return "monitor";
  }
  return "";
}

struct Options {
  std::string file;
  std::string device;  // a number or a name, resolved after the parse; empty: the default
  int32_t rate = 44100;
  double seconds = -1;
  double buffer = 10;
  double refLevel = -16.0;
  bool quiet = false;
  bool overwrite = false;
  bool json = false;  // the end report as one line of JSON
};

// A decimal number in [min, max], or none.
std::optional<double> ParseDecimal(const std::string& text, double min, double max) {
  try {
    size_t used = 0;
    const double value = std::stod(text, &used);
    if (used != text.size() || !(value >= min) || !(value <= max)) return std::nullopt;
    return value;
  } catch (...) {
    return std::nullopt;
  }
}

// A duration in [min, max] seconds for `option`, or the message that shows the accepted forms.
std::optional<std::string> ReadDuration(const std::string& option, const std::string& text,
                                        double min, const char* minText, double max,
                                        const char* maxText, double& seconds) {
  const auto v = ParseDuration(text);
  if (v && *v >= min && *v <= max) {
    seconds = *v;
    return std::nullopt;
  }
  return option + " must be a duration such as " + kDurationForms + " (" + minText + " s to " +
         maxText + " s), not '" + text + "'";
}

// Reads FILE and the options a command allows; an error message when the words are wrong.
std::optional<std::string> ParseOptions(const std::vector<std::string>& args, TCommand command,
                                        Options& o) {
  const bool input = command != TCommand::Play;
  const bool record = command == TCommand::Record;
  CLI::App app;
  PrepareParser(app);
  // The values are read as words here and checked below, with this program's messages.
  std::string device, rate, seconds, buffer, refLevel;
  const CLI::Option* deviceOption = app.add_option("-D,--device", device);
  const CLI::Option *rateOption = nullptr, *secondsOption = nullptr, *refLevelOption = nullptr,
                    *bufferOption = nullptr;
  if (input) {
    rateOption = app.add_option("-r,--rate", rate);
    secondsOption = app.add_option("-d,--seconds", seconds);
    refLevelOption = app.add_option("--ref-level", refLevel);
    app.add_flag("-q,--quiet", o.quiet);
    app.add_flag("--json", o.json);
  }
  if (record) {
    bufferOption = app.add_option("--buffer", buffer);
    app.add_flag("-y,--overwrite", o.overwrite);
  }
  if (command != TCommand::Monitor) app.add_option("FILE", o.file);
  if (auto problem = ParseWords(app, args)) return problem;

  const auto given = [](const CLI::Option* option) { return option && option->count() > 0; };
  if (given(deviceOption)) {
    o.device = device;
    if (o.device.empty()) return "--device needs a number or a name";
  }
  if (given(rateOption)) {
    if (rate != "44100" && rate != "48000") return "the rate must be 44100 or 48000";
    o.rate = rate == "44100" ? 44100 : 48000;
  }
  // Counted in whole milliseconds by the device.
  if (given(secondsOption))
    if (auto problem =
            ReadDuration("--seconds", seconds, 0.001, "0.001", 2147483.0, "2147483", o.seconds))
      return problem;
  if (given(bufferOption))
    if (auto problem = ReadDuration("--buffer", buffer, 0.1, "0.1", 600, "600", o.buffer))
      return problem;
  if (given(refLevelOption)) {
    // The needle meter keeps one decimal inside -30..-10.
    const auto v = ParseDecimal(refLevel, -30.0, -10.0);
    if (!v) return "--ref-level must be between -30 and -10 dBFS, not '" + refLevel + "'";
    o.refLevel = RoundRefLevel(*v);
  }
  if (command != TCommand::Monitor && o.file.empty()) return "a FILE is needed";
  return std::nullopt;
}

// Parses a command's words and resolves its device: kExitOk, or the exit status after saying
// on `err` what is wrong (a usage error, or no sound input to record from).
int ParseCommand(const std::vector<std::string>& args, TCommand command, Options& o,
                 TMMDeviceId& device, std::ostream& err) {
  const std::string name = CommandName(command);
  if (auto problem = ParseOptions(args, command, o)) {
    err << "needlerec-cli " << name << ": " << *problem << "\n" << CommandSynopsis(name);
    return kExitUsage;
  }
  std::string error;
  // Without --device, a recording or the meters take the first sound input, never the test
  // signal; a file plays on the first output.
  const bool input = command != TCommand::Play;
  if (o.device.empty() && input) {
    const auto id = DefaultInputDevice(error);
    if (!id) {
      err << "needlerec-cli: " << error << "\n";
      return kExitError;
    }
    device = TMMDeviceId(*id);
    return kExitOk;
  }
  const auto id = ResolveDevice(o.device.empty() ? "0" : o.device, input, error);
  if (!id) {
    err << "needlerec-cli " << name << ": " << error << "\n";
    return kExitUsage;
  }
  device = TMMDeviceId(*id);
  return kExitOk;
}

// Reports errors of the engine's threads on standard error and remembers that one came.
class TErrorReport {
 public:
  TErrorReport(std::ostream& err, const std::string& file) {
    SetExceptionHandler([this, &err, file](std::exception_ptr e) {
      FFailed = true;
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        err << ErrorLine(x, file) << "\n";
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

// The live meters of a record chain's connector and where they are shown. Main thread.
class TLiveMeters {
 public:
  TLiveMeters(TMMRecordChain& chain, const Options& o, std::ostream& out)
      : FMeter(o.refLevel),
        FDisplay(out, IsTerminal(out), o.quiet, TerminalColumns()),
        FOut(out),
        FClips(chain.Connector->Clips()) {
    if (o.quiet) {
      // Off, the connector passes the blocks on without copying them for display.
      chain.Connector->SetEnabled(false);
      return;
    }
    FConnector = chain.Connector;
    // The last readings stay after the stop, for the closing lines.
    FConnector->SetRefreshOnStop(false);
    // The main loop refreshes the meters itself when it wakes (Tick), so the connector runs no
    // loop of its own: one wake-up a refresh instead of a timer's and the loop's.
    FConnector->SetAutoTrigger(false);
    FMeter.Attach(*FConnector);
    // A refresh hands over every piece that came due since the last one, from the block the
    // connector holds and the one before: refreshes need not come more often than the lines
    // are drawn, but must come before the block after next arrives; at most one a block, with
    // a margin.
    FWakeMs = FDisplay.IntervalMs();
    const WAVEFORMATEX* format = chain.WaveIn->GetPWaveFormat();
    if (format && format->nAvgBytesPerSec) {
      const int64_t blockMs = int64_t(chain.BlockBytes()) * 1000 / int64_t(format->nAvgBytesPerSec);
      FWakeMs = std::max<int64_t>(1, std::min(FWakeMs, blockMs * 4 / 5));
    }
  }
  // How often the main loop is to call Tick; with the meters off, only to show the position.
  uint32_t WakeMs() const { return uint32_t(FConnector ? FWakeMs : kQuietWakeMs); }
  // Hands the meters what came due and draws the lines when their interval has passed.
  void Tick(int64_t elapsedMs) {
    if (!FConnector) return;
    FConnector->CatchUp();
    const auto now = std::chrono::steady_clock::now();
    if (now - FShownAt < std::chrono::milliseconds(FDisplay.IntervalMs()) - kEarly) return;
    FShownAt = now;
    FDisplay.Show(FMeter.Readings(), elapsedMs);
  }
  // The last lines, then how many samples clipped in the whole run (also with --quiet: the
  // connector counts every block, shown or not).
  void Finish(int64_t elapsedMs) {
    if (FConnector) FConnector->CatchUp();
    FDisplay.Finish(FMeter.Readings(), elapsedMs);
    if (const auto line = FormatClipLine(FClips.Clipped(0), FClips.Clipped(1)))
      FOut << *line << "\n";
  }

 private:
  static constexpr int64_t kQuietWakeMs = 1000;
  // A wake-up a little before the interval is up still draws, so that a timer that fires a
  // hair early does not skip a frame.
  static constexpr std::chrono::milliseconds kEarly{5};
  TTerminalMeter FMeter;
  TMeterDisplay FDisplay;
  std::ostream& FOut;
  const TMMClipCounter& FClips;        // the chain connector's
  TMMConnector* FConnector = nullptr;  // the chain's, while the meters are on
  int64_t FWakeMs = 0;
  std::chrono::steady_clock::time_point FShownAt{};
};

// Runs the main loop until the device stops, the user interrupts or `ended` turns true; shows
// the meters at their display's pace, or without meters the position about once a second.
// Returns true when interrupted; `elapsedMs` is the last position seen.
template <typename TDevice>
bool RunDevice(TDevice& device, const std::atomic<bool>& stopped, std::ostream& out,
               const std::function<bool()>& ended, TLiveMeters* meters, int64_t& elapsedMs) {
  const uint32_t interval = meters ? meters->WakeMs() : 1000;
  for (;;) {
    // Every change of the condition wakes the loop (the device's stop, an interruption, the
    // file's end), so the loop needs no fallback look of its own.
    const bool done =
        RunUntil([&] { return stopped.load() || gInterrupted.load() || (ended && ended()); },
                 interval, INFINITE);
    if (gInterrupted) return true;
    if (stopped || (ended && ended())) return false;
    if (done) continue;
    elapsedMs = std::max<int64_t>(elapsedMs, device.GetPosition());
    if (meters)
      meters->Tick(elapsedMs);
    else
      out << "position: " << elapsedMs << " ms\n" << std::flush;
  }
}

// Starts a configured chain's device and runs it until it stops, the user interrupts or
// `ended` turns true; the device is closed (finishing its chain) either way, and the meters
// show their last readings at `finalMs` (when given) or the last position seen. Returns true
// when the user interrupted the run.
template <typename TDevice>
bool Run(TDevice& device, std::ostream& out, const std::function<bool()>& ended = nullptr,
         TLiveMeters* meters = nullptr, const std::function<int64_t()>& finalMs = nullptr) {
  std::atomic<bool> stopped{false};
  // A time limit stops the device on its worker thread, without a message: wake the loop.
  device.OnStop = [&](TObject*) {
    stopped = true;
    WakeMainLoop();
  };
  device.Start();
  int64_t elapsedMs = 0;
  const bool interrupted = RunDevice(device, stopped, out, ended, meters, elapsedMs);
  device.Close();
  // A stop that met a block on the device's worker is finished by a message to the main loop,
  // and the close with it: until then the chain's file is not complete.
  RunUntil([&] { return !(device.DeviceState() & dsOpen); }, kCloseWaitMs);
  if (meters) meters->Finish(finalMs ? finalMs() : elapsedMs);
  if (interrupted) out << "interrupted\n";
  return interrupted;
}

// What the end report of record and monitor says about a run.
struct TEndReport {
  std::optional<std::string> file;  // none while monitoring
  int64_t frames = 0;               // in the file, or delivered by the device
  int64_t lostFrames = 0;           // the device's overruns and the ring buffer's drops
  int64_t dropouts = 0;
  const char* endReason = "complete";
};

// Why a run ended, in the report's words: the file's own end first, as it stopped the run,
// then the device's, then the user's.
const char* EndReason(TMMFileEnd fileEnd, const TMMWaveIn& device, bool interrupted) {
  switch (fileEnd) {
    case feDiskFull:
      return "disk_full";
    case feSizeLimit:
      return "size_limit";
    case feWriteError:
    case feFileDeleted:
      return "write_error";
    case feNone:
      break;
  }
  if (device.Stalled() || device.Lost()) return "device_stalled";
  return interrupted ? "interrupted" : "complete";
}

// The end report of a record chain's run: its frames, the audio the device and the ring buffer
// lost, and why it ended.
TEndReport ChainReport(TMMRecordChain& chain, TMMFileEnd fileEnd, bool interrupted,
                       int64_t frames) {
  const TMMWaveIn::TOverruns overruns = chain.WaveIn->Overruns();
  const int64_t dropped = chain.LostFrames();
  TEndReport report;
  report.frames = frames;
  report.lostFrames = overruns.Frames + dropped;
  report.dropouts = overruns.Dropouts + (dropped ? chain.Buffer->Dropouts() : 0);
  report.endReason = EndReason(fileEnd, *chain.WaveIn, interrupted);
  return report;
}

const char* SampleFormatName(TSampleEncoding encoding) {
  switch (encoding) {
    case seUnsigned8:
      return "u8";
    case seSigned16:
      return "s16";
    case seSigned24:
      return "s24";
    case seSigned32:
      return "s32";
    case seFloat32:
      return "f32";
    case seFloat64:
      return "f64";
    case seALaw:
      return "alaw";
    case seMuLaw:
      return "ulaw";
    case seNone:
      break;
  }
  return "unknown";
}

// `value` with `decimals` decimals, never "-0.0".
std::string Decimal(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string s = text;
  if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
  return s;
}

// The end report of record and monitor as one line of JSON: the file, its format, the frames
// and the seconds they make, the audio lost, why the run ended, and per channel the highest
// peak in dBFS (null for silence) and the clipped samples. Channels beyond two report with
// their pair, as the clip counter counts them.
void WriteEndReport(std::ostream& out, const TEndReport& report, const WAVEFORMATEX* format,
                    const TMMClipCounter& clips) {
  const int32_t rate = format ? int32_t(format->nSamplesPerSec) : 0;
  const int channels = format ? format->nChannels : 0;
  out << "{\"file\": " << (report.file ? JsonString(*report.file) : std::string("null"))
      << ", \"format\": {\"rate\": " << rate << ", \"channels\": " << channels
      << ", \"sample_format\": "
      << JsonString(SampleFormatName(format ? SampleEncoding(*format) : seNone))
      << "}, \"frames\": " << report.frames
      << ", \"seconds\": " << Decimal(rate ? double(report.frames) / rate : 0.0, 3)
      << ", \"lost_frames\": " << report.lostFrames << ", \"dropouts\": " << report.dropouts
      << ", \"end_reason\": " << JsonString(report.endReason) << ", \"channels\": [";
  for (int c = 0; c < channels; ++c) {
    const double peak = clips.Peak(c % 2);
    out << (c ? ", " : "") << "{\"peak_dbfs\": "
        << (peak > 0.0 ? Decimal(20.0 * std::log10(peak), 1) : std::string("null"))
        << ", \"clipped\": " << clips.Clipped(c % 2) << "}";
  }
  out << "]}\n" << std::flush;
}

// The frames of `bytes` of `format`'s audio.
int64_t FramesOf(int64_t bytes, const WAVEFORMATEX* format) {
  return format && format->nBlockAlign ? bytes / format->nBlockAlign : 0;
}

// Runs a command's chain with the engine's errors reported. The body returns the command's
// status when it ends normally (0, or 3 for a recording saved incomplete); an error reported
// meanwhile makes it 1, unless the body has accounted for it as an incomplete recording.
int Guarded(std::ostream& err, const std::string& file, const std::function<int()>& body) {
  TErrorReport report(err, file);
  TInterruptGuard interrupts;
  int status = 0;
  try {
    status = body();
  } catch (const std::exception& e) {
    ProcessMessages();
    err << ErrorLine(e, file) << "\n";
    return kExitError;
  }
  if (status == kExitIncomplete) return status;
  return report.Failed() ? kExitError : status;
}

// The input device of a record chain as the words of record and monitor say: the rate, the
// device and the time limit.
void ConfigureInput(TMMRecordChain& chain, const Options& o, TMMDeviceId id) {
  chain.WaveIn->SetSampleRate(o.rate);
  chain.WaveIn->SetDeviceID(id);
  if (const WAVEFORMATEX* format = chain.WaveIn->GetPWaveFormat())
    chain.SetBlockBytes(MsToBytes(format, kBlockMs));
  if (o.seconds > 0) chain.WaveIn->SetMaxRecordTime(int32_t(std::llround(o.seconds * 1000)));
}

}  // namespace

int PlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  TMMDeviceId id = 0;
  if (const int status = ParseCommand(args, TCommand::Play, o, id, err)) return status;
  return Guarded(err, o.file, [&] {
    TMMPlayChain chain;
    chain.WaveOut->SetDeviceID(id);
    chain.PrepareRun(o.file);
    if (const WAVEFORMATEX* format = chain.File->GetPWaveFormat())
      chain.SetBlockBytes(MsToBytes(format, kBlockMs));
    out << "playing " << o.file << " on " << chain.WaveOut->GetProductName() << "\n" << std::flush;
    Run(*chain.WaveOut, out);
    // The chain never hands the device silence while the file has audio left, but a device
    // whose sound system ran dry (a machine too busy to feed it) played silence of its own, and
    // the audio after it came late: said, like a recording's lost audio.
    if (const int64_t underruns = chain.WaveOut->Underruns()) {
      err << "needlerec-cli: " << o.file << ": " << UnderrunText(underruns) << "\n";
      return kExitIncomplete;
    }
    return kExitOk;
  });
}

int RecordCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  TMMDeviceId id = 0;
  if (const int status = ParseCommand(args, TCommand::Record, o, id, err)) return status;
  // Said before the device opens; the file's exclusive creation still refuses one that
  // appears meanwhile.
  struct stat st {};
  if (!o.overwrite && ::lstat(o.file.c_str(), &st) == 0) {
    err << "needlerec-cli: " << o.file << " exists (-y or --overwrite replaces it)\n";
    return kExitError;
  }
  return Guarded(err, o.file, [&] {
    TMMRecordChain chain;
    TMMWaveIn& device = *chain.WaveIn;
    TMMWaveFile& file = *chain.File;
    file.SetReplaceExisting(o.overwrite);
    ConfigureInput(chain, o, id);
    chain.SetQueueSeconds(o.buffer);
    // The file's end reason is set on the ring buffer's thread: wake the loop to see it.
    chain.File->OnClose = [](TObject*) { WakeMainLoop(); };
    chain.PrepareRun(o.file);
    // Declared after the chain: it lets go of the connector before the chain goes.
    TLiveMeters meters(chain, o, out);
    out << "recording " << o.file << " from " << device.GetProductName() << "\n" << std::flush;
    const auto ended = [&] { return file.GetEndReason() != feNone; };
    const bool interrupted = Run(device, out, ended, &meters, [&] { return file.GetWrittenMs(); });

    int status = kExitOk;
    if (file.GetEndReason() != feNone) {
      err << "needlerec-cli: " << o.file << ": "
          << FileEndText(file.GetEndReason(), file.GetWrittenMs(), file.GetEndError()) << "\n";
      status = kExitIncomplete;
    }
    if (const std::string elsewhere = file.GetSavedElsewhereText(); !elsewhere.empty()) {
      err << "needlerec-cli: " << o.file << ": " << elsewhere << "\n";
      status = kExitIncomplete;
    }
    // Reported by the device's error.
    if (device.Stalled() || device.Lost()) status = kExitIncomplete;
    const auto lost = [&](int64_t frames, int64_t dropouts, const char* why) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.3f", double(frames) / device.GetSampleRate());
      err << "lost " << seconds << " s of audio (" << frames << " sample frames) in " << dropouts
          << " dropouts: " << why << "\n";
      status = kExitIncomplete;
    };
    const TMMWaveIn::TOverruns overruns = device.Overruns();
    if (overruns.Frames > 0)
      lost(overruns.Frames, overruns.Dropouts,
           "the sound device dropped audio that was not read in time (overruns)");
    const int64_t dropped = chain.LostFrames();
    if (dropped)
      lost(dropped, chain.Buffer->Dropouts(), "the disk did not keep up; a larger --buffer helps");
    out << "recorded " << file.GetWrittenBytes() << " bytes\n";
    if (o.json) {
      const WAVEFORMATEX* format = device.GetPWaveFormat();
      TEndReport report = ChainReport(chain, file.GetEndReason(), interrupted,
                                      FramesOf(file.GetWrittenBytes(), format));
      report.file = o.file;
      WriteEndReport(out, report, format, chain.Connector->Clips());
    }
    return status;
  });
}

int MonitorCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  TMMDeviceId id = 0;
  if (const int status = ParseCommand(args, TCommand::Monitor, o, id, err)) return status;
  return Guarded(err, "", [&] {
    // The record chain with its ring buffer off and no file: the input reaches the meters only.
    TMMRecordChain chain;
    TMMWaveIn& device = *chain.WaveIn;
    ConfigureInput(chain, o, id);
    chain.PrepareRun("");
    TLiveMeters meters(chain, o, out);
    out << "monitoring " << device.GetProductName() << "\n" << std::flush;
    const bool interrupted = Run(device, out, nullptr, &meters);
    if (o.json) {
      const WAVEFORMATEX* format = device.GetPWaveFormat();
      WriteEndReport(
          out, ChainReport(chain, feNone, interrupted, FramesOf(device.BytesRecorded(), format)),
          format, chain.Connector->Clips());
    }
    return kExitOk;
  });
}
