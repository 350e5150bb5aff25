// The base of the windowed instruments (the control and panel bases): an owned bevel painted
// around the widget, with the inside filled with Color.
#pragma once

#include <QWidget>
#include <memory>

#include "instruments/bevel.h"
#include "platform/component/component.h"
#include "platform/gdi/gdi_types.h"

class TDeviceContext;

class TMMBevelledWidget : public QWidget, public TComponent {
 public:
  ~TMMBevelledWidget() override;

  // The bevel; assigning copies its settings, and every change repaints.
  TMMBevel* Bevel() { return FBevel.get(); }
  void SetBevel(const TMMBevel& value) { FBevel->Assign(value); }
  TColor Color() const { return FColor; }
  void SetColor(TColor value);
  int BevelExtend() const { return FBevel->BevelExtend(); }
  TRect ClientRect() const { return Rect(0, 0, width(), height()); }

 protected:
  // AClassName names the instrument in the warning of a paint that failed.
  TMMBevelledWidget(TComponent* AOwner, QWidget* AParent, const char* AClassName);

  // Runs on every bevel change (and once from the constructor, where it does not dispatch);
  // the base runs Changed.
  virtual void BevelChanged();
  // The base repaints.
  virtual void Changed();
  // Paints on Canvas: the base paints the bevel and fills the inside with Color.
  virtual void Paint();
  // The device context while Paint runs; null otherwise.
  TDeviceContext* Canvas() const { return FCanvas; }

  void paintEvent(QPaintEvent* event) override;

 private:
  std::unique_ptr<TMMBevel> FBevel;
  TColor FColor = clBtnFace;
  TDeviceContext* FCanvas = nullptr;  // main thread
  const char* FClassName;
};
