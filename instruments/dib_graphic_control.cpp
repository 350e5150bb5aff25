#include "instruments/dib_graphic_control.h"

#include "instruments/dib_primitives.h"
#include "platform/gdi/device_context.h"

TMMDIBGraphicControl::TMMDIBGraphicControl(TComponent* AOwner, QWidget* AParent)
    : TMMGraphicControl(AOwner, AParent), FDIBCanvas(std::make_unique<TMMDIBCanvas>(this)) {}

TMMDIBGraphicControl::~TMMDIBGraphicControl() {
  Destroying();
}

void TMMDIBGraphicControl::SetBackGroundDIB(const QImage& picture) {
  FBackGroundDIB = picture;
  if (!IsLoading()) BackGroundChanged();
}

void TMMDIBGraphicControl::BackGroundChanged() {
  if (Designing()) {
    const bool has = !FBackGroundDIB.isNull();
    SetPaletteRealize(has);
    if (!has) SetPaletteMapped(false);
    SetUseBackGroundDIB(has);
  }
  {
    std::lock_guard lock(CanvasLock());
    FDIBCanvas->SetBackGroundBitmap(FUseBackGroundDIB ? FBackGroundDIB : QImage());
  }
  Invalidate();
}

void TMMDIBGraphicControl::SetUseBackGroundDIB(bool value) {
  if (IsLoading()) {
    FLoadedUseBackGroundDIB = value;
    return;
  }
  if (value == FUseBackGroundDIB) return;
  FUseBackGroundDIB = value;
  const bool effective = value && !FBackGroundDIB.isNull();
  {
    std::lock_guard lock(CanvasLock());
    FDIBCanvas->SetPaletteRealize(effective);
    FDIBCanvas->SetBackGroundBitmap(effective ? FBackGroundDIB : QImage());
  }
  Invalidate();
}

void TMMDIBGraphicControl::SetPaletteRealize(bool value) {
  std::lock_guard lock(CanvasLock());
  FDIBCanvas->SetPaletteRealize(value);
}

void TMMDIBGraphicControl::SetPaletteMapped(bool value) {
  std::lock_guard lock(CanvasLock());
  FDIBCanvas->SetPaletteMapped(value);
}

void TMMDIBGraphicControl::SetBitsPerPixel(int Value) {
  {
    std::lock_guard lock(CanvasLock());
    FDIBCanvas->SetBitsPerPixel(Value);
  }
  Invalidate();
}

const TPalette* TMMDIBGraphicControl::GetPalette() const {
  return FDIBCanvas->PaletteRealize() ? FDIBCanvas->Palette() : nullptr;
}

void TMMDIBGraphicControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  {
    std::lock_guard lock(CanvasLock());
    FDIBCanvas->SetBounds(ALeft, ATop, AWidth, AHeight);
  }
  TMMGraphicControl::SetBounds(ALeft, ATop, AWidth, AHeight);
}

void TMMDIBGraphicControl::Loaded() {
  TMMGraphicControl::Loaded();
  const bool held = FLoadedUseBackGroundDIB;
  FUseBackGroundDIB = !held;  // so the setter sees a change and applies the value
  SetUseBackGroundDIB(held);
}

void TMMDIBGraphicControl::Changed() {
  const TRect inner = InnerRect();
  {
    std::lock_guard lock(CanvasLock());
    FArea = inner;
    FDIBCanvas->SetBounds(0, 0, inner.Width(), inner.Height());
  }
  Invalidate();
}

void TMMDIBGraphicControl::DrawBackGround() {
  const TDIBSection* back = FDIBCanvas->BackGround();
  const TDIBSection* surface = FDIBCanvas->Surface();
  if (surface && back && back->SizeInBytes() == surface->SizeInBytes()) {
    DIB_CopyRect(0, 0, FDIBCanvas->Width(), FDIBCanvas->Height(), 0, 0, back->Bits());
    return;
  }
  FDIBCanvas->DIB_SetTColor(Color());
  DIB_Clear();
}

void TMMDIBGraphicControl::DrawSurface(const TRect* area) {
  FDIBCanvas->DIB_InitDrawing();
  try {
    DrawBackGround();
    DrawContent();
    if (area) FDIBCanvas->DIB_BitBlt(Canvas(), *area, 0, 0);
  } catch (...) {
    FDIBCanvas->DIB_DoneDrawing();
    throw;
  }
  FDIBCanvas->DIB_DoneDrawing();
}

void TMMDIBGraphicControl::Paint() {
  const TRect inner = Bevel()->PaintBevel(*Canvas(), ClientRect(), true);
  DrawSurface(&inner);
}

void TMMDIBGraphicControl::DrawSurfaceDirect() {
  DrawDirect(
      false,
      [this](void*, bool) {
        DrawSurface(nullptr);
        OffScreenChanged();
      },
      nullptr);
}

void TMMDIBGraphicControl::PresentOffScreen() {
  FDIBCanvas->DIB_BitBlt(Canvas(), FArea, 0, 0);
}
