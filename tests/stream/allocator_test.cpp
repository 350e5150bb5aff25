#include "stream/allocator.h"

#include <gtest/gtest.h>

namespace {

TEST(Allocator, ReusesAnEqualSizeFirstThenALargerOne) {
  TMMAllocator pool;
  void* big = pool.AllocBuffer(GHND, 8192);
  void* small = pool.AllocBuffer(GHND, 4096);
  ASSERT_TRUE(big && small);
  EXPECT_EQ(static_cast<unsigned char*>(small)[4095], 0) << "zero-filled";
  void* p = big;
  pool.FreeBuffer(p);
  EXPECT_EQ(p, nullptr);
  p = small;
  pool.FreeBuffer(p);

  EXPECT_EQ(pool.AllocBuffer(GHND, 4096), small) << "equal size wins over the earlier larger one";
  EXPECT_EQ(pool.AllocBuffer(GHND, 4096), big) << "then the first larger free one";
  void* fresh = pool.AllocBuffer(GHND, 4096);
  EXPECT_NE(fresh, nullptr);
  EXPECT_NE(fresh, big);
  EXPECT_EQ(pool.Records().size(), 3u);
}

TEST(Allocator, ForeignPointersAreLeftAloneAndFreeAllEmptiesThePool) {
  TMMAllocator pool;
  int local = 0;
  int* foreign = &local;
  pool.FreeBuffer(foreign);
  EXPECT_EQ(foreign, &local);
  void* none = nullptr;
  pool.FreeBuffer(none);

  void* a = pool.AllocBuffer(GHND, 100);
  pool.FreeBuffer(a);
  pool.FreeAll();
  EXPECT_TRUE(pool.Records().empty());
}

}  // namespace
