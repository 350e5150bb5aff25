#include "instruments/level_bar.h"

#include <QEvent>
#include <QMouseEvent>
#include <algorithm>
#include <cstring>
#include <mutex>

#include "instruments/dib_primitives.h"
#include "instruments/display_timer.h"

TMMLevel::TMMLevel(TComponent* AOwner, QWidget* AParent) : TMMDIBGraphicControl(AOwner, AParent) {
  FLaw.OnChange = [this] { LawChanged(); };
  FLaw.OnGainOverflow = [this] {
    if (OnGainOverflow) OnGainOverflow(this);
  };
  FLaw.OnPcmOverflow = [this] {
    if (OnPcmOverflow) OnPcmOverflow(this);
  };
  SetColor(clBlack);
  SetBounds(0, 0, 200, 17);
  FTick.Add(true);
  UpdateTimerState();
}

TMMLevel::~TMMLevel() {
  Destroying();
  // A tick that is running is waited for; none comes after.
  FTick.Remove();
}

void TMMLevel::UpdateTimerState() {
  FTick.SetSuspended(FLaw.GetNumPeaks() == 0 || !FEnabled);
}

void TMMLevel::SetDesigning(bool Value) {
  TMMDIBGraphicControl::SetDesigning(Value);
  // A form designer shows a sample count and runs no peak hold.
  if (Value) {
    FTick.Remove();
  } else {
    FTick.Add(true);
    UpdateTimerState();
  }
  FDemonstration = Value;
  ResetData();
}

// ---- The data hand-over ----

void TMMLevel::SetPWaveFormat(const WAVEFORMATEX* Format) {
  std::lock_guard lock(CanvasLock());
  FLaw.SetPWaveFormat(Format);
}

int32_t TMMLevel::GetNumBytes() const {
  std::lock_guard lock(const_cast<TMMLevel*>(this)->CanvasLock());
  return FLaw.GetNumBytes();
}

void TMMLevel::RefreshPCMData(const void* Data) {
  if (!FEnabled || !FVisible) return;
  std::lock_guard lock(CanvasLock());
  FLaw.RefreshPCMData(Data);
}

void TMMLevel::UpdateValue(int64_t Level) {
  std::lock_guard lock(CanvasLock());
  FLaw.UpdateValue(Level);
}

void TMMLevel::ResetData() {
  {
    std::lock_guard lock(CanvasLock());
    FLaw.ResetData();
  }
  Invalidate();
}

void TMMLevel::LawChanged() {
  // Called by the law with CanvasLock held; the direct draw takes it again (it is recursive).
  if (!FEnabled || FDemonstration) return;
  const int count = FLaw.GetCount(), peak = FLaw.GetPeak();
  if (!FShownValid || !UnlitImageFits()) {
    DrawSurfaceDirect();
    return;
  }
  if (count == FShownCount && peak == FShownPeak) return;  // the surface shows this already
  DrawDirect(
      false,
      [this, count, peak](void*, bool) {
        TMMDIBCanvas* canvas = DIBCanvas();
        canvas->DIB_InitDrawing();
        try {
          DrawChangedSpots(count, peak);
          DrawClipMark();
        } catch (...) {
          canvas->DIB_DoneDrawing();
          throw;
        }
        canvas->DIB_DoneDrawing();
        OffScreenChanged();
      },
      nullptr);
}

int TMMLevel::GetValue() {
  std::lock_guard lock(CanvasLock());
  return FLaw.GetValue();
}

void TMMLevel::SetValue(int Value) {
  std::lock_guard lock(CanvasLock());
  FLaw.SetValue(Value);
}

int TMMLevel::GetPeakPercent() const {
  return FLaw.GetPeakPercent();
}

int TMMLevel::GetCount() {
  std::lock_guard lock(CanvasLock());
  return FLaw.GetCount();
}

TMMSpotLayout TMMLevel::GetLayout() {
  std::lock_guard lock(CanvasLock());
  return FLaw.GetLayout();
}

// ---- The clip mark ----

bool TMMLevel::GetClipped() {
  std::lock_guard lock(CanvasLock());
  return FClipped;
}

void TMMLevel::SetClipped(bool Value) {
  {
    std::lock_guard lock(CanvasLock());
    if (Value == FClipped) return;
    FClipped = Value;
  }
  Invalidate();
}

void TMMLevel::SetClipColor(TColor Value) {
  {
    std::lock_guard lock(CanvasLock());
    FClipColor = Value;
  }
  Invalidate();
}

void TMMLevel::SetClipSpots(int Value) {
  {
    std::lock_guard lock(CanvasLock());
    FClipSpots = std::max(Value, 1);
  }
  Invalidate();
}

void TMMLevel::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !GetClipped()) {
    TMMDIBGraphicControl::mousePressEvent(event);
    return;
  }
  event->accept();
  SetClipped(false);
  if (OnClipClick) OnClipClick(this);
}

// ---- Settings ----

namespace {

// Runs `change` on the law with the canvas lock held.
template <typename Change>
void Locked(std::recursive_mutex& lock, Change change) {
  std::lock_guard guard(lock);
  change();
}

}  // namespace

void TMMLevel::UnlitChanged() {
  {
    std::lock_guard lock(CanvasLock());
    FUnlitValid = false;
  }
  Invalidate();
}

void TMMLevel::UpdateBarLength() {
  const TRect inner = InnerRect();
  const int length = FKind == lkHorizontal ? inner.Width() : inner.Height();
  Locked(CanvasLock(), [&] {
    FLaw.SetBarLength(length);
    FLaw.ResetData();
  });
  UnlitChanged();
}

void TMMLevel::Changed() {
  TMMDIBGraphicControl::Changed();
  UpdateBarLength();
}

void TMMLevel::SetKind(TMMLevelKind Value) {
  if (Value == FKind) return;
  Locked(CanvasLock(), [&] { FKind = Value; });
  UpdateBarLength();
}

void TMMLevel::SetSpotSpace(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetSpotSpace(Value); });
  UnlitChanged();
}

void TMMLevel::SetSpotWidth(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetSpotWidth(Value); });
  UnlitChanged();
}

void TMMLevel::SetPoint1(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetPoint1(Value); });
  UnlitChanged();
}

void TMMLevel::SetPoint2(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetPoint2(Value); });
  UnlitChanged();
}

void TMMLevel::SetBarColor(int Zone, TColor Value) {
  Locked(CanvasLock(), [&] { FBarColor[ZoneIndex(Zone)] = Value; });
  Invalidate();
}

void TMMLevel::SetInactiveColor(int Zone, TColor Value) {
  Locked(CanvasLock(), [&] { FInactiveColor[ZoneIndex(Zone)] = Value; });
  UnlitChanged();
}

void TMMLevel::SetActiveDoted(bool Value) {
  Locked(CanvasLock(), [&] { FActiveDoted = Value; });
  Invalidate();
}

void TMMLevel::SetInactiveDoted(bool Value) {
  Locked(CanvasLock(), [&] { FInactiveDoted = Value; });
  UnlitChanged();
}

void TMMLevel::SetDirection(TMMLevelDirection Value) {
  Locked(CanvasLock(), [&] { FLaw.SetDirection(Value); });
  UnlitChanged();
}

void TMMLevel::SetInvert(bool Value) {
  Locked(CanvasLock(), [&] { FLaw.SetInvert(Value); });
  Invalidate();
}

void TMMLevel::SetBitLength(TMMBits Value) {
  Locked(CanvasLock(), [&] { FLaw.SetBitLength(Value); });
}

void TMMLevel::SetChannel(TMMChannel Value) {
  Locked(CanvasLock(), [&] { FLaw.SetChannel(Value); });
}

void TMMLevel::SetMode(TMMMode Value) {
  Locked(CanvasLock(), [&] { FLaw.SetMode(Value); });
}

void TMMLevel::SetGain(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetGain(Value); });
}

void TMMLevel::SetSamples(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetSamples(Value); });
}

void TMMLevel::SetSensitivy(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetSensitivy(Value); });
}

void TMMLevel::SetLogAmp(bool Value) {
  Locked(CanvasLock(), [&] { FLaw.SetLogAmp(Value); });
}

void TMMLevel::SetNumPeaks(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetNumPeaks(Value); });
  UpdateTimerState();
  Invalidate();
}

void TMMLevel::SetPeakDelay(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetPeakDelay(Value); });
}

void TMMLevel::SetPeakSpeed(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetPeakSpeed(Value); });
}

void TMMLevel::SetDecayMode(TMMDecayMode Value) {
  Locked(CanvasLock(), [&] { FLaw.SetDecayMode(Value); });
}

void TMMLevel::SetDecay(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetDecay(Value); });
}

void TMMLevel::SetDCOffsetL(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetDCOffsetL(Value); });
}

void TMMLevel::SetDCOffsetR(int Value) {
  Locked(CanvasLock(), [&] { FLaw.SetDCOffsetR(Value); });
}

void TMMLevel::SetBitsPerPixel(int Value) {
  TMMDIBGraphicControl::SetBitsPerPixel(Value);
  UnlitChanged();
}

void TMMLevel::changeEvent(QEvent* event) {
  TMMDIBGraphicControl::changeEvent(event);
  if (event->type() != QEvent::EnabledChange) return;
  const bool enabled = isEnabled();
  if (enabled == FEnabled) return;
  FEnabled = enabled;
  // Disabled, only the unlit bar shows; enabled again, the bar starts from an empty layout.
  Locked(CanvasLock(), [&] {
    if (enabled)
      FLaw.RecomputeLayout();
    else
      FLaw.ResetData();
  });
  UpdateTimerState();
  Invalidate();
}

void TMMLevel::showEvent(QShowEvent* event) {
  TMMDIBGraphicControl::showEvent(event);
  Invalidate();
}

void TMMLevel::setVisible(bool visible) {
  TMMDIBGraphicControl::setVisible(visible);
  FVisible = visible;
}

// ---- Drawing (CanvasLock and the drawing lock held) ----

TRect TMMLevel::SpotRect(int Index) const {
  const TMMSpotLayout& layout = FLaw.GetLayout();
  const TMMDIBCanvas* canvas = const_cast<TMMLevel*>(this)->DIBCanvas();
  const int w = canvas->Width(), h = canvas->Height();
  const int start = SpotStart(layout, Index);
  const int size = layout.SpotWidth;
  const bool normal = FLaw.GetDirection() == dirNormal;
  if (FKind == lkHorizontal)
    return normal ? Rect(start, 0, start + size, h) : Rect(w - start - size, 0, w - start, h);
  return normal ? Rect(0, h - start - size, w, h - start) : Rect(0, start, w, start + size);
}

void TMMLevel::DrawClipMark() {
  if (!FClipped) return;
  const int spots = FLaw.GetLayout().Count;
  TMMDIBCanvas* canvas = DIBCanvas();
  canvas->DIB_SetTColor(FClipColor);
  // Lit spots like the level's own, solid, over the last ones of the bar.
  for (int i = std::max(spots - FClipSpots + 1, 1); i <= spots; ++i)
    DIB_FillRectDoted(SpotRect(i), false);
}

void TMMLevel::DrawSpots(int First, int Last, bool Lit, int Zone) {
  const TMMSpotLayout& layout = FLaw.GetLayout();
  First = std::max(First, 1);
  Last = std::min(Last, layout.Count);
  if (First > Last) return;
  const TColor* colors = Lit ? FBarColor : FInactiveColor;
  const bool doted = Lit ? FActiveDoted : FInactiveDoted;
  TMMDIBCanvas* canvas = DIBCanvas();
  // Consecutive spots lie one step apart, along the bar away from its start.
  const int step = layout.SpotWidth + layout.SpotSpace;
  const bool normal = FLaw.GetDirection() == dirNormal;
  const int dx = FKind == lkHorizontal ? (normal ? step : -step) : 0;
  const int dy = FKind == lkHorizontal ? 0 : (normal ? -step : step);
  TRect r = SpotRect(First);
  int current = -1;
  for (int i = First; i <= Last; ++i) {
    const int zone = Zone >= 1 && Zone <= 3 ? Zone : SpotZone(layout, i);
    if (zone != current) {
      canvas->DIB_SetTColor(colors[zone - 1]);
      current = zone;
    }
    DIB_FillRectDoted(r, doted);
    r = Rect(r.Left + dx, r.Top + dy, r.Right + dx, r.Bottom + dy);
  }
}

void TMMLevel::BuildUnlitImage() {
  TMMDIBCanvas* canvas = DIBCanvas();
  canvas->DIB_SetTColor(Color());
  DIB_Clear();
  DrawSpots(1, FLaw.GetLayout().Count, false);
  const TDIBSection* surface = canvas->Surface();
  FUnlit.assign(surface->Bits(), surface->Bits() + surface->SizeInBytes());
  FUnlitSurface = surface;
  FUnlitBackground = Color();
  FUnlitValid = true;
}

bool TMMLevel::UnlitImageFits() const {
  const TDIBSection* surface = const_cast<TMMLevel*>(this)->DIBCanvas()->Surface();
  return FUnlitValid && surface && surface == FUnlitSurface &&
         FUnlit.size() == surface->SizeInBytes() && Color() == FUnlitBackground;
}

bool TMMLevel::SpotLit(int Index, int Count, int Peak) const {
  const int peaks = FLaw.GetNumPeaks();
  return Index <= Count || (peaks >= 1 && Peak > Count && Index > Peak - peaks && Index <= Peak);
}

void TMMLevel::DrawChangedSpots(int Count, int Peak) {
  const int spots = FLaw.GetLayout().Count;
  for (int first = 1; first <= spots;) {
    const bool lit = SpotLit(first, Count, Peak);
    if (lit == SpotLit(first, FShownCount, FShownPeak)) {
      ++first;
      continue;
    }
    // A run of spots that change the same way.
    int last = first;
    while (last < spots && SpotLit(last + 1, Count, Peak) == lit &&
           SpotLit(last + 1, FShownCount, FShownPeak) != lit)
      ++last;
    if (lit) {
      DrawSpots(first, last, true);
    } else {
      const TRect a = SpotRect(first), b = SpotRect(last);
      const int left = std::min(a.Left, b.Left), top = std::min(a.Top, b.Top);
      const int right = std::max(a.Right, b.Right), bottom = std::max(a.Bottom, b.Bottom);
      DIB_CopyRect(left, top, right - left, bottom - top, left, top, FUnlit.data());
    }
    first = last + 1;
  }
  FShownCount = Count;
  FShownPeak = Peak;
}

void TMMLevel::DrawBackGround() {
  if (OnPaint) OnPaint(this);
  if (OnDrawBar) return;
  const TDIBSection* surface = DIBCanvas()->Surface();
  // A rebuilt surface (new size, depth or palette) or another background needs a new image.
  if (!FUnlitValid || surface != FUnlitSurface || FUnlit.size() != surface->SizeInBytes() ||
      Color() != FUnlitBackground) {
    BuildUnlitImage();
    return;
  }
  DIB_CopyRect(0, 0, DIBCanvas()->Width(), DIBCanvas()->Height(), 0, 0, FUnlit.data());
}

void TMMLevel::DrawContent() {
  const int peak = FLaw.GetPeak();
  FShownValid = false;
  if (OnDrawBar) {
    const TMMDIBCanvas* canvas = DIBCanvas();
    OnDrawBar(this, DIBCanvas(), Rect(0, 0, canvas->Width(), canvas->Height()), FLaw.GetCount(),
              peak);
    return;
  }
  if (!FEnabled) return;
  const TMMSpotLayout& layout = FLaw.GetLayout();
  const int count = FDemonstration ? DemonstrationCount(layout) : FLaw.GetCount();
  if (FLaw.GetDirection() == dirSymetric) {
    const int c = std::clamp(count, 1, layout.Count);
    DrawSpots(c - 2, c + 2, true, SpotZone(layout, c));
  } else {
    DrawSpots(1, count, true);
  }
  if (FLaw.GetNumPeaks() >= 1 && peak > count) DrawSpots(peak - FLaw.GetNumPeaks() + 1, peak, true);
  DrawClipMark();
  // Later hand-overs may draw only what changes from here, on a plain bar.
  FShownValid = !FDemonstration && !OnPaint && FLaw.GetDirection() != dirSymetric;
  FShownCount = count;
  FShownPeak = peak;
}
