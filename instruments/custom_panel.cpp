#include "instruments/custom_panel.h"

TMMCustomPanel::TMMCustomPanel(TComponent* AOwner, QWidget* AParent)
    : TMMBevelledWidget(AOwner, AParent, "TMMCustomPanel") {
  // The base constructor's bevel change ran before this class existed.
  FitContents();
}

void TMMCustomPanel::BevelChanged() {
  FitContents();
  TMMBevelledWidget::BevelChanged();
}

void TMMCustomPanel::FitContents() {
  // Child controls are laid out inside the bevel.
  const int e = BevelExtend();
  setContentsMargins(e, e, e, e);
}
