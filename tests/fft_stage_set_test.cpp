#include <gtest/gtest.h>

#include "fft/fft_internal.h"

namespace korvale {
namespace {

// Indices outside the list are answered without touching it (under the
// sanitizers an out-of-range read of the list fails this test).
TEST(FftStageSets, IndicesOutsideTheListAreUnsupported) {
  const int count = fft_detail::stage_set_count();
  for (int i : {-1000, -1, count, count + 1, 1 << 30}) {
    EXPECT_FALSE(fft_detail::stage_set_supported(i)) << i;
  }
}

}  // namespace
}  // namespace korvale
