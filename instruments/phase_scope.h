// The spectrum analyser and phase scope: one block of PCM at a time, shown either as a
// frequency spectrum (smNormal: columns of FFT bins as dots, lines, bars, peak marks or a
// waterfall, with optional frequency and amplitude scales and a grid) or as a phase scope
// (smPhase: an X-Y display of the left and right samples over dotted axes). The measuring is
// TMMSpectrumLaw's and TMMPhaseLaw's; this control draws what they say and forwards the
// instrument data interface to them.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "instruments/core/phase_law.h"
#include "instruments/core/frequency_law.h"
#include "instruments/core/spot_layout.h"
#include "instruments/dib_graphic_control.h"
#include "instruments/display_timer.h"


enum TSpectrumMode { smNormal, smPhase };
enum TMMSpectrumKind { skDots, skLines, skVLines, skBars, skPeaks, skScroll };

class TMMSpectrum;
// May replace the frequency mapping of the columns (see TMMSpectrumLaw::OnGetXScale).
using TMMGetXScale = std::function<void(TMMSpectrum* Sender, std::vector<TMMBinRange>& Mapping)>;

class TMMSpectrum : public TMMDIBGraphicControl, public TMMInstrumentData {
 public:
  // 194 x 89, black, a spectrum of 128 points; registered with the display timer for its peaks.
  explicit TMMSpectrum(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMSpectrum() override;

  // Threads: the data hand-over (RefreshPCMData, ResetData, SetPWaveFormat) may come from the
  // main thread or from one delivering thread; it and every setting of the laws hold
  // CanvasLock, which also guards the drawing. The settings belong to the main thread. The
  // display tick only lowers the held peaks; the next block shows them.

  // TMMInstrumentData. A format other than PCM of 8 or 16 bits, 1, 2 or 4 channels and 4000 to
  // 100000 Hz raises EMMSpectrumError "Invalid WaveFormat" and keeps the previous one.
  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  // (BitLength + 1) × (Mode + 1) × FFTLength.
  int32_t GetNumBytes() const override;
  // One block of GetNumBytes() bytes, drawn at once. Ignored while disabled, hidden or while a
  // mouse read-out runs. In phase mode every frame gives a left/right pair (a mono frame gives
  // the same sample to both; 8-bit samples are re-centred to the 16-bit range).
  void RefreshPCMData(const void* Data) override;
  // Ends a mouse read-out, zeroes the phase buffers, the columns, the peaks and the decay,
  // fires OnNeedData (or in design state shows a preview) and repaints.
  void ResetData() override;

  TSpectrumMode GetSpectrumMode() const { return FSpectrumMode; }
  // To smPhase: square (side = height), centre at half the client size, no read-out, 1024
  // samples per block. To smNormal: 194 x 89, 128 samples per block, read-out on, black.
  void SetSpectrumMode(TSpectrumMode Value);

  // ---- The phase scope ----
  TPhaseMode GetPhaseMode() const { return FPhase.GetPhaseMode(); }
  void SetPhaseMode(TPhaseMode Value);
  // Values above 2.0 or below 0.5 store 1.0; others are rounded to one decimal. The next block
  // shows the new gain.
  double GetRangeFactorX() const { return FPhase.GetRangeFactorX(); }
  void SetRangeFactorX(double Value);
  double GetRangeFactorY() const { return FPhase.GetRangeFactorY(); }
  void SetRangeFactorY(double Value);
  TColor GetAxisColor() const { return FAxisColor; }
  void SetAxisColor(TColor Value);
  TColor GetPhaseColor() const { return FPhaseColor; }
  void SetPhaseColor(TColor Value);
  // The centre of the phase scope on the surface.
  int GetCx();
  int GetCy();

  // ---- The PCM and the FFT ----
  // Clamped to 8..4096 and rounded down to a power of two.
  int GetFFTLength();
  void SetFFTLength(int Value);
  int GetSampleRate();
  void SetSampleRate(int Value);  // 8000..100000
  TMMBits GetBitLength();
  void SetBitLength(TMMBits Value);
  TMMMode GetMode();
  void SetMode(TMMMode Value);
  TMMChannel GetChannel();
  void SetChannel(TMMChannel Value);
  TMMFFTWindow GetWindow();
  void SetWindow(TMMFFTWindow Value);
  TMMSpectrumGain GetGain();
  void SetGain(TMMSpectrumGain Value);
  int GetRefFreq();
  void SetRefFreq(int Value);  // 1..44100
  bool GetLogFreq();
  void SetLogFreq(bool Value);
  bool GetLogAmp();
  void SetLogAmp(bool Value);
  int GetVerticalScale();
  void SetVerticalScale(int Value);  // per cent
  int GetFrequencyScale();
  void SetFrequencyScale(int Value);  // the axis ends at SampleRate / 2 / FrequencyScale
  TMMDecayMode GetDecayMode();
  void SetDecayMode(TMMDecayMode Value);
  int GetDecay();
  void SetDecay(int Value);  // 1..16
  int GetNumPeaks();
  void SetNumPeaks(int Value);  // 0..5 (others ignored): peak marks this many spots or rows tall
  int GetPeakDelay();
  void SetPeakDelay(int Value);
  int GetPeakSpeed();
  void SetPeakSpeed(int Value);
  // The column levels of the last block and the held peaks, for a read-out of one's own.
  std::vector<int> GetColumns();
  int GetPeak(int Column);
  int GetLevels();
  std::vector<TMMBinRange> GetMapping();

  // ---- The spectrum's look ----
  TMMSpectrumKind GetKind() const { return FKind; }
  void SetKind(TMMSpectrumKind Value);
  bool GetDrawFreqScale() const { return FDrawFreqScale; }
  void SetDrawFreqScale(bool Value);  // 40 pixels under the drawing area
  bool GetDrawAmpScale() const { return FDrawAmpScale; }
  void SetDrawAmpScale(bool Value);  // 32 pixels left and right of it
  bool GetDrawGrid() const { return FDrawGrid; }
  void SetDrawGrid(bool Value);
  // Bars: BarWidth pixels wide, Space apart; spots SpotHeight tall, SpotSpace apart.
  int GetBarWidth() const { return FBarWidth; }
  void SetBarWidth(int Value);  // 1..64
  int GetSpace() const { return FSpace; }
  void SetSpace(int Value);  // 0..32
  int GetSpotSpace() const { return FSpotSpace; }
  void SetSpotSpace(int Value);  // 0..10
  int GetSpotHeight() const { return FSpotHeight; }
  void SetSpotHeight(int Value);  // 1..32
  int GetPoint1() const { return FPoint1; }
  void SetPoint1(int Value);  // per cent of the height where the middle zone begins
  int GetPoint2() const { return FPoint2; }
  void SetPoint2(int Value);  // and the high zone
  // Zone 1, 2 or 3.
  TColor GetBarColor(int Zone) const { return FBarColor[ZoneIndex(Zone)]; }
  void SetBarColor(int Zone, TColor Value);
  TColor GetInactiveColor(int Zone) const { return FInactiveColor[ZoneIndex(Zone)]; }
  void SetInactiveColor(int Zone, TColor Value);
  bool GetDrawInactive() const { return FDrawInactive; }
  void SetDrawInactive(bool Value);
  bool GetInactiveDoted() const { return FInactiveDoted; }
  void SetInactiveDoted(bool Value);
  bool GetActiveDoted() const { return FActiveDoted; }
  void SetActiveDoted(bool Value);
  TColor GetScaleTextColor() const { return FScaleTextColor; }
  void SetScaleTextColor(TColor Value);
  TColor GetScaleLineColor() const { return FScaleLineColor; }
  void SetScaleLineColor(TColor Value);
  TColor GetGridColor() const { return FGridColor; }
  void SetGridColor(TColor Value);
  // While the left button is held on the spectrum, the frequency and level under the mouse are
  // shown and data blocks are ignored.
  bool GetShowInfo() const { return FShowInfo; }
  void SetShowInfo(bool Value);
  bool Tracking() const { return FTracking; }
  // The drawing area within the control.
  TRect DrawArea();

  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight) override;
  void SetBitsPerPixel(int Value) override;
  void SetDesigning(bool Value) override;
  void Loaded() override;

  // Fired by ResetData while enabled (main thread): the owner may hand over a first block.
  TNotifyEvent OnNeedData;
  TMMGetXScale OnGetXScale;
  // On the updating thread: a column reached the top; a sample reached the top of its range.
  TNotifyEvent OnGainOverflow;
  TNotifyEvent OnPcmOverflow;

 public:
  void setVisible(bool visible) override;

 protected:
  void DrawBackGround() override;
  void DrawContent() override;
  void Changed() override;
  void Paint() override;
  void PresentOffScreen() override;
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  static int ZoneIndex(int Zone) { return Zone < 1 ? 0 : Zone > 3 ? 2 : Zone - 1; }
  void DrawPhase();
  void DrawSpectrum();
  void DrawScroll();
  void DrawBars(bool Lit);
  void DrawPeaks();
  // The pixel-kind zone of a level of Levels: 1, 2 or 3.
  int LevelZone(int Level) const;
  // Colour and grid picture behind the columns, kept as bytes of the surface.
  void BuildBackImage();
  void DrawScales(TDeviceContext& Canvas);
  void DrawReadOut(TDeviceContext& Canvas);
  // The drawing area, the surface size, the columns and the centre follow the size and mode.
  void UpdateLayout();
  // The picture behind the columns must be drawn again.
  void BackChanged();
  // Clears columns, peaks, decay and the waterfall (CanvasLock held).
  void ClearDisplay();
  void EndTracking();
  void UpdateTimerState();
  // Runs Change with CanvasLock held, then repaints.
  template <typename Change>
  void Setting(Change change, bool Repaint = true);
  // Returns what Read returns with CanvasLock held.
  template <typename Read>
  auto Locked(Read read) {
    std::lock_guard lock(CanvasLock());
    return read();
  }

  TMMSpectrumLaw FLaw;                     // CanvasLock
  TMMPhaseLaw FPhase;                      // CanvasLock
  TSpectrumMode FSpectrumMode = smNormal;  // main thread; read under CanvasLock while drawing
  TColor FAxisColor = clWhite;             // CanvasLock
  TColor FPhaseColor = clWhite;            // CanvasLock

  // The spectrum's look; all CanvasLock.
  TMMSpectrumKind FKind = skBars;
  bool FDrawFreqScale = false;
  bool FDrawAmpScale = false;
  bool FDrawGrid = false;
  int FBarWidth = 3;
  int FSpace = 1;
  int FSpotSpace = 1;
  int FSpotHeight = 1;
  int FPoint1 = 50;
  int FPoint2 = 85;
  TColor FBarColor[3] = {clAqua, clAqua, clRed};
  TColor FInactiveColor[3] = {clTeal, clTeal, clMaroon};
  bool FDrawInactive = true;
  bool FInactiveDoted = false;
  bool FActiveDoted = false;
  TColor FScaleTextColor = clBlack;
  TColor FScaleLineColor = clBlack;
  TColor FGridColor = clGray;
  bool FShowInfo = true;  // main thread

  // Geometry, CanvasLock: the drawing area, the bars' layout across and up.
  TRect FArea;
  int FBarCount = 0;
  int FBarMargin = 0;
  TMMSpotLayout FSpots;

  // The picture behind the columns (colour, grid, unlit bars) in the surface's geometry, and the
  // waterfall's state; CanvasLock, used between DIB_InitDrawing and DIB_DoneDrawing.
  std::vector<uint8_t> FBack;
  bool FBackValid = false;
  const TDIBSection* FBackSurface = nullptr;
  TColor FBackColor = clBlack;
  bool FScrollValid = false;
  bool FScrollPending = false;
  const TDIBSection* FScrollSurface = nullptr;

  // Enabled and Visible as the data hand-over sees them; written by the main thread.
  std::atomic<bool> FEnabled{true};
  std::atomic<bool> FVisible{true};
  std::atomic<bool> FTracking{false};
  QPoint FTrackPoint;  // main thread

  // The held peaks' ticks; a tick only lowers them, the next block draws them.
  TDisplayTick FTick{[this] { FLaw.Tick(); }};  // main thread
};
