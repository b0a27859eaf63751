// Reorderings of the FFT: the general bit-reversal permutation driven by the
// offset lists in ip, its conjugating form, and the fixed permutations of 16
// points. Compiled once per instruction-set variant (fft_variant.h).
#include "fft/fft_cvec.h"
#include "fft/fft_variant.h"

namespace korvale::fft_detail::KORVALE_FFT_VARIANT {
namespace {

// The points D(e, j, c, k, h) with D = 4j + S*ip[m+k] + 4m*c + nh*h + 2e and
// D(h, k, c', j, e) are bit-reversed partners (nh = n/2 doubles). For fixed
// j, c, k the two points e = 0, 1 are adjacent, so the four points of one
// (j, c, k) are two pairs x_h = (e = 0, e = 1) at base + nh*h, and their
// partners are the pairs y_e = (h = 0, h = 1) at base' + nh*e: the exchange
// is a 2 x 2 transpose between the two pairs of pairs.

// Exchanges the four points at x, x + nh with their partners at y, y + nh
// (x != y), conjugating all of them if Conj.
template <bool Conj>
KORVALE_INLINE void exchange4(double* a, int nh, int x, int y) {
  const cpair x0 = load2(a + x), x1 = load2(a + x + nh);
  const cpair y0 = load2(a + y), y1 = load2(a + y + nh);
  if constexpr (Conj) {
    store2(a + x, conj(lows(y0, y1)));
    store2(a + x + nh, conj(highs(y0, y1)));
    store2(a + y, conj(lows(x0, x1)));
    store2(a + y + nh, conj(highs(x0, x1)));
  } else {
    store2(a + x, lows(y0, y1));
    store2(a + x + nh, highs(y0, y1));
    store2(a + y, lows(x0, x1));
    store2(a + y + nh, highs(x0, x1));
  }
}

// The four points at x, x + nh whose partners are among themselves: exchanges
// (e = 1, h = 0) with (e = 0, h = 1); the other two are their own partners
// (conjugated in place if Conj).
template <bool Conj>
KORVALE_INLINE void exchange4_self(double* a, int nh, int x) {
  const cpair x0 = load2(a + x), x1 = load2(a + x + nh);
  if constexpr (Conj) {
    store2(a + x, conj(lows(x0, x1)));
    store2(a + x + nh, conj(highs(x0, x1)));
  } else {
    store2(a + x, lows(x0, x1));
    store2(a + x + nh, highs(x0, x1));
  }
}

// The middle digit c and its bit reversal c': one bit when S = 1 (l = 4),
// two bits with the bits exchanged when S = 2 (l = 8).
template <int S>
constexpr int rev_digit(int c) {
  return S == 1 ? c : ((c & 1) << 1) | (c >> 1);
}

// The exchanges of the diagonal j = k: the pairs whose partner is another
// point (e = 1, h = 0 with every c; when l = 8 also e = h with c = 1 <-> 2).
template <bool Conj, int S>
KORVALE_INLINE void bitrev_diagonal(double* a, int nh, int m4, int b) {
  if constexpr (S == 1) {
    exchange4_self<Conj>(a, nh, b);
    exchange4_self<Conj>(a, nh, b + m4);
  } else {
    exchange4_self<Conj>(a, nh, b);
    exchange4<Conj>(a, nh, b + m4, b + 2 * m4);
    exchange4_self<Conj>(a, nh, b + 3 * m4);
  }
}

// Every (j, k) with j < k exchanges all its points with their partners (8
// points each way when l = 4, 16 when l = 8), and every diagonal j = k the
// pairs above. The k are taken two at a time (k, k + 1): the partners of one
// j for k and k + 1 share their cache lines, which the bit-reversed strides
// would otherwise evict between the two.
template <bool Conj, int S>
void bitrev_impl(int n, const int* ip, double* a, int m) {
  constexpr int kDigits = S == 1 ? 2 : 4;
  const int nh = n >> 1;
  const int m4 = 4 * m;
  const int* off = ip + m;
  for (int k = 0; k < m; k += 2) {
    const int ok0 = S * off[k], ok1 = S * off[k + 1];
    for (int j = 0; j < k; ++j) {
      const int oj = S * off[j];
#pragma GCC unroll 4
      for (int c = 0; c < kDigits; ++c) {
        const int cr = m4 * rev_digit<S>(c);
        exchange4<Conj>(a, nh, 4 * j + ok0 + m4 * c, 4 * k + oj + cr);
        exchange4<Conj>(a, nh, 4 * j + ok1 + m4 * c, 4 * (k + 1) + oj + cr);
      }
    }
    // (j, k') = (k, k + 1)
#pragma GCC unroll 4
    for (int c = 0; c < kDigits; ++c) {
      exchange4<Conj>(a, nh, 4 * k + ok1 + m4 * c, 4 * (k + 1) + ok0 + m4 * rev_digit<S>(c));
    }
    bitrev_diagonal<Conj, S>(a, nh, m4, 4 * k + ok0);
    bitrev_diagonal<Conj, S>(a, nh, m4, 4 * (k + 1) + ok1);
  }
}

template <bool Conj>
void reorder_impl(int n, const int* ip, double* a) {
  int m = 1;
  int l = n >> 2;
  while (l > 8) {
    m <<= 1;
    l >>= 2;
  }
  if (l == 8) {
    bitrev_impl<Conj, 2>(n, ip, a, m);
  } else {
    bitrev_impl<Conj, 1>(n, ip, a, m);
  }
}

// Writes old point src[k] to new point k for the N points of a.
template <int N>
KORVALE_INLINE void permute(double* a, const int (&src)[N]) {
  cvec v[N];
  for (int k = 0; k < N; ++k) v[k] = load(a + 2 * k);
  for (int k = 0; k < N; ++k) store(a + 2 * k, v[src[k]]);
}

}  // namespace

void reorder_bitrev(int n, const int* ip, double* a) {
  reorder_impl<false>(n, ip, a);
}
void reorder_bitrev_conj(int n, const int* ip, double* a) {
  reorder_impl<true>(n, ip, a);
}

void reorder16(double* a) {
  static constexpr int kSrc[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  permute(a, kSrc);
}

void reorder16_negated(double* a) {
  static constexpr int kSrc[16] = {0, 15, 7, 11, 3, 13, 5, 9, 1, 14, 6, 10, 2, 12, 4, 8};
  permute(a, kSrc);
}

}  // namespace korvale::fft_detail::KORVALE_FFT_VARIANT
