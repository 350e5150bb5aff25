#include "platform/acm/acm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "instruments/core/meter_law.h"
#include "instruments/core/pcm_level.h"

namespace {

// A format record with its extra bytes, as a file or a device hands it over.
struct TFormat {
  std::vector<uint8_t> Bytes;
  const WAVEFORMATEX* Get() const { return reinterpret_cast<const WAVEFORMATEX*>(Bytes.data()); }
};

TFormat Plain(uint16_t tag, uint16_t bits, uint16_t channels, uint32_t rate = 44100) {
  WAVEFORMATEX f{};
  f.wFormatTag = tag;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = uint16_t(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  TFormat out;
  out.Bytes.resize(sizeof f);
  std::memcpy(out.Bytes.data(), &f, sizeof f);
  return out;
}

TFormat Extensible(uint16_t bits, uint16_t valid, const GUID& sub, uint16_t channels) {
  WAVEFORMATEXTENSIBLE x{};
  std::memcpy(&x.Format, Plain(WAVE_FORMAT_EXTENSIBLE, bits, channels).Get(),
              sizeof(WAVEFORMATEX));
  x.Format.cbSize = WAVEFORMATEXTENSIBLE::kExtraBytes;
  x.Samples.wValidBitsPerSample = valid;
  x.dwChannelMask = channels == 2 ? 3 : 4;
  x.SubFormat = sub;
  TFormat out;
  out.Bytes.resize(sizeof x);
  std::memcpy(out.Bytes.data(), &x, sizeof x);
  return out;
}

template <typename T>
std::vector<uint8_t> Bytes(const std::vector<T>& values) {
  std::vector<uint8_t> out(values.size() * sizeof(T));
  std::memcpy(out.data(), values.data(), out.size());
  return out;
}

// Little-endian 24-bit samples.
std::vector<uint8_t> Bytes24(const std::vector<int32_t>& values) {
  std::vector<uint8_t> out;
  for (const int32_t v : values) {
    for (int i = 0; i < 3; ++i) out.push_back(uint8_t(uint32_t(v) >> (8 * i)));
  }
  return out;
}

// A stream from `source` to its suggested PCM format; fails the test when it cannot be opened.
class TStream {
 public:
  explicit TStream(const WAVEFORMATEX* source) {
    EXPECT_EQ(acmFormatSuggest(nullptr, source, &Pcm, sizeof Pcm, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamOpen(nullptr, nullptr, source, &Pcm, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
              MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamOpen(&Handle, nullptr, source, &Pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
  }
  ~TStream() {
    if (Handle != nullptr) {
      EXPECT_EQ(acmStreamClose(Handle, 0), MMSYSERR_NOERROR);
    }
  }
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Converts `source` through a prepared header; the 16-bit samples produced.
  std::vector<int16_t> Convert(std::vector<uint8_t> source) {
    uint32_t size = 0;
    EXPECT_EQ(acmStreamSize(Handle, uint32_t(source.size()), &size, ACM_STREAMSIZEF_SOURCE),
              MMSYSERR_NOERROR);
    std::vector<int16_t> out(size / 2);
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof h;
    h.pbSrc = source.data();
    h.cbSrcLength = uint32_t(source.size());
    h.pbDst = reinterpret_cast<uint8_t*>(out.data());
    h.cbDstLength = size;
    EXPECT_EQ(acmStreamPrepareHeader(Handle, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamConvert(Handle, &h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(h.cbDstLengthUsed, size);
    EXPECT_EQ(acmStreamUnprepareHeader(Handle, &h, 0), MMSYSERR_NOERROR);
    return out;
  }

  WAVEFORMATEX Pcm{};
  HACMSTREAM Handle = nullptr;
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

TEST(Acm, EachFormatConvertsKnownSamplesTo16BitPcm) {
  struct TCase {
    std::string Name;
    TFormat Format;
    std::vector<uint8_t> Source;
    std::vector<int16_t> Expected;
  };
  const std::vector<float> floats = {1.0f,  -1.0f, 0.5f, -0.25f, 2.0f,
                                     -2.0f, kNaN,  kInf, -kInf,  1e-6f};
  const std::vector<int16_t> fromFloats = {32767,  -32767, 16384, -8192,  32767,
                                           -32768, 0,      32767, -32768, 0};
  const std::vector<double> doubles(floats.begin(), floats.end());
  const std::vector<TCase> cases = {
      {"8-bit", Plain(WAVE_FORMAT_PCM, 8, 1), {0, 128, 255, 1}, {-32768, 0, 32512, -32512}},
      {"16-bit",
       Plain(WAVE_FORMAT_PCM, 16, 2),
       Bytes(std::vector<int16_t>{-32768, 32767, 1, -1}),
       {-32768, 32767, 1, -1}},
      // The top 16 bits: the low byte never rounds up, and -1 stays -1.
      {"24-bit",
       Plain(WAVE_FORMAT_PCM, 24, 2),
       Bytes24({0x7FFFFF, -0x800000, 0x000100, 0x0000FF, -1, -0x000101}),
       {32767, -32768, 1, 0, -1, -2}},
      {"32-bit",
       Plain(WAVE_FORMAT_PCM, 32, 1),
       Bytes(std::vector<int32_t>{0x7FFFFFFF, std::numeric_limits<int32_t>::min(), 0x10000, 0xFFFF,
                                  -1}),
       {32767, -32768, 1, 0, -1}},
      {"float", Plain(WAVE_FORMAT_IEEE_FLOAT, 32, 2), Bytes(floats), fromFloats},
      {"double", Plain(WAVE_FORMAT_IEEE_FLOAT, 64, 1), Bytes(doubles), fromFloats},
      {"A-law",
       Plain(WAVE_FORMAT_ALAW, 8, 2),
       {0xD5, 0x55, 0xD4, 0xAA, 0x2A, 0x80},
       {8, -8, 24, 32256, -32256, 5504}},
      {"mu-law",
       Plain(WAVE_FORMAT_MULAW, 8, 1),
       {0xFF, 0x7F, 0xF0, 0x80, 0x00, 0x70},
       {0, 0, 120, 32124, -32124, -120}},
      {"extensible 16 of 16",
       Extensible(16, 16, KSDATAFORMAT_SUBTYPE_PCM, 2),
       Bytes(std::vector<int16_t>{-32768, 32767}),
       {-32768, 32767}},
      {"extensible 20 of 24",
       Extensible(24, 20, KSDATAFORMAT_SUBTYPE_PCM, 2),
       Bytes24({0x123450, -0x123450}),
       {0x1234, -0x1235}},
      {"extensible 24 of 32",
       Extensible(32, 24, KSDATAFORMAT_SUBTYPE_PCM, 1),
       Bytes(std::vector<int32_t>{0x7FFFFF00, -0x40000000}),
       {32767, -16384}},
      {"extensible 8", Extensible(8, 0, KSDATAFORMAT_SUBTYPE_PCM, 1), {0, 255}, {-32768, 32512}},
      {"extensible float", Extensible(32, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 2), Bytes(floats),
       fromFloats},
      {"extensible double", Extensible(64, 0, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 1), Bytes(doubles),
       fromFloats},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TStream stream(c.Format.Get());
    const WAVEFORMATEX& pcm = stream.Pcm;
    EXPECT_EQ(pcm.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(pcm.wBitsPerSample, 16);
    EXPECT_EQ(pcm.nChannels, c.Format.Get()->nChannels);
    EXPECT_EQ(pcm.nSamplesPerSec, 44100u);
    EXPECT_EQ(pcm.nBlockAlign, 2 * pcm.nChannels);
    EXPECT_EQ(pcm.nAvgBytesPerSec, 44100u * pcm.nBlockAlign);
    EXPECT_EQ(pcm.cbSize, 0);
    EXPECT_EQ(stream.Convert(c.Source), c.Expected);
  }
}

TEST(Acm, SizesCountWholeFramesInBothDirections) {
  struct TCase {
    std::string Name;
    TFormat Format;
    uint32_t Input;
    uint32_t Flags;
    uint32_t Output;
  };
  const std::vector<TCase> cases = {
      {"24-bit stereo", Plain(WAVE_FORMAT_PCM, 24, 2), 6000, ACM_STREAMSIZEF_SOURCE, 4000},
      {"24-bit, a partial frame", Plain(WAVE_FORMAT_PCM, 24, 2), 6005, ACM_STREAMSIZEF_SOURCE,
       4000},
      {"24-bit, less than a frame", Plain(WAVE_FORMAT_PCM, 24, 2), 5, ACM_STREAMSIZEF_SOURCE, 0},
      {"24-bit, back", Plain(WAVE_FORMAT_PCM, 24, 2), 4003, ACM_STREAMSIZEF_DESTINATION, 6000},
      {"A-law mono", Plain(WAVE_FORMAT_ALAW, 8, 1), 8192, ACM_STREAMSIZEF_SOURCE, 16384},
      {"double stereo", Plain(WAVE_FORMAT_IEEE_FLOAT, 64, 2), 8192, ACM_STREAMSIZEF_SOURCE, 2048},
      {"double stereo, back", Plain(WAVE_FORMAT_IEEE_FLOAT, 64, 2), 2048,
       ACM_STREAMSIZEF_DESTINATION, 8192},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TStream stream(c.Format.Get());
    uint32_t output = 12345;
    EXPECT_EQ(acmStreamSize(stream.Handle, c.Input, &output, c.Flags), MMSYSERR_NOERROR);
    EXPECT_EQ(output, c.Output);
  }
  // A size whose other side does not fit in 32 bits is refused, the output left alone.
  TStream alaw(Plain(WAVE_FORMAT_ALAW, 8, 1).Get());
  uint32_t output = 7;
  EXPECT_EQ(acmStreamSize(alaw.Handle, 0xFFFFFFFF, &output, ACM_STREAMSIZEF_SOURCE),
            ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(output, 7u);
  EXPECT_EQ(acmStreamSize(alaw.Handle, 10, &output, 2), MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmStreamSize(alaw.Handle, 10, nullptr, ACM_STREAMSIZEF_SOURCE), MMSYSERR_INVALPARAM);
}

TEST(Acm, APartialFrameAtTheEndOfABlockIsLeftUnusedAndTheLengthsMayShrink) {
  TStream stream(Plain(WAVE_FORMAT_PCM, 24, 2).Get());
  // Three frames and four bytes of a fourth.
  std::vector<uint8_t> source = Bytes24({0x100, 0x200, 0x300, 0x400, 0x500, 0x600, 0x700, 0x800});
  source.resize(22);
  std::vector<int16_t> out(8, 0x5A5A);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = source.data();
  h.cbSrcLength = uint32_t(source.size());
  h.pbDst = reinterpret_cast<uint8_t*>(out.data());
  h.cbDstLength = uint32_t(out.size() * 2);
  ASSERT_EQ(acmStreamPrepareHeader(stream.Handle, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(h.fdwStatus, ACMSTREAMHEADER_STATUSF_PREPARED);
  ASSERT_EQ(acmStreamConvert(stream.Handle, &h, ACM_STREAMCONVERTF_BLOCKALIGN), MMSYSERR_NOERROR);
  EXPECT_EQ(h.fdwStatus, ACMSTREAMHEADER_STATUSF_PREPARED | ACMSTREAMHEADER_STATUSF_DONE);
  EXPECT_EQ(h.cbSrcLengthUsed, 18u);
  EXPECT_EQ(h.cbDstLengthUsed, 12u);
  EXPECT_EQ(out, (std::vector<int16_t>{1, 2, 3, 4, 5, 6, 0x5A5A, 0x5A5A}));

  // The next block is shorter than the prepared one; the destination limits as well.
  h.cbSrcLength = 12;
  h.cbDstLength = 4;
  std::fill(out.begin(), out.end(), 0x5A5A);
  ASSERT_EQ(acmStreamConvert(stream.Handle, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(h.cbSrcLengthUsed, 6u);
  EXPECT_EQ(h.cbDstLengthUsed, 4u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 0x5A5A);

  // Longer than prepared, or moved: refused, nothing written.
  h.cbSrcLength = 24;
  EXPECT_EQ(acmStreamConvert(stream.Handle, &h, 0), MMSYSERR_INVALPARAM);
  h.cbSrcLength = 12;
  h.pbSrc = source.data() + 6;
  EXPECT_EQ(acmStreamConvert(stream.Handle, &h, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(out[2], 0x5A5A);
  h.pbSrc = source.data();
  EXPECT_EQ(acmStreamUnprepareHeader(stream.Handle, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED, 0u);
  EXPECT_EQ(acmStreamConvert(stream.Handle, &h, 0), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamUnprepareHeader(stream.Handle, &h, 0), ACMERR_UNPREPARED);
}

TEST(Acm, FormatsWithoutAConversionAreNotPossible) {
  const GUID adpcm = {0x00000002, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  TFormat misaligned = Plain(WAVE_FORMAT_PCM, 24, 2);
  reinterpret_cast<WAVEFORMATEX*>(misaligned.Bytes.data())->nBlockAlign = 8;
  TFormat shortExtensible = Extensible(24, 24, KSDATAFORMAT_SUBTYPE_PCM, 2);
  reinterpret_cast<WAVEFORMATEX*>(shortExtensible.Bytes.data())->cbSize = 21;
  struct TCase {
    std::string Name;
    TFormat Format;
  };
  const std::vector<TCase> cases = {
      {"Microsoft ADPCM", Plain(2, 4, 2)},
      {"GSM 6.10", Plain(49, 0, 1)},
      {"MPEG layer 3", Plain(85, 0, 2)},
      {"12-bit PCM", Plain(WAVE_FORMAT_PCM, 12, 1)},
      {"16-bit float", Plain(WAVE_FORMAT_IEEE_FLOAT, 16, 1)},
      {"16-bit A-law", Plain(WAVE_FORMAT_ALAW, 16, 1)},
      {"no channels", Plain(WAVE_FORMAT_PCM, 24, 0)},
      {"no rate", Plain(WAVE_FORMAT_PCM, 24, 2, 0)},
      {"block align", misaligned},
      {"extensible ADPCM", Extensible(16, 16, adpcm, 2)},
      {"extensible, valid bits above the container",
       Extensible(24, 32, KSDATAFORMAT_SUBTYPE_PCM, 2)},
      {"extensible, 24 valid bits of float",
       Extensible(32, 24, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 2)},
      {"extensible, too short", shortExtensible},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    WAVEFORMATEX pcm{};
    EXPECT_EQ(acmFormatSuggest(nullptr, c.Format.Get(), &pcm, sizeof pcm, 0), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(pcm.wFormatTag, 0);
    // Not even to the PCM format a convertible relative would get.
    const WAVEFORMATEX target = *Plain(WAVE_FORMAT_PCM, 16, c.Format.Get()->nChannels).Get();
    EXPECT_EQ(acmStreamOpen(nullptr, nullptr, c.Format.Get(), &target, nullptr, 0, 0,
                            ACM_STREAMOPENF_QUERY),
              ACMERR_NOTPOSSIBLE);
    HACMSTREAM handle = reinterpret_cast<HACMSTREAM>(1);
    EXPECT_EQ(acmStreamOpen(&handle, nullptr, c.Format.Get(), &target, nullptr, 0, 0, 0),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(handle, nullptr);
  }
}

TEST(Acm, OnlyTheSuggestedDestinationOpensAndMisuseAnswersWithCodes) {
  const TFormat source = Plain(WAVE_FORMAT_IEEE_FLOAT, 32, 2);
  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  ASSERT_EQ(
      acmFormatSuggest(nullptr, source.Get(), &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG),
      MMSYSERR_NOERROR);
  // Fields fixed by the caller must agree with the suggestion.
  WAVEFORMATEX fixed = pcm;
  fixed.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  EXPECT_EQ(
      acmFormatSuggest(nullptr, source.Get(), &fixed, sizeof fixed, ACM_FORMATSUGGESTF_WFORMATTAG),
      ACMERR_NOTPOSSIBLE);
  fixed = pcm;
  fixed.nChannels = 1;
  EXPECT_EQ(
      acmFormatSuggest(nullptr, source.Get(), &fixed, sizeof fixed, ACM_FORMATSUGGESTF_NCHANNELS),
      ACMERR_NOTPOSSIBLE);
  fixed = pcm;
  fixed.wBitsPerSample = 8;
  EXPECT_EQ(acmFormatSuggest(nullptr, source.Get(), &fixed, sizeof fixed,
                             ACM_FORMATSUGGESTF_WBITSPERSAMPLE),
            ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(acmFormatSuggest(nullptr, source.Get(), &fixed, 15, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(acmFormatSuggest(nullptr, source.Get(), &fixed, sizeof fixed, 0x1), MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmFormatSuggest(nullptr, nullptr, &fixed, sizeof fixed, 0), MMSYSERR_INVALPARAM);

  // Other rates, channels or sizes are not this converter's business.
  const WAVEFORMATEX others[] = {
      *Plain(WAVE_FORMAT_PCM, 8, 2).Get(), *Plain(WAVE_FORMAT_PCM, 16, 1).Get(),
      *Plain(WAVE_FORMAT_PCM, 16, 2, 48000).Get(), *Plain(WAVE_FORMAT_IEEE_FLOAT, 32, 2).Get()};
  for (const WAVEFORMATEX& other : others) {
    EXPECT_EQ(
        acmStreamOpen(nullptr, nullptr, source.Get(), &other, nullptr, 0, 0, ACM_STREAMOPENF_QUERY),
        ACMERR_NOTPOSSIBLE);
  }
  HACMSTREAM handle = nullptr;
  EXPECT_EQ(acmStreamOpen(&handle, nullptr, source.Get(), &pcm, nullptr, 0, 0, 0x100),
            MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmStreamOpen(nullptr, nullptr, source.Get(), &pcm, nullptr, 0, 0, 0),
            MMSYSERR_INVALPARAM);
  EXPECT_EQ(
      acmStreamOpen(&handle, nullptr, source.Get(), &pcm, nullptr, 0, 0, ACM_STREAMOPENF_ASYNC),
      MMSYSERR_NOTSUPPORTED);
  ASSERT_EQ(acmStreamOpen(&handle, nullptr, source.Get(), &pcm, nullptr, 0, 0,
                          ACM_STREAMOPENF_NONREALTIME),
            MMSYSERR_NOERROR);
  ASSERT_NE(handle, nullptr);

  std::vector<uint8_t> in(16);
  std::vector<uint8_t> out(8);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h - 1;
  h.pbSrc = in.data();
  h.cbSrcLength = 16;
  h.pbDst = out.data();
  h.cbDstLength = 8;
  EXPECT_EQ(acmStreamPrepareHeader(handle, &h, 0), MMSYSERR_INVALPARAM);
  h.cbStruct = sizeof h;
  EXPECT_EQ(acmStreamPrepareHeader(handle, &h, 1), MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmStreamConvert(handle, &h, 0), ACMERR_UNPREPARED);
  ASSERT_EQ(acmStreamPrepareHeader(handle, &h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamConvert(handle, &h, 0x1000), MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmStreamConvert(handle, &h, 0), MMSYSERR_NOERROR);

  // A stream closed with a header still prepared; its handle is dead afterwards.
  EXPECT_EQ(acmStreamClose(handle, 1), MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmStreamClose(handle, 0), MMSYSERR_NOERROR);
  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(handle, 16, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamConvert(handle, &h, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamUnprepareHeader(handle, &h, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamPrepareHeader(handle, &h, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamClose(handle, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamClose(nullptr, 0), MMSYSERR_INVALHANDLE);
}

TEST(Acm, AStreamClosedWhileAnotherThreadConvertsEndsThatThreadsCallsCleanly) {
  const TFormat source = Plain(WAVE_FORMAT_PCM, 24, 2);
  WAVEFORMATEX pcm{};
  ASSERT_EQ(acmFormatSuggest(nullptr, source.Get(), &pcm, sizeof pcm, 0), MMSYSERR_NOERROR);
  HACMSTREAM handle = nullptr;
  ASSERT_EQ(acmStreamOpen(&handle, nullptr, source.Get(), &pcm, nullptr, 0, 0, 0),
            MMSYSERR_NOERROR);
  std::vector<uint8_t> in(6 * 4096, 0x11);
  std::vector<uint8_t> out(4 * 4096);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = in.data();
  h.cbSrcLength = uint32_t(in.size());
  h.pbDst = out.data();
  h.cbDstLength = uint32_t(out.size());
  ASSERT_EQ(acmStreamPrepareHeader(handle, &h, 0), MMSYSERR_NOERROR);

  // The converting thread runs until its handle is gone; the close comes after it has
  // converted at least once, at whatever point of a conversion that is.
  std::atomic<int> converted{0};
  MMRESULT last = MMSYSERR_NOERROR;
  std::thread converter([&] {
    while ((last = acmStreamConvert(handle, &h, 0)) == MMSYSERR_NOERROR) ++converted;
  });
  while (converted.load() == 0) std::this_thread::yield();
  EXPECT_EQ(acmStreamClose(handle, 0), MMSYSERR_NOERROR);
  converter.join();
  EXPECT_EQ(last, MMSYSERR_INVALHANDLE);
  EXPECT_EQ(out[0], 0x11);
}

// The classic G.711 compression of a 16-bit sample to A-law, independent of the expansion
// under test.
uint8_t LinearToALaw(int16_t sample) {
  static const int segmentEnds[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
  int value = sample >> 3;
  int mask = 0xD5;
  if (value < 0) {
    mask = 0x55;
    value = -value - 1;
  }
  int segment = 0;
  while (segment < 8 && value > segmentEnds[segment]) ++segment;
  if (segment >= 8) return uint8_t(0x7F ^ mask);
  int code = segment << 4;
  code |= segment < 2 ? (value >> 1) & 0x0F : (value >> segment) & 0x0F;
  return uint8_t(code ^ mask);
}

TEST(Acm, OneSineInEveryFormatMovesTheMeterAsIts16BitVersionDoes) {
  // 100 whole periods of 1 kHz at 44.1 kHz, stereo, at two levels.
  constexpr int kFrames = 4410;
  for (const double peakDB : {-12.0, -40.0}) {
    SCOPED_TRACE(peakDB);
    const double amplitude = std::pow(10.0, peakDB / 20.0);
    std::vector<int16_t> pcm16;
    std::vector<float> f32;
    std::vector<double> f64;
    std::vector<int32_t> s24;
    std::vector<uint8_t> alaw;
    for (int i = 0; i < kFrames; ++i) {
      const double x = amplitude * std::sin(2 * std::numbers::pi * 1000 * i / 44100.0);
      for (int channel = 0; channel < 2; ++channel) {
        pcm16.push_back(int16_t(std::lround(x * 32767)));
        f32.push_back(float(x));
        f64.push_back(x);
        s24.push_back(int32_t(std::lround(x * 8388607)));
        alaw.push_back(LinearToALaw(pcm16.back()));
      }
    }
    TMMPcmLayout layout;
    layout.BitLength = b16Bit;
    layout.Channels = 2;
    const double reference = LevelToDBFS(double(PcmRmsLevel(pcm16.data(), layout, kFrames)));
    EXPECT_NEAR(reference, peakDB - 3.01, 0.05);

    struct TCase {
      std::string Name;
      TFormat Format;
      std::vector<uint8_t> Source;
    };
    const std::vector<TCase> cases = {
        {"float", Plain(WAVE_FORMAT_IEEE_FLOAT, 32, 2), Bytes(f32)},
        {"double", Plain(WAVE_FORMAT_IEEE_FLOAT, 64, 2), Bytes(f64)},
        {"24-bit", Plain(WAVE_FORMAT_PCM, 24, 2), Bytes24(s24)},
        {"A-law", Plain(WAVE_FORMAT_ALAW, 8, 2), alaw},
    };
    for (const TCase& c : cases) {
      SCOPED_TRACE(c.Name);
      TStream stream(c.Format.Get());
      const std::vector<int16_t> converted = stream.Convert(c.Source);
      ASSERT_EQ(converted.size(), pcm16.size());
      const double level = LevelToDBFS(double(PcmRmsLevel(converted.data(), layout, kFrames)));
      EXPECT_NEAR(level, reference, 0.1);

      // The needle meter reads the same (its deflection is proportional to amplitude, and
      // 0.1 dB is 1.16 % of it), below the top of its scale.
      double angles[2];
      const void* pieces[2] = {converted.data(), pcm16.data()};
      for (int i = 0; i < 2; ++i) {
        TMMMeterLaw meter;
        meter.SetMeterMode(mmVU);
        meter.SetDecayMode(dmNone);
        meter.SetRefLevel(-10.0);
        meter.SetPWaveFormat(&stream.Pcm);
        meter.SetSamples(kFrames);
        meter.RefreshPCMData(pieces[i]);
        angles[i] = meter.GetAngle();
      }
      EXPECT_GT(angles[1], 0.0);
      EXPECT_NEAR(angles[0], angles[1], angles[1] * (std::pow(10.0, 0.1 / 20) - 1));
    }
  }
}

}  // namespace
