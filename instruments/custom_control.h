// The base of windowed controls that take input (the slider): an owned bevel painted around the
// control's drawing area.
#pragma once

#include "instruments/bevelled_widget.h"

class TMMCustomControl : public TMMBevelledWidget {
 public:
  explicit TMMCustomControl(TComponent* AOwner, QWidget* AParent = nullptr);
};
