#include "instruments/dib_canvas.h"

#include <algorithm>
#include <set>

#include "instruments/dib_primitives.h"
#include "instruments/graphic_control.h"
#include "platform/gdi/device_context.h"

namespace {

const char* const kBitLength = "Bitlength not supported yet";
const char* const kRebuildWhileDrawing =
    ": Attempt to create new DIB while initialized for drawing";
const char* const kAnimatedCount = "Invalid count of animated colors";
const char* const kAnimatedIndex = "Invalidate animated color index";
const char* const kGetEntries = "Get palette entries failed";
const char* const kSetEntries = "Set palette entries failed";
const char* const kAnimate = "Animation of palette entries failed";

PALETTEENTRY Entry(QRgb rgb) {
  return PALETTEENTRY{uint8_t(qRed(rgb)), uint8_t(qGreen(rgb)), uint8_t(qBlue(rgb)), 0};
}

}  // namespace

TMMDIBCanvas::TMMDIBCanvas(TMMGraphicControl* owner) : FOwner(owner) {
  CreateHandle();
}

TMMDIBCanvas::~TMMDIBCanvas() {
  DeleteDIB();
}

void TMMDIBCanvas::CreateHandle() {
  // Pixels are plain memory on this platform, so the memory context is never refused (the
  // window system's refusal would read "Unable to access DIB device context").
  if (!FMemoryDC) {
    FMemoryDC = true;
    FMustRebuild = true;
  }
  if (FMustRebuild) RecreateDIB();
}

void TMMDIBCanvas::SetBounds(int /*left*/, int /*top*/, int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == FWidth && height == FHeight) return;
  FWidth = width;
  FHeight = height;
  FClipRect = Rect(0, 0, width, height);
  FMustRebuild = true;
}

void TMMDIBCanvas::SetBitsPerPixel(int value) {
  if (value != 8 && value != 24) throw EMMDIBError(kBitLength);
  if (value == FBitsPerPixel) return;
  CheckIdle();
  FBitsPerPixel = value;
  RecreateDIB();
}

void TMMDIBCanvas::SetPaletteRealize(bool value) {
  if (value == FPaletteRealize) return;
  CheckIdle();
  FPaletteRealize = value;
  RecreateDIB();
}

void TMMDIBCanvas::SetBackGroundBitmap(const QImage& picture) {
  if (&picture == &FBackGroundBitmap) return;
  CheckIdle();
  FBackGroundBitmap = picture;
  RecreateDIB();
}

void TMMDIBCanvas::SetStretchBackGround(bool value) {
  if (value == FStretchBackGround) return;
  CheckIdle();
  FStretchBackGround = value;
  if (!FBackGroundBitmap.isNull()) RecreateDIB();
}

void TMMDIBCanvas::SetPalette(const TLogPalette* palette) {
  CheckIdle();
  FGivenPalette.reset();
  if (palette && palette->palVersion >= 0x300 && palette->palPalEntry.size() < 257)
    FGivenPalette = std::make_unique<TLogPalette>(*palette);
  RecreateDIB();
}

void TMMDIBCanvas::CheckIdle() const {
  if (FIdle) return;
  const std::string owner = FOwner ? FOwner->ClassName() : std::string("TMMDIBCanvas");
  throw EMMDIBError(owner + kRebuildWhileDrawing);
}

void TMMDIBCanvas::DeleteDIB() {
  FBackDIB.reset();
  FDIB.reset();
  FPalette.reset();
  FHeader = TBitmapInfo256();
}

std::vector<PALETTEENTRY> TMMDIBCanvas::BuildPalette() const {
  std::vector<PALETTEENTRY> entries(256);
  for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9})
    entries[size_t(i)] = SystemPaletteEntry(i),
    entries[size_t(i + 246)] = SystemPaletteEntry(i + 246);
  if (!FBackGroundBitmap.isNull()) {
    const QList<QRgb> table = FBackGroundBitmap.colorTable();
    for (int i = 10; i <= 244 && i < table.size(); ++i) entries[size_t(i)] = Entry(table[i]);
  } else if (FGivenPalette) {
    const auto& given = FGivenPalette->palPalEntry;
    for (int i = 10; i <= 245 && i < int(given.size()); ++i) {
      entries[size_t(i)] = given[size_t(i)];
      entries[size_t(i)].peFlags = 0;
    }
  }
  const int first = FirstAnimatedIndex();
  for (int i = 10; i < std::min(first, 246); ++i) entries[size_t(i)].peFlags = PC_NOCOLLAPSE;
  if (FAnimatedCount > 0) {
    // Animated entries get colours no other entry has, so drawing in them never matches a
    // fixed colour.
    std::set<uint32_t> used;
    for (int i = 0; i < 256; ++i)
      if (i < first || i >= 246)
        used.insert(
            RGB(entries[size_t(i)].peRed, entries[size_t(i)].peGreen, entries[size_t(i)].peBlue));
    uint32_t candidate = 1;
    for (int i = first; i < 246; ++i) {
      while (used.count(candidate)) ++candidate;
      entries[size_t(i)] =
          PALETTEENTRY{GetRValue(candidate), GetGValue(candidate), GetBValue(candidate), 0};
      used.insert(candidate);
    }
  }
  return entries;
}

void TMMDIBCanvas::DrawBackGroundPicture() {
  // The picture at the surface's size, pixel for pixel without smoothing (source pixel
  // x * width / Width when stretched, x modulo width when tiled), then written into the
  // background surface (at 8 bits as the nearest palette entries).
  const int w = FHeader.bmiHeader.biWidth, h = FHeader.bmiHeader.biHeight;
  const QImage picture = FBackGroundBitmap.convertToFormat(QImage::Format_RGB32);
  const int pw = picture.width(), ph = picture.height();
  QImage canvas(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y) {
    const int sy = FStretchBackGround ? int((long long)y * ph / h) : y % ph;
    const auto* in = reinterpret_cast<const QRgb*>(picture.constScanLine(sy));
    auto* out = reinterpret_cast<QRgb*>(canvas.scanLine(y));
    for (int x = 0; x < w; ++x)
      out[x] = in[FStretchBackGround ? int((long long)x * pw / w) : x % pw];
  }
  FBackDIB->Assign(canvas);
}

void TMMDIBCanvas::RecreateDIB() {
  CheckIdle();
  DeleteDIB();
  if (!FMemoryDC) return;
  BITMAPINFOHEADER& header = FHeader.bmiHeader;
  header.biWidth = std::max(FWidth, 1);
  header.biHeight = std::max(FHeight, 1);
  header.biBitCount = uint16_t(FBitsPerPixel);
  header.biClrUsed = FBitsPerPixel == 8 ? 256 : 0;
  header.biSizeImage = uint32_t(DIBStride(header.biWidth, FBitsPerPixel) * header.biHeight);
  const std::vector<PALETTEENTRY> entries = BuildPalette();
  for (size_t i = 0; i < 256; ++i)
    FHeader.bmiColors[i] = RGBQUAD{entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
  FPalette = std::make_unique<TPalette>(entries);
  if (!FBackGroundBitmap.isNull()) {
    FBackDIB = std::make_unique<TDIBSection>(FHeader);
    DrawBackGroundPicture();
  }
  // A new surface is all zero bytes: black at 24 bits, palette entry 0 (black) at 8.
  FDIB = std::make_unique<TDIBSection>(FHeader);
  FMustRebuild = false;
}

void TMMDIBCanvas::DIB_InitDrawing() {
  DIBDrawingLock().lock();
  try {
    if (OnChanging) OnChanging(nullptr);
    if (FMustRebuild || !FDIB) CreateHandle();
  } catch (...) {
    DIBDrawingLock().unlock();
    throw;
  }
  TDIBDrawContext& c = DIBDrawContext;
  c.PenX = c.PenY = 0;
  c.BitsPerPixel = FBitsPerPixel;
  c.BytesPerPixel = FBitsPerPixel / 8;
  c.Width = FWidth;
  c.Height = FDIB->Height();
  c.Stride = FDIB->Stride();
  c.RowStep = -c.Stride;
  c.Bits = FDIB->Bits();
  c.ClipLeft = FClipRect.Left;
  c.ClipTop = FClipRect.Top;
  c.ClipRight = FClipRect.Right;
  c.ClipBottom = FClipRect.Bottom;
  FIdle = false;
}

void TMMDIBCanvas::DIB_DoneDrawing() {
  TDIBDrawContext& c = DIBDrawContext;
  c.PenX = c.PenY = 0;
  c.Width = c.Height = c.Stride = c.RowStep = 0;
  c.Bits = nullptr;
  FIdle = true;
  try {
    if (OnChange) OnChange(nullptr);
  } catch (...) {
    DIBDrawingLock().unlock();
    throw;
  }
  DIBDrawingLock().unlock();
}

void TMMDIBCanvas::DIB_BitBlt(TDeviceContext* target, const TRect& rect, int srcX, int srcY) {
  if (!FMemoryDC || !target || !FDIB) return;
  const TPalette* previous = nullptr;
  if (FPaletteRealize) {
    previous = target->SelectPalette(FPalette.get(), !FPaletteMapped);
    target->RealizePalette();
  }
  target->BitBlt(rect.Left, rect.Top, FWidth, FHeight, *FDIB, srcX, srcY);
  if (FPaletteRealize) {
    target->SelectPalette(previous, true);
    target->RealizePalette();
  }
}

uint32_t TMMDIBCanvas::DIB_ColorToIndex(TColor color) const {
  if (FBitsPerPixel <= 8) return FPalette ? uint32_t(FPalette->NearestIndex(color)) : 0;
  return ColorToRGB(color);
}

void TMMDIBCanvas::DIB_SetTColor(TColor color) {
  if (FBitsPerPixel <= 8) {
    DIB_SetColor(DIB_ColorToIndex(color));
    return;
  }
  DIBDrawContext.Color = ColorToRGB(color);
}

void TMMDIBCanvas::DIB_SetColor(uint32_t value) {
  if (FBitsPerPixel <= 8) value = (value & 0xFF) * 0x01010101u;
  DIBDrawContext.Color = value;
}

void TMMDIBCanvas::SetAnimatedColors(int count) {
  if (count < 0 || count > 236) throw EMMDIBError(kAnimatedCount);
  if (count == FAnimatedCount) return;
  CheckIdle();
  FAnimatedCount = count;
  FAnimatedSaved.clear();
  RecreateDIB();
}

void TMMDIBCanvas::SetAnimatedColor(int index, TColor color) {
  if (index < 0 || index >= FAnimatedCount) throw EMMDIBError(kAnimatedIndex);
  if (FAnimationNesting > 0) {
    FAnimatedSaved.emplace_back(index, color);
    return;
  }
  WriteAnimatedColors({{index, color}});
}

void TMMDIBCanvas::BeginAnimation() {
  ++FAnimationNesting;
}

void TMMDIBCanvas::EndAnimation() {
  if (FAnimationNesting == 0) return;
  if (--FAnimationNesting > 0) return;
  std::vector<std::pair<int, TColor>> colors;
  colors.swap(FAnimatedSaved);
  if (!colors.empty()) WriteAnimatedColors(colors);
}

void TMMDIBCanvas::WriteAnimatedColors(const std::vector<std::pair<int, TColor>>& colors) {
  std::array<PALETTEENTRY, 256> entries;
  if (!FDIB || !FPalette || FPalette->GetEntries(0, 256, entries.data()) != 256)
    throw EMMDIBError(kGetEntries);
  std::array<RGBQUAD, 256> table = FDIB->ColorTable();
  const int first = FirstAnimatedIndex();
  for (const auto& [index, color] : colors) {
    const TColor rgb = ColorToRGB(color);
    const size_t at = size_t(first + index);
    entries[at] = PALETTEENTRY{GetRValue(rgb), GetGValue(rgb), GetBValue(rgb), entries[at].peFlags};
    table[at] = RGBQUAD{GetBValue(rgb), GetGValue(rgb), GetRValue(rgb), 0};
  }
  if (FDIB->SetColorTable(0, 256, table.data()) != 256) throw EMMDIBError(kSetEntries);
  if (FPalette->SetEntries(0, 256, entries.data()) != 256) throw EMMDIBError(kAnimate);
  FHeader.bmiColors = table;
}
