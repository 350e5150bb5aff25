#include "platform/acm/acm.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wave/sample_format.h"

namespace {

// The G.711 expansions to 16 bits (A-law reaches +-32256, mu-law +-32124).
constexpr int16_t ALawToLinear(uint8_t code) {
  const int a = code ^ 0x55;
  int t = (a & 0x0F) << 4;
  const int segment = (a & 0x70) >> 4;
  if (segment == 0) {
    t += 8;
  } else {
    t = (t + 0x108) << (segment - 1);
  }
  return int16_t((a & 0x80) ? t : -t);
}

constexpr int16_t MuLawToLinear(uint8_t code) {
  const int u = ~code & 0xFF;
  const int t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
  return int16_t((u & 0x80) ? 0x84 - t : t - 0x84);
}

template <int16_t (*Expand)(uint8_t)>
struct TExpansion {
  constexpr TExpansion() {
    for (int i = 0; i < 256; ++i) Values[i] = Expand(uint8_t(i));
  }
  int16_t Values[256] = {};
};

constexpr TExpansion<ALawToLinear> kALaw;
constexpr TExpansion<MuLawToLinear> kMuLaw;

int16_t FromDouble(double x) {
  if (std::isnan(x)) return 0;
  const double scaled = std::round(x * 32767.0);
  return int16_t(std::clamp(scaled, -32768.0, 32767.0));
}

// Converts `samples` samples of `encoding` at `in` into 16-bit samples at `out`.
void Convert(TSampleEncoding encoding, const uint8_t* in, uint8_t* out, size_t samples) {
  auto put = [&out](int16_t value) {
    const auto bits = uint16_t(value);
    *out++ = uint8_t(bits);
    *out++ = uint8_t(bits >> 8);
  };
  switch (encoding) {
    case seUnsigned8:
      for (size_t i = 0; i < samples; ++i) put(int16_t((in[i] - 128) * 256));
      break;
    case seSigned16:
      std::memcpy(out, in, samples * 2);
      break;
    case seSigned24:
      // The top two of the three bytes are the 16-bit value.
      for (size_t i = 0; i < samples; ++i, in += 3) put(int16_t(in[1] | in[2] << 8));
      break;
    case seSigned32:
      for (size_t i = 0; i < samples; ++i, in += 4) put(int16_t(in[2] | in[3] << 8));
      break;
    case seFloat32:
      for (size_t i = 0; i < samples; ++i, in += 4) {
        float x;
        std::memcpy(&x, in, sizeof x);
        put(FromDouble(x));
      }
      break;
    case seFloat64:
      for (size_t i = 0; i < samples; ++i, in += 8) {
        double x;
        std::memcpy(&x, in, sizeof x);
        put(FromDouble(x));
      }
      break;
    case seALaw:
      for (size_t i = 0; i < samples; ++i) put(kALaw.Values[in[i]]);
      break;
    case seMuLaw:
      for (size_t i = 0; i < samples; ++i) put(kMuLaw.Values[in[i]]);
      break;
    case seNone:
      break;
  }
}

// The 16-bit PCM record of the same rate and channels.
WAVEFORMATEX SuggestedFormat(const WAVEFORMATEX& source) {
  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  pcm.nChannels = source.nChannels;
  pcm.nSamplesPerSec = source.nSamplesPerSec;
  pcm.wBitsPerSample = 16;
  pcm.nBlockAlign = uint16_t(2 * source.nChannels);
  pcm.nAvgBytesPerSec = pcm.nBlockAlign * source.nSamplesPerSec;
  pcm.cbSize = 0;
  return pcm;
}

// A source whose frames can be converted and whose 16-bit frames still fit the record.
bool IsConvertible(const WAVEFORMATEX& source) {
  if (SampleEncoding(source) == seNone) return false;
  return uint64_t(2) * source.nChannels <= 0xFFFF &&
         uint64_t(2) * source.nChannels * source.nSamplesPerSec <= 0xFFFFFFFF;
}

bool IsSuggestion(const WAVEFORMATEX& source, const WAVEFORMATEX& destination) {
  const WAVEFORMATEX pcm = SuggestedFormat(source);
  return destination.wFormatTag == pcm.wFormatTag && destination.nChannels == pcm.nChannels &&
         destination.nSamplesPerSec == pcm.nSamplesPerSec &&
         destination.wBitsPerSample == pcm.wBitsPerSample &&
         destination.nBlockAlign == pcm.nBlockAlign &&
         destination.nAvgBytesPerSec == pcm.nAvgBytesPerSec;
}

}  // namespace

// An open conversion: its encoding and frame sizes are fixed when it opens; the list of
// prepared headers is guarded by Lock.
struct TAcmStream {
  TAcmStream(TSampleEncoding encoding, uint16_t channels)
      : Encoding(encoding),
        Channels(channels),
        SourceAlign(SampleBytes(encoding) * channels),
        DestinationAlign(2u * channels) {}

  // What a header held when it was prepared: a conversion may shorten the lengths, not move
  // the buffers.
  struct TPrepared {
    ACMSTREAMHEADER* Header;
    uint8_t* Source;
    uint32_t SourceLength;
    uint8_t* Destination;
    uint32_t DestinationLength;
  };
  TPrepared* Find(const ACMSTREAMHEADER* header) {
    for (TPrepared& entry : Prepared)
      if (entry.Header == header) return &entry;
    return nullptr;
  }

  const TSampleEncoding Encoding;
  const uint16_t Channels;
  const uint32_t SourceAlign;
  const uint32_t DestinationAlign;
  std::mutex Lock;
  std::vector<TPrepared> Prepared;
};

namespace {

// The open streams. A call takes a reference under the registry's lock, so a close on another
// thread cannot free a stream in use.
struct TRegistry {
  std::mutex Lock;
  std::map<const TAcmStream*, std::shared_ptr<TAcmStream>> Streams;
};

TRegistry& Registry() {
  // Never destroyed: a call from an exit-time destructor still finds it.
  static auto* registry = new TRegistry;
  return *registry;
}

std::shared_ptr<TAcmStream> Lookup(HACMSTREAM has) {
  if (has == nullptr) return nullptr;
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  const auto found = registry.Streams.find(has);
  return found == registry.Streams.end() ? nullptr : found->second;
}

bool HeaderUsable(const ACMSTREAMHEADER* pash) {
  return pash != nullptr && pash->cbStruct >= sizeof(ACMSTREAMHEADER);
}

}  // namespace

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest) {
  constexpr uint32_t known = ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                             ACM_FORMATSUGGESTF_NSAMPLESPERSEC | ACM_FORMATSUGGESTF_WBITSPERSAMPLE;
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (fdwSuggest & ~known) return MMSYSERR_INVALFLAG;
  // 16 bytes hold a PCM record without its cbSize.
  if (pwfxSrc == nullptr || pwfxDst == nullptr || cbwfxDst < 16) return MMSYSERR_INVALPARAM;
  if (!IsConvertible(*pwfxSrc)) return ACMERR_NOTPOSSIBLE;
  const WAVEFORMATEX pcm = SuggestedFormat(*pwfxSrc);
  if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && pwfxDst->wFormatTag != pcm.wFormatTag)
    return ACMERR_NOTPOSSIBLE;
  if ((fdwSuggest & ACM_FORMATSUGGESTF_NCHANNELS) && pwfxDst->nChannels != pcm.nChannels)
    return ACMERR_NOTPOSSIBLE;
  if ((fdwSuggest & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) &&
      pwfxDst->nSamplesPerSec != pcm.nSamplesPerSec)
    return ACMERR_NOTPOSSIBLE;
  if ((fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) &&
      pwfxDst->wBitsPerSample != pcm.wBitsPerSample)
    return ACMERR_NOTPOSSIBLE;
  std::memcpy(pwfxDst, &pcm, std::min<size_t>(cbwfxDst, sizeof pcm));
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t /*dwInstance*/, uint32_t fdwOpen) {
  const bool query = fdwOpen & ACM_STREAMOPENF_QUERY;
  if (!query && phas != nullptr) *phas = nullptr;
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME))
    return MMSYSERR_INVALFLAG;
  if (fdwOpen & ACM_STREAMOPENF_ASYNC || dwCallback != 0) return MMSYSERR_NOTSUPPORTED;
  if (pwfxSrc == nullptr || pwfxDst == nullptr || (!query && phas == nullptr))
    return MMSYSERR_INVALPARAM;
  if (pwfltr != nullptr || !IsConvertible(*pwfxSrc) || !IsSuggestion(*pwfxSrc, *pwfxDst))
    return ACMERR_NOTPOSSIBLE;
  if (query) return MMSYSERR_NOERROR;
  std::shared_ptr<TAcmStream> stream;
  try {
    stream = std::make_shared<TAcmStream>(SampleEncoding(*pwfxSrc), pwfxSrc->nChannels);
    TRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    registry.Streams.emplace(stream.get(), stream);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  *phas = stream.get();
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes,
                       uint32_t fdwSize) {
  const std::shared_ptr<TAcmStream> stream = Lookup(has);
  if (!stream) return MMSYSERR_INVALHANDLE;
  if (fdwSize != ACM_STREAMSIZEF_SOURCE && fdwSize != ACM_STREAMSIZEF_DESTINATION)
    return MMSYSERR_INVALFLAG;
  if (pdwOutputBytes == nullptr) return MMSYSERR_INVALPARAM;
  const bool source = fdwSize == ACM_STREAMSIZEF_SOURCE;
  const uint32_t from = source ? stream->SourceAlign : stream->DestinationAlign;
  const uint32_t to = source ? stream->DestinationAlign : stream->SourceAlign;
  const uint64_t bytes = uint64_t(cbInput / from) * to;
  if (bytes > 0xFFFFFFFF) return ACMERR_NOTPOSSIBLE;
  *pdwOutputBytes = uint32_t(bytes);
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare) {
  const std::shared_ptr<TAcmStream> stream = Lookup(has);
  if (!stream) return MMSYSERR_INVALHANDLE;
  if (fdwPrepare != 0) return MMSYSERR_INVALFLAG;
  if (!HeaderUsable(pash) || pash->pbSrc == nullptr || pash->pbDst == nullptr)
    return MMSYSERR_INVALPARAM;
  std::lock_guard lock(stream->Lock);
  if (stream->Find(pash) != nullptr) return MMSYSERR_NOERROR;
  try {
    stream->Prepared.push_back(
        {pash, pash->pbSrc, pash->cbSrcLength, pash->pbDst, pash->cbDstLength});
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  pash->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert) {
  const std::shared_ptr<TAcmStream> stream = Lookup(has);
  if (!stream) return MMSYSERR_INVALHANDLE;
  constexpr uint32_t known =
      ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END;
  if (fdwConvert & ~known) return MMSYSERR_INVALFLAG;
  if (!HeaderUsable(pash)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(stream->Lock);
  const TAcmStream::TPrepared* prepared = stream->Find(pash);
  if (prepared == nullptr) return ACMERR_UNPREPARED;
  if (pash->pbSrc != prepared->Source || pash->pbDst != prepared->Destination ||
      pash->cbSrcLength > prepared->SourceLength || pash->cbDstLength > prepared->DestinationLength)
    return MMSYSERR_INVALPARAM;
  const uint32_t frames = std::min(pash->cbSrcLength / stream->SourceAlign,
                                   pash->cbDstLength / stream->DestinationAlign);
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
  Convert(stream->Encoding, pash->pbSrc, pash->pbDst, size_t(frames) * stream->Channels);
  pash->cbSrcLengthUsed = frames * stream->SourceAlign;
  pash->cbDstLengthUsed = frames * stream->DestinationAlign;
  pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare) {
  const std::shared_ptr<TAcmStream> stream = Lookup(has);
  if (!stream) return MMSYSERR_INVALHANDLE;
  if (fdwUnprepare != 0) return MMSYSERR_INVALFLAG;
  if (!HeaderUsable(pash)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(stream->Lock);
  auto& prepared = stream->Prepared;
  const auto found = std::find_if(prepared.begin(), prepared.end(),
                                  [pash](const auto& entry) { return entry.Header == pash; });
  if (found == prepared.end()) return ACMERR_UNPREPARED;
  if (pash->pbSrc != found->Source || pash->pbDst != found->Destination) return MMSYSERR_INVALPARAM;
  prepared.erase(found);
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose) {
  if (fdwClose != 0) return Lookup(has) ? MMSYSERR_INVALFLAG : MMSYSERR_INVALHANDLE;
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  return registry.Streams.erase(has) > 0 ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}
