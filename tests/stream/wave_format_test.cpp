#include "stream/wave_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/acm/acm.h"

namespace {

WAVEFORMATEX Pcm(int bits, int channels, uint32_t rate) {
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, bits, channels, rate);
  return f;
}

TEST(MulDiv, RoundsHalvesAwayFromZero) {
  struct Case {
    int32_t a, b, c, expected;
  } cases[] = {
      {5, 1, 2, 3},
      {-5, 1, 2, -3},
      {5, -1, 2, -3},
      {7, 1, 2, 4},
      {4, 1, 3, 1},
      {5, 1, 3, 2},
      {-4, 1, 3, -1},
      {-5, 1, 3, -2},
      {1, 1, 2, 1},
      {10, 3, 4, 8},
      {0x40000000, 4, 2, -1},                            // result beyond 32 bits
      {1, 1, 0, -1},                                     // zero divisor
      {2000000000, 2000000000, 2000000000, 2000000000},  // 64-bit intermediate
  };
  for (const auto& c : cases)
    EXPECT_EQ(MulDiv(c.a, c.b, c.c), c.expected) << c.a << "*" << c.b << "/" << c.c;
}

TEST(WaveFormat, SizeCopyAndBuild) {
  WAVEFORMATEX pcm = Pcm(16, 2, 44100);
  EXPECT_EQ(pcm.nBlockAlign, 4);
  EXPECT_EQ(pcm.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(WaveFormatSize(nullptr), 0u);
  EXPECT_EQ(WaveFormatSize(&pcm), 18u);

  pcm.cbSize = 22;  // ignored for PCM: the copy forces it to 0
  WAVEFORMATEX* copy = CopyWaveFormat(&pcm);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->cbSize, 0);
  EXPECT_EQ(copy->nSamplesPerSec, 44100u);
  FreeWaveFormat(copy);
  EXPECT_EQ(CopyWaveFormat(nullptr), nullptr);

  // A compressed format carries cbSize extra bytes, copied along.
  struct {
    WAVEFORMATEX f;
    uint8_t extra[4];
  } adpcm{};
  adpcm.f.wFormatTag = 2;
  adpcm.f.cbSize = 4;
  adpcm.extra[3] = 0x5A;
  EXPECT_EQ(WaveFormatSize(&adpcm.f), 22u);
  auto* c2 = CopyWaveFormat(&adpcm.f);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(c2)[21], 0x5A);
  FreeWaveFormat(c2);
}

// An extensible record in memory: the plain fields, then valid bits, speaker mask, subformat.
struct TExtensible {
  WAVEFORMATEX f;
  uint16_t validBits;
  uint32_t mask;
  uint8_t subFormat[16];
} __attribute__((packed));
static_assert(sizeof(TExtensible) == 40);

TExtensible Extensible(uint16_t bits, uint16_t validBits, uint8_t subFormatFirst = 1,
                       uint16_t cbSize = 22) {
  TExtensible x{};
  BuildPCMFormat(&x.f, bits, 2, 48000);
  x.f.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  x.f.cbSize = cbSize;
  x.validBits = validBits;
  x.mask = 3;
  const uint8_t guid[16] = {subFormatFirst, 0, 0, 0,    0, 0,    0x10, 0,
                            0x80,           0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  std::memcpy(x.subFormat, guid, sizeof guid);
  return x;
}

TEST(WaveFormat, ExtensiblePcmOf8Or16FullBitsIsPlainPcm) {
  struct Case {
    const char* what;
    TExtensible format;
    bool pcm;
  } cases[] = {
      {"16 bits", Extensible(16, 16), true},
      {"8 bits", Extensible(8, 8), true},
      {"24 bits", Extensible(24, 24), false},
      {"20 of 24 bits valid", Extensible(24, 20), false},
      {"12 of 16 bits valid", Extensible(16, 12), false},
      {"float subformat", Extensible(32, 32, 3), false},
      {"extra bytes cut short", Extensible(16, 16, 1, 10), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IsPCMFormat(&c.format.f), c.pcm);
    const std::optional<WAVEFORMATEX> plain = PlainPCMFormat(&c.format.f);
    ASSERT_EQ(plain.has_value(), c.pcm);
    if (!plain) continue;
    WAVEFORMATEX expected = c.format.f;
    expected.wFormatTag = WAVE_FORMAT_PCM;
    expected.cbSize = 0;
    EXPECT_EQ(std::memcmp(&*plain, &expected, sizeof expected), 0);
  }
  const WAVEFORMATEX pcm = Pcm(16, 1, 8000);
  EXPECT_TRUE(IsPCMFormat(&pcm));
  ASSERT_TRUE(PlainPCMFormat(&pcm));
  EXPECT_EQ(PlainPCMFormat(&pcm)->nBlockAlign, 2);
  EXPECT_FALSE(IsPCMFormat(nullptr));
  EXPECT_FALSE(PlainPCMFormat(nullptr));
}

TEST(WaveFormat, Conversions) {
  const WAVEFORMATEX cd = Pcm(16, 2, 44100);
  EXPECT_EQ(MsToBytes(&cd, 1000), 176400);
  EXPECT_EQ(BytesToSamples(&cd, 176400), 44100);
  EXPECT_EQ(BytesToMs(&cd, 8192), 46);
  EXPECT_EQ(SamplesToMs(&cd, 22050), 500);
  EXPECT_EQ(MsToSamples(&cd, 10), 441);
  // Rounded up to whole frames.
  const WAVEFORMATEX mono = Pcm(16, 1, 44100);
  EXPECT_EQ(MsToBytes(&mono, 3), 266);  // 264.6 -> 265 -> 266
  const WAVEFORMATEX odd = Pcm(16, 2, 22050);
  EXPECT_EQ(SamplesToBytes(&odd, 3), 12);
  EXPECT_EQ(SamplesToBytes(&cd, 0x7FFFFFFF), -1) << "an overflow stays an overflow";
  // 64-bit: beyond what fits into 32 bits, truncated, then whole frames.
  EXPECT_EQ(SamplesToBytes64(&cd, 3000000000LL), 12000000000LL);
  EXPECT_EQ(SamplesToMs64(&cd, 44100LL * 100000), 100000000LL);
  EXPECT_EQ(SamplesToMs64(&cd, 44099), 999);  // truncated, not rounded
}

class WaveFormatTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LC_ALL", "LC_NUMERIC", "LANG"})
      if (const char* v = std::getenv(name)) saved_.emplace_back(name, v);
    unsetenv("LC_ALL");
    unsetenv("LC_NUMERIC");
    setenv("LANG", "C", 1);
  }
  void TearDown() override {
    unsetenv("LC_ALL");
    unsetenv("LC_NUMERIC");
    unsetenv("LANG");
    for (auto& [k, v] : saved_) setenv(k.c_str(), v.c_str(), 1);
  }
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(WaveFormatTextTest, FormatsRateBitsAndChannels) {
  const WAVEFORMATEX cd = Pcm(16, 2, 44100);
  EXPECT_EQ(WaveFormatText(&cd), "44.100 kHz, 16 Bit, Stereo");
  const WAVEFORMATEX low = Pcm(8, 1, 8000);
  EXPECT_EQ(WaveFormatText(&low), "8.000 kHz, 8 Bit, Mono");
  const WAVEFORMATEX six = Pcm(16, 6, 48000);
  EXPECT_EQ(WaveFormatText(&six), "48.000 kHz, 16 Bit, 6 Channels");
  const WAVEFORMATEX odd = Pcm(16, 1, 11025);
  EXPECT_EQ(WaveFormatText(&odd), "11.025 kHz, 16 Bit, Mono");
  EXPECT_EQ(WaveFormatText(nullptr), "Unknown");
  // Compressed formats show their effective bits per sample.
  WAVEFORMATEX adpcm{2, 1, 22050, 11155, 512, 4, 0};
  EXPECT_EQ(WaveFormatText(&adpcm), "22.050 kHz, 4 Bit, Mono");
}

TEST(WaveFormat, TextWithOtherSeparators) {
  const WAVEFORMATEX cd = Pcm(16, 2, 44100);
  EXPECT_EQ(WaveFormatText(&cd, ';', ','), "44,100 kHz; 16 Bit; Stereo");
  EXPECT_EQ(WaveFormatText(nullptr, ';', ','), "Unknown");
}

// The byte that fills a block with silence decodes to (next to) nothing in every format that has
// one: 8-bit PCM is offset, A-law and mu-law have their own quiet codes.
TEST(WaveFormat, SilenceBytesDecodeToSilence) {
  struct Case {
    const char* name;
    uint16_t tag, bits;
    uint8_t silence;
  } cases[] = {
      {"8-bit PCM", WAVE_FORMAT_PCM, 8, 0x80}, {"16-bit PCM", WAVE_FORMAT_PCM, 16, 0},
      {"A-law", WAVE_FORMAT_ALAW, 8, 0xD5},    {"mu-law", WAVE_FORMAT_MULAW, 8, 0xFF},
      {"float", WAVE_FORMAT_IEEE_FLOAT, 32, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WAVEFORMATEX f{};
    f.wFormatTag = c.tag;
    f.nChannels = 1;
    f.nSamplesPerSec = 8000;
    f.wBitsPerSample = c.bits;
    f.nBlockAlign = uint16_t(c.bits / 8);
    f.nAvgBytesPerSec = 8000u * f.nBlockAlign;
    EXPECT_EQ(SilenceByte(&f), c.silence);
    // What a block of that byte sounds like, as 16-bit samples.
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    ASSERT_EQ(acmFormatSuggest(nullptr, &f, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG),
              MMSYSERR_NOERROR);
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(acmStreamOpen(&stream, nullptr, &f, &pcm, nullptr, 0, 0, 0), MMSYSERR_NOERROR);
    std::vector<uint8_t> in(size_t(8 * f.nBlockAlign), c.silence), out(16);
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof h;
    h.pbSrc = in.data();
    h.cbSrcLength = uint32_t(in.size());
    h.pbDst = out.data();
    h.cbDstLength = uint32_t(out.size());
    ASSERT_EQ(acmStreamPrepareHeader(stream, &h, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(acmStreamConvert(stream, &h, 0), MMSYSERR_NOERROR);
    for (size_t i = 0; i + 1 < h.cbDstLengthUsed; i += 2) {
      const int16_t v = int16_t(out[i] | (out[i + 1] << 8));
      EXPECT_LE(std::abs(v), 8);
    }
    acmStreamUnprepareHeader(stream, &h, 0);
    acmStreamClose(stream, 0);
  }
}

TEST(WaveFormat, TagNames) {
  struct Case {
    uint16_t tag;
    const char* name;
  } cases[] = {{0, "Unknown"},       {1, "PCM"},
               {17, "IMA ADPCM"},    {4, "Unknown"},
               {48, "Dolby AC2"},    {521, "Dolby AC2"},
               {85, "MPEG Layer-3"}, {65535, "*DEVELOPMENT ONLY TAG*"},
               {524, "PCM 32"}};
  for (const auto& c : cases) {
    WAVEFORMATEX f{};
    f.wFormatTag = c.tag;
    EXPECT_EQ(WaveFormatTagName(&f), c.name) << c.tag;
  }
  EXPECT_EQ(WaveFormatTagName(nullptr), "Unknown");
}

TEST(WaveFormat, DeviceIdNames) {
  EXPECT_EQ(DeviceIdToString(InvalidId), "InvalidId");
  EXPECT_EQ(DeviceIdToString(MapperId), "MapperId");
  EXPECT_EQ(DeviceIdToString(3), "3");
  EXPECT_EQ(StringToDeviceId("invalidid"), InvalidId);
  EXPECT_EQ(StringToDeviceId("MAPPERID"), MapperId);
  EXPECT_EQ(StringToDeviceId("12"), 12);
  EXPECT_EQ(StringToDeviceId("-2"), InvalidId);
  EXPECT_EQ(StringToDeviceId("twelve"), std::nullopt);
  EXPECT_EQ(StringToDeviceId(""), std::nullopt);
  EXPECT_EQ(StringToDeviceId("99999999999"), std::nullopt);
}

}  // namespace
