// A flat push button with an arrow glyph that can repeat its click while it is held: the
// first repeat 400 ms after the press, then one every 100 ms. The spin button is made of two.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>

class QTimer;

enum TTimeBtnStateFlag : unsigned {
  tbFocusRect = 1,   // shows the dotted focus rectangle
  tbAllowTimer = 2,  // repeats its click while held
};
using TTimeBtnState = unsigned;

class TTimerSpeedButton : public QWidget {
 public:
  // The delay before the first repeat and between the later ones, in milliseconds.
  static constexpr int kInitRepeatPause = 400;
  static constexpr int kRepeatPause = 100;

  explicit TTimerSpeedButton(QWidget* parent);
  ~TTimerSpeedButton() override;

  // The glyph strip: NumGlyphs images side by side (normal, disabled, pressed, held). A strip
  // without an alpha channel shows the colour of its bottom-left pixel as transparent.
  const QImage& Glyph() const { return FGlyph; }
  void SetGlyph(const QImage& value);
  int NumGlyphs() const { return FNumGlyphs; }
  // 1..4; other values are ignored.
  void SetNumGlyphs(int value);

  TTimeBtnState TimeBtnState() const { return FTimeBtnState; }
  void SetTimeBtnState(TTimeBtnState value);

  // Whether the button shows pressed: held with the left button and the mouse over it.
  bool Pressed() const { return FDragging && FInside; }
  // Whether the repeat timer is running (tests).
  bool Repeating() const;
  // Fires OnClick.
  void Click();

  // A click: on release over the button and on every repeat.
  std::function<void(TTimerSpeedButton* Sender)> OnClick;
  // The left button went down on the button (the spin button moves the focus then).
  std::function<void(TTimerSpeedButton* Sender)> OnPress;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void TimerExpired();
  void StopRepeat();
  // The glyph of the current state, transparent where the strip's background shows.
  QImage ShownGlyph() const;

  QImage FGlyph;
  int FNumGlyphs = 1;
  TTimeBtnState FTimeBtnState = 0;
  bool FDragging = false;  // the left button went down here and is not yet up
  bool FInside = false;    // the mouse is over the button while dragging
  // Created on the first press; the button is its parent.
  QTimer* FRepeatTimer = nullptr;
};
