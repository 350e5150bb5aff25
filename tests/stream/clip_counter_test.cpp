// The clip counter: full-scale samples of each encoding counted per side, never the values
// just inside full scale, channels beyond two with their pair, and a reset; and the highest
// sample peak of each side.
#include "stream/clip_counter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "stream/wave_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <typename T>
Bytes Of(T value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

WAVEFORMATEX Format(uint16_t tag, int bits, int channels) {
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, bits, channels, 44100);
  f.wFormatTag = tag;
  return f;
}

// Frames of `channels` samples from a pattern of 'H' (the high end), 'L' (the low end) and 'n'
// (one step inside the high end), in interleaved order.
Bytes Frames(const std::string& pattern, const Bytes& high, const Bytes& low, const Bytes& near) {
  Bytes out;
  for (char c : pattern) {
    const Bytes& sample = c == 'H' ? high : c == 'L' ? low : near;
    out.insert(out.end(), sample.begin(), sample.end());
  }
  return out;
}

TEST(ClipCounter, CountsTheSamplesAtEitherEndOfEachEncodingPerSide) {
  struct Case {
    const char* name;
    WAVEFORMATEX format;
    Bytes high, low, near;
  };
  const Case cases[] = {
      {"8-bit", Format(WAVE_FORMAT_PCM, 8, 2), {0xFF}, {0x00}, {0xFE}},
      {"16-bit", Format(WAVE_FORMAT_PCM, 16, 2), Of(int16_t(32767)), Of(int16_t(-32768)),
       Of(int16_t(32766))},
      {"24-bit",
       Format(WAVE_FORMAT_PCM, 24, 2),
       {0xFF, 0xFF, 0x7F},
       {0x00, 0x00, 0x80},
       {0xFE, 0xFF, 0x7F}},
      {"32-bit", Format(WAVE_FORMAT_PCM, 32, 2), Of(int32_t(2147483647)),
       Of(int32_t(-2147483647 - 1)), Of(int32_t(2147483646))},
      {"float", Format(WAVE_FORMAT_IEEE_FLOAT, 32, 2), Of(1.0f), Of(-1.0f), Of(0.99999f)},
      {"double", Format(WAVE_FORMAT_IEEE_FLOAT, 64, 2), Of(1.5), Of(-1.0), Of(0.99999)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TMMClipCounter counter;
    counter.SetFormat(&c.format);
    // Left: high, low, inside; right: inside, high, inside. Then half a frame that would clip.
    Bytes block = Frames("HnLHnn", c.high, c.low, c.near);
    const Bytes partial = Frames("H", c.high, c.low, c.near);
    block.insert(block.end(), partial.begin(), partial.end());
    counter.Count(block.data(), uint32_t(block.size()));
    EXPECT_EQ(counter.Clipped(0), 2);
    EXPECT_EQ(counter.Clipped(1), 1);
    counter.Count(block.data(), uint32_t(block.size()));
    EXPECT_EQ(counter.Clipped(0), 4) << "the counts add up over the blocks";
    counter.Reset();
    EXPECT_EQ(counter.Clipped(0), 0);
    EXPECT_EQ(counter.Clipped(1), 0);
  }
}

TEST(ClipCounter, MonoCountsLeftAndFourChannelsCountWithTheirPair) {
  const Bytes high = Of(int16_t(32767)), low = Of(int16_t(-32768)), near = Of(int16_t(0));
  TMMClipCounter counter;
  const WAVEFORMATEX mono = Format(WAVE_FORMAT_PCM, 16, 1);
  counter.SetFormat(&mono);
  const Bytes three = Frames("HLn", high, low, near);
  counter.Count(three.data(), uint32_t(three.size()));
  EXPECT_EQ(counter.Clipped(0), 2);
  EXPECT_EQ(counter.Clipped(1), 0);

  counter.Reset();
  const WAVEFORMATEX quad = Format(WAVE_FORMAT_PCM, 16, 4);
  counter.SetFormat(&quad);
  const Bytes frame = Frames("nHHH", high, low, near);  // channels 2 and 4 clip with 1 and 3
  counter.Count(frame.data(), uint32_t(frame.size()));
  EXPECT_EQ(counter.Clipped(0), 1);
  EXPECT_EQ(counter.Clipped(1), 2);

  // Without a format nothing is counted.
  counter.Reset();
  counter.SetFormat(nullptr);
  counter.Count(frame.data(), uint32_t(frame.size()));
  EXPECT_EQ(counter.Clipped(0) + counter.Clipped(1), 0);
}

TEST(ClipCounter, KeepsTheHighestPeakOfEachSideAsAFractionOfFullScale) {
  struct Case {
    const char* name;
    WAVEFORMATEX format;
    Bytes quiet, half, quarter;  // a quiet sample, one at -1/2 and one at +1/4 of full scale
    double fullScale;            // the magnitude of the most negative sample
    Bytes lowest;
  };
  const Case cases[] = {
      {"8-bit", Format(WAVE_FORMAT_PCM, 8, 2), {129}, {64}, {160}, 1.0, {0x00}},
      {"16-bit", Format(WAVE_FORMAT_PCM, 16, 2), Of(int16_t(1)), Of(int16_t(-16384)),
       Of(int16_t(8192)), 1.0, Of(int16_t(-32768))},
      {"24-bit",
       Format(WAVE_FORMAT_PCM, 24, 2),
       {0x01, 0x00, 0x00},
       {0x00, 0x00, 0xC0},
       {0x00, 0x00, 0x20},
       1.0,
       {0x00, 0x00, 0x80}},
      {"32-bit", Format(WAVE_FORMAT_PCM, 32, 2), Of(int32_t(1)), Of(int32_t(-1073741824)),
       Of(int32_t(536870912)), 1.0, Of(int32_t(-2147483647 - 1))},
      {"float", Format(WAVE_FORMAT_IEEE_FLOAT, 32, 2), Of(0.0f), Of(-0.5f), Of(0.25f), 2.0,
       Of(-2.0f)},
      {"double", Format(WAVE_FORMAT_IEEE_FLOAT, 64, 2), Of(0.0), Of(-0.5), Of(0.25), 1.5, Of(-1.5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TMMClipCounter counter;
    counter.SetFormat(&c.format);
    EXPECT_EQ(counter.Peak(0), 0.0);
    // Left: -1/2 then quiet; right: quiet then +1/4. A quieter block after it keeps the peak.
    Bytes block = c.half;
    for (const Bytes* sample : {&c.quiet, &c.quiet, &c.quarter})
      block.insert(block.end(), sample->begin(), sample->end());
    counter.Count(block.data(), uint32_t(block.size()));
    Bytes quiet = c.quiet;
    quiet.insert(quiet.end(), c.quiet.begin(), c.quiet.end());
    counter.Count(quiet.data(), uint32_t(quiet.size()));
    EXPECT_DOUBLE_EQ(counter.Peak(0), 0.5);
    EXPECT_DOUBLE_EQ(counter.Peak(1), 0.25);
    // The most negative sample is the full scale of integers; floats count past it.
    Bytes lowest = c.quiet;
    lowest.insert(lowest.end(), c.lowest.begin(), c.lowest.end());
    counter.Count(lowest.data(), uint32_t(lowest.size()));
    EXPECT_DOUBLE_EQ(counter.Peak(0), 0.5);
    EXPECT_DOUBLE_EQ(counter.Peak(1), c.fullScale);
    counter.Reset();
    EXPECT_EQ(counter.Peak(0), 0.0);
    EXPECT_EQ(counter.Peak(1), 0.0);
  }
}

}  // namespace
