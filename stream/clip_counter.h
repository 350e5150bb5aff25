// Counts the samples of a stream that stand at full scale, per side: left and right. A sample at
// full scale has clipped somewhere before it (in the converter, the sound card or the source),
// so the count tells the user afterwards that a take clipped, and how much, even when no meter
// happened to show it. It also keeps the highest sample peak of each side, for the report at the
// end of a run.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "platform/wave/sample_format.h"
#include "platform/wave/wave_types.h"

class TMMClipCounter {
 public:
  // The stream's format; formats without a full scale to reach (compressed, A-law, mu-law) are
  // not counted. Set while no block is being counted (the stream is stopped).
  void SetFormat(const WAVEFORMATEX* Format);
  // Counts the full-scale samples of `Bytes` bytes of interleaved frames; a partial frame at
  // the end is ignored. On the thread that delivers the blocks.
  void Count(const void* Data, uint32_t Bytes);
  // Back to none clipped, as at the start of a run.
  void Reset();
  // The samples counted for one side since the last reset: side 0 is the left channel (and the
  // only one of a mono stream), side 1 the right. Channels beyond two count with their pair:
  // the third with the left, the fourth with the right. Any thread.
  int64_t Clipped(int Side) const;
  // The largest absolute sample of one side since the last reset, as a fraction of full scale
  // (1.0 for the most negative integer sample; floating-point samples as they are, so above 1.0
  // when they went past full scale); 0 for silence or nothing counted. Sides as for Clipped.
  // Any thread.
  double Peak(int Side) const;

 private:
  // Written by the owner's thread while nothing is counted; read by the delivering thread.
  TSampleEncoding FEncoding = seNone;
  uint32_t FChannels = 0;
  uint32_t FSampleBytes = 0;
  // Counted by the delivering thread, read by any.
  std::array<std::atomic<int64_t>, 2> FClipped{};
  // Raised by the delivering thread, read by any; a reset by the owner's thread while nothing
  // is counted.
  std::array<std::atomic<double>, 2> FPeak{};
};
