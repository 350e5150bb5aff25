#include "instruments/dib_primitives.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

TDIBDrawContext DIBDrawContext;

std::recursive_mutex& DIBDrawingLock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {

TDIBDrawContext& C = DIBDrawContext;

uint8_t* PixelAddress(int x, int y) {
  return C.Bits + ptrdiff_t(C.Height - 1 - y) * C.Stride + ptrdiff_t(x) * C.BytesPerPixel;
}

bool Inside(int x, int y) {
  return x >= C.ClipLeft && x < C.ClipRight && y >= C.ClipTop && y < C.ClipBottom;
}

void Put(uint8_t* p, uint32_t value) {
  if (C.BytesPerPixel == 1) {
    *p = uint8_t(value);
  } else {
    p[0] = uint8_t(value >> 16);  // blue
    p[1] = uint8_t(value >> 8);   // green
    p[2] = uint8_t(value);        // red
  }
}

// `count` pixels of one row from `p` on, in the current colour. Narrow spans (the spots of a
// level bar are two pixels wide) are set byte by byte: a library call per span would cost more.
void Span(uint8_t* p, int count) {
  if (count <= 0) return;
  const uint32_t color = C.Color;
  if (C.BytesPerPixel == 1) {
    if (count > 16) {
      std::memset(p, int(color & 0xFF), size_t(count));
      return;
    }
    for (int i = 0; i < count; ++i) p[i] = uint8_t(color);
    return;
  }
  const uint8_t b = uint8_t(color >> 16), g = uint8_t(color >> 8), r = uint8_t(color);
  for (int i = 0; i < count; ++i, p += 3) p[0] = b, p[1] = g, p[2] = r;
}

// The rectangle with its corners in order, clamped to the clip rectangle; false when empty.
bool ClipRect(const TRect& in, TRect& out) {
  out = Rect(std::max(std::min(in.Left, in.Right), C.ClipLeft),
             std::max(std::min(in.Top, in.Bottom), C.ClipTop),
             std::min(std::max(in.Left, in.Right), C.ClipRight),
             std::min(std::max(in.Top, in.Bottom), C.ClipBottom));
  return C.Bits && !out.IsEmpty();
}

}  // namespace

void DIB_SetPixel(int X, int Y, uint32_t Value) {
  if (C.Bits && Inside(X, Y)) Put(PixelAddress(X, Y), Value);
}

void DIB_MoveTo(int X, int Y) {
  C.PenX = X;
  C.PenY = Y;
}

void DIB_LineTo(int X, int Y) {
  // Bresenham's steps; each point is checked against the clip rectangle.
  int x = C.PenX, y = C.PenY;
  const int dx = std::abs(X - x), dy = -std::abs(Y - y);
  const int sx = x < X ? 1 : -1, sy = y < Y ? 1 : -1;
  int error = dx + dy;
  while (C.Bits && (x != X || y != Y)) {
    if (Inside(x, y)) Put(PixelAddress(x, y), C.Color);
    const int e2 = 2 * error;
    if (e2 >= dy) error += dy, x += sx;
    if (e2 <= dx) error += dx, y += sy;
  }
  DIB_MoveTo(X, Y);
}

void DIB_HLine(int X1, int X2, int Y) {
  if (X1 > X2) std::swap(X1, X2);
  X1 = std::max(X1, C.ClipLeft);
  X2 = std::min(X2, C.ClipRight);
  if (!C.Bits || Y < C.ClipTop || Y >= C.ClipBottom || X1 >= X2) return;
  Span(PixelAddress(X1, Y), X2 - X1);
}

void DIB_HLineDotted(int X1, int X2, int Y, int Gap) {
  if (X1 > X2) std::swap(X1, X2);
  const int step = std::max(Gap, 1) + 1;
  // The dots keep their places from X1 when the start is clipped.
  if (X1 < C.ClipLeft) X1 += (C.ClipLeft - X1 + step - 1) / step * step;
  X2 = std::min(X2, C.ClipRight);
  if (!C.Bits || Y < C.ClipTop || Y >= C.ClipBottom || X1 >= X2) return;
  uint8_t* p = PixelAddress(X1, Y);
  for (int x = X1; x < X2; x += step, p += step * C.BytesPerPixel) Put(p, C.Color);
}

void DIB_VLine(int X, int Y1, int Y2) {
  if (Y1 > Y2) std::swap(Y1, Y2);
  Y1 = std::max(Y1, C.ClipTop);
  Y2 = std::min(Y2, C.ClipBottom);
  if (!C.Bits || X < C.ClipLeft || X >= C.ClipRight) return;
  uint8_t* p = Y1 < Y2 ? PixelAddress(X, Y1) : nullptr;
  for (int y = Y1; y < Y2; ++y, p += C.RowStep) Put(p, C.Color);
}

void DIB_VLineDotted(int X, int Y1, int Y2, int Gap) {
  if (Y1 > Y2) std::swap(Y1, Y2);
  const int step = std::max(Gap, 1) + 1;
  if (Y1 < C.ClipTop) Y1 += (C.ClipTop - Y1 + step - 1) / step * step;
  Y2 = std::min(Y2, C.ClipBottom);
  if (!C.Bits || X < C.ClipLeft || X >= C.ClipRight) return;
  uint8_t* p = Y1 < Y2 ? PixelAddress(X, Y1) : nullptr;
  for (int y = Y1; y < Y2; y += step, p += ptrdiff_t(step) * C.RowStep) Put(p, C.Color);
}

void DIB_FillRect(const TRect& R) {
  TRect r;
  if (!ClipRect(R, r)) return;
  uint8_t* p = PixelAddress(r.Left, r.Top);
  for (int y = r.Top; y < r.Bottom; ++y, p += C.RowStep) Span(p, r.Width());
}

void DIB_FillRectDoted(const TRect& R, bool Doted) {
  if (!Doted) {
    DIB_FillRect(R);
    return;
  }
  TRect r;
  if (!ClipRect(R, r)) return;
  for (int y = r.Top; y < r.Bottom; y += 2) {
    uint8_t* p = PixelAddress(r.Left, y);
    for (int x = r.Left; x < r.Right; x += 2, p += 2 * C.BytesPerPixel) Put(p, C.Color);
  }
}

void DIB_XorRect(const TRect& R) {
  TRect r;
  if (!ClipRect(R, r)) return;
  const uint8_t pattern[3] = {uint8_t(C.Color >> 16), uint8_t(C.Color >> 8), uint8_t(C.Color)};
  for (int y = r.Top; y < r.Bottom; ++y) {
    uint8_t* p = PixelAddress(r.Left, y);
    const int bytes = r.Width() * C.BytesPerPixel;
    if (C.BytesPerPixel == 1) {
      for (int i = 0; i < bytes; ++i) p[i] ^= uint8_t(C.Color);
    } else {
      for (int i = 0; i < bytes; ++i) p[i] ^= pattern[i % 3];
    }
  }
}

void DIB_FrameRect(int X1, int Y1, int X2, int Y2) {
  DIB_HLine(X1, X2, Y1);
  DIB_HLine(X1, X2, Y2 - 1);
  DIB_VLine(X1, Y1, Y2);
  DIB_VLine(X2 - 1, Y1, Y2);
}

void DIB_Clear() {
  if (!C.Bits || C.Width <= 0 || C.Height <= 0) return;
  uint8_t* p = PixelAddress(0, 0);
  for (int y = 0; y < C.Height; ++y, p += C.RowStep) Span(p, C.Width);
}

void DIB_CopyRect(int X, int Y, int W, int H, int SrcX, int SrcY, const uint8_t* SrcBits) {
  if (!C.Bits || !SrcBits || W <= 0 || H <= 0) return;
  // Clip the destination to the clip rectangle and the source to the surface, moving the
  // other side by as much.
  auto trim = [](int& at, int& from, int& size, int low, int high) {
    if (at < low) size -= low - at, from += low - at, at = low;
    if (from < 0) size += from, at -= from, from = 0;
    size = std::min({size, high - at, 0x7FFFFFFF});
  };
  trim(X, SrcX, W, C.ClipLeft, C.ClipRight);
  W = std::min(W, C.Width - SrcX);
  trim(Y, SrcY, H, C.ClipTop, C.ClipBottom);
  H = std::min(H, C.Height - SrcY);
  if (W <= 0 || H <= 0) return;
  const size_t bytes = size_t(W) * size_t(C.BytesPerPixel);
  auto src = [&](int y) {
    return SrcBits + ptrdiff_t(C.Height - 1 - y) * C.Stride + ptrdiff_t(SrcX) * C.BytesPerPixel;
  };
  // Rows in an order that reads each source row before it is overwritten.
  if (Y > SrcY) {
    for (int j = H - 1; j >= 0; --j) std::memmove(PixelAddress(X, Y + j), src(SrcY + j), bytes);
  } else {
    for (int j = 0; j < H; ++j) std::memmove(PixelAddress(X, Y + j), src(SrcY + j), bytes);
  }
}
