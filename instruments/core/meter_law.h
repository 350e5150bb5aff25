// What a needle meter measures, without drawing it. In VU mode: the RMS of each piece of PCM,
// smoothed by a decay law, read in dB against a reference level and turned into a needle angle
// whose deflection is proportional to amplitude, from -70 to +3 on the scale. In peak mode: the
// peak level on a dB or linear scale of 0..32767, with a held peak that the 25 ms display ticks
// let fall. The window's meter draws from it; a terminal meter can use it as it is.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "instruments/core/decay.h"
#include "instruments/core/pcm_level.h"
#include "instruments/core/peak_hold.h"
#include "stream/instrument_data.h"
#include "stream/mm_error.h"
#include "stream/wave_format.h"

class EMMMeterError : public EMMError {
 public:
  using EMMError::EMMError;
};

enum TMeterMode { mmPeak, mmVU };

// The dBFS of level x (floored at -100 dB).
double LevelToDBFS(double Level);
// The VU reading of level x against RefLevel: u = dBFS - RefLevel + 3, in single precision.
// A sine whose peak is RefLevel dBFS reads about 0.
float LevelToVU(int64_t Level, double RefLevel);
// The needle angle in radians of VU reading U (at most +3) on an arc of ScaleAngle degrees:
// full deflection at +3, proportional to amplitude, so 0 VU lies at 10^(-3/20) of the arc.
double VUToAngle(double U, int ScaleAngle);
// The peak-mode level 0..32767 (not clamped above) of level x with the scale's bottom at
// Sensitivy dB.
int64_t LevelToPeakScale(int64_t Level, int Sensitivy, bool LogAmp);
// The reference level as the meter keeps it: one decimal inside -30..-10, else -16.0.
double RoundRefLevel(double Value);

class TMMMeterLaw : public TMMInstrumentData {
 public:
  // Threads: everything but Tick and GetPeak belongs to the thread that hands the data over
  // (the main thread in the window). Tick runs on the display timer's thread and changes only
  // the held peak; it reads the displayed level, which is atomic for it.

  // The VU floor: readings below it leave the needle where it is.
  static constexpr float kVUFloor = -70.0f;
  // The top of the VU scale: readings at or above it signal an overflow and rest there.
  static constexpr float kVUTop = 3.0f;
  // Frames per update are capped so that NumBytes stays well inside 32 bits.
  static constexpr int kMaxSamples = 1 << 20;

  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  int32_t GetNumBytes() const override { return PcmBytes(FPcm, FSamples); }
  void RefreshPCMData(const void* Data) override;
  void ResetData() override;

  // Smoothing and mapping for one level. True when the picture must change (OnChange has then
  // been called).
  bool UpdateValue(int64_t Level);
  // One 25 ms display tick of the held peak (peak mode with ShowPeak). True when it moved.
  bool Tick();

  // The setter shows Value percent of full scale at once (clamped to 0..100); the getter reads
  // the last input level in percent of full scale.
  int GetValue() const;
  void SetValue(int Value);

  // Sets the measuring fields of a mode: VU takes dmExponential with Decay 7, no peak needle
  // and 1000 frames per update and puts the needle at the left end; peak takes dmNone with
  // Decay 1, the peak needle and 50 frames.
  void SetMeterMode(TMeterMode Value);
  TMeterMode GetMeterMode() const { return FMeterMode; }
  // Rounded to one decimal inside -30..-10; any other value resets it to -16.0.
  void SetRefLevel(double Value);
  double GetRefLevel() const { return FRefLevel; }
  void SetScaleAngle(int Value);  // 45..180 degrees
  int GetScaleAngle() const { return FScaleAngle; }

  double GetAngle() const { return FAngle; }  // VU needle, radians from the left end
  int GetLevel() const { return FLevel.load(std::memory_order_relaxed); }  // peak mode
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
  void SetShowPeak(bool Value) { FShowPeak.store(Value, std::memory_order_relaxed); }
  bool GetShowPeak() const { return FShowPeak.load(std::memory_order_relaxed); }
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
  // the scale; the needle or the peak changed.
  std::function<void()> OnPcmOverflow;
  std::function<void()> OnGainOverflow;
  std::function<void()> OnChange;

 private:
  bool UpdateVU(int64_t X);
  bool UpdatePeak(int64_t X);

  TMMPcmLayout FPcm;
  int FSamples = 50;
  int FGain = 0;
  int FSensitivy = -50;
  bool FLogAmp = true;
  TMeterMode FMeterMode = mmPeak;
  double FRefLevel = -16.0;
  int FScaleAngle = 90;
  std::atomic<bool> FShowPeak{true};  // read by Tick on the display timer's thread
  int FPeakDelay = 20;
  std::atomic<int> FPeakSpeed{0};  // read by Tick on the display timer's thread

  TMMDecay FDecay;
  TMMPeakHold FPeakHold;
  int64_t FLastLevel = 0;
  double FAngle = 0.0;
  std::atomic<int> FLevel{0};  // peak mode's displayed level; Tick lets the peak fall to it
};
