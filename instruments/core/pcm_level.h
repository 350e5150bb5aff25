// The level of one piece of interleaved PCM as an instrument sees it: one value per frame from
// the chosen channel (or both averaged), 8-bit samples re-centred to the 16-bit range, and the
// largest magnitude or the RMS of those values. Also the formats an instrument accepts.
#pragma once

#include <cstdint>

#include "platform/wave/wave_types.h"
#include "stream/wave_format.h"

enum TMMChannel { chBoth, chLeft, chRight };

// The level that fills an instrument's scale.
constexpr int32_t FullScale = 32767;
// Larger levels are taken as this one; PCM levels with any offsets stay below it.
constexpr int64_t kMaxLevel = int64_t(1) << 40;
// |Level|, at most kMaxLevel.
constexpr int64_t LevelMagnitude(int64_t Level) {
  if (Level < -kMaxLevel || Level > kMaxLevel) return kMaxLevel;
  return Level < 0 ? -Level : Level;
}

struct TMMPcmLayout {
  TMMBits BitLength = b8Bit;
  int Channels = 1;  // samples per frame: 1, 2 or 4; the first two are left and right
  TMMChannel Channel = chBoth;
  int DCOffsetL = 0;  // subtracted from every left (or only) sample
  int DCOffsetR = 0;  // subtracted from every right sample
};

// Bytes of Frames frames.
int32_t PcmBytes(const TMMPcmLayout& Layout, int32_t Frames);
// The value of frame Index of Data, in the 16-bit range (before any gain).
int64_t PcmFrameValue(const uint8_t* Data, const TMMPcmLayout& Layout, int32_t Index);
// max |v| over the first Frames frames.
int64_t PcmPeakLevel(const void* Data, const TMMPcmLayout& Layout, int32_t Frames);
// trunc(√(Σ v² / Frames)) over the first Frames frames.
int64_t PcmRmsLevel(const void* Data, const TMMPcmLayout& Layout, int32_t Frames);

// PCM of 8 or 16 bits, 1, 2 or 4 channels and 4000 to 100000 samples per second.
bool IsInstrumentFormat(const WAVEFORMATEX* Format);
