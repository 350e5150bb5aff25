// What a needle meter measures, without drawing it. In VU mode: the RMS of each piece of PCM,
// smoothed by a decay law, read in dB against a reference level and turned into a needle angle
// whose deflection is proportional to amplitude, from -70 to +3 on the scale. In peak mode: the
// peak level on a dB or linear scale of 0..32767, with a held peak that the 25 ms display ticks
// let fall. The window's meter draws from it; a terminal meter can use it as it is.
#pragma once

#include <atomic>
#include <cstdint>

#include "instruments/core/pcm_law.h"
#include "stream/mm_error.h"

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

class TMMMeterLaw : public TMMPcmLaw {
 public:
  // Threads: everything but Tick and GetPeak belongs to the thread that hands the data over
  // (the main thread in the window). Tick runs on the display timer's thread and changes only
  // the held peak; it reads the displayed level, which is atomic for it.

  // The VU floor: readings below it leave the needle where it is.
  static constexpr float kVUFloor = -70.0f;
  // The top of the VU scale: readings at or above it signal an overflow and rest there.
  static constexpr float kVUTop = 3.0f;

  TMMMeterLaw();

  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
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
  void SetShowPeak(bool Value) { FShowPeak.store(Value, std::memory_order_relaxed); }
  bool GetShowPeak() const { return FShowPeak.load(std::memory_order_relaxed); }

 private:
  bool UpdateVU(int64_t X);
  bool UpdatePeak(int64_t X);

  TMeterMode FMeterMode = mmPeak;
  double FRefLevel = -16.0;
  int FScaleAngle = 90;
  std::atomic<bool> FShowPeak{true};  // read by Tick on the display timer's thread

  double FAngle = 0.0;
  std::atomic<int> FLevel{0};  // peak mode's displayed level; Tick lets the peak fall to it
};
