#include "stream/allocator.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

TMMAllocator::~TMMAllocator() {
  FreeAll();
}

void* TMMAllocator::AllocBuffer(uint32_t Flags, int32_t Size) {
  std::lock_guard guard(FLock);
  for (auto& r : FRecords)
    if (r.UseCount == 0 && r.Size == Size) {
      ++r.UseCount;
      return r.Memory;
    }
  for (auto& r : FRecords)
    if (r.UseCount == 0 && r.Size >= Size) {
      ++r.UseCount;
      return r.Memory;
    }
  if (Size < 0) return nullptr;
  void* memory = (Flags & GMEM_ZEROINIT) ? std::calloc(1, size_t(Size) ? size_t(Size) : 1)
                                         : std::malloc(size_t(Size) ? size_t(Size) : 1);
  if (!memory) return nullptr;
  FRecords.push_back({memory, Size, 1});
  return memory;
}

void TMMAllocator::FreeBuffer(void*& P) {
  if (!P) return;
  std::lock_guard guard(FLock);
  for (auto& r : FRecords)
    if (r.Memory == P) {
      if (r.UseCount > 0) --r.UseCount;
      P = nullptr;
      return;
    }
}

void TMMAllocator::FreeAll() {
  std::lock_guard guard(FLock);
  while (!FRecords.empty()) {
    std::free(FRecords.back().Memory);
    FRecords.pop_back();
  }
}

std::vector<TMMAllocator::AllocRecord> TMMAllocator::Records() {
  std::lock_guard guard(FLock);
  return FRecords;
}
