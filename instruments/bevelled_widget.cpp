#include "instruments/bevelled_widget.h"

#include "platform/gdi/device_context.h"

TMMBevelledWidget::TMMBevelledWidget(TComponent* AOwner, QWidget* AParent, const char* AClassName)
    : QWidget(AParent),
      TComponent(AOwner),
      FBevel(std::make_unique<TMMBevel>()),
      FClassName(AClassName) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  FBevel->OnChange = [this](TObject* /*Sender*/) { BevelChanged(); };
  BevelChanged();
}

TMMBevelledWidget::~TMMBevelledWidget() {
  Destroying();
}

void TMMBevelledWidget::SetColor(TColor value) {
  if (value == FColor) return;
  FColor = value;
  update();
}

void TMMBevelledWidget::BevelChanged() {
  Changed();
}

void TMMBevelledWidget::Changed() {
  update();
}

void TMMBevelledWidget::Paint() {
  const TRect inner = FBevel->PaintBevel(*FCanvas, ClientRect(), true);
  FCanvas->FillRect(inner, FColor);
}

void TMMBevelledWidget::paintEvent(QPaintEvent* /*event*/) {
  TDeviceContext canvas(this);
  FCanvas = &canvas;
  try {
    Paint();
  } catch (const std::exception& e) {
    // A paint event has no caller to hand an error to.
    qWarning("%s: %s", FClassName, e.what());
  }
  FCanvas = nullptr;
}
