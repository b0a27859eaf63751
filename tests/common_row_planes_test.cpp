// The tile moves between interleaved rows and column-major planes, swept over
// sample counts, widths and strip heights around the tile size, strides of
// either sign with padding, a strip in the middle of the planes and 16-bit
// values with and without the byte swap, each against a copy made one sample
// at a time.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common/row_planes.h"

namespace korvale {
namespace {

template <class T>
T swap_bytes(T v, bool swap) {
  if constexpr (sizeof(T) == 2) {
    if (swap) return static_cast<T>(v << 8 | v >> 8);
  }
  return v;
}

template <class T>
void check_both_ways(int n, int w, int rows, bool bottom_up, bool swap, std::mt19937* rng) {
  SCOPED_TRACE(testing::Message() << "n " << n << " w " << w << " rows " << rows << " bottom-up "
                                  << bottom_up << " swap " << swap << " bytes " << sizeof(T));
  const std::size_t h = static_cast<std::size_t>(rows) + 5;  // the strip starts at row 3
  const std::size_t y0 = 3;
  const std::ptrdiff_t row_len = static_cast<std::ptrdiff_t>(w) * n + 3;  // padded
  std::vector<T> strip(static_cast<std::size_t>(row_len) * rows);
  for (T& v : strip) v = static_cast<T>((*rng)());
  T* first = bottom_up ? strip.data() + (rows - 1) * row_len : strip.data();
  const std::ptrdiff_t stride = bottom_up ? -row_len : row_len;

  std::vector<std::vector<T>> planes(n, std::vector<T>(static_cast<std::size_t>(w) * h, 7));
  std::vector<T*> ptrs;
  for (auto& p : planes) ptrs.push_back(p.data());
  if constexpr (sizeof(T) == 1) {
    rows_to_planes(first, stride, rows, w, n, ptrs.data(), h, y0);
  } else {
    rows_to_planes16(first, stride, rows, w, n, ptrs.data(), h, y0, swap);
  }
  for (int c = 0; c < n; ++c) {
    for (int x = 0; x < w; ++x) {
      for (std::size_t y = 0; y < h; ++y) {
        const T got = planes[c][x * h + y];
        const bool inside = y >= y0 && y < y0 + static_cast<std::size_t>(rows);
        const T want =
            inside
                ? swap_bytes(first[static_cast<std::ptrdiff_t>(y - y0) * stride + x * n + c], swap)
                : T{7};
        ASSERT_EQ(got, want) << "plane " << c << " x " << x << " y " << y;
      }
    }
  }

  // Back: fresh rows from the planes, the padding left alone.
  std::vector<T> back(strip.size(), 9);
  T* back_first = bottom_up ? back.data() + (rows - 1) * row_len : back.data();
  std::vector<const T*> cptrs(ptrs.begin(), ptrs.end());
  if constexpr (sizeof(T) == 1) {
    planes_to_rows(cptrs.data(), h, y0, rows, w, n, back_first, stride);
  } else {
    planes_to_rows16(cptrs.data(), h, y0, rows, w, n, back_first, stride, swap);
  }
  for (std::size_t i = 0; i < back.size(); ++i) {
    const bool pad = static_cast<std::ptrdiff_t>(i % row_len) >= static_cast<std::ptrdiff_t>(w) * n;
    ASSERT_EQ(back[i], pad ? T{9} : strip[i]) << "at " << i;
  }
}

TEST(RowPlanes, TilesAndEdgesMatchSampleBySampleCopies) {
  std::mt19937 rng(12345);
  for (int n = 1; n <= 4; ++n) {
    for (int w : {1, 7, 8, 15, 16, 17, 33, 50}) {
      for (int rows : {1, 7, 8, 9, 16, 17, 40}) {
        for (bool bottom_up : {false, true}) {
          check_both_ways<unsigned char>(n, w, rows, bottom_up, false, &rng);
          for (bool swap : {false, true}) {
            check_both_ways<std::uint16_t>(n, w, rows, bottom_up, swap, &rng);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvale
