// Named buffers: the large-buffer path's rounding and alignment, the counts
// that overflow, the test seam that makes the k-th allocation fail, and the
// one process exit of library code ("NAME no memory!!", status 1).
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>

#include "common/named_alloc.h"
#include "tests/child_process.h"

namespace korvale {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

TEST(NamedAlloc, LargeBuffersFromAQuarterHugePageAreWholeAlignedHugePages) {
  // Below 512 KB a plain block; from 512 KB on, whole 2 MB pages at a 2 MB
  // boundary, so every byte up to the rounded size is usable.
  const std::size_t sizes[] = {1,         kHugePage / 4 - 1, kHugePage / 4,    kHugePage - 1,
                               kHugePage, kHugePage + 1,     3 * kHugePage + 5};
  for (std::size_t bytes : sizes) {
    SCOPED_TRACE(bytes);
    Buffer<unsigned char> p(static_cast<unsigned char*>(try_alloc_large_bytes(bytes, 1, "t")));
    ASSERT_TRUE(p);
    EXPECT_GE(malloc_usable_size(p.get()), bytes);
    if (bytes < kHugePage / 4) continue;
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p.get()) % kHugePage, 0u);
    EXPECT_GE(malloc_usable_size(p.get()), rounded);
    p[rounded - 1] = 1;  // the last byte of the last page is ours (ASan would say otherwise)
  }
  // Elements count, not bytes: 65536 doubles are 512 KB.
  Buffer<double> d(static_cast<double*>(try_alloc_large_bytes(65536, sizeof(double), "t")));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d.get()) % kHugePage, 0u);
}

TEST(NamedAlloc, CountsThatOverflowFailAndZeroIsAValidBlock) {
  EXPECT_EQ(try_alloc_bytes(SIZE_MAX / 2 + 1, 2, "t"), nullptr);
  EXPECT_EQ(try_alloc<double>(SIZE_MAX / 4, "t"), nullptr);
  EXPECT_EQ(try_alloc_large_bytes(SIZE_MAX / 8 + 1, 8, "t"), nullptr);
  // Fits size_t, but not once rounded up to whole huge pages.
  EXPECT_EQ(try_alloc_large_bytes(SIZE_MAX - kHugePage / 2, 1, "t"), nullptr);
  Buffer<int> a(try_alloc<int>(0, "t")), b(try_alloc<int>(0, "t"));
  ASSERT_TRUE(a && b);
  EXPECT_NE(a.get(), b.get());
}

TEST(NamedAlloc, SeamFailsTheKthAllocationOfItsNameOnce) {
  fail_named_allocation("ww", 2);
  Buffer<char> other(try_alloc<char>(8, "ip"));  // another name does not count
  Buffer<char> first(try_alloc<char>(8, "ww"));
  EXPECT_TRUE(other && first);
  EXPECT_EQ(try_alloc_large_bytes(8, 1, "ww"), nullptr);  // the second "ww", large or not
  Buffer<char> again(try_alloc<char>(8, "ww"));           // disarmed once it has fired
  EXPECT_TRUE(again);

  fail_named_allocation(nullptr, 1);  // any name
  EXPECT_EQ(try_alloc<char>(8, "x"), nullptr);
  fail_named_allocation(nullptr, 1);
  clear_named_allocation_failure();
  Buffer<char> cleared(try_alloc<char>(8, "x"));
  EXPECT_TRUE(cleared);
}

TEST(NamedAlloc, FailedNamedBufferEndsTheProcessWithItsName) {
  const test::ChildResult small = test::run_in_child([] {
    fail_named_allocation("HDCT", 1);
    Buffer<double> b = named_buffer<double>(16, "HDCT");
  });
  EXPECT_EQ(small.status, 1);
  EXPECT_EQ(small.out, "HDCT no memory!!\n");
  const test::ChildResult huge = test::run_in_child(
      [] { Buffer<double> b = named_large_buffer<double>(SIZE_MAX / 4, "VDCT"); });
  EXPECT_EQ(huge.status, 1);
  EXPECT_EQ(huge.out, "VDCT no memory!!\n");
}

}  // namespace
}  // namespace korvale
