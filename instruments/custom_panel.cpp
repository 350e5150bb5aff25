#include "instruments/custom_panel.h"

#include "platform/gdi/device_context.h"

TMMCustomPanel::TMMCustomPanel(TComponent* AOwner, QWidget* AParent)
    : QWidget(AParent), TComponent(AOwner), FBevel(std::make_unique<TMMBevel>()) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  FBevel->OnChange = [this](TObject* sender) { BevelChanged(sender); };
  BevelChanged(nullptr);
}

TMMCustomPanel::~TMMCustomPanel() {
  Destroying();
}

void TMMCustomPanel::SetColor(TColor value) {
  if (value == FColor) return;
  FColor = value;
  update();
}

void TMMCustomPanel::BevelChanged(TObject* /*Sender*/) {
  // Child controls are laid out inside the bevel.
  const int e = BevelExtend();
  setContentsMargins(e, e, e, e);
  Changed();
}

void TMMCustomPanel::Changed() {
  update();
}

void TMMCustomPanel::Paint() {
  const TRect inner = FBevel->PaintBevel(*FCanvas, ClientRect(), true);
  FCanvas->FillRect(inner, FColor);
}

void TMMCustomPanel::paintEvent(QPaintEvent* /*event*/) {
  TDeviceContext canvas(this);
  FCanvas = &canvas;
  try {
    Paint();
  } catch (const std::exception& e) {
    // A paint event has no caller to hand an error to.
    qWarning("TMMCustomPanel: %s", e.what());
  }
  FCanvas = nullptr;
}
