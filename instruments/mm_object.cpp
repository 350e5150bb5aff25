#include "instruments/mm_object.h"

void TMMObject::BeginUpdate() {
  if (FUpdateCount == 0) DoChanging();
  ++FUpdateCount;
}

void TMMObject::EndUpdate() {
  if (FUpdateCount == 0) return;
  if (--FUpdateCount == 0) DoChange();
}

void TMMObject::DoChange() {
  if (OnChange && FUpdateCount == 0) OnChange(this);
}

void TMMObject::DoChanging() {
  if (OnChanging && FUpdateCount == 0) OnChanging(this);
}
