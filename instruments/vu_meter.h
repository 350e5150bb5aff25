// The analog needle meter: a graphic control that measures through TMMMeterLaw and draws the
// scale (VU from -20 to +3, or a peak scale in dB), the caption, the printed reference level
// and the needle on a face picture. The scale is drawn once into a cached image on paint and
// resize; every data hand-over puts that image back where the needle was, draws the needle over
// it, and the result is copied to the control's picture at most once per display frame.
#pragma once

#include <QImage>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "instruments/core/meter_law.h"
#include "instruments/core/meter_scale.h"
#include "instruments/display_timer.h"
#include "instruments/graphic_control.h"
#include "platform/gdi/device_context.h"
#include "stream/instrument_data.h"


class TMMMeter : public TMMGraphicControl, public TMMInstrumentData {
 public:
  explicit TMMMeter(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMMeter() override;

  // The instrument data interface, forwarded to the law. RefreshPCMData does nothing while
  // the meter is disabled or hidden; the needle moves on the calling thread's DrawDirect.
  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  int32_t GetNumBytes() const override { return FLaw.GetNumBytes(); }
  void RefreshPCMData(const void* Data) override;
  // Clears the levels, the peak and the decay, and repaints.
  void ResetData() override;

  // The measuring law, for the settings that only measure (BitLength, Channel, Mode, Samples,
  // Gain, DCOffset, Sensitivy, LogAmp, Decay, DecayMode, PeakDelay, PeakSpeed). Thread that
  // hands the data over. The settings below change the picture as well and go through here.
  TMMMeterLaw& Law() { return FLaw; }
  const TMMMeterLaw& Law() const { return FLaw; }

  // Percent of full scale: the setter shows it at once, the getter reads the last input.
  int Value() const { return FLaw.GetValue(); }
  void SetValue(int Value);

  // Also sets the caption, the scale colours, the top space (and, for peak mode, hides the
  // reference level), as the two kinds of meter are usually dressed.
  void SetMeterMode(TMeterMode Value);
  TMeterMode MeterMode() const { return FLaw.GetMeterMode(); }
  void SetRefLevel(double Value);
  double RefLevel() const { return FLaw.GetRefLevel(); }
  void SetShowRefLevel(bool Value);
  bool ShowRefLevel() const { return FShowRefLevel; }
  void SetShowPeak(bool Value);
  bool ShowPeak() const { return FLaw.GetShowPeak(); }
  void SetScaleAngle(int Value);  // 45..180 degrees
  int ScaleAngle() const { return FLaw.GetScaleAngle(); }

  void SetCaption(const std::string& Value);
  const std::string& Caption() const { return FCaption; }
  // The caption's font; its colour also colours the scale labels.
  void SetFont(const TGdiFont& Value);
  const TGdiFont& Font() const { return FFont; }
  void SetScale1Color(TColor Value);
  TColor Scale1Color() const { return FScale1Color; }
  void SetScale2Color(TColor Value);
  TColor Scale2Color() const { return FScale2Color; }
  void SetScale3Color(TColor Value);
  TColor Scale3Color() const { return FScale3Color; }
  void SetNeedleColor(TColor Value);
  TColor NeedleColor() const { return FNeedleColor; }
  void SetPeakColor(TColor Value);
  TColor PeakColor() const { return FPeakColor; }
  void SetNeedleOffset(int Value);  // at least 0
  int NeedleOffset() const { return FNeedleOffset; }
  void SetNeedleWidth(int Value);  // at least 0
  int NeedleWidth() const { return FNeedleWidth; }
  void SetScaleOrigin(TMMScaleOrigin Value);
  TMMScaleOrigin ScaleOrigin() const { return FScaleOrigin; }
  void SetScaleHeight1(int Value);  // at least 0
  int ScaleHeight1() const { return FScaleHeight1; }
  void SetScaleHeight2(int Value);  // at least 0
  int ScaleHeight2() const { return FScaleHeight2; }
  void SetScaleTicks(int Value);  // at least 2
  int ScaleTicks() const { return FScaleTicks; }
  void SetScaleTicksEnlargeEvery(int Value);  // at least 1
  int ScaleTicksEnlargeEvery() const { return FScaleTicksEnlargeEvery; }
  void SetScaleTicksTextEvery(int Value);  // at least 1
  int ScaleTicksTextEvery() const { return FScaleTicksTextEvery; }
  void SetDrawScale(bool Value);
  bool DrawScale() const { return FDrawScale; }
  void SetTopSpace(int Value);
  int TopSpace() const { return FTopSpace; }
  void SetPoint1(int Value);  // 1..100 percent
  int Point1() const { return FPoint1; }
  void SetPoint2(int Value);  // 1..100 percent
  int Point2() const { return FPoint2; }
  // The face, stretched over the drawing area; an empty picture leaves the face in Color.
  void SetBackGroundDIB(const QImage& Value);
  const QImage& BackGroundDIB() const { return FBackGroundDIB; }

  // The scale's geometry for the current size and settings.
  TMMMeterGeometry Geometry() const;
  // The VU needle's angle as last drawn (radians from the left end); any thread.
  double NeedleAngle() const { return FAngle.load(std::memory_order_relaxed); }

  void SetDesigning(bool Value) override;

  // After each paint and each direct repaint, on the thread that drew.
  std::function<void()> OnPostPaint;
  // Forwarded from the law, on the thread that hands the data over.
  std::function<void()> OnGainOverflow;
  std::function<void()> OnPcmOverflow;

 protected:
  void Changed() override;
  void Paint() override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  // The law moved the needle or the peak: keep the values the drawing reads and draw them.
  void NeedleChanged();
  // Face, scale, caption and reference level into FWork. Caller holds CanvasLock.
  void DrawFace(const TMMMeterGeometry& G);
  void DrawVUScale(TDeviceContext& dc, const TMMMeterGeometry& G);
  void DrawPeakScale(TDeviceContext& dc, const TMMMeterGeometry& G);
  void DrawCaption(TDeviceContext& dc, const TMMMeterGeometry& G);
  // The needles into FWork, noting the box they cover. Caller holds CanvasLock.
  void DrawNeedles(const TMMMeterGeometry& G);
  // Copies the scale cache into FWork where the needles were drawn last (all of it when that
  // is not known), so FWork is the bare scale again. Caller holds CanvasLock.
  void RestoreScale();
  // FWork onto the control's Canvas at the drawing area.
  void ShowWork();
  void PresentOffScreen() override { ShowWork(); }
  // Sets a drawing setting with the canvas lock held (a direct repaint on another thread reads
  // them under that lock) and repaints when it changed.
  template <class T>
  void SetDrawing(T& Field, const T& Value) {
    if (Field == Value) return;
    {
      std::lock_guard lock(CanvasLock());
      Field = Value;
    }
    Invalidate();
  }
  void UpdateActive();
  void UpdateTimerItem();

  // The measuring state belongs to the thread that hands the data over; Tick (display timer
  // thread) touches only the held peak, which the law keeps atomic.
  TMMMeterLaw FLaw;

  // Drawing settings: main thread, written with CanvasLock held, since a direct repaint on
  // another thread reads them under that lock.
  std::string FCaption = "dB";
  TGdiFont FFont{"DejaVu Sans", 11, true, false, clSilver};
  TColor FScale1Color = clGreen;
  TColor FScale2Color = clYellow;
  TColor FScale3Color = clRed;
  TColor FNeedleColor = clWhite;
  TColor FPeakColor = clRed;
  int FNeedleOffset = 30;
  int FNeedleWidth = 1;
  TMMScaleOrigin FScaleOrigin = soInner;
  int FScaleHeight1 = 4;
  int FScaleHeight2 = 8;
  int FScaleTicks = 41;
  int FScaleTicksEnlargeEvery = 4;
  int FScaleTicksTextEvery = 8;
  bool FDrawScale = true;
  int FTopSpace = 14;
  int FPoint1 = 60;
  int FPoint2 = 80;
  bool FShowRefLevel = false;
  QImage FBackGroundDIB;

  // The two off-screen images of the drawing area; guarded by CanvasLock.
  QImage FWork;
  QImage FScaleCache;
  QRect FNeedleBox;  // what the needles drawn last cover in FWork; guarded by CanvasLock
  TRect FArea;  // the drawing area they were sized to; guarded by CanvasLock

  // What the needles show, written by the updating thread, read by whoever draws.
  std::atomic<double> FAngle{0.0};
  std::atomic<int> FLevel{0};
  // Enabled and visible: data are measured. Written by the main thread.
  std::atomic<bool> FActive{false};

  TDisplayTick FTick{[this] { FLaw.Tick(); }};  // main thread
};
