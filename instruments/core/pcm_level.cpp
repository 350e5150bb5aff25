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

int64_t PcmPeakLevel(const void* Data, const TMMPcmLayout& Layout, int32_t Frames) {
  const auto* bytes = static_cast<const uint8_t*>(Data);
  int64_t level = 0;
  for (int32_t i = 0; i < Frames; ++i) {
    const int64_t v = PcmFrameValue(bytes, Layout, i);
    level = std::max(level, v < 0 ? -v : v);
  }
  return level;
}

int64_t PcmRmsLevel(const void* Data, const TMMPcmLayout& Layout, int32_t Frames) {
  if (Frames < 1) return 0;
  const auto* bytes = static_cast<const uint8_t*>(Data);
  // Squares of values up to 2^32 are exact in extended precision, and so is their sum over any
  // piece a connector hands over.
  long double sum = 0;
  for (int32_t i = 0; i < Frames; ++i) {
    const long double v = std::fabs((long double)PcmFrameValue(bytes, Layout, i));
    sum += v * v;
  }
  return int64_t(std::sqrt(sum / Frames));
}

bool IsInstrumentFormat(const WAVEFORMATEX* Format) {
  if (!Format || !IsPCMFormat(Format)) return false;
  const int bits = Format->wBitsPerSample;
  const int channels = Format->nChannels;
  return (bits == 8 || bits == 16) && (channels == 1 || channels == 2 || channels == 4) &&
         Format->nSamplesPerSec >= 4000 && Format->nSamplesPerSec <= 100000;
}
