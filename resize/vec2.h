// Two doubles in one SSE2 register (GCC/Clang vector extensions), for the
// resizer's line packing and transposes: loads and stores at any double, and
// the shuffles they need. Private to resize/.
#pragma once

namespace korvale::resize_detail {

typedef double v2d __attribute__((vector_size(16)));
typedef double v2d_u __attribute__((vector_size(16), aligned(8), may_alias));

inline v2d load(const double* p) {
  return *reinterpret_cast<const v2d_u*>(p);
}
inline void store(double* p, v2d v) {
  *reinterpret_cast<v2d_u*>(p) = v;
}
// (x0, x1) -> (x1, x0)
inline v2d swap(v2d x) {
  return __builtin_shufflevector(x, x, 1, 0);
}
// (x0, x1), (y0, y1) -> (x0, y0) and (x1, y1)
inline v2d lows(v2d x, v2d y) {
  return __builtin_shufflevector(x, y, 0, 2);
}
inline v2d highs(v2d x, v2d y) {
  return __builtin_shufflevector(x, y, 1, 3);
}

}  // namespace korvale::resize_detail
