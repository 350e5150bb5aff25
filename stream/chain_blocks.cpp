#include "stream/chain_blocks.h"

#include <algorithm>

#include "stream/ring_buffer.h"

namespace ChainBlocks {

void Resize(TMMCustomSoundComponent& Device, TMMRingBuffer& Buffer, int32_t Bytes) {
  Bytes = std::max<int32_t>(Bytes, 32);
  // Blocks that hold `count` standard blocks' worth of audio, rounded up.
  auto blocks = [Bytes](int64_t count) { return int32_t((count * kBytes + Bytes - 1) / Bytes); };
  Device.SetBufferSize(Bytes);
  Device.SetNumBuffers(std::max(kMinDevice, blocks(kDevice)));
  Buffer.SetBufferSize(Bytes);
  Buffer.SetNumBuffers(std::max(2, blocks(kQueue)));
}

}  // namespace ChainBlocks
