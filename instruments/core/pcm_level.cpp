#include "instruments/core/pcm_level.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

// Calls f(v) with PcmFrameValue of each of the first Frames frames, in order, with the layout's
// choices made once for the piece rather than once a frame: an instrument measures every frame
// of the stream, and these loops are the measuring's whole cost.
template <typename F>
void ForEachFrameValue(const uint8_t* Data, const TMMPcmLayout& Layout, int32_t Frames, F&& f) {
  const size_t step = size_t(Layout.Channels);
  const bool stereo = Layout.Channels >= 2;
  const bool both = stereo && Layout.Channel == chBoth;
  const size_t one = stereo && Layout.Channel == chRight ? 1 : 0;
  const int64_t offsetL = Layout.DCOffsetL, offsetR = Layout.DCOffsetR;
  const int64_t offset = one ? offsetR : offsetL;
  if (Layout.BitLength == b8Bit) {
    if (both) {
      for (int32_t i = 0; i < Frames; ++i) {
        const uint8_t* s = Data + size_t(i) * step;
        f(((int64_t(s[0]) - offsetL + int64_t(s[1]) - offsetR) / 2 - 128) * 256);
      }
    } else {
      for (int32_t i = 0; i < Frames; ++i) f((int64_t(Data[size_t(i) * step + one]) - offset - 128) * 256);
    }
    return;
  }
  auto sample = [Data](size_t at) {
    int16_t value;
    std::memcpy(&value, Data + at * 2, sizeof value);
    return int64_t(value);
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

}  // namespace

int64_t PcmPeakLevel(const void* Data, const TMMPcmLayout& Layout, int32_t Frames) {
  int64_t level = 0;
  ForEachFrameValue(static_cast<const uint8_t*>(Data), Layout, Frames,
                    [&level](int64_t v) { level = std::max(level, v < 0 ? -v : v); });
  return level;
}

int64_t PcmRmsLevel(const void* Data, const TMMPcmLayout& Layout, int32_t Frames) {
  if (Frames < 1) return 0;
  // Summed exactly in integers (values stay below 2^41, their squares below 2^82); the mean's
  // root is taken in extended precision, in which the sums of PCM pieces are exact.
  unsigned __int128 sum = 0;
  ForEachFrameValue(static_cast<const uint8_t*>(Data), Layout, Frames, [&sum](int64_t v) {
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
