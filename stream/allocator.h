// A per-owner pool of block memory: freed blocks are kept and reused, an equal size first,
// else the first larger one; memory goes back to the heap only in FreeAll.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/kernel/sync.h"

constexpr uint32_t GMEM_FIXED = 0x0000;
constexpr uint32_t GMEM_ZEROINIT = 0x0040;
constexpr uint32_t GHND = 0x0042;  // the callers' flags: zero-filled

class TMMAllocator {
 public:
  struct AllocRecord {
    void* Memory;
    int32_t Size;
    int32_t UseCount;
  };

  TMMAllocator() = default;
  ~TMMAllocator();
  TMMAllocator(const TMMAllocator&) = delete;
  TMMAllocator& operator=(const TMMAllocator&) = delete;

  // None when the heap has no room.
  void* AllocBuffer(uint32_t Flags, int32_t Size);
  // Returns P to the pool and sets it to none; a pointer not in the pool is left unchanged.
  void FreeBuffer(void*& P);
  template <typename T>
  void FreeBuffer(T*& P) {
    void* p = P;
    FreeBuffer(p);
    P = static_cast<T*>(p);
  }
  void FreeAll();

  // A snapshot of the records, for inspection.
  std::vector<AllocRecord> Records();

 private:
  TCriticalSection FLock;
  std::vector<AllocRecord> FRecords;
};
