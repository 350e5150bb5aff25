// The measuring settings that the level bar's and the needle meter's laws share: the layout of
// the PCM they read and how many frames per update, gain, sensitivity and scale, the held peak's
// timing and the decay law, with the callbacks they raise.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "instruments/core/decay.h"
#include "instruments/core/pcm_level.h"
#include "instruments/core/peak_hold.h"
#include "stream/instrument_data.h"
#include "stream/wave_format.h"

class TMMPcmLaw : public TMMInstrumentData {
 public:
  // Frames per update are capped so that NumBytes stays well inside 32 bits.
  static constexpr int kMaxSamples = 1 << 20;

  int32_t GetNumBytes() const override { return PcmBytes(FPcm, FSamples); }

  int GetPeak() const { return FPeakHold.GetPeak(); }
  int GetPeakCounter() const { return FPeakHold.GetCounter(); }
  int64_t GetLastLevel() const { return FLastLevel; }

  void SetBitLength(TMMBits Value) { FPcm.BitLength = Value; }
  TMMBits GetBitLength() const { return FPcm.BitLength; }
  // mMono, mStereo, or 3 for four channels: a frame holds Mode + 1 samples.
  void SetMode(TMMMode Value);
  TMMMode GetMode() const { return TMMMode(FPcm.Channels - 1); }
  void SetChannel(TMMChannel Value) { FPcm.Channel = Value; }
  TMMChannel GetChannel() const { return FPcm.Channel; }
  void SetDCOffsetL(int Value) { FPcm.DCOffsetL = Value; }
  int GetDCOffsetL() const { return FPcm.DCOffsetL; }
  void SetDCOffsetR(int Value) { FPcm.DCOffsetR = Value; }
  int GetDCOffsetR() const { return FPcm.DCOffsetR; }
  void SetSamples(int Value);  // 1..kMaxSamples
  int GetSamples() const { return FSamples; }
  void SetGain(int Value);  // -8..32
  int GetGain() const { return FGain; }
  void SetSensitivy(int Value);  // -90..-9 dB
  int GetSensitivy() const { return FSensitivy; }
  void SetLogAmp(bool Value) { FLogAmp = Value; }
  bool GetLogAmp() const { return FLogAmp; }
  void SetPeakDelay(int Value);  // 0..50
  int GetPeakDelay() const { return FPeakDelay; }
  void SetPeakSpeed(int Value);  // 0..50
  int GetPeakSpeed() const { return FPeakSpeed.load(std::memory_order_relaxed); }
  void SetDecayMode(TMMDecayMode Value) { FDecay.SetDecayMode(Value); }
  TMMDecayMode GetDecayMode() const { return FDecay.GetDecayMode(); }
  void SetDecay(int Value) { FDecay.SetDecay(Value); }
  int GetDecay() const { return FDecay.GetDecay(); }
  const TMMDecay& GetDecayLaw() const { return FDecay; }

  // Called on the updating thread: a piece reached full scale; the reading went past the top of
  // the scale; the picture changed.
  std::function<void()> OnPcmOverflow;
  std::function<void()> OnGainOverflow;
  std::function<void()> OnChange;

 protected:
  explicit TMMPcmLaw(int Sensitivy) : FSensitivy(Sensitivy) {}

  // Takes the sample size and channel count of a format that IsInstrumentFormat accepted.
  void TakeWaveFormat(const WAVEFORMATEX& Format);

  TMMPcmLayout FPcm;
  int FSamples = 50;
  int FGain = 0;
  int FSensitivy;
  bool FLogAmp = true;
  int FPeakDelay = 20;
  std::atomic<int> FPeakSpeed{0};  // read by Tick on the display timer's thread

  TMMDecay FDecay;
  TMMPeakHold FPeakHold;
  int64_t FLastLevel = 0;
};
