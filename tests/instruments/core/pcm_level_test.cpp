#include "instruments/core/pcm_level.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> Pcm16(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

WAVEFORMATEX Format(int bits, int channels, uint32_t rate) {
  WAVEFORMATEX format{};
  BuildPCMFormat(&format, bits, channels, rate);
  return format;
}

}  // namespace

TEST(PcmLevel, FrameValuesByWidthChannelAndOffset) {
  struct Case {
    const char* name;
    TMMPcmLayout layout;
    std::vector<uint8_t> data;
    int64_t peak, rms;
  };
  const std::vector<Case> cases = {
      // 8-bit samples are re-centred on 128 and scaled to the 16-bit range.
      {"8-bit mono", {b8Bit, 1, chBoth, 0, 0}, {128, 255, 0, 128}, 32768, 23080},
      {"16-bit mono", {b16Bit, 1, chBoth, 0, 0}, Pcm16({3, -4, 0, 0}), 4, 2},
      {"left of stereo", {b16Bit, 2, chLeft, 0, 0}, Pcm16({-300, 9000, 200, 9000}), 300, 254},
      {"right of stereo", {b16Bit, 2, chRight, 0, 0}, Pcm16({-300, 9000, 200, -9000}), 9000, 9000},
      // Both channels: the offset values are added and halved toward zero.
      {"both of stereo", {b16Bit, 2, chBoth, 0, 0}, Pcm16({1000, -3001, 5, 6}), 1000, 707},
      {"offsets per channel", {b16Bit, 2, chRight, 7, -10}, Pcm16({7, -10, 7, 20}), 30, 21},
      // At 8 bits the halving comes before the re-centring.
      {"both of 8-bit stereo", {b8Bit, 2, chBoth, 0, 0}, {255, 0, 129, 130}, 256, 256},
      // Four channels: the frame holds four samples, the first two are measured.
      {"four channels", {b16Bit, 4, chRight, 0, 0}, Pcm16({1, 2, 32767, 32767, 3, -5, 0, 0}), 5, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int32_t frames = int32_t(c.data.size()) / PcmBytes(c.layout, 1);
    EXPECT_EQ(PcmPeakLevel(c.data.data(), c.layout, frames), c.peak);
    EXPECT_EQ(PcmRmsLevel(c.data.data(), c.layout, frames), c.rms);
  }
}

TEST(PcmLevel, InstrumentFormats) {
  for (const auto& [bits, channels, rate] :
       {std::tuple{8, 1, 4000u}, {16, 2, 44100u}, {16, 4, 100000u}, {8, 2, 48000u}}) {
    const WAVEFORMATEX format = Format(bits, channels, rate);
    EXPECT_TRUE(IsInstrumentFormat(&format)) << bits << " " << channels << " " << rate;
  }
  for (const auto& [bits, channels, rate] : {std::tuple{24, 2, 44100u},
                                             {16, 3, 44100u},
                                             {16, 0, 44100u},
                                             {16, 2, 3999u},
                                             {8, 1, 100001u}}) {
    const WAVEFORMATEX format = Format(bits, channels, rate);
    EXPECT_FALSE(IsInstrumentFormat(&format)) << bits << " " << channels << " " << rate;
  }
  WAVEFORMATEX floating = Format(16, 2, 44100);
  floating.wFormatTag = 3;
  EXPECT_FALSE(IsInstrumentFormat(&floating));
  EXPECT_FALSE(IsInstrumentFormat(nullptr));
}
