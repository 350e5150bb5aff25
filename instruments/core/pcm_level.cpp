#include "instruments/core/pcm_level.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

int32_t PcmBytes(const TMMPcmLayout& Layout, int32_t Frames) {
  return (int32_t(Layout.BitLength) + 1) * Layout.Channels * Frames;
}

namespace {

// Sample Channel of frame Index, less the channel's offset, still unsigned at 8 bits.
int64_t Sample(const uint8_t* Data, const TMMPcmLayout& Layout, int32_t Index, int Channel) {
  const int64_t offset = Channel == 0 ? Layout.DCOffsetL : Layout.DCOffsetR;
  const size_t at = size_t(Index) * size_t(Layout.Channels) + size_t(Channel);
  if (Layout.BitLength == b8Bit) return int64_t(Data[at]) - offset;
  int16_t sample;
  std::memcpy(&sample, Data + at * 2, sizeof sample);
  return int64_t(sample) - offset;
}

}  // namespace

int64_t PcmFrameValue(const uint8_t* Data, const TMMPcmLayout& Layout, int32_t Index) {
  int64_t v;
  if (Layout.Channels < 2 || Layout.Channel == chLeft)
    v = Sample(Data, Layout, Index, 0);
  else if (Layout.Channel == chRight)
    v = Sample(Data, Layout, Index, 1);
  else
    v = (Sample(Data, Layout, Index, 0) + Sample(Data, Layout, Index, 1)) / 2;
  if (Layout.BitLength == b8Bit) v = (v - 128) * 256;
  return v;
}

namespace {

// Calls f(v) with the value of each of the first Frames frames of 16-bit Data, in values of
// type T, with a frame `Step` samples wide.
template <typename T, typename Step, typename F>
void ForEach16BitFrame(const uint8_t* Data, const TMMPcmLayout& Layout, int32_t Frames, Step step,
                       F&& f) {
  const bool stereo = Layout.Channels >= 2;
  const bool both = stereo && Layout.Channel == chBoth;
  const size_t one = stereo && Layout.Channel == chRight ? 1 : 0;
  const T offsetL = Layout.DCOffsetL, offsetR = Layout.DCOffsetR;
  const T offset = one ? offsetR : offsetL;
  auto sample = [Data](size_t at) {
    int16_t value;
    std::memcpy(&value, Data + at * 2, sizeof value);
    return T(value);
  };
  if (both) {
    for (int32_t i = 0; i < Frames; ++i) {
      const size_t at = size_t(i) * step;
      f((sample(at) - offsetL + sample(at + 1) - offsetR) / 2);
    }
  } else {
    for (int32_t i = 0; i < Frames; ++i) f(sample(size_t(i) * step + one) - offset);
  }
}

// Calls f(v) with PcmFrameValue of each of the first Frames frames, in order, with the layout's
// choices made once for the piece rather than once a frame: an instrument measures every frame
// of the stream, and these loops are the measuring's whole cost.
template <typename F>
void ForEachFrameValue(const uint8_t* Data, const TMMPcmLayout& Layout, int32_t Frames, F&& f) {
  const size_t step = size_t(Layout.Channels);
  if (Layout.BitLength != b8Bit) {
    ForEach16BitFrame<int64_t>(Data, Layout, Frames, step, f);
    return;
  }
  const bool stereo = Layout.Channels >= 2;
  const size_t one = stereo && Layout.Channel == chRight ? 1 : 0;
  const int64_t offsetL = Layout.DCOffsetL, offsetR = Layout.DCOffsetR;
  const int64_t offset = one ? offsetR : offsetL;
  if (stereo && Layout.Channel == chBoth) {
    for (int32_t i = 0; i < Frames; ++i) {
      const uint8_t* s = Data + size_t(i) * step;
      f(((int64_t(s[0]) - offsetL + int64_t(s[1]) - offsetR) / 2 - 128) * 256);
    }
  } else {
    for (int32_t i = 0; i < Frames; ++i) f((int64_t(Data[size_t(i) * step + one]) - offset - 128) * 256);
  }
}

// 16-bit pieces whose offsets stay within ±32767, the usual ones, are measured by loops over
// 32-bit values: each value stays within ±65535, so its square fits in 32 bits and the squares
// of any piece (below 2^31 frames) sum below 2^63, exactly, in loops the compiler turns into
// vector instructions. F(value) is called with each frame's value, as ForEachFrameValue would;
// other pieces are left alone (false).
template <typename F>
bool ForEach16BitValue(const uint8_t* Data, const TMMPcmLayout& Layout, int32_t Frames, F&& f) {
  constexpr int kMaxOffset = 32767;
  auto small = [](int offset) { return offset >= -kMaxOffset && offset <= kMaxOffset; };
  if (Layout.BitLength != b16Bit || !small(Layout.DCOffsetL) || !small(Layout.DCOffsetR))
    return false;
  // The frame's width is a constant of the loop, so that stereo, the usual case, vectorises.
  switch (Layout.Channels) {
    case 1:
      ForEach16BitFrame<int32_t>(Data, Layout, Frames, std::integral_constant<size_t, 1>(), f);
      break;
    case 2:
      ForEach16BitFrame<int32_t>(Data, Layout, Frames, std::integral_constant<size_t, 2>(), f);
      break;
    default:
      ForEach16BitFrame<int32_t>(Data, Layout, Frames, size_t(Layout.Channels), f);
  }
  return true;
}

}  // namespace

int64_t PcmPeakLevel(const void* Data, const TMMPcmLayout& Layout, int32_t Frames) {
  const auto* bytes = static_cast<const uint8_t*>(Data);
  int32_t peak = 0;
  if (ForEach16BitValue(bytes, Layout, Frames,
                        [&peak](int32_t v) { peak = std::max(peak, v < 0 ? -v : v); }))
    return peak;
  int64_t level = 0;
  ForEachFrameValue(bytes, Layout, Frames,
                    [&level](int64_t v) { level = std::max(level, v < 0 ? -v : v); });
  return level;
}

int64_t PcmRmsLevel(const void* Data, const TMMPcmLayout& Layout, int32_t Frames) {
  if (Frames < 1) return 0;
  const auto* bytes = static_cast<const uint8_t*>(Data);
  // Summed exactly in integers; the mean's root is taken in extended precision, in which the
  // sums of PCM pieces are exact.
  uint64_t sum16 = 0;
  if (ForEach16BitValue(bytes, Layout, Frames, [&sum16](int32_t v) {
        const uint32_t m = uint32_t(v);
        sum16 += uint64_t(m * m);
      }))
    return int64_t(std::sqrt((long double)sum16 / Frames));
  // Otherwise values stay below 2^41 and their squares below 2^82.
  unsigned __int128 sum = 0;
  ForEachFrameValue(bytes, Layout, Frames, [&sum](int64_t v) {
    const uint64_t m = uint64_t(v < 0 ? -v : v);
    sum += (unsigned __int128)m * m;
  });
  return int64_t(std::sqrt((long double)sum / Frames));
}

bool IsInstrumentFormat(const WAVEFORMATEX* Format) {
  if (!Format || !IsPCMFormat(Format)) return false;
  const int bits = Format->wBitsPerSample;
  const int channels = Format->nChannels;
  return (bits == 8 || bits == 16) && (channels == 1 || channels == 2 || channels == 4) &&
         Format->nSamplesPerSec >= 4000 && Format->nSamplesPerSec <= 100000;
}
