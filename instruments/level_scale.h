// The dB scale of a level bar: the values that the bar's spots stand for, printed in the
// colours of the bar's zones, with optional rows of ticks from its own Scale. A windowless
// control; the placement of labels and ticks is LevelScaleRows' and LevelScaleLabels'.
#pragma once

#include <memory>

#include "instruments/core/scale_law.h"
#include "instruments/graphic_control.h"
#include "instruments/level_bar.h"
#include "instruments/scale.h"
#include "platform/gdi/device_context.h"

class TMMLevelScale : public TMMGraphicControl {
 public:
  // 200 x 7, black, labels in "Small Fonts" of 8 pixels.
  explicit TMMLevelScale(TComponent* AOwner, QWidget* AParent = nullptr);

  // Every setter that changes a value repaints the control.
  const TGdiFont& GetFont() const { return FFont; }
  void SetFont(const TGdiFont& Value);
  // Label positions; at least 2.
  int GetScaleTicks() const { return FSettings.ScaleTicks; }
  void SetScaleTicks(int Value);
  // Zone limits in percent, 1 to 100.
  int GetPoint1() const { return FSettings.Point1; }
  void SetPoint1(int Value);
  int GetPoint2() const { return FSettings.Point2; }
  void SetPoint2(int Value);
  // Zone colours of labels and ticks: Zone 1, 2 or 3.
  TColor GetScaleColor(int Zone) const { return FScaleColor[ZoneIndex(Zone)]; }
  void SetScaleColor(int Zone, TColor Value);
  // The value at the low end in dB, -90 to -9.
  int GetSensitivy() const { return FSettings.Sensitivy; }
  void SetSensitivy(int Value);
  bool GetLogAmp() const { return FSettings.LogAmp; }
  void SetLogAmp(bool Value);
  // Swaps width and height when the new kind needs it.
  TMMLevelKind GetKind() const { return FSettings.Vertical ? lkVertical : lkHorizontal; }
  void SetKind(TMMLevelKind Value);
  TMMLevelDirection GetDirection() const { return FSettings.Direction; }
  void SetDirection(TMMLevelDirection Value);
  // Where tick rows go when Scale is visible.
  TMMScalePos GetScalePos() const { return FScalePos; }
  void SetScalePos(TMMScalePos Value);
  // The owned tick rows; a change repaints. Assigning copies the settings.
  TMMLevScale* Scale() { return &FScale; }
  void SetScale(const TMMCustomScale& Value) { FScale.Assign(Value); }

  // The labels as the next paint places them (for tests and for a person checking the
  // layout); uses the control's font.
  std::vector<TMMScaleLabel> Labels();

 protected:
  void Paint() override;

 private:
  static int ZoneIndex(int Zone) { return Zone < 1 ? 0 : Zone > 3 ? 2 : Zone - 1; }
  // The tick rows (drawn when Canvas is given) and the labels of the control's picture.
  std::vector<TMMScaleLabel> Layout(TDeviceContext& Canvas, bool DrawRows);

  // All main thread.
  TMMLevelScaleSettings FSettings;
  TGdiFont FFont{"Small Fonts", 8};
  TColor FScaleColor[3] = {clWhite, clWhite, clRed};
  TMMScalePos FScalePos = spBoth;
  TMMLevScale FScale;
};
