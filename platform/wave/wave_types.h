// The platform's wave structures: the format record and the block header handed to the
// wave drivers, with their flags.
#pragma once

#include <cstdint>

constexpr uint16_t WAVE_FORMAT_PCM = 1;

#pragma pack(push, 1)
// Packed to its 18 stored bytes; `cbSize` bytes of format-specific data follow it in memory.
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
using PWaveFormatEx = WAVEFORMATEX*;

struct WAVEHDR {
  char* lpData;
  uint32_t dwBufferLength;
  uint32_t dwBytesRecorded;
  uintptr_t dwUser;
  uint32_t dwFlags;
  uint32_t dwLoops;
  WAVEHDR* lpNext;
  uintptr_t reserved;
};
using PWAVEHDR = WAVEHDR*;

constexpr uint32_t WHDR_DONE = 0x00000001;
constexpr uint32_t WHDR_PREPARED = 0x00000002;
constexpr uint32_t WHDR_BEGINLOOP = 0x00000004;
constexpr uint32_t WHDR_ENDLOOP = 0x00000008;
constexpr uint32_t WHDR_INQUEUE = 0x00000010;
