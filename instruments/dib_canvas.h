// The off-screen drawing surface of an instrument: a DIB section of 8 or 24 bits with its
// palette and an optional background picture, rebuilt lazily when its size changes, drawn into
// by the primitives between DIB_InitDrawing and DIB_DoneDrawing and copied to the screen in one
// block.
#pragma once

#include <QImage>
#include <memory>
#include <string>
#include <vector>

#include "platform/component/component.h"
#include "platform/gdi/dib_section.h"
#include "platform/gdi/palette.h"
#include "stream/mm_error.h"

class TDeviceContext;
class TMMGraphicControl;

class EMMDIBError : public EMMError {
 public:
  using EMMError::EMMError;
};

// Not locked itself: the owner control's canvas lock guards its settings and surfaces, and the
// process-wide drawing lock is held through each drawing pass.
class TMMDIBCanvas {
 public:
  // A 1 x 1 surface of 24 bits. `owner` names the surface in errors; it may be none.
  explicit TMMDIBCanvas(TMMGraphicControl* owner);
  ~TMMDIBCanvas();
  TMMDIBCanvas(const TMMDIBCanvas&) = delete;
  TMMDIBCanvas& operator=(const TMMDIBCanvas&) = delete;

  // Creates the memory device context if there is none and builds the DIB if it must be.
  void CreateHandle();
  // A changed size is stored (negative sizes as 0) and marks the DIB to be rebuilt when next
  // used; the clip rectangle follows it.
  void SetBounds(int left, int top, int width, int height);
  int Width() const { return FWidth; }
  void SetWidth(int value) { SetBounds(0, 0, value, FHeight); }
  int Height() const { return FHeight; }
  void SetHeight(int value) { SetBounds(0, 0, FWidth, value); }
  TRect ClipRect() const { return FClipRect; }

  // 8 or 24; anything else raises "Bitlength not supported yet" and keeps the depth.
  int BitsPerPixel() const { return FBitsPerPixel; }
  void SetBitsPerPixel(int value);
  bool PaletteRealize() const { return FPaletteRealize; }
  void SetPaletteRealize(bool value);
  bool PaletteMapped() const { return FPaletteMapped; }
  void SetPaletteMapped(bool value) { FPaletteMapped = value; }
  // A copy of the picture (a null image for none) becomes the background the DIB is built
  // with: stretched to the surface or, without StretchBackGround, tiled from (0, 0).
  const QImage& BackGroundBitmap() const { return FBackGroundBitmap; }
  void SetBackGroundBitmap(const QImage& picture);
  bool StretchBackGround() const { return FStretchBackGround; }
  void SetStretchBackGround(bool value);
  // Keeps a copy of a palette (version 0x300 or later, at most 256 entries) whose entries 10 on
  // fill the surface palette; none forgets it. Rebuilds the DIB.
  void SetPalette(const TLogPalette* palette);

  // Throws EMMDIBError when drawing (between DIB_InitDrawing and DIB_DoneDrawing): the owner's
  // class name followed by ": Attempt to create new DIB while initialized for drawing".
  void RecreateDIB();
  bool MustRebuild() const { return FMustRebuild; }
  bool Idle() const { return FIdle; }

  // The surface (null before it is built), its header block, the background surface (null
  // without a background) and the surface palette.
  TDIBSection* Surface() { return FDIB.get(); }
  const TDIBSection* Surface() const { return FDIB.get(); }
  const TBitmapInfo256& Header() const { return FHeader; }
  const TDIBSection* BackGround() const { return FBackDIB.get(); }
  const TPalette* Palette() const { return FPalette.get(); }

  // Enters the process-wide drawing lock, rebuilds the DIB if it must be and loads the drawing
  // context of the primitives with this surface.
  void DIB_InitDrawing();
  // Clears the drawing context and leaves the lock. Every DIB_InitDrawing needs its
  // DIB_DoneDrawing, also when drawing fails.
  void DIB_DoneDrawing();
  // Copies the whole surface from (srcX, srcY) to the top-left of `rect` of `target`; nothing
  // without a target or a surface.
  void DIB_BitBlt(TDeviceContext* target, const TRect& rect, int srcX, int srcY);
  // The colour the primitives draw: a colour value (system colours resolved; the nearest
  // palette index at 8 bits), or a raw pixel value.
  void DIB_SetTColor(TColor color);
  void DIB_SetColor(uint32_t value);
  // The pixel value of a colour: the nearest palette index at 8 bits, else its red-green-blue.
  uint32_t DIB_ColorToIndex(TColor color) const;

  // Palette animation of 8-bit surfaces: `count` (0..236) entries just below index 246 get
  // colours of their own and can then be changed without redrawing. Changing the count
  // rebuilds the DIB.
  int AnimatedColors() const { return FAnimatedCount; }
  void SetAnimatedColors(int count);
  // The first animated palette index; 256 when none.
  int FirstAnimatedIndex() const { return FAnimatedCount ? 246 - FAnimatedCount : 256; }
  // Sets animated colour `index` (0 .. count - 1) in the surface's colour table and palette;
  // inside an animation bracket the change waits for the outermost end.
  void SetAnimatedColor(int index, TColor color);
  void BeginAnimation();
  void EndAnimation();

  // Fired by DIB_InitDrawing (before) and DIB_DoneDrawing (after).
  TNotifyEvent OnChanging;
  TNotifyEvent OnChange;

 private:
  void DeleteDIB();
  void CheckIdle() const;
  std::vector<PALETTEENTRY> BuildPalette() const;
  void DrawBackGroundPicture();
  void WriteAnimatedColors(const std::vector<std::pair<int, TColor>>& colors);

  TMMGraphicControl* FOwner;
  // The memory device context: stands for the window system's, which this platform never
  // needs to create (pixels are our own memory); it exists from CreateHandle on.
  bool FMemoryDC = false;
  int FBitsPerPixel = 24;
  std::unique_ptr<TDIBSection> FDIB;
  std::unique_ptr<TDIBSection> FBackDIB;
  TBitmapInfo256 FHeader;
  std::unique_ptr<TPalette> FPalette;
  std::unique_ptr<TLogPalette> FGivenPalette;
  bool FPaletteRealize = false;
  bool FPaletteMapped = false;
  int FWidth = 1;
  int FHeight = 1;
  TRect FClipRect{0, 0, 1, 1};
  QImage FBackGroundBitmap;
  bool FStretchBackGround = true;
  bool FMustRebuild = true;
  bool FIdle = true;
  int FAnimatedCount = 0;
  int FAnimationNesting = 0;
  std::vector<std::pair<int, TColor>> FAnimatedSaved;
};
