#include "instruments/core/pcm_level.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
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

// The piece loops give what the frame-by-frame reading gives, for every layout and for offsets
// small and large (the 16-bit loops change their arithmetic at offsets beyond ±32767).
TEST(PcmLevel, PieceLevelsMatchTheFrameValues) {
  std::mt19937 random(7);
  auto pick = [&random](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(random);
  };
  const int offsets[] = {0, 7, -32767, 32767, 32768, -40000, 1 << 30, -(1 << 30) - 5};
  for (int round = 0; round < 3000; ++round) {
    TMMPcmLayout layout;
    layout.BitLength = pick(0, 3) == 0 ? b8Bit : b16Bit;
    layout.Channels = std::array{1, 2, 4}[size_t(pick(0, 2))];
    layout.Channel = TMMChannel(pick(0, 2));
    layout.DCOffsetL = pick(0, 1) ? offsets[pick(0, 7)] : int(pick(-300, 300));
    layout.DCOffsetR = pick(0, 1) ? offsets[pick(0, 7)] : int(pick(-300, 300));
    const int32_t frames = int32_t(pick(1, 1200));
    std::vector<uint8_t> data(size_t(PcmBytes(layout, frames)));
    // Loud pieces too: full-scale samples are where a sum or a square overflows first.
    const bool loud = pick(0, 1);
    if (layout.BitLength == b8Bit) {
      for (uint8_t& b : data) b = uint8_t(loud ? (pick(0, 1) ? 255 : 0) : pick(0, 255));
    } else {
      for (size_t i = 0; i < data.size(); i += 2) {
        const auto v = int16_t(loud ? (pick(0, 1) ? 32767 : -32768) : pick(-32768, 32767));
        std::memcpy(&data[i], &v, 2);
      }
    }
    int64_t peak = 0;
    unsigned __int128 squares = 0;
    for (int32_t i = 0; i < frames; ++i) {
      const int64_t v = PcmFrameValue(data.data(), layout, i);
      const uint64_t m = uint64_t(v < 0 ? -v : v);
      peak = std::max<int64_t>(peak, int64_t(m));
      squares += (unsigned __int128)m * m;
    }
    const auto rms = int64_t(std::sqrt((long double)squares / frames));
    ASSERT_EQ(PcmPeakLevel(data.data(), layout, frames), peak) << "round " << round;
    ASSERT_EQ(PcmRmsLevel(data.data(), layout, frames), rms) << "round " << round;
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
