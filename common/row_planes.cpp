// The tile moves between interleaved rows and column-major planes.
//
// A tile of L rows of L samples is loaded as L vectors of L lanes (16 bytes
// each) and transposed with interleaving shuffles: each round pairs vector i
// with vector i + L/2 and interleaves their low and their high halves, which
// rotates the bits of a sample's (row, column) address by one place, so
// log2(L) rounds swap row and column. For n samples a pixel, L pixels of a
// row are n vectors; the j-th of them, transposed, gives samples L*j .. L*j +
// L - 1 of the L pixels as columns, each of which is sample (L*j + i) % n of
// pixel (L*j + i) / n for L consecutive rows. Rows and columns that do not
// fill a tile are copied one sample at a time. The vectors are the compilers'
// generic ones, which map to SSE2 on x86-64 and NEON on ARM.
#include "common/row_planes.h"

#include <cstring>
#include <type_traits>

namespace korvale {
namespace {

using Bytes16 = unsigned char __attribute__((vector_size(16)));
using Words8 = std::uint16_t __attribute__((vector_size(16)));

inline Bytes16 low_half(Bytes16 a, Bytes16 b) {
  return __builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
}
inline Bytes16 high_half(Bytes16 a, Bytes16 b) {
  return __builtin_shufflevector(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15,
                                 31);
}
inline Words8 low_half(Words8 a, Words8 b) {
  return __builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11);
}
inline Words8 high_half(Words8 a, Words8 b) {
  return __builtin_shufflevector(a, b, 4, 12, 5, 13, 6, 14, 7, 15);
}

inline Bytes16 swapped(Bytes16 v) {
  return v;
}
inline Words8 swapped(Words8 v) {
  return static_cast<Words8>((v << 8) | (v >> 8));
}
inline std::uint16_t swapped_value(std::uint16_t v) {
  return static_cast<std::uint16_t>(v << 8 | v >> 8);
}
inline unsigned char swapped_value(unsigned char v) {
  return v;
}

template <class T>
struct Lanes;
template <>
struct Lanes<unsigned char> {
  using Vector = Bytes16;
  static constexpr int kCount = 16;
};
template <>
struct Lanes<std::uint16_t> {
  using Vector = Words8;
  static constexpr int kCount = 8;
};

template <class V>
inline V load(const void* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
inline void store(void* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

// r[k] holds row k of a square tile; afterwards r[i] holds column i.
template <class V, int L>
inline void transpose(V* r) {
#pragma GCC unroll 4
  for (int round = 1; round < L; round *= 2) {
    V t[L];
#pragma GCC unroll 8
    for (int i = 0; i < L / 2; ++i) {
      t[2 * i] = low_half(r[i], r[i + L / 2]);
      t[2 * i + 1] = high_half(r[i], r[i + L / 2]);
    }
#pragma GCC unroll 16
    for (int i = 0; i < L; ++i) r[i] = t[i];
  }
}

// Tile columns ahead whose lines the tile loops ask for early: a plane's
// columns lie h samples apart, often a page or more, beyond the reach of the
// hardware's own prefetching, so each tile would otherwise wait for its L
// lines of every plane one after another.
constexpr int kAheadTiles = 2;

// Asks for the lines that rows y0 .. y0 + rows - 1 of columns x .. x + L - 1
// of the N planes lie on (for writing when Write is 1).
template <int N, int L, int Write, class Plane>
inline void prefetch_columns(const Plane* planes, std::size_t h, std::size_t y0, int rows, int x) {
  for (int c = 0; c < N; ++c) {
    for (int i = 0; i < L; ++i) {
      const auto* column = planes[c] + static_cast<std::size_t>(x + i) * h + y0;
      __builtin_prefetch(column, Write);
      __builtin_prefetch(column + rows - 1, Write);
    }
  }
}

template <class T, int N, bool Swap>
void to_planes(const T* first, std::ptrdiff_t stride, int rows, int w, T* const* planes,
               std::size_t h, std::size_t y0) {
  using V = typename Lanes<T>::Vector;
  constexpr int L = Lanes<T>::kCount;
  auto value = [](T v) { return Swap ? swapped_value(v) : v; };
  // Copies pixels [x_begin, w) of rows [k_begin, k_end) one sample at a time.
  auto by_sample = [&](int x_begin, int k_begin, int k_end) {
    for (int x = x_begin; x < w; ++x) {
      for (int c = 0; c < N; ++c) {
        T* column = planes[c] + static_cast<std::size_t>(x) * h + y0;
        const T* src = first + static_cast<std::ptrdiff_t>(x) * N + c;
        for (int k = k_begin; k < k_end; ++k) column[k] = value(src[k * stride]);
      }
    }
  };
  // Tiles column block by column block, every full band of L rows of a
  // block before the next, so each cache line of a column is filled whole.
  const int bands = rows / L;
  int x0 = 0;
  for (; w - x0 >= L; x0 += L) {
    if (w - x0 >= (kAheadTiles + 1) * L) {
      prefetch_columns<N, L, 1>(planes, h, y0, rows, x0 + kAheadTiles * L);
    }
    for (int band = 0; band < bands; ++band) {
      const int k0 = band * L;
      const T* src = first + k0 * stride + static_cast<std::ptrdiff_t>(x0) * N;
      const std::size_t y = y0 + static_cast<std::size_t>(k0);
#pragma GCC unroll 4
      for (int j = 0; j < N; ++j) {
        V r[L];
#pragma GCC unroll 16
        for (int k = 0; k < L; ++k) {
          r[k] = load<V>(src + k * stride + L * j);
          if (Swap) r[k] = swapped(r[k]);
        }
        transpose<V, L>(r);
#pragma GCC unroll 16
        for (int i = 0; i < L; ++i) {
          const int b = L * j + i;
          store(planes[b % N] + static_cast<std::size_t>(x0 + b / N) * h + y, r[i]);
        }
      }
    }
  }
  by_sample(x0, 0, bands * L);
  if (bands * L < rows) by_sample(0, bands * L, rows);
}

template <class T, int N, bool Swap>
void to_rows(const T* const* planes, std::size_t h, std::size_t y0, int rows, int w, T* first,
             std::ptrdiff_t stride) {
  using V = typename Lanes<T>::Vector;
  constexpr int L = Lanes<T>::kCount;
  auto value = [](T v) { return Swap ? swapped_value(v) : v; };
  auto by_sample = [&](int x_begin, int k_begin, int k_end) {
    for (int x = x_begin; x < w; ++x) {
      for (int c = 0; c < N; ++c) {
        const T* column = planes[c] + static_cast<std::size_t>(x) * h + y0;
        T* dst = first + static_cast<std::ptrdiff_t>(x) * N + c;
        for (int k = k_begin; k < k_end; ++k) dst[k * stride] = value(column[k]);
      }
    }
  };
  // Tiles column block by column block, every full band of L rows of a
  // block before the next, so each cache line of a column is read whole.
  const int bands = rows / L;
  int x0 = 0;
  for (; w - x0 >= L; x0 += L) {
    if (w - x0 >= (kAheadTiles + 1) * L) {
      prefetch_columns<N, L, 0>(planes, h, y0, rows, x0 + kAheadTiles * L);
    }
    for (int band = 0; band < bands; ++band) {
      const int k0 = band * L;
      T* dst = first + k0 * stride + static_cast<std::ptrdiff_t>(x0) * N;
      const std::size_t y = y0 + static_cast<std::size_t>(k0);
#pragma GCC unroll 4
      for (int j = 0; j < N; ++j) {
        V r[L];
#pragma GCC unroll 16
        for (int i = 0; i < L; ++i) {
          const int b = L * j + i;
          r[i] = load<V>(planes[b % N] + static_cast<std::size_t>(x0 + b / N) * h + y);
          if (Swap) r[i] = swapped(r[i]);
        }
        transpose<V, L>(r);
#pragma GCC unroll 16
        for (int k = 0; k < L; ++k) store(dst + k * stride + L * j, r[k]);
      }
    }
  }
  by_sample(x0, 0, bands * L);
  if (bands * L < rows) by_sample(0, bands * L, rows);
}

// Calls body(samples, swap) with n (1 .. 4, 4 for anything larger) and swap
// as compile-time constants, so each combination gets its own unrolled tiles.
template <class Body>
void with_layout(int n, bool swap, const Body& body) {
  const auto with_n = [&](auto s) {
    switch (n) {
      case 1:
        return body(std::integral_constant<int, 1>{}, s);
      case 2:
        return body(std::integral_constant<int, 2>{}, s);
      case 3:
        return body(std::integral_constant<int, 3>{}, s);
      default:
        return body(std::integral_constant<int, 4>{}, s);
    }
  };
  if (swap) {
    with_n(std::true_type{});
  } else {
    with_n(std::false_type{});
  }
}

}  // namespace

void rows_to_planes(const unsigned char* first, std::ptrdiff_t stride, int rows, int w, int n,
                    unsigned char* const* planes, std::size_t h, std::size_t y0) {
  with_layout(n, false, [&](auto c, auto) {
    to_planes<unsigned char, decltype(c)::value, false>(first, stride, rows, w, planes, h, y0);
  });
}

void planes_to_rows(const unsigned char* const* planes, std::size_t h, std::size_t y0, int rows,
                    int w, int n, unsigned char* first, std::ptrdiff_t stride) {
  with_layout(n, false, [&](auto c, auto) {
    to_rows<unsigned char, decltype(c)::value, false>(planes, h, y0, rows, w, first, stride);
  });
}

void rows_to_planes16(const std::uint16_t* first, std::ptrdiff_t stride, int rows, int w, int n,
                      std::uint16_t* const* planes, std::size_t h, std::size_t y0, bool swap) {
  with_layout(n, swap, [&](auto c, auto s) {
    to_planes<std::uint16_t, decltype(c)::value, decltype(s)::value>(first, stride, rows, w, planes,
                                                                     h, y0);
  });
}

void planes_to_rows16(const std::uint16_t* const* planes, std::size_t h, std::size_t y0, int rows,
                      int w, int n, std::uint16_t* first, std::ptrdiff_t stride, bool swap) {
  with_layout(n, swap, [&](auto c, auto s) {
    to_rows<std::uint16_t, decltype(c)::value, decltype(s)::value>(planes, h, y0, rows, w, first,
                                                                   stride);
  });
}

}  // namespace korvale
