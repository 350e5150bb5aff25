#include "instruments/phase_scope.h"

#include <QEvent>
#include <QMouseEvent>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "instruments/dib_primitives.h"
#include "instruments/display_timer.h"
#include "platform/gdi/device_context.h"

namespace {

constexpr int kAmpScaleWidth = 32;    // beside the drawing area, left and right
constexpr int kFreqScaleHeight = 40;  // under it
constexpr int kScrollRows = 1;        // rows the waterfall moves per block
const TGdiFont kScaleFont{"ARIAL", 10};

}  // namespace

TMMSpectrum::TMMSpectrum(TComponent* AOwner, QWidget* AParent)
    : TMMDIBGraphicControl(AOwner, AParent) {
  FLaw.OnGainOverflow = [this] {
    if (OnGainOverflow) OnGainOverflow(this);
  };
  FLaw.OnPcmOverflow = [this] {
    if (OnPcmOverflow) OnPcmOverflow(this);
  };
  FLaw.OnGetXScale = [this](std::vector<TMMBinRange>& mapping) {
    if (OnGetXScale) OnGetXScale(this, mapping);
  };
  SetColor(clBlack);
  setCursor(Qt::CrossCursor);
  SetBounds(0, 0, 194, 89);
  FTick.Add(true);
  UpdateTimerState();
}

TMMSpectrum::~TMMSpectrum() {
  Destroying();
  // A tick that is running is waited for; none comes after.
  FTick.Remove();
}

template <typename Change>
void TMMSpectrum::Setting(Change change, bool Repaint) {
  {
    std::lock_guard lock(CanvasLock());
    change();
  }
  if (Repaint) Invalidate();
}

// ---- The display timer ----

void TMMSpectrum::UpdateTimerState() {
  FTick.SetSuspended(!FEnabled || FSpectrumMode == smPhase || FLaw.GetNumPeaks() == 0);
}

void TMMSpectrum::SetDesigning(bool Value) {
  TMMDIBGraphicControl::SetDesigning(Value);
  if (Value) {
    FTick.Remove();
    return;
  }
  FTick.Add(true);
  UpdateTimerState();
  std::lock_guard lock(CanvasLock());
  FPhase.Reset();
  ClearDisplay();
}

// ---- Geometry ----

TRect TMMSpectrum::DrawArea() {
  std::lock_guard lock(CanvasLock());
  return FArea;
}

void TMMSpectrum::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  // The phase scope is square, with the side given by the height.
  if (FSpectrumMode == smPhase) AWidth = AHeight;
  TMMDIBGraphicControl::SetBounds(ALeft, ATop, AWidth, AHeight);
  Changed();
}

void TMMSpectrum::UpdateLayout() {
  TRect area = InnerRect();
  if (FSpectrumMode == smNormal) {
    if (FDrawAmpScale) {
      area.Left += kAmpScaleWidth;
      area.Right -= kAmpScaleWidth;
    }
    if (FDrawFreqScale) area.Bottom -= kFreqScaleHeight;
  }
  area.Right = std::max(area.Right, area.Left + 1);
  area.Bottom = std::max(area.Bottom, area.Top + 1);
  const int w = area.Width(), h = area.Height();
  int columns = w, levels = h;
  if (FKind == skBars) {
    FBarCount = std::max((w + FSpace) / (FBarWidth + FSpace), 1);
    FBarMargin = std::max((w - (FBarCount * (FBarWidth + FSpace) - FSpace)) / 2, 0);
    FSpots = SpotLayout(h, FSpotHeight, FSpotSpace, FPoint1, FPoint2);
    columns = FBarCount;
    levels = FSpots.Count;
  }
  // The display tick reads the peak storage: it is replaced only while the tick is suspended.
  const bool pause = FTick.Added() && !FTick.Suspended();
  if (pause) DisplayTimerSuspend(FTick.Item());
  {
    std::lock_guard lock(CanvasLock());
    FArea = area;
    DIBCanvas()->SetBounds(0, 0, w, h);
    FLaw.SetColumns(columns, levels);
    if (FSpectrumMode == smPhase) FPhase.SetGeometry(width(), height(), w / 2, h / 2);
    FBackValid = false;
    FScrollValid = false;
  }
  if (pause) DisplayTimerResume(FTick.Item());
}

void TMMSpectrum::Changed() {
  UpdateLayout();
  Invalidate();
}

void TMMSpectrum::SetSpectrumMode(TSpectrumMode Value) {
  if (Value == FSpectrumMode) return;
  FSpectrumMode = Value;
  if (Value == smPhase) {
    SetBounds(x(), y(), width(), height());
    {
      std::lock_guard lock(CanvasLock());
      FPhase.SetGeometry(width(), height(), width() / 2, height() / 2);
      FLaw.StoreFFTLength(1024);
    }
    FShowInfo = false;
    setCursor(Qt::ArrowCursor);
  } else {
    SetBounds(x(), y(), 194, 89);
    {
      std::lock_guard lock(CanvasLock());
      FLaw.StoreFFTLength(128);
    }
    FShowInfo = true;
    SetColor(clBlack);
    setCursor(Qt::CrossCursor);
  }
  UpdateTimerState();
  Invalidate();
}

void TMMSpectrum::Loaded() {
  TMMDIBGraphicControl::Loaded();
  UpdateLayout();
  {
    std::lock_guard lock(CanvasLock());
    ClearDisplay();
  }
  Invalidate();
}

void TMMSpectrum::SetBitsPerPixel(int Value) {
  TMMDIBGraphicControl::SetBitsPerPixel(Value);
  BackChanged();
}

// ---- The data hand-over ----

void TMMSpectrum::SetPWaveFormat(const WAVEFORMATEX* Format) {
  std::lock_guard lock(CanvasLock());
  FLaw.SetPWaveFormat(Format);
}

int32_t TMMSpectrum::GetNumBytes() const {
  std::lock_guard lock(const_cast<TMMSpectrum*>(this)->CanvasLock());
  return FLaw.GetNumBytes();
}

void TMMSpectrum::RefreshPCMData(const void* Data) {
  if (!Data || !FEnabled || !FVisible || FTracking) return;
  std::lock_guard lock(CanvasLock());
  if (FSpectrumMode == smPhase) {
    TMMPcmLayout layout;
    layout.BitLength = FLaw.GetBitLength();
    layout.Channels = int(FLaw.GetMode()) + 1;
    FPhase.TakeBlock(Data, layout, FLaw.GetFFTLength());
  } else {
    FLaw.RefreshPCMData(Data);
    FScrollPending = true;
  }
  DrawSurfaceDirect();
}

void TMMSpectrum::ClearDisplay() {
  FLaw.ResetData();
  FScrollValid = false;
  FScrollPending = false;
}

void TMMSpectrum::ResetData() {
  EndTracking();
  {
    std::lock_guard lock(CanvasLock());
    FPhase.Reset();
    ClearDisplay();
    if (Designing() && !OnNeedData) FLaw.Preview(uint32_t(width() * 7919 + height()));
  }
  if (FEnabled && OnNeedData) OnNeedData(this);
  Invalidate();
}

// ---- Settings ----

void TMMSpectrum::SetPhaseMode(TPhaseMode Value) {
  Setting([&] { FPhase.SetPhaseMode(Value); });
}

void TMMSpectrum::SetRangeFactorX(double Value) {
  Setting([&] { FPhase.SetRangeFactorX(Value); }, false);
}

void TMMSpectrum::SetRangeFactorY(double Value) {
  Setting([&] { FPhase.SetRangeFactorY(Value); }, false);
}

void TMMSpectrum::SetAxisColor(TColor Value) {
  Setting([&] { FAxisColor = Value; });
}

void TMMSpectrum::SetPhaseColor(TColor Value) {
  Setting([&] { FPhaseColor = Value; });
}

int TMMSpectrum::GetCx() {
  std::lock_guard lock(CanvasLock());
  return FPhase.GetCx();
}

int TMMSpectrum::GetCy() {
  std::lock_guard lock(CanvasLock());
  return FPhase.GetCy();
}

int TMMSpectrum::GetFFTLength() {
  return Locked([&] { return FLaw.GetFFTLength(); });
}

int TMMSpectrum::GetSampleRate() {
  return Locked([&] { return FLaw.GetSampleRate(); });
}

TMMBits TMMSpectrum::GetBitLength() {
  return Locked([&] { return FLaw.GetBitLength(); });
}

TMMMode TMMSpectrum::GetMode() {
  return Locked([&] { return FLaw.GetMode(); });
}

TMMChannel TMMSpectrum::GetChannel() {
  return Locked([&] { return FLaw.GetChannel(); });
}

TMMFFTWindow TMMSpectrum::GetWindow() {
  return Locked([&] { return FLaw.GetWindow(); });
}

TMMSpectrumGain TMMSpectrum::GetGain() {
  return Locked([&] { return FLaw.GetGain(); });
}

int TMMSpectrum::GetRefFreq() {
  return Locked([&] { return FLaw.GetRefFreq(); });
}

bool TMMSpectrum::GetLogFreq() {
  return Locked([&] { return FLaw.GetLogFreq(); });
}

bool TMMSpectrum::GetLogAmp() {
  return Locked([&] { return FLaw.GetLogAmp(); });
}

int TMMSpectrum::GetVerticalScale() {
  return Locked([&] { return FLaw.GetVerticalScale(); });
}

int TMMSpectrum::GetFrequencyScale() {
  return Locked([&] { return FLaw.GetFrequencyScale(); });
}

TMMDecayMode TMMSpectrum::GetDecayMode() {
  return Locked([&] { return FLaw.GetDecayMode(); });
}

int TMMSpectrum::GetDecay() {
  return Locked([&] { return FLaw.GetDecay(); });
}

int TMMSpectrum::GetNumPeaks() {
  return Locked([&] { return FLaw.GetNumPeaks(); });
}

int TMMSpectrum::GetPeakDelay() {
  return Locked([&] { return FLaw.GetPeakDelay(); });
}

int TMMSpectrum::GetPeakSpeed() {
  return Locked([&] { return FLaw.GetPeakSpeed(); });
}

std::vector<int> TMMSpectrum::GetColumns() {
  return Locked([&] { return FLaw.GetColumns(); });
}

int TMMSpectrum::GetLevels() {
  return Locked([&] { return FLaw.GetLevels(); });
}

std::vector<TMMBinRange> TMMSpectrum::GetMapping() {
  return Locked([&] { return FLaw.GetMapping(); });
}

int TMMSpectrum::GetPeak(int Column) {
  std::lock_guard lock(CanvasLock());
  if (Column < 0 || Column >= FLaw.GetColumnCount()) return 0;
  return FLaw.GetPeak(Column);
}

void TMMSpectrum::SetFFTLength(int Value) {
  Setting([&] {
    const int before = FLaw.GetFFTLength();
    FLaw.SetFFTLength(Value);
    if (FLaw.GetFFTLength() != before) ClearDisplay();
  });
}

void TMMSpectrum::SetSampleRate(int Value) {
  Setting([&] { FLaw.SetSampleRate(Value); }, false);
}

void TMMSpectrum::SetBitLength(TMMBits Value) {
  Setting([&] { FLaw.SetBitLength(Value); }, false);
}

void TMMSpectrum::SetMode(TMMMode Value) {
  Setting([&] { FLaw.SetMode(Value); }, false);
}

void TMMSpectrum::SetChannel(TMMChannel Value) {
  Setting([&] { FLaw.SetChannel(Value); }, false);
}

void TMMSpectrum::SetWindow(TMMFFTWindow Value) {
  Setting([&] { FLaw.SetWindow(Value); }, false);
}

void TMMSpectrum::SetGain(TMMSpectrumGain Value) {
  Setting([&] { FLaw.SetGain(Value); }, false);
}

void TMMSpectrum::SetRefFreq(int Value) {
  Setting([&] { FLaw.SetRefFreq(Value); }, false);
}

void TMMSpectrum::SetLogFreq(bool Value) {
  Setting([&] {
    FLaw.SetLogFreq(Value);
    ClearDisplay();
    FBackValid = false;
  });
}

void TMMSpectrum::SetLogAmp(bool Value) {
  Setting([&] {
    FLaw.SetLogAmp(Value);
    ClearDisplay();
    FBackValid = false;
  });
}

void TMMSpectrum::SetVerticalScale(int Value) {
  Setting([&] { FLaw.SetVerticalScale(Value); }, false);
}

void TMMSpectrum::SetFrequencyScale(int Value) {
  Setting([&] {
    FLaw.SetFrequencyScale(Value);
    FBackValid = false;
  });
}

void TMMSpectrum::SetDecayMode(TMMDecayMode Value) {
  Setting([&] { FLaw.SetDecayMode(Value); }, false);
}

void TMMSpectrum::SetDecay(int Value) {
  Setting([&] { FLaw.SetDecay(Value); }, false);
}

void TMMSpectrum::SetNumPeaks(int Value) {
  Setting([&] { FLaw.SetNumPeaks(Value); });
  UpdateTimerState();
}

void TMMSpectrum::SetPeakDelay(int Value) {
  Setting([&] { FLaw.SetPeakDelay(Value); }, false);
}

void TMMSpectrum::SetPeakSpeed(int Value) {
  Setting([&] { FLaw.SetPeakSpeed(Value); }, false);
}

void TMMSpectrum::BackChanged() {
  Setting([&] {
    FBackValid = false;
    FScrollValid = false;
  });
}

void TMMSpectrum::SetKind(TMMSpectrumKind Value) {
  Setting([&] { FKind = Value; }, false);
  Changed();
}

void TMMSpectrum::SetDrawFreqScale(bool Value) {
  Setting([&] { FDrawFreqScale = Value; }, false);
  Changed();
}

void TMMSpectrum::SetDrawAmpScale(bool Value) {
  Setting([&] { FDrawAmpScale = Value; }, false);
  Changed();
}

void TMMSpectrum::SetDrawGrid(bool Value) {
  Setting([&] { FDrawGrid = Value; }, false);
  BackChanged();
}

void TMMSpectrum::SetBarWidth(int Value) {
  Setting([&] { FBarWidth = std::clamp(Value, 1, 64); }, false);
  Changed();
}

void TMMSpectrum::SetSpace(int Value) {
  Setting([&] { FSpace = std::clamp(Value, 0, 32); }, false);
  Changed();
}

void TMMSpectrum::SetSpotSpace(int Value) {
  Setting([&] { FSpotSpace = std::clamp(Value, 0, 10); }, false);
  Changed();
}

void TMMSpectrum::SetSpotHeight(int Value) {
  Setting([&] { FSpotHeight = std::clamp(Value, 1, 32); }, false);
  Changed();
}

void TMMSpectrum::SetPoint1(int Value) {
  Setting([&] { FPoint1 = std::clamp(Value, 1, 100); }, false);
  Changed();
}

void TMMSpectrum::SetPoint2(int Value) {
  Setting([&] { FPoint2 = std::clamp(Value, 1, 100); }, false);
  Changed();
}

void TMMSpectrum::SetBarColor(int Zone, TColor Value) {
  Setting([&] { FBarColor[ZoneIndex(Zone)] = Value; });
}

void TMMSpectrum::SetInactiveColor(int Zone, TColor Value) {
  Setting([&] { FInactiveColor[ZoneIndex(Zone)] = Value; }, false);
  BackChanged();
}

void TMMSpectrum::SetDrawInactive(bool Value) {
  Setting([&] { FDrawInactive = Value; }, false);
  BackChanged();
}

void TMMSpectrum::SetInactiveDoted(bool Value) {
  Setting([&] { FInactiveDoted = Value; }, false);
  BackChanged();
}

void TMMSpectrum::SetActiveDoted(bool Value) {
  Setting([&] { FActiveDoted = Value; });
}

void TMMSpectrum::SetScaleTextColor(TColor Value) {
  Setting([&] { FScaleTextColor = Value; });
}

void TMMSpectrum::SetScaleLineColor(TColor Value) {
  Setting([&] { FScaleLineColor = Value; });
}

void TMMSpectrum::SetGridColor(TColor Value) {
  Setting([&] { FGridColor = Value; }, false);
  BackChanged();
}

void TMMSpectrum::SetShowInfo(bool Value) {
  if (!Value) EndTracking();
  FShowInfo = Value;
}

// ---- Window events ----

void TMMSpectrum::changeEvent(QEvent* event) {
  TMMDIBGraphicControl::changeEvent(event);
  if (event->type() != QEvent::EnabledChange) return;
  const bool enabled = isEnabled();
  if (enabled == FEnabled) return;
  FEnabled = enabled;
  {
    std::lock_guard lock(CanvasLock());
    ClearDisplay();
  }
  UpdateTimerState();
  Invalidate();
}

void TMMSpectrum::setVisible(bool visible) {
  TMMDIBGraphicControl::setVisible(visible);
  FVisible = visible;
}

void TMMSpectrum::mousePressEvent(QMouseEvent* event) {
  TMMDIBGraphicControl::mousePressEvent(event);
  if (event->button() != Qt::LeftButton || !FShowInfo || FSpectrumMode != smNormal) return;
  FTrackPoint = event->position().toPoint();
  FTracking = true;
  Invalidate();
}

void TMMSpectrum::mouseMoveEvent(QMouseEvent* event) {
  TMMDIBGraphicControl::mouseMoveEvent(event);
  if (!FTracking) return;
  // The read-out follows the mouse within the drawing area.
  const TRect area = DrawArea();
  const QPoint p = event->position().toPoint();
  FTrackPoint = QPoint(std::clamp(p.x(), area.Left, area.Right - 1),
                       std::clamp(p.y(), area.Top, area.Bottom - 1));
  Invalidate();
}

void TMMSpectrum::mouseReleaseEvent(QMouseEvent* event) {
  TMMDIBGraphicControl::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton) EndTracking();
}

void TMMSpectrum::EndTracking() {
  if (!FTracking.exchange(false)) return;
  Invalidate();
}

// ---- Drawing (CanvasLock and the drawing lock held) ----

int TMMSpectrum::LevelZone(int Level) const {
  const int levels = FLaw.GetLevels();
  if (Level > FPoint2 * levels / 100) return 3;
  if (Level > FPoint1 * levels / 100) return 2;
  return 1;
}

void TMMSpectrum::DrawBackGround() {
  if (FSpectrumMode == smPhase) {
    TMMDIBGraphicControl::DrawBackGround();
    return;
  }
  const TDIBSection* surface = DIBCanvas()->Surface();
  if (FKind == skScroll) {
    // The waterfall keeps its picture from block to block; a new surface starts it empty.
    if (FScrollValid && surface == FScrollSurface) return;
    TMMDIBGraphicControl::DrawBackGround();
    FScrollSurface = surface;
    FScrollValid = true;
    return;
  }
  if (!FBackValid || surface != FBackSurface || FBack.size() != surface->SizeInBytes() ||
      Color() != FBackColor) {
    BuildBackImage();
    return;
  }
  DIB_CopyRect(0, 0, DIBCanvas()->Width(), DIBCanvas()->Height(), 0, 0, FBack.data());
}

void TMMSpectrum::BuildBackImage() {
  TMMDIBCanvas* canvas = DIBCanvas();
  TMMDIBGraphicControl::DrawBackGround();
  const int w = canvas->Width(), h = canvas->Height();
  if (FDrawGrid) {
    canvas->DIB_SetTColor(FGridColor);
    for (int i = 1; i < 10; ++i) DIB_HLineDotted(0, w, h * i / 10, 1);
    for (int i = 1; i < 10; ++i) DIB_VLineDotted(w * i / 10, 0, h, 1);
  }
  if (FKind == skBars && FDrawInactive) DrawBars(false);
  const TDIBSection* surface = canvas->Surface();
  FBack.assign(surface->Bits(), surface->Bits() + surface->SizeInBytes());
  FBackSurface = surface;
  FBackColor = Color();
  FBackValid = true;
}

void TMMSpectrum::DrawContent() {
  if (FSpectrumMode == smPhase)
    DrawPhase();
  else
    DrawSpectrum();
}

void TMMSpectrum::DrawPhase() {
  TMMDIBCanvas* canvas = DIBCanvas();
  const uint32_t phase = canvas->DIB_ColorToIndex(FPhaseColor);
  const int n = FLaw.GetFFTLength();
  for (int i = 0; i < n; ++i) {
    const TPhasePoint p = FPhase.Point(i);
    DIB_SetPixel(p.X, p.Y, phase);
  }
  // The axes over the points; the lines run over the whole client size and are clipped.
  const uint32_t axis = canvas->DIB_ColorToIndex(FAxisColor);
  canvas->DIB_SetColor(axis);
  const int cx = FPhase.GetCx(), cy = FPhase.GetCy();
  const int w = width(), h = height();
  if (FPhase.GetPhaseMode() == pmOscillo) {
    DIB_HLineDotted(0, w, cy, 3);
    DIB_VLineDotted(cx, 0, h, 3);
    return;
  }
  for (int k = 0; k <= (h - cy) / 8; ++k) {
    const int d = 8 * k;
    DIB_SetPixel(cx + d, cy + d, axis);
    DIB_SetPixel(cx - d, cy - d, axis);
    DIB_SetPixel(cx + d, cy - d, axis);
    DIB_SetPixel(cx - d, cy + d, axis);
  }
  DIB_HLineDotted(0, w, cy, 4);
  DIB_VLineDotted(cx, 0, h, 4);
}

void TMMSpectrum::DrawBars(bool Lit) {
  TMMDIBCanvas* canvas = DIBCanvas();
  const int h = canvas->Height();
  const std::vector<int>& columns = FLaw.GetColumns();
  const TColor* colors = Lit ? FBarColor : FInactiveColor;
  const bool doted = Lit ? FActiveDoted : FInactiveDoted;
  for (int zone = 1; zone <= 3; ++zone) {
    canvas->DIB_SetTColor(colors[zone - 1]);
    for (int b = 0; b < FBarCount && b < int(columns.size()); ++b) {
      const int left = FBarMargin + b * (FBarWidth + FSpace);
      // Lit: spots 1 .. level; unlit: every spot (the lit ones are drawn over them).
      const int last = Lit ? columns[size_t(b)] : FSpots.Count;
      for (int i = 1; i <= last; ++i) {
        if (SpotZone(FSpots, i) != zone) continue;
        const int start = SpotStart(FSpots, i);
        DIB_FillRectDoted(Rect(left, h - start - FSpots.SpotWidth, left + FBarWidth, h - start),
                          doted);
      }
    }
  }
}

void TMMSpectrum::DrawPeaks() {
  const int marks = FLaw.GetNumPeaks();
  if (marks < 1) return;
  TMMDIBCanvas* canvas = DIBCanvas();
  const int h = canvas->Height();
  const std::vector<int>& columns = FLaw.GetColumns();
  for (int x = 0; x < int(columns.size()); ++x) {
    const int peak = FLaw.GetPeak(x);
    if (peak < 1 || (FKind != skPeaks && peak <= columns[size_t(x)])) continue;
    if (FKind == skBars) {
      if (x >= FBarCount) break;
      const int left = FBarMargin + x * (FBarWidth + FSpace);
      for (int i = std::max(peak - marks + 1, 1); i <= peak; ++i) {
        canvas->DIB_SetTColor(FBarColor[SpotZone(FSpots, i) - 1]);
        const int start = SpotStart(FSpots, i);
        DIB_FillRectDoted(Rect(left, h - start - FSpots.SpotWidth, left + FBarWidth, h - start),
                          FActiveDoted);
      }
      continue;
    }
    canvas->DIB_SetTColor(FBarColor[LevelZone(peak) - 1]);
    DIB_VLine(x, h - peak, std::min(h - peak + marks, h));
  }
}

void TMMSpectrum::DrawScroll() {
  if (!FScrollPending) return;
  FScrollPending = false;
  TMMDIBCanvas* canvas = DIBCanvas();
  const int w = canvas->Width(), h = canvas->Height();
  // The picture moves down and the new block takes the freed rows at the top, each column in the
  // colour of its level's zone, silence in the background colour.
  DIB_CopyRect(0, kScrollRows, w, h - kScrollRows, 0, 0, canvas->Surface()->Bits());
  const std::vector<int>& columns = FLaw.GetColumns();
  for (int x = 0; x < w && x < int(columns.size()); ++x) {
    const int level = columns[size_t(x)];
    canvas->DIB_SetTColor(level > 0 ? FBarColor[LevelZone(level) - 1] : Color());
    DIB_VLine(x, 0, kScrollRows);
  }
}

void TMMSpectrum::DrawSpectrum() {
  if (!FEnabled) return;
  TMMDIBCanvas* canvas = DIBCanvas();
  const int h = canvas->Height();
  const std::vector<int>& columns = FLaw.GetColumns();
  const int count = int(columns.size());
  switch (FKind) {
    case skDots:
      for (int x = 0; x < count; ++x) {
        const int level = columns[size_t(x)];
        if (level > 0)
          DIB_SetPixel(x, h - level, canvas->DIB_ColorToIndex(FBarColor[LevelZone(level) - 1]));
      }
      break;
    case skLines:
      canvas->DIB_SetTColor(FBarColor[0]);
      DIB_MoveTo(0, h - columns[0]);
      for (int x = 1; x < count; ++x) DIB_LineTo(x, h - columns[size_t(x)]);
      break;
    case skVLines: {
      const int levels = FLaw.GetLevels();
      const int limits[4] = {0, FPoint1 * levels / 100, FPoint2 * levels / 100, levels};
      for (int zone = 0; zone < 3; ++zone) {
        canvas->DIB_SetTColor(FBarColor[zone]);
        for (int x = 0; x < count; ++x) {
          const int top = std::min(columns[size_t(x)], limits[zone + 1]);
          if (top > limits[zone]) DIB_VLine(x, h - top, h - limits[zone]);
        }
      }
      break;
    }
    case skBars:
      DrawBars(true);
      break;
    case skPeaks:
      break;
    case skScroll:
      DrawScroll();
      return;
  }
  DrawPeaks();
}

void TMMSpectrum::DrawScales(TDeviceContext& Canvas) {
  const TRect inner = InnerRect();
  const TRect area = FArea;
  // The scale areas around the drawing area.
  Canvas.FillRect(Rect(inner.Left, inner.Top, area.Left, inner.Bottom), clBtnFace);
  Canvas.FillRect(Rect(area.Right, inner.Top, inner.Right, inner.Bottom), clBtnFace);
  Canvas.FillRect(Rect(area.Left, area.Bottom, area.Right, inner.Bottom), clBtnFace);
  Canvas.SetFont(kScaleFont);
  Canvas.SetTextColor(FScaleTextColor);
  Canvas.SetBkMode(TRANSPARENT);
  Canvas.SetPen(FScaleLineColor);
  char text[32];
  if (FDrawAmpScale) {
    const bool log = FLaw.GetLogAmp();
    const int steps = log ? int(kSpectrumDbRange / 10) : 5;
    for (int i = 0; i <= steps; ++i) {
      const int y = area.Bottom - 1 - (area.Height() - 1) * i / steps;
      for (int side = 0; side < 2; ++side) {
        const int x = side ? area.Right : area.Left - 4;
        Canvas.MoveTo(x, y);
        Canvas.LineTo(x + 4, y);
      }
      if (log)
        std::snprintf(text, sizeof text, "%d", int(-kSpectrumDbRange) + 10 * i);
      else
        std::snprintf(text, sizeof text, "%.1f", double(i) / steps);
      const QSize size = Canvas.TextExtent(text);
      if (i % 2 == 0 || !log) {
        Canvas.TextOut(area.Left - 5 - size.width(), y - size.height() / 2, text);
        Canvas.TextOut(area.Right + 5, y - size.height() / 2, text);
      }
    }
    const char* unit = log ? "db" : "V";
    Canvas.TextOut(inner.Left + 2, inner.Top, unit);
    Canvas.TextOut(area.Right + 5, inner.Top, unit);
  }
  if (FDrawFreqScale) {
    const std::vector<TMMBinRange>& mapping = FLaw.GetMapping();
    const double binHz = double(FLaw.GetSampleRate()) / FLaw.GetFFTLength();
    const int columns = int(mapping.size());
    const int columnWidth = FKind == skBars ? FBarWidth + FSpace : 1;
    const int margin = FKind == skBars ? FBarMargin : 0;
    // A label about every 50 pixels, at the columns' own frequencies.
    int lastRight = -1000;
    for (int c = 0; c < columns; ++c) {
      const int x = area.Left + margin + c * columnWidth;
      if (x - lastRight < 50 && c != 0) continue;
      const double hz = (mapping[size_t(c)].First + mapping[size_t(c)].Last) / 2.0 * binHz;
      if (hz >= 1000)
        std::snprintf(text, sizeof text, "%.1fk", hz / 1000);
      else
        std::snprintf(text, sizeof text, "%d", int(std::lround(hz)));
      Canvas.MoveTo(x, area.Bottom);
      Canvas.LineTo(x, area.Bottom + 4);
      const QSize size = Canvas.TextExtent(text);
      if (x + size.width() / 2 > area.Right) break;
      Canvas.TextOut(x - size.width() / 2, area.Bottom + 6, text);
      lastRight = x;
    }
    const QSize size = Canvas.TextExtent("Hz");
    Canvas.TextOut((area.Left + area.Right - size.width()) / 2, area.Bottom + 6 + size.height(),
                   "Hz");
  }
}

void TMMSpectrum::DrawReadOut(TDeviceContext& Canvas) {
  if (!FTracking || FSpectrumMode != smNormal) return;
  const TRect area = FArea;
  const std::vector<TMMBinRange>& mapping = FLaw.GetMapping();
  const std::vector<int>& columns = FLaw.GetColumns();
  int column = FTrackPoint.x() - area.Left;
  if (FKind == skBars) column = (column - FBarMargin) / (FBarWidth + FSpace);
  column = std::clamp(column, 0, int(mapping.size()) - 1);
  const double hz = (mapping[size_t(column)].First + mapping[size_t(column)].Last) / 2.0 *
                    FLaw.GetSampleRate() / FLaw.GetFFTLength();
  const double fraction = double(columns[size_t(column)]) / FLaw.GetLevels();
  char text[64];
  if (FLaw.GetLogAmp())
    std::snprintf(text, sizeof text, "%d Hz  %.1f db", int(std::lround(hz)),
                  fraction * kSpectrumDbRange - kSpectrumDbRange);
  else
    std::snprintf(text, sizeof text, "%d Hz  %.2f V", int(std::lround(hz)), fraction);
  Canvas.SetFont(kScaleFont);
  Canvas.SetTextColor(clWhite);
  Canvas.SetBkMode(TRANSPARENT);
  Canvas.TextOut(area.Left + 2, area.Top + 1, text);
}

void TMMSpectrum::Paint() {
  TDeviceContext& canvas = *Canvas();
  Bevel()->PaintBevel(canvas, ClientRect(), true);
  if (FSpectrumMode == smNormal && (FDrawFreqScale || FDrawAmpScale)) DrawScales(canvas);
  const TRect area = FArea;
  DrawSurface(&area);
  DrawReadOut(canvas);
}

void TMMSpectrum::PresentOffScreen() {
  DIBCanvas()->DIB_BitBlt(Canvas(), FArea, 0, 0);
  DrawReadOut(*Canvas());
}
