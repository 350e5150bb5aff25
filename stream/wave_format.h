// The wave format record's utilities: size, copy, PCM construction, conversions between
// bytes, samples and milliseconds, display text and format-tag names, device-id names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/wave/wave_types.h"

using TMMDeviceId = int32_t;
constexpr TMMDeviceId InvalidId = -2;
constexpr TMMDeviceId MapperId = -1;

enum TMMMode { mMono, mStereo, mMultiChannel };
enum TMMBits { b8Bit, b16Bit };
enum TMMCBMode { cmWindow, cmCallback, cmThread };
// The unit of positions and lengths.
enum TMMTimeFormats { tfMillisecond, tfByte, tfSample };

// a * b / c with a 64-bit product, rounded to nearest (halves away from zero).
// A zero divisor or a result outside 32 bits gives -1.
int32_t MulDiv(int32_t a, int32_t b, int32_t c);

// 0 for none, 18 for PCM, 18 + cbSize otherwise.
uint32_t WaveFormatSize(const WAVEFORMATEX* format);
// A private zero-filled heap copy (release with FreeWaveFormat), none for none; PCM gets cbSize 0.
WAVEFORMATEX* CopyWaveFormat(const WAVEFORMATEX* format);
void FreeWaveFormat(WAVEFORMATEX* format);
void BuildPCMFormat(WAVEFORMATEX* format, int bits, int channels, uint32_t rate);

// Plain PCM, or an extensible record that holds PCM of 8 or 16 bits with every bit valid
// (the same samples in the same layout as plain PCM).
bool IsPCMFormat(const WAVEFORMATEX* format);
// The byte of silence in the samples of a format: 0x80 for 8-bit PCM, 0xD5 for A-law, 0xFF for
// mu-law, 0 for the others (16-bit and wider PCM, float).
uint8_t SilenceByte(const WAVEFORMATEX* format);
// The plain PCM record of such a format's layout, or none for any other format. The speaker
// mask of an extensible record is dropped.
std::optional<WAVEFORMATEX> PlainPCMFormat(const WAVEFORMATEX* format);

// Conversions; the format must be present with nonzero rate, byte rate and block align.
int32_t BytesToSamples(const WAVEFORMATEX* format, int32_t bytes);
int32_t BytesToMs(const WAVEFORMATEX* format, int32_t bytes);
int32_t SamplesToBytes(const WAVEFORMATEX* format, int32_t samples);
int32_t SamplesToMs(const WAVEFORMATEX* format, int32_t samples);
int32_t MsToSamples(const WAVEFORMATEX* format, int32_t ms);
int32_t MsToBytes(const WAVEFORMATEX* format, int32_t ms);
int64_t SamplesToBytes64(const WAVEFORMATEX* format, int64_t samples);
int64_t SamplesToMs64(const WAVEFORMATEX* format, int64_t samples);

// "44.100 kHz, 16 Bit, Stereo" with the user's decimal and list separators; "Unknown" for none.
std::string WaveFormatText(const WAVEFORMATEX* format);
// The same with the given list and decimal separators.
std::string WaveFormatText(const WAVEFORMATEX* format, char list, char decimal);
// The format tag of an extensible record's sub-format when it is one of the standard family
// 0000xxxx-0000-0010-8000-00AA00389B71 (PCM, IEEE float, A-law, ...), else 0.
uint16_t ExtensibleSubFormatTag(const WAVEFORMATEX* format);
// Name of the format tag; an extensible record is named by its sub-format. "Unknown" for none
// or an unlisted tag.
std::string WaveFormatTagName(const WAVEFORMATEX* format);

// Device numbers in stored layouts: -2 is "InvalidId", -1 "MapperId", others are numbers.
std::string DeviceIdToString(TMMDeviceId id);
// Reads a stored device id (names compared without regard to case); none when unreadable.
std::optional<TMMDeviceId> StringToDeviceId(std::string_view text);
