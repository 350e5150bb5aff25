// The level bar: a row (or column) of spots lit up to the level of the PCM handed to it, in
// three colour zones over a dimmed, optionally dotted image of the unlit bar, with held peak
// spots that the 25 ms display ticks let fall. The measuring is TMMLevelLaw's; this control
// draws what the law says and forwards the instrument data interface to it.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "instruments/core/level_law.h"
#include "instruments/dib_graphic_control.h"
#include "instruments/display_timer.h"

enum TMMLevelKind { lkHorizontal, lkVertical };

class TMMLevel;
// Replaces the built-in spot drawing: the surface (drawing is initialised), the rectangle of
// the whole surface, the lit spot count and the peak spot.
using TMMLevelDrawBar = std::function<void(TMMLevel* Sender, TMMDIBCanvas* DIB, const TRect& Rect,
                                           int Spots, int Peak)>;

class TMMLevel : public TMMDIBGraphicControl, public TMMInstrumentData {
 public:
  // 200 x 17, black, registered with the display timer for its peak hold.
  explicit TMMLevel(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMLevel() override;

  // Threads: the data hand-over (RefreshPCMData, UpdateValue, ResetData, SetPWaveFormat) may
  // come from the main thread or from one delivering thread; it and every setting of the law
  // hold CanvasLock, which also guards the drawing. The settings belong to the main thread.
  // The display tick only lowers the held peak (the law keeps that safe on its own), and
  // PeakPercent reads it without a lock.

  // TMMInstrumentData. RefreshPCMData does nothing while the bar is disabled or hidden.
  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  int32_t GetNumBytes() const override;
  void RefreshPCMData(const void* Data) override;
  // Clears the level, the peak and the decay, and repaints.
  void ResetData() override;

  // Smoothing, mapping, the held peak and a direct repaint when the picture changed.
  void UpdateValue(int64_t Level);
  // The lit spots as a percentage of full scale; the setter shows Value % at once.
  int GetValue();
  void SetValue(int Value);
  // The held peak as a percentage of full scale; 0 without a peak. Any thread.
  int GetPeakPercent() const;
  int GetCount();  // lit spots
  int GetPeak() const { return FLaw.GetPeak(); }
  // The spot layout of the current size.
  TMMSpotLayout GetLayout();

  TMMLevelKind GetKind() const { return FKind; }
  void SetKind(TMMLevelKind Value);
  int GetSpotSpace() const { return FLaw.GetSpotSpace(); }
  void SetSpotSpace(int Value);
  int GetSpotWidth() const { return FLaw.GetSpotWidth(); }
  void SetSpotWidth(int Value);
  int GetPoint1() const { return FLaw.GetPoint1(); }
  void SetPoint1(int Value);
  int GetPoint2() const { return FLaw.GetPoint2(); }
  void SetPoint2(int Value);
  // Lit spots of the low, middle and high zone, and unlit ones (Zone 1, 2 or 3).
  TColor GetBarColor(int Zone) const { return FBarColor[ZoneIndex(Zone)]; }
  void SetBarColor(int Zone, TColor Value);
  TColor GetInactiveColor(int Zone) const { return FInactiveColor[ZoneIndex(Zone)]; }
  void SetInactiveColor(int Zone, TColor Value);
  bool GetActiveDoted() const { return FActiveDoted; }
  void SetActiveDoted(bool Value);
  bool GetInactiveDoted() const { return FInactiveDoted; }
  void SetInactiveDoted(bool Value);
  TMMLevelDirection GetDirection() const { return FLaw.GetDirection(); }
  void SetDirection(TMMLevelDirection Value);
  // Shows n - count instead of count.
  bool GetInvert() const { return FLaw.GetInvert(); }
  void SetInvert(bool Value);

  TMMBits GetBitLength() const { return FLaw.GetBitLength(); }
  void SetBitLength(TMMBits Value);
  TMMChannel GetChannel() const { return FLaw.GetChannel(); }
  void SetChannel(TMMChannel Value);
  TMMMode GetMode() const { return FLaw.GetMode(); }
  void SetMode(TMMMode Value);
  int GetGain() const { return FLaw.GetGain(); }
  void SetGain(int Value);
  int GetSamples() const { return FLaw.GetSamples(); }
  void SetSamples(int Value);
  int GetSensitivy() const { return FLaw.GetSensitivy(); }
  void SetSensitivy(int Value);
  bool GetLogAmp() const { return FLaw.GetLogAmp(); }
  void SetLogAmp(bool Value);
  int GetNumPeaks() const { return FLaw.GetNumPeaks(); }
  // 0 to 5; 0 suspends the display timer item.
  void SetNumPeaks(int Value);
  int GetPeakDelay() const { return FLaw.GetPeakDelay(); }
  void SetPeakDelay(int Value);
  int GetPeakSpeed() const { return FLaw.GetPeakSpeed(); }
  void SetPeakSpeed(int Value);
  TMMDecayMode GetDecayMode() const { return FLaw.GetDecayMode(); }
  void SetDecayMode(TMMDecayMode Value);
  int GetDecay() const { return FLaw.GetDecay(); }
  void SetDecay(int Value);
  int GetDCOffsetL() const { return FLaw.GetDCOffsetL(); }
  void SetDCOffsetL(int Value);
  int GetDCOffsetR() const { return FLaw.GetDCOffsetR(); }
  void SetDCOffsetR(int Value);

  // The clip mark: the last ClipSpots spots at the full-scale end lit in ClipColor over
  // whatever the level shows, from SetClipped(true) until SetClipped(false) or a left click on
  // the bar. The level's own resets leave it lit. Main thread.
  bool GetClipped();
  void SetClipped(bool Value);
  TColor GetClipColor() const { return FClipColor; }
  void SetClipColor(TColor Value);
  int GetClipSpots() const { return FClipSpots; }
  // At least 1.
  void SetClipSpots(int Value);

  // 8 or 24; the unlit image follows the new depth.
  void SetBitsPerPixel(int Value) override;
  void SetDesigning(bool Value) override;

  // Fired before each draw, with the drawing lock held; on the drawing thread.
  TNotifyEvent OnPaint;
  // Replaces the built-in spot drawing.
  TMMLevelDrawBar OnDrawBar;
  // On the updating thread: more spots than the bar has; a piece reached full scale.
  TNotifyEvent OnGainOverflow;
  TNotifyEvent OnPcmOverflow;
  // After a left click on the bar put out its clip mark; main thread.
  TNotifyEvent OnClipClick;

 protected:
  // The unlit image (rebuilt first when anything it shows has changed).
  void DrawBackGround() override;
  // The lit spots and the peak spots over it, or OnDrawBar.
  void DrawContent() override;
  // A new size or bevel: the spot layout follows, and the level is reset.
  void Changed() override;
  void changeEvent(QEvent* event) override;
  // Data that came while the bar was off the screen were measured but not drawn.
  void showEvent(QShowEvent* event) override;
  // A left click puts the clip mark out.
  void mousePressEvent(QMouseEvent* event) override;

 public:
  void setVisible(bool visible) override;

 private:
  static int ZoneIndex(int Zone) { return Zone < 1 ? 0 : Zone > 3 ? 2 : Zone - 1; }
  // The law changed the picture: draw it directly, when enabled.
  void LawChanged();
  // Spots First .. Last (clipped to 1 .. n), each in its zone's colour, or all in the colour of
  // zone Zone when it is 1 to 3; Lit picks the bar or the unlit colours and dots.
  void DrawSpots(int First, int Last, bool Lit, int Zone = 0);
  // The rectangle of spot Index on the surface.
  TRect SpotRect(int Index) const;
  // Draws the unlit bar into the surface and keeps a copy of its bytes.
  void BuildUnlitImage();
  // True when the kept unlit image fits the surface as it is now.
  bool UnlitImageFits() const;
  // Whether spot Index is lit with `Count` spots lit and the peak at `Peak`.
  bool SpotLit(int Index, int Count, int Peak) const;
  // Brings the surface from the shown count and peak to the law's: only the spots that change
  // are drawn lit or put back from the unlit image.
  void DrawChangedSpots(int Count, int Peak);
  // The clip mark over the spots, when it is lit.
  void DrawClipMark();
  // The unlit image must be drawn again before it is next used.
  void UnlitChanged();
  // The bar length from the drawing area and the kind; recomputes the layout.
  void UpdateBarLength();
  // Suspends the timer item while there are no peaks or the bar is disabled.
  void UpdateTimerState();

  TMMLevelLaw FLaw;                   // guarded by CanvasLock (except the peak, see above)
  TMMLevelKind FKind = lkHorizontal;  // CanvasLock
  TColor FBarColor[3] = {clAqua, clAqua, clRed};          // CanvasLock
  TColor FInactiveColor[3] = {clTeal, clTeal, clMaroon};  // CanvasLock
  bool FActiveDoted = false;                              // CanvasLock
  bool FInactiveDoted = false;                            // CanvasLock
  // The clip mark: set by the main thread with CanvasLock held, drawn under it.
  bool FClipped = false;
  TColor FClipColor = clRed;
  int FClipSpots = 3;
  // Enabled and Visible as the data hand-over and the direct drawing see them; written by
  // the main thread.
  std::atomic<bool> FEnabled{true};
  std::atomic<bool> FVisible{true};
  std::atomic<bool> FDemonstration{false};  // design state: a sample count is shown

  // The bytes of the unlit bar in the surface's geometry, and what they were drawn for; all
  // guarded by CanvasLock and used between DIB_InitDrawing and DIB_DoneDrawing.
  std::vector<uint8_t> FUnlit;
  bool FUnlitValid = false;
  const TDIBSection* FUnlitSurface = nullptr;  // the surface the copy was taken from
  TColor FUnlitBackground = clBlack;

  // What the surface shows: the count and the peak it was last drawn with, valid after a
  // plain drawing (no OnDrawBar or OnPaint, not symmetric). A hand-over that leaves both as
  // they are draws nothing; one that changes them draws only the spots that differ. Guarded
  // by CanvasLock.
  bool FShownValid = false;
  int FShownCount = 0;
  int FShownPeak = 0;

  // The peak hold's ticks; the tick only lowers the held peak, the next hand-over draws it.
  TDisplayTick FTick{[this] { FLaw.Tick(); }};  // main thread
};
