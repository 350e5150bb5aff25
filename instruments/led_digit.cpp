#include "instruments/led_digit.h"

#include <QPalette>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "instruments/bevelled_widget.h"
#include "platform/gdi/device_context.h"
#include "resources/skin.h"

namespace {

TDigitCache* gDigitCache = nullptr;  // main thread

// The stored strip of this name: width and height as 16-bit little-endian numbers, then blue,
// green, red and alpha bytes per pixel, bottom row first. Empty when there is none.
std::span<const uint8_t> StoredStrip(const char* Name) {
  for (const TSkinImage& image : SkinLEDStrips())
    if (std::string_view(image.DisplayName) == Name) return image.Data;
  return {};
}

}  // namespace

namespace {

// What each pixel of a stored strip is, top row first: 0 lit (white), 1 background (black),
// 2 unlit segment (silver), 3 anything else (drawn black). Worked out once per stored strip, so
// that recolouring a strip is a table look-up per pixel.
enum : uint8_t { kLit, kBackground, kUnlit, kOther };

const std::vector<uint8_t>& PixelKinds(std::span<const uint8_t> data, int width, int height) {
  static std::map<const uint8_t*, std::vector<uint8_t>> kinds;  // main thread
  std::vector<uint8_t>& result = kinds[data.data()];
  if (!result.empty()) return result;
  result.resize(size_t(width) * size_t(height));
  uint8_t* out = result.data();
  for (int y = 0; y < height; ++y) {
    // Stored rows run from the bottom up, like the surface's.
    const uint8_t* in = data.data() + 4 + size_t(height - 1 - y) * size_t(width) * 4;
    for (int x = 0; x < width; ++x, in += 4) {
      const TColor source = RGB(in[2], in[1], in[0]);
      *out++ = source == clWhite    ? kLit
               : source == clBlack  ? kBackground
               : source == clSilver ? kUnlit
                                    : kOther;
    }
  }
  return result;
}

}  // namespace

std::unique_ptr<TDIBSection> LoadLEDStrip(TMMLEDType DisplayType, TMMLEDSize DigitSize,
                                          TColor Color, TColor InactiveColor, TColor LEDColor,
                                          bool DrawInactive) {
  const TMMLEDStrip& strip = LEDStrip(DigitSize);
  const std::span<const uint8_t> data =
      StoredStrip(DisplayType == ltDigit ? strip.DigitName : strip.SignName);
  if (data.size() < 4) return nullptr;
  const int width = data[0] | (data[1] << 8);
  const int height = data[2] | (data[3] << 8);
  const int cells = LEDCellCount(DisplayType);
  if (width < cells || height < 1 || width % cells != 0 ||
      data.size() != 4 + size_t(width) * size_t(height) * 4)
    return nullptr;

  TBitmapInfo256 info;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biBitCount = 24;
  auto result = std::make_unique<TDIBSection>(info);
  const TColor background = ColorToRGB(Color);
  const TColor colors[4] = {ColorToRGB(LEDColor), background,
                            DrawInactive ? ColorToRGB(InactiveColor) : background, clBlack};
  uint8_t bgr[4][3];
  for (int i = 0; i < 4; ++i) {
    bgr[i][0] = GetBValue(colors[i]);
    bgr[i][1] = GetGValue(colors[i]);
    bgr[i][2] = GetRValue(colors[i]);
  }
  const uint8_t* kind = PixelKinds(data, width, height).data();
  for (int y = 0; y < height; ++y) {
    uint8_t* out = result->Row(y);
    for (int x = 0; x < width; ++x, out += 3) std::memcpy(out, bgr[*kind++], 3);
  }
  return result;
}

// ---- TDigitCache ----

TDigitCache* TDigitCache::Instance() {
  return gDigitCache;
}

void TDigitCache::Create() {
  if (!gDigitCache) gDigitCache = new TDigitCache;
}

void TDigitCache::DestroyIfEmpty() {
  if (gDigitCache && gDigitCache->IsEmpty()) {
    delete gDigitCache;
    gDigitCache = nullptr;
  }
}

const TDIBSection* TDigitCache::AcquireStrip(TMMLEDType DisplayType, TMMLEDSize DigitSize,
                                             TColor Color, TColor InactiveColor, TColor LEDColor,
                                             bool DrawInactive) {
  for (const auto& entry : FEntries) {
    if (entry->DisplayType == DisplayType && entry->DigitSize == DigitSize &&
        entry->DrawInactive == DrawInactive && entry->Color == Color &&
        entry->LEDColor == LEDColor && entry->InactiveColor == InactiveColor) {
      ++entry->RefCount;
      return entry->Strip.get();
    }
  }
  std::unique_ptr<TDIBSection> strip =
      LoadLEDStrip(DisplayType, DigitSize, Color, InactiveColor, LEDColor, DrawInactive);
  if (!strip) return nullptr;
  auto entry = std::make_unique<TEntry>(TEntry{std::move(strip), DisplayType, DigitSize,
                                               DrawInactive, Color, LEDColor, InactiveColor, 1});
  const TDIBSection* result = entry->Strip.get();
  FEntries.push_back(std::move(entry));
  return result;
}

void TDigitCache::ReleaseStrip(const TDIBSection*& Strip) {
  if (!Strip || FEntries.empty()) return;
  for (auto it = FEntries.begin(); it != FEntries.end(); ++it) {
    if ((*it)->Strip.get() != Strip) continue;
    if (--(*it)->RefCount == 0) {
      FEntries.erase(it);
      Strip = nullptr;
    }
    return;
  }
}

// ---- TMMCustomLEDDigit ----

TMMCustomLEDDigit::TMMCustomLEDDigit(TComponent* AOwner, QWidget* AParent)
    : TMMGraphicControl(AOwner, AParent) {
  TDigitCache::Create();
  // The glyph covers the whole control; there is no frame.
  Bevel()->SetBevelOuter(bvNone);
  SetBounds(0, 0, 11, 21);
  FConstructing = false;
  ParentColorChanged();
  UpdateStrip();
}

TMMCustomLEDDigit::~TMMCustomLEDDigit() {
  Destroying();
  if (TDigitCache* cache = TDigitCache::Instance()) {
    // The digit lets go of its strip whatever the count says.
    cache->ReleaseStrip(FStrip);
    FStrip = nullptr;
  }
  TDigitCache::DestroyIfEmpty();
}

void TMMCustomLEDDigit::UpdateStrip() {
  // While the digit or the panel that owns it takes its settings, the strip waits for Loaded.
  if (FConstructing || IsLoading() || (Owner() && Owner()->IsLoading())) return;
  TDigitCache* cache = TDigitCache::Instance();
  if (!cache) return;
  const TDIBSection* previous = FStrip;
  FStrip = cache->AcquireStrip(FDisplayType, FDigitSize, Color(), FInactiveColor, FLEDColor,
                               FDrawInactive);
  // Released after the new one is taken, so a strip that stays is not loaded again.
  cache->ReleaseStrip(previous);
  SetBounds(x(), y(), width(), height());
  Invalidate();
}

void TMMCustomLEDDigit::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  if (FStrip) {
    AWidth = FStrip->Width() / LEDCellCount(FDisplayType);
    AHeight = FStrip->Height();
  }
  TMMGraphicControl::SetBounds(ALeft, ATop, AWidth, AHeight);
}

int TMMCustomLEDDigit::CellIndex() const {
  return LEDCellIndex(FDisplayType, FValue, FEnabled, FZeroBlank);
}

void TMMCustomLEDDigit::DrawCell() {
  TDeviceContext& canvas = *Canvas();
  if (!FStrip) {
    canvas.FillRect(ClientRect(), Color());
    return;
  }
  const int w = width(), h = height();
  canvas.BitBlt(0, 0, w, h, *FStrip, CellIndex() * w, 0);
}

void TMMCustomLEDDigit::Paint() {
  DrawCell();
}

void TMMCustomLEDDigit::PaintNow() {
  if (isVisible() && parentWidget())
    DrawDirect(
        false, [this](void*, bool) { DrawCell(); }, nullptr);
  else
    Invalidate();
}

void TMMCustomLEDDigit::SetValue(int Value) {
  // A chain that loops back is passed along once.
  if (FCascading) return;
  if (FCascadeValues && FConnect) {
    FCascading = true;
    FConnect->SetValue(LEDDigitShare(Value).Carry);
    FCascading = false;
  }
  const int digit = LEDDigitShare(Value).Digit;
  if (digit != FValue && digit >= FMinValue && digit <= FMaxValue) {
    FValue = digit;
    PaintNow();
  }
}

void TMMCustomLEDDigit::SetMinValue(int Value) {
  if (Value < 0 || Value > 9 || Value == FMinValue) return;
  FMinValue = Value;
  if (FValue < FMinValue) FValue = FMinValue;
  Invalidate();
}

void TMMCustomLEDDigit::SetMaxValue(int Value) {
  if (Value < 0 || Value > 9 || Value == FMaxValue) return;
  FMaxValue = Value;
  if (FValue > FMaxValue) FValue = FMaxValue;
  Invalidate();
}

void TMMCustomLEDDigit::SetDrawInactive(bool Value) {
  if (Value == FDrawInactive) return;
  FDrawInactive = Value;
  UpdateStrip();
}

void TMMCustomLEDDigit::SetZeroBlank(bool Value) {
  if (Value == FZeroBlank) return;
  FZeroBlank = Value;
  Invalidate();
}

void TMMCustomLEDDigit::SetInactiveColor(TColor Value) {
  if (Value == FInactiveColor) return;
  FInactiveColor = Value;
  UpdateStrip();
}

void TMMCustomLEDDigit::SetLEDColor(TColor Value) {
  if (Value == FLEDColor) return;
  FLEDColor = Value;
  UpdateStrip();
}

void TMMCustomLEDDigit::SetDigitSize(TMMLEDSize Value) {
  if (int(Value) < 0 || int(Value) >= kLEDSizeCount || Value == FDigitSize) return;
  FDigitSize = Value;
  UpdateStrip();
}

void TMMCustomLEDDigit::SetDisplayType(TMMLEDType Value) {
  if (int(Value) < ltDigit || int(Value) > ltMinus || Value == FDisplayType) return;
  FDisplayType = Value;
  UpdateStrip();
}

void TMMCustomLEDDigit::SetConnect(TMMCustomLEDDigit* Value) {
  if (Value == this || Value == FConnect) return;
  if (FConnect) RemoveFreeNotification(FConnect);
  FConnect = Value;
  if (FConnect) FreeNotification(FConnect);
}

void TMMCustomLEDDigit::Notification(TComponent* AComponent, TOperation Operation) {
  TMMGraphicControl::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent == FConnect) FConnect = nullptr;
}

void TMMCustomLEDDigit::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  setEnabled(Value);
  Invalidate();
}

void TMMCustomLEDDigit::ApplyColor(TColor Value) {
  if (Value == Color()) return;
  TMMGraphicControl::SetColor(Value);
  UpdateStrip();
}

void TMMCustomLEDDigit::SetColor(TColor Value) {
  FParentColor = false;
  ApplyColor(Value);
}

void TMMCustomLEDDigit::SetParentColor(bool Value) {
  if (Value == FParentColor) return;
  FParentColor = Value;
  ParentColorChanged();
}

void TMMCustomLEDDigit::ParentColorChanged() {
  if (!FParentColor) return;
  const QWidget* parent = parentWidget();
  if (!parent) return;
  if (const auto* panel = dynamic_cast<const TMMBevelledWidget*>(parent))
    ApplyColor(panel->Color());
  else if (const auto* control = dynamic_cast<const TMMGraphicControl*>(parent))
    ApplyColor(control->Color());
  else {
    const QColor c = parent->palette().color(QPalette::Window);
    ApplyColor(RGB(uint8_t(c.red()), uint8_t(c.green()), uint8_t(c.blue())));
  }
}

void TMMCustomLEDDigit::Loaded() {
  TMMGraphicControl::Loaded();
  UpdateStrip();
}
