// An image button without a window of its own: its container draws one glyph of an image strip
// for the button's state.
#pragma once

#include <QColor>
#include <QFont>
#include <QPoint>
#include <memory>
#include <string>

#include "controls/dib_control.h"
#include "controls/dib_image_list.h"
#include "stream/mm_error.h"

class EDIBGlyphButtonError : public EMMError {
 public:
  using EMMError::EMMError;
};

// Button states, which are also the glyph positions of a five-glyph strip.
enum TDIBButtonState {
  bsUp = 0,
  bsClicking = 1,
  bsDisabled = 2,
  bsMouseOver = 3,
  bsDown = 4,
};

class TDIBHoverWatch;

class TDIBGlyphButton : public TDIBControl {
 public:
  explicit TDIBGlyphButton(TComponent* AOwner);
  ~TDIBGlyphButton() override;

  TDIBImageList* DIBImageList() const { return FGlyph.DIBImageList(); }
  void SetDIBImageList(TDIBImageList* list) { FGlyph.SetDIBImageList(list); }
  // The strip: NumGlyphs glyphs side by side, each as wide as the button. The button takes the
  // size of one glyph whenever the strip or NumGlyphs changes.
  TDIBImageLink& Glyph() { return FGlyph; }

  int NumGlyphs() const { return FNumGlyphs; }
  // 2..5; other values are ignored.
  void SetNumGlyphs(int value);

  bool Down() const { return FDown; }
  // Setting it releases every other button of the same owner and the same non-zero Group.
  void SetDown(bool value);
  // A click inverts Down after OnClick.
  bool ToggleDown() const { return FToggleDown; }
  void SetToggleDown(bool value) { FToggleDown = value; }
  int Group() const { return FGroup; }
  void SetGroup(int value) { FGroup = value; }

  // A caption drawn centred over the glyph, moved by the offset of the state.
  std::string Caption() const { return FCaption; }
  void SetCaption(const std::string& value);
  QFont Font;
  QColor FontColor = Qt::black;
  QFont FontDisabled;
  QColor FontDisabledColor = Qt::gray;
  QPoint CaptionOffsetEnabled;
  QPoint CaptionOffsetMouseClick;
  QPoint CaptionOffsetDisabled;
  QPoint CaptionOffsetMouseOver;
  QPoint CaptionOffsetDown;

  // The current state (TDIBButtonState).
  int State() const { return FState; }
  // The glyph shown for the current state.
  int GlyphIndex() const { return GlyphIndex(FState, FNumGlyphs); }
  // The glyph a strip of `numGlyphs` shows for `state`: the state itself when the strip has
  // that many glyphs, else up for disabled and mouse over, clicking for down.
  // EDIBGlyphButtonError "Unknown button state" for a state outside 0..4.
  static int GlyphIndex(int state, int numGlyphs);

  // Fires OnClick, then inverts Down when ToggleDown is set.
  void Click() override;
  void Loaded() override;

 protected:
  void Paint(QPainter& Canvas) override;
  void MouseEnter() override;
  void MouseLeave() override;
  void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) override;
  void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) override;
  void DoEnter() override;
  void DoExit() override;
  void KeyDown(int& Key, TShiftState Shift) override;
  void EnabledChanged() override;

 private:
  // Works out the state from Enabled, Down, the mouse and the focus, and repaints on a change.
  void UpdateState();
  // One glyph of the strip.
  void AdjustSize();

  TDIBImageLink FGlyph;
  int FNumGlyphs = 2;
  bool FDown = false;
  bool FToggleDown = false;
  int FGroup = 0;
  std::string FCaption;
  bool FHeld = false;  // the left button went down on the button and is not yet up
  int FState = bsUp;
  // While the mouse is inside: watches the container and its window for what takes the mouse
  // without a leave (a modal dialog, the window going inactive or hidden), and then ends the
  // hover; when the window is free again it looks where the cursor really is.
  std::unique_ptr<TDIBHoverWatch> FHoverWatch;
};
