// The audio compression manager as the connector uses it: a stream that converts the samples of
// one wave format into 16-bit PCM of the same rate and channel count, with the calls, records
// and result codes of the system's converter. It knows the formats real files carry:
//   - 8-bit unsigned PCM: (s - 128) * 256;
//   - 16-bit PCM: copied;
//   - 24- and 32-bit integer PCM: the top 16 bits, truncated (an arithmetic shift: a value
//     goes down to the next 16-bit step, less than one step off);
//   - 32- and 64-bit IEEE float: x * 32767 rounded to nearest, clamped to -32768..32767,
//     NaN as 0;
//   - A-law and mu-law: the G.711 expansion;
//   - the integer and float ones also in an extensible record (PCM or IEEE-float subformat,
//     fewer valid bits than the container allowed).
// Anything else is not possible (ACMERR_NOTPOSSIBLE). Only whole frames are converted: a partial
// frame at the end of a source block is left unused. Conversions are synchronous; no drivers
// are installed, so the driver handles are always null.
//
// Handles are checked: a call with a handle that is not an open stream answers
// MMSYSERR_INVALHANDLE. Calls on one stream may come from several threads (each is serialized
// by the stream's lock), and a stream closed while another thread converts stays alive until
// that conversion ends.
#pragma once

#include <cstdint>

#include "platform/wave/wave_api.h"
#include "platform/wave/wave_types.h"

struct TAcmStream;
struct TAcmDriver;
using HACMSTREAM = TAcmStream*;
using HACMDRIVER = TAcmDriver*;

// Results beyond the standard MMSYSERR_* codes of the wave device functions.
constexpr MMRESULT ACMERR_BASE = 512;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = ACMERR_BASE + 0;  // no conversion for these formats
constexpr MMRESULT ACMERR_BUSY = ACMERR_BASE + 1;         // the header is being converted
constexpr MMRESULT ACMERR_UNPREPARED = ACMERR_BASE + 2;   // the header is not prepared here
constexpr MMRESULT ACMERR_CANCELED = ACMERR_BASE + 3;

// acmFormatSuggest: the fields of the destination record that the caller has fixed.
constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
constexpr uint32_t ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
constexpr uint32_t ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
constexpr uint32_t ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;

// acmStreamOpen.
constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x00000001;  // only test whether it is possible
constexpr uint32_t ACM_STREAMOPENF_ASYNC = 0x00000002;  // not supported
constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x00000004;

// acmStreamSize: which side the given size is of.
constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x00000000;
constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x00000001;

// acmStreamConvert (all accepted: these conversions keep no state between blocks).
constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
constexpr uint32_t ACM_STREAMCONVERTF_START = 0x00000010;
constexpr uint32_t ACM_STREAMCONVERTF_END = 0x00000020;

// fdwStatus of a stream header.
constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;

// One conversion's buffers. The caller fills cbStruct, pbSrc, cbSrcLength, pbDst and
// cbDstLength and prepares the header; a conversion may then use a shorter source or
// destination length than the prepared one, and sets the lengths used.
struct ACMSTREAMHEADER {
  uint32_t cbStruct;
  uint32_t fdwStatus;
  uintptr_t dwUser;
  uint8_t* pbSrc;
  uint32_t cbSrcLength;
  uint32_t cbSrcLengthUsed;
  uintptr_t dwSrcUser;
  uint8_t* pbDst;
  uint32_t cbDstLength;
  uint32_t cbDstLengthUsed;
  uintptr_t dwDstUser;
  uint32_t dwReservedDriver[15];
};
using PACMSTREAMHEADER = ACMSTREAMHEADER*;

// Fills `pwfxDst` (cbwfxDst bytes, at least 16; the first 18 at most are written) with the PCM
// format to convert `pwfxSrc` to: 16 bits at the source's rate and channel count. The flags
// say which of the destination's fields the caller has already set; a set field that differs
// from that suggestion makes the conversion not possible. `had` must be null.
MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest);

// Opens a stream from `pwfxSrc` to `pwfxDst` (which must be the suggested format), or with
// ACM_STREAMOPENF_QUERY only tells whether it could (then `phas` is not touched). No filter,
// no callback; `had` must be null.
MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen);

// The bytes on the other side for `cbInput` bytes on one side, in whole frames.
MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes,
                       uint32_t fdwSize);

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare);
// Converts min(cbSrcLength, cbDstLength converted back) in whole frames.
MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert);
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare);
// Headers still prepared on the stream are forgotten with it.
MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose);
