#include "instruments/custom_control.h"

TMMCustomControl::TMMCustomControl(TComponent* AOwner, QWidget* AParent)
    : TMMBevelledWidget(AOwner, AParent, "TMMCustomControl") {}
