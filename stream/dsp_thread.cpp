#include "stream/dsp_thread.h"

#include <algorithm>
#include <mutex>

#include "platform/mainloop/main_loop.h"

namespace {

// Threads register and unregister themselves while others look up the caller: a small lock
// keeps the list consistent.
// Never destroyed, so that a thread still ending while the program exits finds both.
std::mutex& RegistryLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::vector<TMMDSPThread*>& Registry() {
  static auto* registry = new std::vector<TMMDSPThread*>;
  return *registry;
}

}  // namespace

TMMDSPThread::TMMDSPThread(TMMDSPComponent* Owner) : TThread(true), FOwner(Owner) {
  std::lock_guard guard(RegistryLock());
  Registry().push_back(this);
}

TMMDSPThread::~TMMDSPThread() {
  std::lock_guard guard(RegistryLock());
  auto& registry = Registry();
  registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
  if (registry.empty()) registry.shrink_to_fit();
}

std::vector<TMMDSPThread*> TMMDSPThread::ThreadRegistry() {
  std::lock_guard guard(RegistryLock());
  return Registry();
}

void TMMDSPThread::Synchronize(const std::function<void()>& method) {
  ::Synchronize(method);
}

void DSPSynchronize(const std::function<void()>& method) {
  if (!IsMainThread()) {
    TMMDSPThread* worker = nullptr;
    {
      std::lock_guard guard(RegistryLock());
      const TThreadId self = GetCurrentThreadId();
      for (TMMDSPThread* t : Registry())
        if (t->ThreadID() == self) {
          worker = t;
          break;
        }
    }
    if (worker) {
      worker->Synchronize(method);
      return;
    }
  }
  method();
}
