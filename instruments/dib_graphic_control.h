// The base of the instruments that draw pixel by pixel: a TMMGraphicControl with a DIB canvas
// sized to its drawing area. A paint runs the whole cycle: bevel, then DIB_InitDrawing, the
// background, the instrument's content through the primitives, one block copy to the control's
// picture, DIB_DoneDrawing. A direct draw (new data, a timer tick) draws the surface the same
// way, and the block copy follows once per display frame. The screen only ever gets finished
// pictures.
#pragma once

#include <QImage>
#include <memory>

#include "instruments/dib_canvas.h"
#include "instruments/graphic_control.h"

class TMMDIBGraphicControl : public TMMGraphicControl {
 public:
  explicit TMMDIBGraphicControl(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMDIBGraphicControl() override;

  // The surface. Its settings may change only with CanvasLock held (the setters here take it).
  TMMDIBCanvas* DIBCanvas() { return FDIBCanvas.get(); }

  // A picture for the background; used when UseBackGroundDIB is on.
  const QImage& BackGroundDIB() const { return FBackGroundDIB; }
  void SetBackGroundDIB(const QImage& picture);
  // Takes effect only with a picture; while the layout loads the value is held until Loaded.
  bool UseBackGroundDIB() const { return FUseBackGroundDIB; }
  void SetUseBackGroundDIB(bool value);
  int Tag2 = 0;
  bool PaletteRealize() const { return FDIBCanvas->PaletteRealize(); }
  void SetPaletteRealize(bool value);
  bool PaletteMapped() const { return FDIBCanvas->PaletteMapped(); }
  void SetPaletteMapped(bool value);
  int BitsPerPixel() const { return FDIBCanvas->BitsPerPixel(); }
  // 8 or 24 (EMMDIBError otherwise, depth kept); repaints.
  virtual void SetBitsPerPixel(int Value);
  // The surface's palette while PaletteRealize is on; none otherwise.
  const TPalette* GetPalette() const;

  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight) override;
  void Loaded() override;

  // Redraws the surface now through DrawDirect (steps 2, 3 and 5 of the paint cycle), for new
  // data or a timer tick; the block copy to the picture (step 4) is made when the next frame
  // is shown. Any thread.
  void DrawSurfaceDirect();

 protected:
  // Between DIB_InitDrawing and DIB_DoneDrawing: copies the background surface onto the
  // surface when both exist, otherwise clears the surface to Color.
  virtual void DrawBackGround();
  // Between DIB_InitDrawing and DIB_DoneDrawing, after DrawBackGround: the instrument's
  // content through the primitives. The base draws nothing.
  virtual void DrawContent() {}
  // Sizes the surface to the drawing area (InnerRect) and repaints.
  void Changed() override;
  // The paint cycle: bevel around the client rectangle, then the surface at InnerRect.
  void Paint() override;
  // Init, background, content, then the copy to Canvas at `area`'s top-left when an area is
  // given, and done.
  void DrawSurface(const TRect* area);
  // The block copy of the surface to the drawing area.
  void PresentOffScreen() override;

 private:
  void BackGroundChanged();

  std::unique_ptr<TMMDIBCanvas> FDIBCanvas;
  QImage FBackGroundDIB;
  bool FUseBackGroundDIB = false;
  bool FLoadedUseBackGroundDIB = false;  // the value held while the layout loads
  TRect FArea;  // the drawing area the surface was sized to; guarded by CanvasLock
};
