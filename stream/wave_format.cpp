#include "stream/wave_format.h"

#include <langinfo.h>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

int32_t MulDiv(int32_t a, int32_t b, int32_t c) {
  if (c == 0) return -1;
  const int64_t product = int64_t(a) * b;
  const int64_t quotient = product / c;
  const int64_t remainder = product % c;
  const int64_t result = quotient + (2 * remainder) / c;
  if (result > std::numeric_limits<int32_t>::max() || result < std::numeric_limits<int32_t>::min())
    return -1;
  return int32_t(result);
}

uint32_t WaveFormatSize(const WAVEFORMATEX* format) {
  if (!format) return 0;
  if (format->wFormatTag == WAVE_FORMAT_PCM) return sizeof(WAVEFORMATEX);
  return sizeof(WAVEFORMATEX) + format->cbSize;
}

WAVEFORMATEX* CopyWaveFormat(const WAVEFORMATEX* format) {
  const uint32_t size = WaveFormatSize(format);
  if (size < 1) return nullptr;
  auto* copy = static_cast<WAVEFORMATEX*>(std::calloc(1, size));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, format, size);
  if (copy->wFormatTag == WAVE_FORMAT_PCM) copy->cbSize = 0;
  return copy;
}

void FreeWaveFormat(WAVEFORMATEX* format) {
  std::free(format);
}

void BuildPCMFormat(WAVEFORMATEX* format, int bits, int channels, uint32_t rate) {
  format->wFormatTag = WAVE_FORMAT_PCM;
  format->nChannels = uint16_t(channels);
  format->nSamplesPerSec = rate;
  format->wBitsPerSample = uint16_t(bits);
  format->nBlockAlign = uint16_t(bits * channels / 8);
  format->nAvgBytesPerSec = format->nBlockAlign * rate;
  format->cbSize = 0;
}

namespace {

// The subformat of PCM in an extensible record: 00000001-0000-0010-8000-00AA00389B71, as stored.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// Extensible PCM whose samples read exactly as plain PCM does: 8 or 16 bits, all of them valid.
bool IsExtensiblePlainPCM(const WAVEFORMATEX* format) {
  if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE || format->cbSize < 22) return false;
  const auto* extra = reinterpret_cast<const uint8_t*>(format) + sizeof(WAVEFORMATEX);
  const uint16_t validBits = uint16_t(extra[0] | extra[1] << 8);
  const uint16_t bits = format->wBitsPerSample;
  return (bits == 8 || bits == 16) && validBits == bits &&
         std::memcmp(extra + 6, kPcmSubFormat, sizeof kPcmSubFormat) == 0;
}

}  // namespace

bool IsPCMFormat(const WAVEFORMATEX* format) {
  return format && (format->wFormatTag == WAVE_FORMAT_PCM || IsExtensiblePlainPCM(format));
}

std::optional<WAVEFORMATEX> PlainPCMFormat(const WAVEFORMATEX* format) {
  if (!IsPCMFormat(format)) return std::nullopt;
  WAVEFORMATEX plain = *format;
  plain.wFormatTag = WAVE_FORMAT_PCM;
  plain.cbSize = 0;
  return plain;
}

namespace {

template <typename T>
T RoundUpToBlock(const WAVEFORMATEX* format, T bytes) {
  const T align = format->nBlockAlign;
  // Nothing to round for an empty size, or for MulDiv's -1 that reports an overflow.
  if (align <= 1 || bytes <= 0) return bytes;
  const T rest = bytes % align;
  return rest ? bytes + (align - rest) : bytes;
}

}  // namespace

int32_t BytesToSamples(const WAVEFORMATEX* f, int32_t bytes) {
  return MulDiv(bytes, int32_t(f->nSamplesPerSec), int32_t(f->nAvgBytesPerSec));
}
int32_t BytesToMs(const WAVEFORMATEX* f, int32_t bytes) {
  return MulDiv(bytes, 1000, int32_t(f->nAvgBytesPerSec));
}
int32_t SamplesToBytes(const WAVEFORMATEX* f, int32_t samples) {
  return RoundUpToBlock(f,
                        MulDiv(samples, int32_t(f->nAvgBytesPerSec), int32_t(f->nSamplesPerSec)));
}
int32_t SamplesToMs(const WAVEFORMATEX* f, int32_t samples) {
  return MulDiv(samples, 1000, int32_t(f->nSamplesPerSec));
}
int32_t MsToSamples(const WAVEFORMATEX* f, int32_t ms) {
  return MulDiv(ms, int32_t(f->nSamplesPerSec), 1000);
}
int32_t MsToBytes(const WAVEFORMATEX* f, int32_t ms) {
  return RoundUpToBlock(f, MulDiv(ms, int32_t(f->nAvgBytesPerSec), 1000));
}
int64_t SamplesToBytes64(const WAVEFORMATEX* f, int64_t samples) {
  if (f->nSamplesPerSec == 0) return 0;
  const long double bytes = (long double)samples * f->nAvgBytesPerSec / f->nSamplesPerSec;
  return RoundUpToBlock(f, int64_t(bytes));
}
int64_t SamplesToMs64(const WAVEFORMATEX* f, int64_t samples) {
  if (f->nSamplesPerSec == 0) return 0;
  return int64_t((long double)samples * 1000 / f->nSamplesPerSec);
}

namespace {

// The separators of the user's locale (LC_NUMERIC as the environment sets it), one character
// each; the previous values stay when the locale gives none.
void ReadSeparators(char& list, char& decimal) {
  static std::mutex lock;
  static char lastList = ',';
  static char lastDecimal = '.';
  std::lock_guard guard(lock);
  const char* name = std::getenv("LC_ALL");
  if (!name || !*name) name = std::getenv("LC_NUMERIC");
  if (!name || !*name) name = std::getenv("LANG");
  if (name && *name) {
    if (locale_t loc = newlocale(LC_NUMERIC_MASK, name, locale_t(0))) {
      const char* point = nl_langinfo_l(RADIXCHAR, loc);
      if (point && point[0] && !point[1]) lastDecimal = point[0];
      freelocale(loc);
    }
  }
  // A decimal comma locale lists with a semicolon, as the platform's regional settings do.
  lastList = lastDecimal == ',' ? ';' : ',';
  list = lastList;
  decimal = lastDecimal;
}

}  // namespace

std::string WaveFormatText(const WAVEFORMATEX* f) {
  char list, decimal;
  ReadSeparators(list, decimal);
  return WaveFormatText(f, list, decimal);
}

std::string WaveFormatText(const WAVEFORMATEX* f, char list, char decimal) {
  if (!f) return "Unknown";
  const uint32_t rate = f->nSamplesPerSec;
  const uint32_t bits = rate && f->nChannels ? f->nAvgBytesPerSec * 8 / rate / f->nChannels : 0;
  char text[128];
  if (f->nChannels == 1 || f->nChannels == 2) {
    std::snprintf(text, sizeof text, "%u%c%.03u kHz%c %u Bit%c %s", rate / 1000, decimal,
                  rate % 1000, list, bits, list, f->nChannels == 1 ? "Mono" : "Stereo");
  } else {
    std::snprintf(text, sizeof text, "%u%c%.03u kHz%c %u Bit%c %u Channels", rate / 1000, decimal,
                  rate % 1000, list, bits, list, unsigned(f->nChannels));
  }
  return text;
}

namespace {

struct TagName {
  uint16_t tag;
  const char* name;
};

// In search order: the first matching row wins.
constexpr TagName kTagNames[] = {
    {0, "Unknown"},
    {1, "PCM"},
    {524, "PCM 32"},
    {2, "Microsoft ADPCM"},
    {3, "IEEE float"},
    {5, "IBM CVSD"},
    {6, "CCITT A-Law"},
    {7, "CCITT mu-Law"},
    {16, "OKI ADPCM"},
    {17, "IMA ADPCM"},
    {17, "DVI ADPCM"},
    {18, "Mediaspace's ADPCM"},
    {19, "Sierra's ADPCM"},
    {20, "CCITT G.723 ADPCM"},
    {21, "Digisound DIGISTD"},
    {22, "Digisound DIGIFIX"},
    {23, "Dialogic OKI ADPCM"},
    {32, "Yamaha ADPCM"},
    {33, "Sonarc"},
    {34, "DSP Group's Truespeech"},
    {35, "Echo SC1"},
    {36, "Audiofile AF36"},
    {37, "Audio Processing Technology"},
    {38, "Audiofile AF10"},
    {48, "Dolby AC2"},
    {521, "Dolby AC2"},
    {49, "GSM 6.10"},
    {51, "Antex ADPCME"},
    {57, "CS IMA ADPCM"},
    {64, "CCITT G.721 ADPCM"},
    {80, "MPEG 1"},
    {85, "MPEG Layer-3"},
    {512, "Creative's ADPCM"},
    {4097, "Olivetti's ADPCM"},
    {516, "CDI-C"},
    {517, "CDI-B"},
    {518, "Antex-DVI-OKI ADPCME"},
    {65535, "*DEVELOPMENT ONLY TAG*"},
};

}  // namespace

uint16_t ExtensibleSubFormatTag(const WAVEFORMATEX* f) {
  if (!f || f->wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
      f->cbSize < WAVEFORMATEXTENSIBLE::kExtraBytes)
    return 0;
  // The record may sit anywhere in a byte buffer: copied, not cast.
  WAVEFORMATEXTENSIBLE ext;
  std::memcpy(&ext, f, sizeof ext);
  GUID family = KSDATAFORMAT_SUBTYPE_PCM;
  family.Data1 = ext.SubFormat.Data1;
  if (ext.SubFormat.Data1 > 0xFFFF || !(ext.SubFormat == family)) return 0;
  return uint16_t(ext.SubFormat.Data1);
}

std::string WaveFormatTagName(const WAVEFORMATEX* f) {
  if (!f) return "Unknown";
  uint16_t tag = f->wFormatTag;
  if (tag == WAVE_FORMAT_EXTENSIBLE) {
    tag = ExtensibleSubFormatTag(f);
    if (tag == 0 || tag == WAVE_FORMAT_EXTENSIBLE) return "Extensible";
  }
  for (const auto& row : kTagNames)
    if (row.tag == tag) return row.name;
  return "Unknown";
}

std::string DeviceIdToString(TMMDeviceId id) {
  if (id == InvalidId) return "InvalidId";
  if (id == MapperId) return "MapperId";
  return std::to_string(id);
}

std::optional<TMMDeviceId> StringToDeviceId(std::string_view text) {
  auto equalsNoCase = [&](std::string_view name) {
    if (text.size() != name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
      if (std::tolower((unsigned char)text[i]) != std::tolower((unsigned char)name[i]))
        return false;
    return true;
  };
  if (equalsNoCase("InvalidId")) return InvalidId;
  if (equalsNoCase("MapperId")) return MapperId;
  if (text.empty()) return std::nullopt;
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(copy.c_str(), &end, 10);
  if (*end || errno || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return TMMDeviceId(value);
}

uint8_t SilenceByte(const WAVEFORMATEX* format) {
  if (!format) return 0;
  if (format->wFormatTag == WAVE_FORMAT_ALAW) return 0xD5;
  if (format->wFormatTag == WAVE_FORMAT_MULAW) return 0xFF;
  return IsPCMFormat(format) && format->wBitsPerSample == 8 ? 0x80 : 0;
}
