// The header that travels with every audio block: the platform's WAVEHDR, handed to the wave
// drivers unchanged, followed by the chain's own fields.
#pragma once

#include <cstdint>

#include "platform/wave/wave_types.h"

struct BlockHeader : WAVEHDR {
  uint32_t HeaderSpare;
  uint32_t SavedBytes;         // a device's copy of dwBytesRecorded across a driver call
  BlockHeader* PartnerHeader;  // a device's link to a related header
  uint32_t LoopActive;         // 0, or all bits set when the puller asks the source to loop
  uint32_t LoopsWanted;        // 0: endless
  int32_t LoopsRemaining;      // counted down by the source
  uint32_t Looped;             // all bits set when the source wrapped inside this block
};
using PWaveHdr = BlockHeader*;

constexpr uint32_t LoopFlagSet = 0xFFFFFFFF;
