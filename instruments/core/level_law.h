// What a level bar measures, without drawing it: the peak level of each piece of PCM, smoothed
// by a decay law, mapped to a count of lit spots on a dB or linear scale, and a held peak spot
// that the 25 ms display ticks let fall. The window's bar draws from it; a terminal meter can
// use it as it is.
#pragma once

#include <cstdint>

#include "instruments/core/pcm_law.h"
#include "instruments/core/spot_layout.h"
#include "stream/mm_error.h"

class EMMLevelError : public EMMError {
 public:
  using EMMError::EMMError;
};

enum TMMLevelDirection { dirNormal, dirReversed, dirSymetric };

// The count of spots that a level lights: x = Level × (Gain + 8) div 8, and on a dB scale the
// range Sensitivy .. 0 dBFS spread over Spots spots, on a linear one the amplitudes from
// Sensitivy dBFS to full scale. Not clamped to Spots; never below 0.
int64_t LevelToSpots(int64_t Level, int Gain, int Sensitivy, bool LogAmp, int Spots);
// The input level, in percent of full scale, that lights Count of Spots spots; 0 for none.
int SpotsToPercent(int Count, int Gain, int Sensitivy, bool LogAmp, int Spots);

class TMMLevelLaw : public TMMPcmLaw {
 public:
  TMMLevelLaw();

  // Threads: everything but Tick, GetPeak and GetPeakPercent belongs to the thread that hands
  // the data over (the main thread in the window). Tick runs on the display timer's thread and
  // changes only the held peak; GetPeak may be read from any thread.
  // OnGainOverflow is called when a level lights more spots than the bar has.

  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  void RefreshPCMData(const void* Data) override;
  void ResetData() override;

  // Smoothing, mapping and the held peak for one level. True when the picture must change
  // (OnChange has then been called).
  bool UpdateValue(int64_t Level);
  // One 25 ms display tick of the held peak. True when the peak moved or its hold ended.
  bool Tick();

  // Percent of full scale; the setter shows that level at once (clamped to 0..100).
  int GetValue() const;
  void SetValue(int Value);
  int GetPeakPercent() const;

  int GetCount() const { return FCount; }  // lit spots
  const TMMSpotLayout& GetLayout() const { return FLayout; }

  // The spot layout: a change recomputes it and clears the lit count and the peak, as
  // RecomputeLayout does (for instance when the bar is enabled again).
  void RecomputeLayout();
  void SetBarLength(int Value);
  int GetBarLength() const { return FBarLength; }
  void SetSpotWidth(int Value);
  int GetSpotWidth() const { return FSpotWidth; }
  void SetSpotSpace(int Value);
  int GetSpotSpace() const { return FSpotSpace; }
  void SetPoint1(int Value);
  int GetPoint1() const { return FPoint1; }
  void SetPoint2(int Value);
  int GetPoint2() const { return FPoint2; }

  void SetDirection(TMMLevelDirection Value) { FDirection = Value; }
  TMMLevelDirection GetDirection() const { return FDirection; }
  // Shows n − count instead of count.
  void SetInvert(bool Value) { FInvert = Value; }
  bool GetInvert() const { return FInvert; }
  void SetNumPeaks(int Value);  // 0..5
  int GetNumPeaks() const { return FNumPeaks; }

 private:
  TMMLevelDirection FDirection = dirNormal;
  bool FInvert = false;
  int FNumPeaks = 1;

  int FBarLength = 200;
  int FSpotWidth = 1;
  int FSpotSpace = 1;
  int FPoint1 = 50;
  int FPoint2 = 85;
  TMMSpotLayout FLayout;

  int FCount = 0;
};
