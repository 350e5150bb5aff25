// An up/down arrow pair: mouse presses (repeating while held) and the arrow keys become "up"
// and "down" clicks. The owner does the arithmetic.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

#include "controls/timer_speed_button.h"
#include "platform/component/component.h"

class TSpinButton : public QWidget, public TComponent {
 public:
  explicit TSpinButton(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TSpinButton() override;

  // The arrow images; a null image restores the built-in arrow.
  QImage UpGlyph() const { return FUpButton->Glyph(); }
  void SetUpGlyph(const QImage& value);
  QImage DownGlyph() const { return FDownButton->Glyph(); }
  void SetDownGlyph(const QImage& value);
  // 1..4 images side by side in a glyph (normal, disabled, pressed, held); others are ignored.
  int UpNumGlyphs() const { return FUpButton->NumGlyphs(); }
  void SetUpNumGlyphs(int value) { FUpButton->SetNumGlyphs(value); }
  int DownNumGlyphs() const { return FDownButton->NumGlyphs(); }
  void SetDownNumGlyphs(int value) { FDownButton->SetNumGlyphs(value); }

  // The control that takes the focus when an arrow is pressed; none for the spin button
  // itself.
  QWidget* FocusControl() const { return FFocusControl; }
  void SetFocusControl(QWidget* value) { FFocusControl = value; }

  // Disabled, the control takes no input and the arrows keep their look.
  bool Enabled() const { return isEnabled(); }
  void SetEnabled(bool value) { setEnabled(value); }

  TTimerSpeedButton* UpButton() const { return FUpButton; }
  TTimerSpeedButton* DownButton() const { return FDownButton; }
  // The button the space bar clicks: the up button until an arrow is pressed or keyed.
  TTimerSpeedButton* FocusedButton() const { return FFocusedButton; }

  // The built-in arrows: dark triangles on a transparent ground.
  static QImage BuiltInGlyph(bool up);

  void Loaded() override;

  // Fired for every click and every repeat of the arrow; not while loading.
  TNotifyEvent OnUpClick;
  TNotifyEvent OnDownClick;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // Places the two buttons over the control's height, overlapping by one row.
  void AdjustSize();
  void SetFocusButton(TTimerSpeedButton* button);
  // Shows the focus rectangle on the focused button while the control has the focus.
  void UpdateFocusRect();
  void ButtonPressed(TTimerSpeedButton* button);
  void ButtonClicked(TTimerSpeedButton* button);

  TTimerSpeedButton* FUpButton;    // child widget
  TTimerSpeedButton* FDownButton;  // child widget, over the up button's last row
  TTimerSpeedButton* FFocusedButton;
  QPointer<QWidget> FFocusControl;
};
