// The base of windowed panels that hold other controls (the LED panel): an owned bevel painted
// around the panel, with the area given to child controls shrunk by its width on every side.
#pragma once

#include <QWidget>
#include <memory>

#include "instruments/bevel.h"
#include "platform/component/component.h"
#include "platform/gdi/gdi_types.h"

class TDeviceContext;

class TMMCustomPanel : public QWidget, public TComponent {
 public:
  explicit TMMCustomPanel(TComponent* AOwner, QWidget* AParent = nullptr);
  ~TMMCustomPanel() override;

  // The bevel; assigning copies its settings, and every change repaints.
  TMMBevel* Bevel() { return FBevel.get(); }
  void SetBevel(const TMMBevel& value) { FBevel->Assign(value); }
  TColor Color() const { return FColor; }
  void SetColor(TColor value);
  int BevelExtend() const { return FBevel->BevelExtend(); }
  TRect ClientRect() const { return Rect(0, 0, width(), height()); }

 protected:
  // A bevel change realigns the child controls, then runs Changed; the base repaints.
  virtual void Changed();
  // Paints on Canvas: the base paints the bevel and fills the inside with Color.
  virtual void Paint();
  // The device context while Paint runs; null otherwise.
  TDeviceContext* Canvas() const { return FCanvas; }

  void paintEvent(QPaintEvent* event) override;

 private:
  void BevelChanged(TObject* Sender);

  std::unique_ptr<TMMBevel> FBevel;
  TColor FColor = clBtnFace;
  TDeviceContext* FCanvas = nullptr;  // main thread
};
