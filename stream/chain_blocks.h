// The block sizes and queue depths of the program's chains, shared by the record and the play
// chain: the window's blocks of 8 KiB (46 ms of 44.1 kHz stereo), 20 of them in the device and
// 50 in the ring buffer, and longer blocks for a front end that wakes less often.
#pragma once

#include <cstdint>

#include "stream/sound_component.h"

class TMMRingBuffer;

namespace ChainBlocks {
// The bytes of one block, the blocks the device keeps queued, and the blocks the ring buffer
// holds, unless a chain is given other blocks.
constexpr int32_t kBytes = 8192;
constexpr int32_t kDevice = 20;
constexpr int32_t kQueue = 50;
// The fewest blocks a device keeps queued, however long they are: a device's buffer holds four
// of its periods, which follow the blocks, and the device's worker needs some slack beyond.
constexpr int32_t kMinDevice = 8;

// Gives a chain's device and ring buffer blocks of `bytes`: the device and the ring buffer keep
// at least as much audio queued as with the standard blocks.
void Resize(TMMCustomSoundComponent& Device, TMMRingBuffer& Buffer, int32_t Bytes);
}  // namespace ChainBlocks
