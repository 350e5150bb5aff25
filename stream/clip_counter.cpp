#include "stream/clip_counter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// Whether the sample at `p` in `encoding` stands at either end of its range.
bool AtFullScale(TSampleEncoding encoding, const uint8_t* p) {
  switch (encoding) {
    case seUnsigned8:
      return p[0] == 0 || p[0] == 0xFF;
    case seSigned16: {
      const auto v = int16_t(uint16_t(p[0] | (p[1] << 8)));
      return v == INT16_MIN || v == INT16_MAX;
    }
    case seSigned24: {
      const uint32_t v = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
      return v == 0x7FFFFF || v == 0x800000;
    }
    case seSigned32: {
      uint32_t v;
      std::memcpy(&v, p, sizeof v);
      return v == 0x7FFFFFFFu || v == 0x80000000u;
    }
    case seFloat32: {
      float v;
      std::memcpy(&v, p, sizeof v);
      return v >= 1.0f || v <= -1.0f;
    }
    case seFloat64: {
      double v;
      std::memcpy(&v, p, sizeof v);
      return v >= 1.0 || v <= -1.0;
    }
    default:
      return false;
  }
}

// The magnitude of the sample at `p` in `encoding` as a fraction of full scale.
double Magnitude(TSampleEncoding encoding, const uint8_t* p) {
  switch (encoding) {
    case seUnsigned8:
      return std::fabs(double(int(p[0]) - 128)) / 128.0;
    case seSigned16:
      return std::fabs(double(int16_t(uint16_t(p[0] | (p[1] << 8))))) / 32768.0;
    case seSigned24: {
      // The three bytes in the top of a 32-bit word keep the sign.
      const auto v =
          int32_t((uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 24));
      return std::fabs(double(v)) / 2147483648.0;
    }
    case seSigned32: {
      int32_t v;
      std::memcpy(&v, p, sizeof v);
      return std::fabs(double(v)) / 2147483648.0;
    }
    case seFloat32: {
      float v;
      std::memcpy(&v, p, sizeof v);
      return std::isfinite(v) ? std::fabs(double(v)) : 0.0;
    }
    case seFloat64: {
      double v;
      std::memcpy(&v, p, sizeof v);
      return std::isfinite(v) ? std::fabs(v) : 0.0;
    }
    default:
      return 0.0;
  }
}

}  // namespace

void TMMClipCounter::SetFormat(const WAVEFORMATEX* Format) {
  FEncoding = Format ? SampleEncoding(*Format) : seNone;
  if (FEncoding == seALaw || FEncoding == seMuLaw) FEncoding = seNone;
  FChannels = FEncoding == seNone ? 0 : Format->nChannels;
  FSampleBytes = SampleBytes(FEncoding);
}

void TMMClipCounter::Count(const void* Data, uint32_t Bytes) {
  if (FEncoding == seNone || !Data || FChannels == 0) return;
  const uint32_t frameBytes = FSampleBytes * FChannels;
  const auto* p = static_cast<const uint8_t*>(Data);
  int64_t clipped[2] = {0, 0};
  double peak[2] = {0.0, 0.0};
  for (uint32_t frame = 0; frame < Bytes / frameBytes; ++frame)
    for (uint32_t channel = 0; channel < FChannels; ++channel, p += FSampleBytes) {
      if (AtFullScale(FEncoding, p)) ++clipped[channel % 2];
      peak[channel % 2] = std::max(peak[channel % 2], Magnitude(FEncoding, p));
    }
  for (int side = 0; side < 2; ++side) {
    if (clipped[side]) FClipped[size_t(side)].fetch_add(clipped[side], std::memory_order_relaxed);
    // Only this thread raises the peak, so a plain load and store cannot lose a higher one.
    auto& highest = FPeak[size_t(side)];
    if (peak[side] > highest.load(std::memory_order_relaxed))
      highest.store(peak[side], std::memory_order_relaxed);
  }
}

void TMMClipCounter::Reset() {
  for (auto& count : FClipped) count.store(0, std::memory_order_relaxed);
  for (auto& peak : FPeak) peak.store(0.0, std::memory_order_relaxed);
}

int64_t TMMClipCounter::Clipped(int Side) const {
  if (Side < 0 || Side > 1) return 0;
  return FClipped[size_t(Side)].load(std::memory_order_relaxed);
}

double TMMClipCounter::Peak(int Side) const {
  if (Side < 0 || Side > 1) return 0.0;
  return FPeak[size_t(Side)].load(std::memory_order_relaxed);
}
