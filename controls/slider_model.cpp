#include "controls/slider_model.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// A double as an int within lo..hi (a NaN gives lo).
int RoundInto(double value, int lo, int hi) {
  if (!(value >= lo)) return lo;
  if (value >= hi) return hi;
  return int(std::lround(value));
}

}  // namespace

void TMMSliderModel::SetMinValue(int value) {
  FMinValue = value;
  FMaxValue = std::max(FMaxValue, value);
  FRaw = Clamped(FRaw);
}

void TMMSliderModel::SetMaxValue(int value) {
  FMaxValue = value;
  FMinValue = std::min(FMinValue, value);
  FRaw = Clamped(FRaw);
}

void TMMSliderModel::SetSensitivity(int value) {
  if (value < 0) FSensitivity = value;
}

int TMMSliderModel::Clamped(int value) const {
  return std::clamp(value, FMinValue, FMaxValue);
}

bool TMMSliderModel::SetRaw(int value) {
  if (value == FRaw) return false;
  FRaw = Clamped(value);
  return true;
}

int TMMSliderModel::RawForPosition(int value) const {
  // Linear: the value as asked for; SetRaw clamps it, and still reports the change.
  if (!FLogarithmic || value == 0) return value;
  const double n = double(FMaxValue) - FMinValue;
  const double s = -double(FSensitivity);
  // No track to map onto, or a position below 0 whose logarithm does not exist: the low end.
  if (n <= 0 || value < 0) return FMinValue;
  return RoundInto(n * (20.0 * std::log10(value / n) + s) / s, FMinValue, FMaxValue);
}

int TMMSliderModel::PositionForRaw(int raw) const {
  raw = Clamped(raw);
  if (!FLogarithmic || raw == 0) return raw;
  const double n = double(FMaxValue) - FMinValue;
  const double s = -double(FSensitivity);
  if (n <= 0) return raw;
  return RoundInto(n * std::pow(10.0, (s * raw / n - s) / 20.0), FMinValue, FMaxValue);
}

int TMMSliderModel::RawForKey(TMMSliderKey key, TMMOrientation orientation) const {
  // In 64 bits: a large step must not wrap around.
  const int64_t raw = FRaw;
  switch (key) {
    case skPageUp:
      return raw + FPageSize < FMaxValue ? int(raw + FPageSize) : FMaxValue;
    case skPageDown:
      return raw - FPageSize > FMinValue ? int(raw - FPageSize) : FMinValue;
    case skEnd:
      return orientation == orHorizontal ? FMaxValue : FMinValue;
    case skHome:
      return orientation == orHorizontal ? FMinValue : FMaxValue;
    case skLineDown:
      return raw > FMinValue ? int(std::max<int64_t>(raw - FLineSize, INT32_MIN)) : FRaw;
    case skLineUp:
      return raw < FMaxValue ? int(std::min<int64_t>(raw + FLineSize, INT32_MAX)) : FRaw;
  }
  return FRaw;
}

int TMMSliderModel::OffsetOfRaw(int raw, int length) const {
  const int64_t n = int64_t(FMaxValue) - FMinValue;
  if (n <= 0 || length <= 0) return 0;
  const int64_t steps = int64_t(Clamped(raw)) - FMinValue;
  return int((steps * length * 2 + n) / (2 * n));  // rounded to the nearest pixel
}

int TMMSliderModel::RawAtOffset(int offset, int length) const {
  const int64_t n = int64_t(FMaxValue) - FMinValue;
  if (n <= 0 || length <= 0) return FMinValue;
  offset = std::clamp(offset, 0, length);
  return int(FMinValue + (int64_t(offset) * n * 2 + length) / (2 * int64_t(length)));
}
