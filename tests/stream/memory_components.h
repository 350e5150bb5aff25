// In-memory ends of a chain for engine tests: a sink that collects pushed bytes and a source
// that serves a byte vector to pulls.
#pragma once

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/kernel/thread.h"
#include "stream/dsp_component.h"

class TMemorySink : public TMMDSPComponent {
 public:
  using TMMDSPComponent::TMMDSPComponent;
  bool HasInputPort() const override { return true; }
  void BufferReady(PWaveHdr h) override {
    std::function<void()> hook;
    {
      std::lock_guard guard(FLock);
      FBytes.insert(FBytes.end(), h->lpData, h->lpData + h->dwBytesRecorded);
      ++FBlocks;
      hook = OnReceive;
    }
    if (hook) hook();
  }
  std::vector<char> Bytes() {
    std::lock_guard guard(FLock);
    return FBytes;
  }
  size_t Size() {
    std::lock_guard guard(FLock);
    return FBytes.size();
  }
  std::function<void()> OnReceive;  // runs after each block, on the pushing thread
  std::atomic<int> FBlocks{0};

 private:
  std::mutex FLock;
  std::vector<char> FBytes;
};

class TMemorySource : public TMMDSPComponent {
 public:
  TMemorySource(TComponent* owner, std::vector<char> data)
      : TMMDSPComponent(owner), FData(std::move(data)) {}
  bool HasOutputPort() const override { return true; }
  void BufferLoad(PWaveHdr h, bool& more) override {
    ++FLoads;
    if (GetCurrentThreadId() == FWatchedThread) ++FLoadsOnWatchedThread;
    if (OnLoad) OnLoad();
    const size_t n = std::min<size_t>(h->dwBufferLength, FData.size() - FPos);
    if (n > 0) std::memcpy(h->lpData, FData.data() + FPos, n);
    FPos += n;
    h->dwBytesRecorded = uint32_t(n);
    more = FPos < FData.size();
  }
  std::function<void()> OnLoad;  // runs before each load, on the pulling thread
  std::atomic<int> FLoads{0};
  std::atomic<TThreadId> FWatchedThread{0};
  std::atomic<int> FLoadsOnWatchedThread{0};

 private:
  std::vector<char> FData;
  size_t FPos = 0;
};

inline std::vector<char> Pattern(size_t n, unsigned seed = 1) {
  std::vector<char> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : v) {
    x = x * 1664525u + 1013904223u;
    c = char(x >> 24);
  }
  return v;
}
