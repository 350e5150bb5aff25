// The instrument data interface: how a connector hands the PCM of the passing blocks to an
// instrument (level bar, needle meter, spectrum, a terminal meter) without knowing what it draws.
#pragma once

#include <cstdint>

#include "platform/wave/wave_types.h"

class TMMInstrumentData {
 public:
  virtual ~TMMInstrumentData() = default;

  // The stream's format. An instrument takes PCM of 8 or 16 bits, 1, 2 or 4 channels and 4000 to
  // 100000 samples per second, and raises its own error "Invalid WaveFormat" for anything else,
  // keeping its previous format.
  virtual void SetPWaveFormat(const WAVEFORMATEX* Format) = 0;
  // The bytes one RefreshPCMData consumes: the connector advances its data by this much.
  virtual int32_t GetNumBytes() const = 0;
  // Shows one piece of interleaved PCM of at least GetNumBytes() bytes in the current format.
  virtual void RefreshPCMData(const void* Data) = 0;
  // Clears levels, peaks and decay, as at the start or the end of a stream.
  virtual void ResetData() = 0;
};
