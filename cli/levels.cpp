#include "cli/levels.h"

#include <ebur128.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <iomanip>
#include <memory>

#include "cli/cli.h"
#include "cli/info.h"
#include "instruments/core/meter_law.h"
#include "platform/acm/acm.h"
#include "platform/wave/sample_format.h"
#include "stream/wave.h"
#include "stream/wave_format.h"

namespace {

// The magnitude of the most negative 16-bit sample: 0 dBFS for the peak and the RMS.
constexpr double kFullScale16 = 32768.0;
// Bytes of the file read and converted at a time (at least kProbeFrames frames).
constexpr uint32_t kBlockBytes = 1 << 18;
// Frames of the probe that finds the converted full scale of one-byte encodings: every code.
constexpr uint32_t kProbeFrames = 256;

void Usage(std::ostream& stream) {
  stream
      << "usage: needlerec-cli levels FILE [--json] [--ref-level DB]\n"
         "\n"
         "Measures a WAVE file: per channel the sample peak and the RMS in dBFS, the highest\n"
         "reading of the needle meter and the count of clipped samples; for the whole file the\n"
         "integrated loudness (LUFS), the loudness range (LU) and the true peak (dBTP) by\n"
         "EBU R128.\n"
         "  --json           one JSON object: \"file\", \"ref_level\", \"channels\" (per channel\n"
         "                   \"peak_dbfs\", \"rms_dbfs\", \"vu_max\", \"clipped\") and "
         "\"loudness\"\n"
         "                   (\"integrated_lufs\", \"range_lu\", \"true_peak_dbtp\"); null for a\n"
         "                   dB figure without a value, as of silence\n"
         "  --ref-level DB   the needle meter's reference level in dBFS, -30 to -10 (default\n"
         "                   -16): a sine whose peak is at this level reads 0 VU\n"
         "\n"
         "exit status: 0 measured; 1 the file cannot be read or measured; 2 a usage error.\n";
}

std::optional<double> DB(double linear) {
  if (!(linear > 0.0) || !std::isfinite(linear)) return std::nullopt;
  return 20.0 * std::log10(linear);
}

// `value` with `decimals` decimals, never "-0.00".
std::string Fixed(double value, int decimals) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  std::string text(buffer, result.ptr);
  if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return text;
}

std::string JsonNumber(const std::optional<double>& value, int decimals) {
  return value ? Fixed(*value, decimals) : "null";
}

std::string TextNumber(const std::optional<double>& value, int decimals) {
  return value ? Fixed(*value, decimals) : "-";
}

// A conversion of one wave format into 16-bit PCM of the same rate and channels, through the
// audio compression manager as the connector converts for the instruments. It owns its source
// and destination buffers; the caller fills the source and converts a prefix of it.
class TPcmConversion {
 public:
  TPcmConversion(const WAVEFORMATEX* source, uint32_t sourceBytes) : FSource(sourceBytes) {
    FTarget.wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, source, &FTarget, sizeof FTarget,
                         ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR ||
        acmStreamOpen(&FStream, nullptr, source, &FTarget, nullptr, 0, 0, 0) != MMSYSERR_NOERROR) {
      FStream = nullptr;
      return;
    }
    uint32_t targetBytes = 0;
    if (acmStreamSize(FStream, sourceBytes, &targetBytes, ACM_STREAMSIZEF_SOURCE) !=
            MMSYSERR_NOERROR ||
        targetBytes == 0) {
      Close();
      return;
    }
    FTargetSamples.resize((targetBytes + 1) / 2);
    FHeader.cbStruct = sizeof FHeader;
    FHeader.pbSrc = FSource.data();
    FHeader.cbSrcLength = sourceBytes;
    FHeader.pbDst = reinterpret_cast<uint8_t*>(FTargetSamples.data());
    FHeader.cbDstLength = targetBytes;
    if (acmStreamPrepareHeader(FStream, &FHeader, 0) != MMSYSERR_NOERROR) {
      Close();
      return;
    }
    FPrepared = true;
  }
  ~TPcmConversion() { Close(); }
  TPcmConversion(const TPcmConversion&) = delete;
  TPcmConversion& operator=(const TPcmConversion&) = delete;

  bool IsOpen() const { return FPrepared; }
  uint8_t* Source() { return FSource.data(); }
  // Converts the first `bytes` bytes of the source (whole frames); the 16-bit samples made, or
  // null when the conversion failed. `samples` receives their count.
  const int16_t* Convert(uint32_t bytes, size_t& samples) {
    samples = 0;
    FHeader.cbSrcLength = std::min<uint32_t>(bytes, uint32_t(FSource.size()));
    FHeader.cbDstLength = uint32_t(FTargetSamples.size() * 2);
    if (acmStreamConvert(FStream, &FHeader, ACM_STREAMCONVERTF_BLOCKALIGN) != MMSYSERR_NOERROR)
      return nullptr;
    samples = FHeader.cbDstLengthUsed / 2;
    return FTargetSamples.data();
  }

 private:
  void Close() {
    if (!FStream) return;
    if (FPrepared) acmStreamUnprepareHeader(FStream, &FHeader, 0);
    acmStreamClose(FStream, 0);
    FStream = nullptr;
    FPrepared = false;
  }

  std::vector<uint8_t> FSource;
  std::vector<int16_t> FTargetSamples;
  WAVEFORMATEX FTarget{};
  HACMSTREAM FStream = nullptr;
  ACMSTREAMHEADER FHeader{};
  bool FPrepared = false;
};

// One channel's running sums and its needle: the law the window's meters use, fed the channel
// alone as mono 16-bit PCM in the window's pieces of 1000 frames.
class TChannelMeter {
 public:
  explicit TChannelMeter(double refLevel) {
    FLaw.SetMode(mMono);
    FLaw.SetBitLength(b16Bit);
    FLaw.SetMeterMode(mmVU);
    FLaw.SetRefLevel(refLevel);
    FLaw.SetSamples(1000);
    FLaw.SetDecayMode(dmExponential);
    FLaw.SetDecay(7);
    FPiece.resize(size_t(FLaw.GetSamples()));
  }

  void Add(int16_t v) {
    const int64_t magnitude = v < 0 ? -int64_t(v) : int64_t(v);
    FPeak = std::max(FPeak, magnitude);
    // At most 2^30 per sample and 2^32 samples: the sum stays exact in 64 bits.
    FSumSquares += uint64_t(magnitude * magnitude);
    ++FCount;
    FPiece[FFill++] = v;
    if (FFill == FPiece.size()) {
      FLaw.RefreshPCMData(FPiece.data());
      FMaxAngle = std::max(FMaxAngle, FLaw.GetAngle());
      FFill = 0;
    }
  }

  TChannelLevels Levels(int64_t clipped) const {
    TChannelLevels levels;
    levels.PeakDBFS = DB(double(FPeak) / kFullScale16);
    if (FCount > 0)
      levels.RmsDBFS = DB(std::sqrt(double(FSumSquares) / double(FCount)) / kFullScale16);
    // The needle's angle grows with the amplitude, so its largest angle is its highest
    // reading; the reading follows back from the angle that 0 VU gives. A needle that never
    // left its rest at the left end has no reading.
    if (FMaxAngle > 0.0)
      levels.VUMax = 20.0 * std::log10(FMaxAngle / VUToAngle(0.0, FLaw.GetScaleAngle()));
    levels.Clipped = clipped;
    return levels;
  }

  double RefLevel() const { return FLaw.GetRefLevel(); }

 private:
  TMMMeterLaw FLaw;
  std::vector<int16_t> FPiece;  // the frames gathered for the next update of the needle
  size_t FFill = 0;
  int64_t FPeak = 0;
  uint64_t FSumSquares = 0;
  uint64_t FCount = 0;
  double FMaxAngle = 0.0;
};

struct TEbur128Free {
  void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};
using TEbur128 = std::unique_ptr<ebur128_state, TEbur128Free>;

TLoudness ReadLoudness(ebur128_state* state, int channels) {
  TLoudness loudness;
  if (!state) return loudness;
  double integrated = 0.0;
  if (ebur128_loudness_global(state, &integrated) == EBUR128_SUCCESS && std::isfinite(integrated)) {
    loudness.IntegratedLUFS = integrated;
    // Without any block above the gate (silence) there is no range to speak of either.
    double range = 0.0;
    if (ebur128_loudness_range(state, &range) == EBUR128_SUCCESS && std::isfinite(range))
      loudness.RangeLU = range;
  }
  double truePeak = 0.0;
  for (int c = 0; c < channels; ++c) {
    double peak = 0.0;
    if (ebur128_true_peak(state, unsigned(c), &peak) == EBUR128_SUCCESS)
      truePeak = std::max(truePeak, peak);
  }
  loudness.TruePeakDBTP = DB(truePeak);
  return loudness;
}

// The converted values that count as clipped for a one-byte encoding: the largest and the
// smallest that any of its codes converts to (8-bit PCM reaches +32512 at most, the companded
// encodings less than full scale).
bool ProbeFullScale(TPcmConversion& conversion, const WAVEFORMATEX& format, int16_t& high,
                    int16_t& low) {
  const uint32_t align = format.nBlockAlign;
  for (uint32_t code = 0; code < kProbeFrames; ++code)
    std::memset(conversion.Source() + code * align, int(code), align);
  size_t samples = 0;
  const int16_t* values = conversion.Convert(kProbeFrames * align, samples);
  if (!values || samples == 0) return false;
  high = *std::max_element(values, values + samples);
  low = *std::min_element(values, values + samples);
  return true;
}

// Samples of IEEE float (32 or 64 bits) at or beyond full scale, per channel.
void CountFloatClips(const uint8_t* data, size_t samples, TSampleEncoding encoding,
                     std::vector<int64_t>& clipped) {
  const size_t channels = clipped.size();
  for (size_t i = 0; i < samples; ++i) {
    double x;
    if (encoding == seFloat32) {
      float f;
      std::memcpy(&f, data + i * 4, sizeof f);
      x = f;
    } else {
      std::memcpy(&x, data + i * 8, sizeof x);
    }
    if (std::fabs(x) >= 1.0) ++clipped[i % channels];
  }
}

}  // namespace

TFileLevels MeasureFileLevels(const std::string& file, double refLevel) {
  TMMWave wave;
  wave.SetFileName(file);
  const WAVEFORMATEX* format = wave.GetPWaveFormat();
  if (!wave.GetWaveIORecord() || !format) throw EMMWaveError("Error reading wave file");
  const TSampleEncoding encoding = SampleEncoding(*format);
  const auto unsupported = [&] {
    return EMMWaveError("cannot measure " + WaveFormatTagName(format) + " audio (" +
                        wave.GetFormatString() +
                        "): only PCM, IEEE float, A-law and mu-law files can be measured");
  };
  if (encoding == seNone) throw unsupported();

  const int channels = format->nChannels;
  const uint32_t align = format->nBlockAlign;
  const uint32_t frames = std::max(kProbeFrames, kBlockBytes / align);
  TPcmConversion conversion(format, frames * align);
  if (!conversion.IsOpen()) throw unsupported();

  // Clipped: converted values at the ends of the 16-bit range, or of what a one-byte encoding
  // reaches; float samples are judged before the conversion rounds them.
  int16_t clipHigh = 32767;
  int16_t clipLow = -32768;
  const bool floating = encoding == seFloat32 || encoding == seFloat64;
  if (SampleBytes(encoding) == 1 && !ProbeFullScale(conversion, *format, clipHigh, clipLow))
    throw unsupported();

  TFileLevels result;
  result.FormatText = wave.GetFormatString();
  result.SampleRate = format->nSamplesPerSec;
  std::vector<std::unique_ptr<TChannelMeter>> meters;
  for (int c = 0; c < channels; ++c) meters.push_back(std::make_unique<TChannelMeter>(refLevel));
  result.RefLevel = meters.empty() ? refLevel : meters[0]->RefLevel();
  std::vector<int64_t> clipped(size_t(channels), 0);
  // No loudness for what the meter cannot take (a rate below 16 Hz, say): the figures stay
  // empty.
  const TEbur128 loudness(ebur128_init(unsigned(channels), format->nSamplesPerSec,
                                       EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK));
  result.LoudnessMeasured = loudness != nullptr;

  wave.OpenFile();
  const uint32_t blockBytes = frames * align;
  uint32_t have = 0;  // bytes in the source buffer, a partial frame carried over among them
  while (true) {
    while (have < blockBytes && wave.BytesLeft() > 0) {
      const int64_t before = wave.BytesLeft();
      const int64_t n =
          wave.ReadData(conversion.Source() + have, std::min<int64_t>(blockBytes - have, before));
      // A read that fails hands back filler bytes and gives up on the rest of the data.
      if (n <= 0 || wave.BytesLeft() != before - n) throw EMMWaveError("Error reading wave file");
      have += uint32_t(n);
    }
    const uint32_t whole = have - have % align;
    if (whole == 0) break;
    if (floating)
      CountFloatClips(conversion.Source(), whole / SampleBytes(encoding), encoding, clipped);
    size_t samples = 0;
    const int16_t* values = conversion.Convert(whole, samples);
    if (!values || samples != size_t(whole / align) * size_t(channels)) throw unsupported();
    const size_t blockFrames = samples / size_t(channels);
    for (size_t i = 0; i < samples; ++i) {
      const int16_t v = values[i];
      meters[i % size_t(channels)]->Add(v);
      if (!floating && (v >= clipHigh || v <= clipLow)) ++clipped[i % size_t(channels)];
    }
    if (loudness &&
        ebur128_add_frames_short(loudness.get(), values, blockFrames) != EBUR128_SUCCESS)
      throw EMMError("out of memory measuring the loudness");
    result.Frames += int64_t(blockFrames);
    std::memmove(conversion.Source(), conversion.Source() + whole, have - whole);
    have -= whole;
    if (wave.BytesLeft() <= 0) break;
  }
  wave.CloseFile();

  for (int c = 0; c < channels; ++c)
    result.Channels.push_back(meters[size_t(c)]->Levels(clipped[size_t(c)]));
  result.Loudness = ReadLoudness(loudness.get(), channels);
  return result;
}

namespace {

void WriteJson(const std::string& file, const TFileLevels& levels, std::ostream& out) {
  out << "{\"file\": " << JsonString(file) << ", \"ref_level\": " << Fixed(levels.RefLevel, 1)
      << ", \"channels\": [";
  for (size_t c = 0; c < levels.Channels.size(); ++c) {
    const TChannelLevels& ch = levels.Channels[c];
    out << (c ? ", " : "") << "{\"peak_dbfs\": " << JsonNumber(ch.PeakDBFS, 2)
        << ", \"rms_dbfs\": " << JsonNumber(ch.RmsDBFS, 2)
        << ", \"vu_max\": " << JsonNumber(ch.VUMax, 2) << ", \"clipped\": " << ch.Clipped << "}";
  }
  const TLoudness& l = levels.Loudness;
  out << "], \"loudness\": {\"integrated_lufs\": " << JsonNumber(l.IntegratedLUFS, 2)
      << ", \"range_lu\": " << JsonNumber(l.RangeLU, 2)
      << ", \"true_peak_dbtp\": " << JsonNumber(l.TruePeakDBTP, 2) << "}}\n";
}

void WriteText(const std::string& file, const TFileLevels& levels, std::ostream& out) {
  const double seconds = levels.SampleRate ? double(levels.Frames) / levels.SampleRate : 0.0;
  out << "file: " << file << "\n"
      << "format: " << levels.FormatText << ", " << Fixed(seconds, 3) << " s\n"
      << "needle reference level: " << Fixed(levels.RefLevel, 1) << " dBFS\n"
      << "\n"
      << "channel  peak dBFS  RMS dBFS  VU max  clipped\n";
  for (size_t c = 0; c < levels.Channels.size(); ++c) {
    const TChannelLevels& ch = levels.Channels[c];
    out << std::setw(7) << c + 1 << std::setw(11) << TextNumber(ch.PeakDBFS, 2) << std::setw(10)
        << TextNumber(ch.RmsDBFS, 2) << std::setw(8) << TextNumber(ch.VUMax, 2) << std::setw(9)
        << ch.Clipped << "\n";
  }
  const TLoudness& l = levels.Loudness;
  out << "\n"
      << "integrated loudness: " << std::setw(6) << TextNumber(l.IntegratedLUFS, 1) << " LUFS\n"
      << "loudness range:      " << std::setw(6) << TextNumber(l.RangeLU, 1) << " LU\n"
      << "true peak:           " << std::setw(6) << TextNumber(l.TruePeakDBTP, 1) << " dBTP\n";
}

// A reference level: a decimal number of dBFS inside the needle's range.
bool ParseRefLevel(const std::string& word, double& value) {
  const char* end = word.data() + word.size();
  const auto result = std::from_chars(word.data(), end, value);
  return result.ec == std::errc() && result.ptr == end && value >= -30.0 && value <= -10.0;
}

}  // namespace

int LevelsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string file;
  bool json = false;
  double refLevel = -16.0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      Usage(out);
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg == "--ref-level") {
      if (i + 1 >= args.size() || !ParseRefLevel(args[i + 1], refLevel)) {
        err << "needlerec-cli levels: --ref-level takes a level from -30 to -10 (dBFS)\n";
        Usage(err);
        return 2;
      }
      ++i;
    } else if (file.empty() && !arg.empty() && arg[0] != '-') {
      file = arg;
    } else {
      err << "needlerec-cli levels: unexpected '" << arg << "'\n";
      Usage(err);
      return 2;
    }
  }
  if (file.empty()) {
    err << "needlerec-cli levels: no file named\n";
    Usage(err);
    return 2;
  }
  try {
    const TFileLevels levels = MeasureFileLevels(file, refLevel);
    if (!levels.LoudnessMeasured)
      err << "needlerec-cli levels: " << file << ": no loudness figures: the loudness meter does "
          << "not take " << levels.Channels.size() << " channels at " << levels.SampleRate
          << " Hz\n";
    if (json)
      WriteJson(file, levels, out);
    else
      WriteText(file, levels, out);
    return 0;
  } catch (const EMMWaveError& e) {
    if (!e.Reason().empty()) {
      err << ErrorLine(e, file) << "\n";
      return 1;
    }
    err << "needlerec-cli levels: " << file << ": " << e.what() << "\n";
  } catch (const std::exception& e) {
    err << "needlerec-cli levels: " << file << ": " << e.what() << "\n";
  }
  return 1;
}
