#include "platform/wave/sample_format.h"

#include <cstring>

namespace {

TSampleEncoding IntegerEncoding(uint16_t bits) {
  switch (bits) {
    case 8:
      return seUnsigned8;
    case 16:
      return seSigned16;
    case 24:
      return seSigned24;
    case 32:
      return seSigned32;
    default:
      return seNone;
  }
}

TSampleEncoding FloatEncoding(uint16_t bits) {
  return bits == 32 ? seFloat32 : bits == 64 ? seFloat64 : seNone;
}

TSampleEncoding ExtensibleEncoding(const WAVEFORMATEX& format) {
  if (format.cbSize < WAVEFORMATEXTENSIBLE::kExtraBytes) return seNone;
  // The record may sit anywhere in a byte buffer: copied, not cast.
  WAVEFORMATEXTENSIBLE ext;
  std::memcpy(&ext, &format, sizeof ext);
  const uint16_t bits = format.wBitsPerSample;
  const uint16_t valid = ext.Samples.wValidBitsPerSample;
  // Some writers leave the valid bits 0: then all of them are.
  if (valid > bits) return seNone;
  if (ext.SubFormat == KSDATAFORMAT_SUBTYPE_PCM) return IntegerEncoding(bits);
  if (ext.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT && (valid == 0 || valid == bits))
    return FloatEncoding(bits);
  return seNone;
}

}  // namespace

uint32_t SampleBytes(TSampleEncoding encoding) {
  switch (encoding) {
    case seUnsigned8:
    case seALaw:
    case seMuLaw:
      return 1;
    case seSigned16:
      return 2;
    case seSigned24:
      return 3;
    case seSigned32:
    case seFloat32:
      return 4;
    case seFloat64:
      return 8;
    case seNone:
      break;
  }
  return 0;
}

TSampleEncoding SampleEncoding(const WAVEFORMATEX& format) {
  TSampleEncoding encoding = seNone;
  switch (format.wFormatTag) {
    case WAVE_FORMAT_PCM:
      encoding = IntegerEncoding(format.wBitsPerSample);
      break;
    case WAVE_FORMAT_IEEE_FLOAT:
      encoding = FloatEncoding(format.wBitsPerSample);
      break;
    case WAVE_FORMAT_ALAW:
      encoding = format.wBitsPerSample == 8 ? seALaw : seNone;
      break;
    case WAVE_FORMAT_MULAW:
      encoding = format.wBitsPerSample == 8 ? seMuLaw : seNone;
      break;
    case WAVE_FORMAT_EXTENSIBLE:
      encoding = ExtensibleEncoding(format);
      break;
    default:
      break;
  }
  if (encoding == seNone || format.nChannels == 0 || format.nSamplesPerSec == 0) return seNone;
  if (format.nBlockAlign != uint32_t(format.nChannels) * SampleBytes(encoding)) return seNone;
  return encoding;
}

bool IsDeviceSampleFormat(const WAVEFORMATEX& format) {
  if (format.nChannels != 1 && format.nChannels != 2 && format.nChannels != 4) return false;
  if (format.nSamplesPerSec < 4000 || format.nSamplesPerSec > 100000) return false;
  return SampleEncoding(format) != seNone;
}
