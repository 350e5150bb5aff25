// The base of windowed panels that hold other controls (the LED panel): an owned bevel painted
// around the panel, with the area given to child controls shrunk by its width on every side.
#pragma once

#include "instruments/bevelled_widget.h"

class TMMCustomPanel : public TMMBevelledWidget {
 public:
  explicit TMMCustomPanel(TComponent* AOwner, QWidget* AParent = nullptr);

 protected:
  // Realigns the child controls inside the bevel, then runs Changed.
  void BevelChanged() override;

 private:
  void FitContents();
};
