// The platform's wave structures: the format record and the block header handed to the
// wave drivers, with their flags.
#pragma once

#include <cstdint>

constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr uint16_t WAVE_FORMAT_ALAW = 6;
constexpr uint16_t WAVE_FORMAT_MULAW = 7;
// The tag of a format record whose 22 extra bytes give the valid bits, the speaker mask and
// the subformat (WAVEFORMATEXTENSIBLE).
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

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

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// The sample formats of an extensible record: 00000001-... (PCM) and 00000003-... (IEEE float).
constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

#pragma pack(push, 1)
// A format record with cbSize >= 22 and these 22 bytes after it: the bits of each sample that
// carry sound (the others are the low bits, zero), the speakers, and the sample format.
struct WAVEFORMATEXTENSIBLE {
  static constexpr uint16_t kExtraBytes = 22;

  WAVEFORMATEX Format;
  union {
    uint16_t wValidBitsPerSample;
    uint16_t wSamplesPerBlock;
    uint16_t wReserved;
  } Samples;
  uint32_t dwChannelMask;
  GUID SubFormat;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);

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
