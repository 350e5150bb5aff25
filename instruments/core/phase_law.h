// What a phase scope shows, without drawing it: the left and right samples of one block kept
// in two buffers, and where each pair lands on an X-Y display. Each channel moves the point
// along its own direction: in pmOscillo the right channel is horizontal and the left vertical;
// in pmStereo the display is turned by 45 degrees, so a mono signal (L = R) is a vertical line
// and a signal with L = -R a horizontal one.
#pragma once

#include <array>
#include <cstdint>

#include "instruments/core/pcm_level.h"
#include "stream/wave_format.h"

enum TPhaseMode { pmOscillo, pmStereo };

// The gain of one axis: a value above 2.0 or below 0.5 gives 1.0, one within 0.5..2.0 is
// rounded to one decimal place (as fixed-point text with one decimal, read back).
double PhaseRangeFactor(double Value);

struct TPhasePoint {
  int X = 0;
  int Y = 0;
  bool operator==(const TPhasePoint&) const = default;
};

class TMMPhaseLaw {
 public:
  // Samples per channel a block can hold.
  static constexpr int kMaxSamples = 4096;

  TMMPhaseLaw();

  // The size the points are scaled to (the control's client width and height) and the centre
  // in surface pixels. Widths and heights below 1 count as 1.
  void SetGeometry(int ClientWidth, int ClientHeight, int Cx, int Cy);
  int GetCx() const { return FCx; }
  int GetCy() const { return FCy; }
  void SetPhaseMode(TPhaseMode Value);
  TPhaseMode GetPhaseMode() const { return FPhaseMode; }
  // Stored through PhaseRangeFactor.
  void SetRangeFactorX(double Value);
  double GetRangeFactorX() const { return FRangeFactorX; }
  void SetRangeFactorY(double Value);
  double GetRangeFactorY() const { return FRangeFactorY; }

  // Fills the buffers with the first Samples frames (clamped to 0..kMaxSamples) of interleaved
  // PCM in Layout: the first sample of a frame is the left one, the second the right one; a
  // mono frame gives both. 8-bit samples are re-centred to the 16-bit range. Every sample is
  // clamped to -32767..32767, so -32768 lands where -32767 does. Layout's channel choice and DC
  // offsets are not used. Reads exactly PcmBytes(Layout, Samples) bytes.
  void TakeBlock(const void* Data, const TMMPcmLayout& Layout, int Samples);
  // Zeroes both buffers.
  void Reset();
  int16_t Left(int Index) const { return FLeft[size_t(Index)]; }
  int16_t Right(int Index) const { return FRight[size_t(Index)]; }

  // Where the pair lands, in surface pixels (not clipped): (cx + dxL + dxR, cy - (dyL + dyR)),
  // each channel's d = the integer nearest to (W / 2) cos(angle) (s / 32767) RangeFactorX, and
  // (H / 2) sin(angle) (s / 32767) RangeFactorY for y, halves to even; a zero sample adds
  // nothing.
  TPhasePoint Point(int Left, int Right) const;
  // The point of pair Index of the buffers.
  TPhasePoint Point(int Index) const { return Point(FLeft[size_t(Index)], FRight[size_t(Index)]); }

 private:
  void UpdateFactors();

  TPhaseMode FPhaseMode = pmOscillo;
  double FRangeFactorX = 1.0;
  double FRangeFactorY = 1.0;
  int FWidth = 1;
  int FHeight = 1;
  int FCx = 0;
  int FCy = 0;
  // Per channel (0 left, 1 right): (W / 2) cos(angle) and (H / 2) sin(angle).
  double FCos[2] = {0, 0};
  double FSin[2] = {0, 0};
  std::array<int16_t, kMaxSamples> FLeft{};
  std::array<int16_t, kMaxSamples> FRight{};
};
