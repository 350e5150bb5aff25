// The fast pixel and span primitives of the drawing surfaces. They all work on one drawing
// context for the whole process, loaded by TMMDIBCanvas::DIB_InitDrawing and cleared by
// DIB_DoneDrawing, so they may only run between the two, with the drawing lock held.
// Coordinates are surface pixels with (0, 0) at the top left; whatever lies outside the clip
// rectangle is skipped, never an error.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/gdi/gdi_types.h"

struct TDIBDrawContext {
  int BitsPerPixel = 0;
  int BytesPerPixel = 0;
  int Width = 0;
  int Height = 0;
  int Stride = 0;
  // The step in memory from row y to row y + 1 of the picture: -Stride (rows are bottom-up).
  int RowStep = 0;
  uint8_t* Bits = nullptr;
  // The pixel value drawn: 0x00BBGGRR at 24 bits; at 8 bits the index in all four bytes.
  uint32_t Color = 0;
  int PenX = 0;
  int PenY = 0;
  int ClipLeft = 0;
  int ClipTop = 0;
  int ClipRight = 0;
  int ClipBottom = 0;
};

// The context of the surface being drawn. Guarded by DIBDrawingLock().
extern TDIBDrawContext DIBDrawContext;
// Serialises all drawing into surfaces (recursive: a thread may nest its own passes).
std::recursive_mutex& DIBDrawingLock();

// One pixel with the given pixel value.
void DIB_SetPixel(int X, int Y, uint32_t Value);
void DIB_MoveTo(int X, int Y);
// A straight line in the current colour from the pen position to (X, Y), without that last
// point (as the window system draws lines); the pen moves to (X, Y).
void DIB_LineTo(int X, int Y);
// Pixels X1 .. X2 - 1 of row Y (the ends swapped when X1 > X2).
void DIB_HLine(int X1, int X2, int Y);
// As DIB_HLine, one pixel drawn and then Gap skipped (a Gap below 1 counts as 1).
void DIB_HLineDotted(int X1, int X2, int Y, int Gap);
// Pixels Y1 .. Y2 - 1 of column X (the ends swapped when Y1 > Y2).
void DIB_VLine(int X, int Y1, int Y2);
void DIB_VLineDotted(int X, int Y1, int Y2, int Gap);
// Left <= x < Right, Top <= y < Bottom (corners swapped when reversed).
void DIB_FillRect(const TRect& R);
// With Doted, only the pixels (Left + 2i, Top + 2j) of the clipped rectangle.
void DIB_FillRectDoted(const TRect& R, bool Doted);
// XORs the current colour into the rectangle.
void DIB_XorRect(const TRect& R);
// Rows Y1 and Y2 - 1 from X1 to X2, columns X1 and X2 - 1 from Y1 to Y2.
void DIB_FrameRect(int X1, int Y1, int X2, int Y2);
// Every pixel of the surface (the padding at the end of each row is left alone).
void DIB_Clear();
// Copies a W x H block at (SrcX, SrcY) of a buffer of the surface's own geometry to (X, Y);
// the block is clipped on both sides, and source and destination may overlap.
void DIB_CopyRect(int X, int Y, int W, int H, int SrcX, int SrcY, const uint8_t* SrcBits);
