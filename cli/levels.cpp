#include "cli/levels.h"

#include <ebur128.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <iomanip>
#include <iterator>
#include <memory>
#include <vector>

#include "cli/cli.h"
#include "cli/info.h"
#include "cli/options.h"
#include "instruments/core/meter_law.h"
#include "platform/acm/acm.h"
#include "platform/wave/sample_format.h"
#include "stream/wave.h"
#include "stream/wave_format.h"

namespace {

// Bytes of the file read and measured at a time (at least kProbeFrames frames).
constexpr uint32_t kBlockBytes = 1 << 18;
// Frames of the probe that finds the 16-bit values of a companded encoding: every code.
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

// The 16-bit values of the 256 codes of a companded encoding (A-law, mu-law), by the audio
// compression manager's G.711 expansion as the connector converts them for the instruments.
// `format` is the file's; every channel of a probe frame holds the same code. False when the
// conversion cannot be made.
bool ExpandCodes(const WAVEFORMATEX& format, int16_t (&values)[256]) {
  WAVEFORMATEX target{};
  target.wFormatTag = WAVE_FORMAT_PCM;
  HACMSTREAM stream = nullptr;
  if (acmFormatSuggest(nullptr, &format, &target, sizeof target, ACM_FORMATSUGGESTF_WFORMATTAG) !=
          MMSYSERR_NOERROR ||
      acmStreamOpen(&stream, nullptr, &format, &target, nullptr, 0, 0, 0) != MMSYSERR_NOERROR)
    return false;
  const uint32_t align = format.nBlockAlign;
  const size_t channels = format.nChannels;
  std::vector<uint8_t> source(size_t(kProbeFrames) * align);
  for (uint32_t code = 0; code < kProbeFrames; ++code)
    std::memset(source.data() + code * align, int(code), align);
  std::vector<int16_t> target16(size_t(kProbeFrames) * channels);
  ACMSTREAMHEADER header{};
  header.cbStruct = sizeof header;
  header.pbSrc = source.data();
  header.cbSrcLength = uint32_t(source.size());
  header.pbDst = reinterpret_cast<uint8_t*>(target16.data());
  header.cbDstLength = uint32_t(target16.size() * 2);
  bool converted = false;
  if (acmStreamPrepareHeader(stream, &header, 0) == MMSYSERR_NOERROR) {
    converted =
        acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN) == MMSYSERR_NOERROR &&
        header.cbDstLengthUsed == header.cbDstLength;
    acmStreamUnprepareHeader(stream, &header, 0);
  }
  acmStreamClose(stream, 0);
  if (!converted) return false;
  for (uint32_t code = 0; code < kProbeFrames; ++code) values[code] = target16[code * channels];
  return true;
}

// Turns the file's little-endian samples into doubles at full scale +-1.0, exactly for every
// integer encoding, and counts the clipped ones per channel: integer samples at either end of
// the range of their valid bits, float samples at or beyond +-1.0.
class TSampleDecoder {
 public:
  // `validBits` are the bits of an integer sample that carry the signal, from the top of its
  // container. Open() says whether the encoding can be decoded.
  TSampleDecoder(const WAVEFORMATEX& format, TSampleEncoding encoding, int validBits)
      : FEncoding(encoding), FChannels(format.nChannels) {
    int container = 0;
    switch (encoding) {
      case seUnsigned8:
        container = 8;
        break;
      case seSigned16:
        container = 16;
        break;
      case seSigned24:
        container = 24;
        break;
      case seSigned32:
        container = 32;
        break;
      case seALaw:
      case seMuLaw: {
        // The largest and smallest expansions are the clipped ones, as the companded codes
        // never reach 16-bit full scale.
        FOpen = ExpandCodes(format, FCodes);
        FScale = 1.0 / 32768.0;
        FHigh = *std::max_element(std::begin(FCodes), std::end(FCodes));
        FLow = *std::min_element(std::begin(FCodes), std::end(FCodes));
        return;
      }
      case seFloat32:
      case seFloat64:
        FOpen = true;
        return;
      case seNone:
        return;
    }
    const int valid = validBits > 0 && validBits < container ? validBits : container;
    FScale = std::ldexp(1.0, 1 - container);
    FHigh = ((int64_t(1) << (valid - 1)) - 1) << (container - valid);
    FLow = -((int64_t(1) << (valid - 1)) << (container - valid));
    FOpen = true;
  }

  bool Open() const { return FOpen; }
  bool Floating() const { return FEncoding == seFloat32 || FEncoding == seFloat64; }

  // Decodes `samples` interleaved samples (whole frames) at `in` into `out`.
  void Decode(const uint8_t* in, size_t samples, double* out, std::vector<int64_t>& clipped) const {
    switch (FEncoding) {
      case seUnsigned8:
        Integers(samples, out, clipped, [in](size_t i) { return int32_t(in[i]) - 128; });
        break;
      case seSigned16:
        Integers(samples, out, clipped, [in](size_t i) {
          const uint8_t* p = in + i * 2;
          return int32_t(int16_t(uint16_t(p[0] | p[1] << 8)));
        });
        break;
      case seSigned24:
        Integers(samples, out, clipped, [in](size_t i) {
          const uint8_t* p = in + i * 3;
          // The three bytes at the top of a 32-bit word, shifted down to extend the sign.
          return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
        });
        break;
      case seSigned32:
        Integers(samples, out, clipped, [in](size_t i) {
          const uint8_t* p = in + i * 4;
          return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                         uint32_t(p[3]) << 24);
        });
        break;
      case seALaw:
      case seMuLaw:
        Integers(samples, out, clipped, [this, in](size_t i) { return int32_t(FCodes[in[i]]); });
        break;
      case seFloat32:
        Floats(samples, out, clipped, [in](size_t i) {
          float x;
          std::memcpy(&x, in + i * 4, sizeof x);
          return double(x);
        });
        break;
      case seFloat64:
        Floats(samples, out, clipped, [in](size_t i) {
          double x;
          std::memcpy(&x, in + i * 8, sizeof x);
          return x;
        });
        break;
      case seNone:
        break;
    }
  }

 private:
  template <typename Read>
  void Integers(size_t samples, double* out, std::vector<int64_t>& clipped, Read read) const {
    size_t c = 0;
    for (size_t i = 0; i < samples; ++i) {
      const int32_t v = read(i);
      out[i] = double(v) * FScale;
      if (v >= FHigh || v <= FLow) ++clipped[c];
      if (++c == FChannels) c = 0;
    }
  }

  // A sample that is not a number, or infinite, counts as silence in the figures (as the
  // converter for the instruments takes NaN); an infinite one counts as clipped.
  template <typename Read>
  void Floats(size_t samples, double* out, std::vector<int64_t>& clipped, Read read) const {
    size_t c = 0;
    for (size_t i = 0; i < samples; ++i) {
      const double x = read(i);
      if (std::fabs(x) >= 1.0) ++clipped[c];
      out[i] = std::isfinite(x) ? x : 0.0;
      if (++c == FChannels) c = 0;
    }
  }

  TSampleEncoding FEncoding;
  size_t FChannels;
  bool FOpen = false;
  double FScale = 1.0;  // from container units to full scale +-1.0
  int64_t FHigh = 0;    // container values at or beyond these ends are clipped
  int64_t FLow = 0;
  int16_t FCodes[256] = {};  // the expansion of each companded code
};

// One channel's running figures and its needle: the law the window's meters use, fed the
// channel alone as mono 16-bit PCM in the window's pieces of 1000 frames.
class TChannelMeter {
 public:
  // `floating`: the samples are IEEE float, which the connector converts to 16 bits
  // differently from integer samples.
  TChannelMeter(double refLevel, bool floating) : FFloating(floating) {
    FLaw.SetMode(mMono);
    FLaw.SetBitLength(b16Bit);
    FLaw.SetMeterMode(mmVU);
    FLaw.SetRefLevel(refLevel);
    FLaw.SetSamples(1000);
    FLaw.SetDecayMode(dmExponential);
    FLaw.SetDecay(7);
    FPiece.resize(size_t(FLaw.GetSamples()));
  }

  void Add(double x) {
    FPeak = std::max(FPeak, std::fabs(x));
    FSumSquares += x * x;
    ++FCount;
    FPiece[FFill++] = Needle16(x);
    if (FFill == FPiece.size()) {
      FLaw.RefreshPCMData(FPiece.data());
      FMaxAngle = std::max(FMaxAngle, FLaw.GetAngle());
      FFill = 0;
    }
  }

  TChannelLevels Levels(int64_t clipped) const {
    TChannelLevels levels;
    levels.PeakDBFS = DB(FPeak);
    if (FCount > 0) levels.RmsDBFS = DB(std::sqrt(FSumSquares / double(FCount)));
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
  // The 16-bit sample the window's needle receives for `x`, as the converter for the
  // instruments makes it: integer samples keep their top 16 bits (x * 32768 is exact and its
  // floor is that), float samples are scaled by 32767, rounded and clamped.
  int16_t Needle16(double x) const {
    const double scaled = FFloating ? std::round(x * 32767.0) : std::floor(x * 32768.0);
    return int16_t(std::clamp(scaled, -32768.0, 32767.0));
  }

  TMMMeterLaw FLaw;
  bool FFloating;
  std::vector<int16_t> FPiece;  // the frames gathered for the next update of the needle
  size_t FFill = 0;
  double FPeak = 0.0;
  // The sum of squares in double: its relative rounding grows at most with the count times
  // 2^-53, which leaves the RMS of even 2^32 samples within 10^-5 dB.
  double FSumSquares = 0.0;
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
  const TSampleDecoder decoder(*format, encoding, wave.GetValidBits());
  if (!decoder.Open()) throw unsupported();

  const int channels = format->nChannels;
  const uint32_t align = format->nBlockAlign;
  const uint32_t frames = std::max(kProbeFrames, kBlockBytes / align);
  const uint32_t blockBytes = frames * align;
  std::vector<uint8_t> source(blockBytes);
  std::vector<double> samples(size_t(frames) * size_t(channels));

  TFileLevels result;
  result.FormatText = wave.GetFormatString();
  result.SampleRate = format->nSamplesPerSec;
  std::vector<std::unique_ptr<TChannelMeter>> meters;
  for (int c = 0; c < channels; ++c)
    meters.push_back(std::make_unique<TChannelMeter>(refLevel, decoder.Floating()));
  result.RefLevel = meters.empty() ? refLevel : meters[0]->RefLevel();
  std::vector<int64_t> clipped(size_t(channels), 0);
  // No loudness for what the meter cannot take (a rate below 16 Hz, say): the figures stay
  // empty.
  const TEbur128 loudness(ebur128_init(unsigned(channels), format->nSamplesPerSec,
                                       EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK));
  result.LoudnessMeasured = loudness != nullptr;

  wave.OpenFile();
  uint32_t have = 0;  // bytes in the source buffer, a partial frame carried over among them
  while (true) {
    while (have < blockBytes && wave.BytesLeft() > 0) {
      const int64_t before = wave.BytesLeft();
      const int64_t n =
          wave.ReadData(source.data() + have, std::min<int64_t>(blockBytes - have, before));
      // A read that fails hands back filler bytes and gives up on the rest of the data.
      if (n <= 0 || wave.BytesLeft() != before - n) throw EMMWaveError("Error reading wave file");
      have += uint32_t(n);
    }
    const uint32_t whole = have - have % align;
    if (whole == 0) break;
    const size_t blockFrames = whole / align;
    const size_t count = blockFrames * size_t(channels);
    decoder.Decode(source.data(), count, samples.data(), clipped);
    for (size_t i = 0; i < count; ++i) meters[i % size_t(channels)]->Add(samples[i]);
    if (loudness &&
        ebur128_add_frames_double(loudness.get(), samples.data(), blockFrames) != EBUR128_SUCCESS)
      throw EMMError("out of memory measuring the loudness");
    result.Frames += int64_t(blockFrames);
    std::memmove(source.data(), source.data() + whole, have - whole);
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
  if (std::any_of(args.begin(), args.end(),
                  [](const std::string& a) { return a == "--help" || a == "-h"; })) {
    Usage(out);
    return 0;
  }
  std::string refLevelWord;
  CLI::App app;
  PrepareParser(app);
  app.add_flag("--json", json);
  const CLI::Option* refLevelOption = app.add_option("--ref-level", refLevelWord);
  app.add_option("FILE", file);
  if (const auto problem = ParseWords(app, args)) {
    err << "needlerec-cli levels: " << *problem << "\n";
    Usage(err);
    return 2;
  }
  if (refLevelOption->count() > 0 && !ParseRefLevel(refLevelWord, refLevel)) {
    err << "needlerec-cli levels: --ref-level takes a level from -30 to -10 (dBFS)\n";
    Usage(err);
    return 2;
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
