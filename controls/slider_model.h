// The value of a slider without a window: an integer track position kept within two bounds,
// its linear or logarithmic reading as the slider's position, the steps of the keys and the
// mapping between the track and pixels.
#pragma once

enum TMMOrientation { orHorizontal, orVertical };

// What a key does to the track position.
enum TMMSliderKey {
  skLineUp,    // Right or Up
  skLineDown,  // Left or Down
  skPageUp,
  skPageDown,
  skHome,
  skEnd,
};

class TMMSliderModel {
 public:
  // Bounds; setting one past the other moves the other with it. The raw position is clamped
  // into the new bounds.
  int MinValue() const { return FMinValue; }
  void SetMinValue(int value);
  int MaxValue() const { return FMaxValue; }
  void SetMaxValue(int value);
  int LineSize() const { return FLineSize; }
  void SetLineSize(int value) { FLineSize = value; }
  int PageSize() const { return FPageSize; }
  void SetPageSize(int value) { FPageSize = value; }
  bool Logarithmic() const { return FLogarithmic; }
  void SetLogarithmic(bool value) { FLogarithmic = value; }
  // The range of the logarithmic track in dB, below 0; other values are ignored.
  int Sensitivity() const { return FSensitivity; }
  void SetSensitivity(int value);

  // The raw track position, always within the bounds.
  int Raw() const { return FRaw; }
  // Stores the raw position clamped to the bounds; whether the value asked for differed from
  // the one held (the slider then reports a change, even when clamping gives the old value).
  bool SetRaw(int value);

  // The raw position for position V: V itself, unclamped, on a linear track (and for 0); on a
  // logarithmic track round(N * (20 log10(V / N) + S) / S) with N the range and S the
  // sensitivity's magnitude, clamped to the bounds.
  int RawForPosition(int value) const;
  // The position the raw position stands for, the inverse of RawForPosition, clamped.
  int PositionForRaw(int raw) const;
  int Position() const { return PositionForRaw(FRaw); }

  // The raw position a key asks for, from the current one.
  int RawForKey(TMMSliderKey key, TMMOrientation orientation) const;

  // The track: `length` pixels over which the thumb's leading edge travels from MinValue
  // (offset 0) to MaxValue (offset length). The offset of a raw position, and the raw
  // position nearest to an offset (clamped).
  int OffsetOfRaw(int raw, int length) const;
  int RawAtOffset(int offset, int length) const;

 private:
  int Clamped(int value) const;

  int FMinValue = 0;
  int FMaxValue = 10;
  int FRaw = 0;
  int FLineSize = 1;
  int FPageSize = 5;
  bool FLogarithmic = false;
  int FSensitivity = -24;
};
