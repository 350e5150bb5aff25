#include "instruments/custom_control.h"

#include "platform/gdi/device_context.h"

TMMCustomControl::TMMCustomControl(TComponent* AOwner, QWidget* AParent)
    : QWidget(AParent), TComponent(AOwner), FBevel(std::make_unique<TMMBevel>()) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  FBevel->OnChange = [this](TObject* sender) { BevelChanged(sender); };
  BevelChanged(nullptr);
}

TMMCustomControl::~TMMCustomControl() {
  Destroying();
}

void TMMCustomControl::SetColor(TColor value) {
  if (value == FColor) return;
  FColor = value;
  update();
}

void TMMCustomControl::BevelChanged(TObject* /*Sender*/) {
  Changed();
}

void TMMCustomControl::Changed() {
  update();
}

void TMMCustomControl::Paint() {
  const TRect inner = FBevel->PaintBevel(*FCanvas, ClientRect(), true);
  FCanvas->FillRect(inner, FColor);
}

void TMMCustomControl::paintEvent(QPaintEvent* /*event*/) {
  TDeviceContext canvas(this);
  FCanvas = &canvas;
  try {
    Paint();
  } catch (const std::exception& e) {
    // A paint event has no caller to hand an error to.
    qWarning("TMMCustomControl: %s", e.what());
  }
  FCanvas = nullptr;
}
