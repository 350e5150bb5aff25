// The base of the devices' and the ring buffer's worker threads, and the hand-off of a
// notification from such a worker to the main thread.
#pragma once

#include <functional>
#include <vector>

#include "platform/kernel/thread.h"

class TMMDSPComponent;

class TMMDSPThread : public TThread {
 public:
  // Created suspended; registered in ThreadRegistry for its lifetime.
  explicit TMMDSPThread(TMMDSPComponent* Owner);
  ~TMMDSPThread() override;

  TMMDSPComponent* Owner() const { return FOwner; }
  // Runs `method` on the main thread while this worker waits for it.
  void Synchronize(const std::function<void()>& method);

  // Every live worker, in creation order.
  static std::vector<TMMDSPThread*> ThreadRegistry();

 protected:
  TMMDSPComponent* FOwner;
};

// From a registered worker: run `method` on the main thread and wait for it. Anywhere else
// (the main thread, an unregistered thread): call it directly.
void DSPSynchronize(const std::function<void()>& method);
