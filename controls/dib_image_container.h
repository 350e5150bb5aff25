// A panel that paints a background image from an image list and composes its windowless
// controls over it, handing them the mouse and the keyboard.
#pragma once

#include <QColor>
#include <QWidget>
#include <functional>
#include <vector>

#include "controls/dib_control.h"
#include "controls/dib_image_list.h"
#include "platform/component/component.h"

enum TTileMethod { tmCenter, tmTile };
enum TBorderDrawPosition { bdOverControls, bdUnderControls };

// A frame drawn inside the container's edge; no frame while Width is 0.
struct TDIBBorder {
  int Width = 0;
  QColor Color = Qt::black;
};

using TPaintEvent = std::function<void(TObject* Sender, QPainter& Canvas)>;

class TDIBImageContainer : public QWidget, public TComponent {
 public:
  explicit TDIBImageContainer(TComponent* AOwner, QWidget* parent = nullptr);
  ~TDIBImageContainer() override;

  TDIBImageList* DIBImageList() const { return FIndexImage.DIBImageList(); }
  void SetDIBImageList(TDIBImageList* list) { FIndexImage.SetDIBImageList(list); }
  // The background image.
  TDIBImageLink& IndexImage() { return FIndexImage; }

  TTileMethod TileMethod() const { return FTileMethod; }
  void SetTileMethod(TTileMethod value);
  TBorderDrawPosition BorderDrawPosition() const { return FBorderDrawPosition; }
  void SetBorderDrawPosition(TBorderDrawPosition value);
  const TDIBBorder& DIBBorder() const { return FBorder; }
  void SetDIBBorder(const TDIBBorder& value);
  // Painted where the background image does not cover the container.
  QColor Color() const { return FColor; }
  void SetColor(const QColor& value);

  // The windowless controls, bottom first.
  const std::vector<TDIBControl*>& DIBControls() const { return FControls; }
  // The topmost visible control at a point of the client area, or null.
  TDIBControl* ControlAt(const QPoint& point) const;
  // The control with the keyboard focus, or null.
  TDIBControl* ActiveControl() const { return FActive; }
  void SetActiveControl(TDIBControl* control);

  // Run after the background is painted, before the controls; and after everything.
  TPaintEvent BeforePaint;
  TPaintEvent AfterPaint;
  TNotifyEvent OnActiveControlChange;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  friend class TDIBControl;
  void AddControl(TDIBControl* control);
  void RemoveControl(TDIBControl* control);
  // A hidden control loses the mouse-inside mark and the focus.
  void ControlHidden(TDIBControl* control);
  bool Contains(const TDIBControl* control) const;
  void PaintBackground(QPainter& painter, const QRect& area);
  void PaintBorder(QPainter& painter);
  // Moves the mouse-inside mark to the control under `point` (none when null).
  void TrackMouse(const QPoint* point);
  // The next control in tab order after (or before) the active one; null past the end.
  TDIBControl* NextInTabOrder(bool forward) const;

  TDIBImageLink FIndexImage;
  TTileMethod FTileMethod = tmCenter;
  TBorderDrawPosition FBorderDrawPosition = bdOverControls;
  TDIBBorder FBorder;
  QColor FColor = QColor(0xF0, 0xF0, 0xF0);
  std::vector<TDIBControl*> FControls;
  TDIBControl* FHover = nullptr;     // has the mouse-inside mark
  TDIBControl* FCaptured = nullptr;  // the left button went down on it
  TDIBControl* FActive = nullptr;    // keyboard focus
  bool FDoubleClickPress = false;    // the captured press was the second of a double click
};
