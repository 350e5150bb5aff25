#include "instruments/core/pcm_law.h"

#include <algorithm>

void TMMPcmLaw::TakeWaveFormat(const WAVEFORMATEX& Format) {
  FPcm.BitLength = TMMBits(Format.wBitsPerSample / 8 - 1);
  FPcm.Channels = Format.nChannels;
}

void TMMPcmLaw::SetMode(TMMMode Value) {
  FPcm.Channels = std::clamp(int(Value) + 1, 1, 4);
}

void TMMPcmLaw::SetSamples(int Value) {
  FSamples = std::clamp(Value, 1, kMaxSamples);
}

void TMMPcmLaw::SetGain(int Value) {
  FGain = std::clamp(Value, -8, 32);
}

void TMMPcmLaw::SetSensitivy(int Value) {
  FSensitivy = std::clamp(Value, -90, -9);
}

void TMMPcmLaw::SetPeakDelay(int Value) {
  FPeakDelay = std::clamp(Value, 0, 50);
}

void TMMPcmLaw::SetPeakSpeed(int Value) {
  FPeakSpeed.store(std::clamp(Value, 0, 50), std::memory_order_relaxed);
}
