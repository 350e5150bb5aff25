// How the samples of a wave format record are stored, for the formats that hold one value per
// channel in every frame: integer PCM of 8 to 32 bits, IEEE float, A-law and mu-law, plain or
// in an extensible record. The devices and the converter to 16-bit PCM read formats through it.
#pragma once

#include <cstdint>

#include "platform/wave/wave_types.h"

enum TSampleEncoding {
  seNone,       // anything else (compressed, malformed, unknown)
  seUnsigned8,  // 8-bit PCM, 128 is silence
  seSigned16,   // little-endian two's complement
  seSigned24,   // in 3 bytes
  seSigned32,
  seFloat32,  // IEEE float, full scale at +-1.0
  seFloat64,
  seALaw,  // G.711, one byte per sample
  seMuLaw,
};

// Bytes of one sample; 0 for seNone.
uint32_t SampleBytes(TSampleEncoding encoding);

// The encoding of a format record, reading the 22 extra bytes of an extensible one (they must
// follow it in memory when its cbSize says so). seNone unless the record has channels and a
// rate and its block alignment is nChannels samples. Integer PCM is 8, 16, 24 or 32 bits;
// an extensible record may declare fewer valid bits than its container (the container
// decides); float is 32 or 64 bits with all of them valid; A-law and mu-law are 8 bits.
TSampleEncoding SampleEncoding(const WAVEFORMATEX& format);

// A format a device of the system driver may be asked to play: a known encoding with 1, 2 or 4
// channels at 4000 to 100000 samples per second.
bool IsDeviceSampleFormat(const WAVEFORMATEX& format);
