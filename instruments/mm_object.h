// A settings object that tells its owner about changes: OnChange after every change made
// outside an update bracket, and once when the outermost bracket closes.
#pragma once

#include "platform/component/component.h"

class TMMObject : public TObject {
 public:
  // Opens a bracket; the first one fires OnChanging.
  void BeginUpdate();
  // Closes a bracket; the last one fires OnChange.
  void EndUpdate();
  int UpdateCount() const { return FUpdateCount; }

  TNotifyEvent OnChanging;
  TNotifyEvent OnChange;

 protected:
  // Fire their event when it is set and no bracket is open.
  virtual void DoChange();
  virtual void DoChanging();

 private:
  int FUpdateCount = 0;
};
