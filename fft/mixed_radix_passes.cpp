// The mixed-radix FFT's passes: the radix-2, 3, 4, 5 and 8 butterflies, the
// nine and the sixteen (two stages of three or four in registers), the ten,
// fourteen and fifteen (two and five, two and seven, three and five, in Good
// and Thomas's prime-factor form), the general odd one (primes from 7 to 31)
// and Rader's for larger primes, the pass that runs one of them over a line, its pruned forms for
// the ends of a run (a first pass that skips zero inputs, a last pass that leaves out unneeded
// outputs), and the run of a whole plan. Compiled once per instruction-set variant (fft_variant.h);
// every variant does the same operations in the same order, so the bits agree.
//
// The butterflies are written once over a vector type V that holds either
// one complex point (cvec) or two consecutive ones (cpair, one AVX register),
// with the same element-wise operations either way: a pass runs two points at
// once where its points come in pairs and one point at the ends.
#include <array>
#include <cmath>
#include <cstddef>

#include "fft/fft_cvec.h"
#include "fft/fft_variant.h"
#include "fft/mixed_radix.h"

namespace korvale::fft_detail::KORVALE_FFT_VARIANT {
namespace {

// Loads and stores of one point (cvec) or two consecutive points (cpair).
template <class V>
KORVALE_INLINE V load_v(const double* p);
template <>
KORVALE_INLINE cvec load_v<cvec>(const double* p) {
  return load(p);
}
template <>
KORVALE_INLINE cpair load_v<cpair>(const double* p) {
  return load2(p);
}
KORVALE_INLINE void store_v(double* p, cvec v) {
  store(p, v);
}
KORVALE_INLINE void store_v(double* p, cpair v) {
  store2(p, v);
}

// The rotation factor of a pass: (-s, s) on every point, so that
// swap_lanes(a) * rs = i s a exactly, for s = +1 (inverse) or -1 (forward).
template <class V>
KORVALE_INLINE V rotation(double s);
template <>
KORVALE_INLINE cvec rotation<cvec>(double s) {
  return cvec{-s, s};
}
template <>
KORVALE_INLINE cpair rotation<cpair>(double s) {
  return cpair{-s, s, -s, s};
}

// i s a
template <class V>
KORVALE_INLINE V rot(V a, V rs) {
  return swap_lanes(a) * rs;
}

// Radix 5's constants c_m = cos(2 pi m/5), s_m = sin(2 pi m/5).
constexpr double kC1 = 0.30901699437494742410, kS1 = 0.95105651629515357212;
constexpr double kC2 = -0.80901699437494742410, kS2 = 0.58778525229247312917;

// The radix-5 butterfly's outputs from x0, the sums t1 = x1 + x4,
// t2 = x2 + x3 and the swapped differences u4 = swap(x1 - x4),
// u3 = swap(x2 - x3) (see butterfly<5>). rot(kS1 t4 + kS2 t3, rs) and
// rot(kS2 t4 - kS1 t3, rs) have the signs of rs folded into the constants:
// negating terms and sums commutes with rounding, so the bits are the same.
template <class V>
KORVALE_INLINE void radix5_outputs(V* x, V x0, V t1, V t2, V u4, V u3, V rs) {
  const V s1 = kS1 * rs, s2 = kS2 * rs;
  const V a1 = x0 + kC1 * t1 + kC2 * t2;
  const V b1 = u4 * s1 + u3 * s2;
  const V a2 = x0 + kC2 * t1 + kC1 * t2;
  const V b2 = u4 * s2 - u3 * s1;
  x[0] = x0 + t1 + t2;
  x[1] = a1 + b1;
  x[4] = a1 - b1;
  x[2] = a2 + b2;
  x[3] = a2 - b2;
}

// cos(2 pi k/R) and sin(2 pi k/R) for k < R, at [2k] and [2k + 1]: the
// constants of the general odd butterfly and of the nine and the sixteen,
// computed once per radix in long double.
template <int R>
const double* unit_roots() {
  static const std::array<double, 2 * R> roots = [] {
    std::array<double, 2 * R> r{};
    for (int k = 0; k < R; ++k) {
      const long double angle = 2.0L * 3.141592653589793238462643383279502884L * k / R;
      r[2 * k] = static_cast<double>(std::cos(angle));
      r[2 * k + 1] = static_cast<double>(std::sin(angle));
    }
    return r;
  }();
  return roots.data();
}

// The general odd butterfly, for the prime radices R from 7 to
// kMixedRadixLargestRadix: with h = (R - 1)/2 pairs t_j = x_j + x_(R-j),
// d_j = x_j - x_(R-j) and c_k = cos(2 pi k/R), s_k = sin(2 pi k/R),
//   y_0 = x_0 + t_1 + ... + t_h,
//   y_m, y_(R-m) = (x_0 + sum_j c_(mj mod R) t_j) +- i s sum_j s_(mj mod R) d_j,
// the sums radix 5 does. The rotation i s goes into the differences once,
// u_j = rot(d_j, rs), rather than into each of the h^2 sines: its products
// by +-1 are exact, so the bits are those of the sines times rs.
template <int R, class V>
KORVALE_INLINE void butterfly_odd(V* x, V rs) {
  const double* roots = unit_roots<R>();
  constexpr int h = (R - 1) / 2;
  V t[h], u[h];
  const V x0 = x[0];
  V y0 = x0;
  for (int j = 1; j <= h; ++j) {
    t[j - 1] = x[j] + x[R - j];
    u[j - 1] = rot(x[j] - x[R - j], rs);
    y0 = y0 + t[j - 1];
  }
  for (int m = 1; m <= h; ++m) {
    V a = x0 + roots[2 * m] * t[0];
    V b = u[0] * roots[2 * m + 1];
    for (int j = 2; j <= h; ++j) {
      const int k = m * j % R;
      a = a + roots[2 * k] * t[j - 1];
      b = b + u[j - 1] * roots[2 * k + 1];
    }
    x[m] = a + b;
    x[R - m] = a - b;
  }
  x[0] = y0;
}

template <int R, class V>
KORVALE_INLINE void butterfly(V* x, V rs);

// The butterfly of R = P^2 points as two stages of P in registers, with
// w = exp(s 2 pi i/R): z[b][c] = DFT_P over a of x[b + P a], times w^(bc);
// y[c + P d] = DFT_P over b of z[b][c] at d. w^k v = cos(2 pi k/R) v +
// sin(2 pi k/R) i s v, exactly i s v where 4k = R.
template <int P, class V>
KORVALE_INLINE void butterfly_square(V* x, V rs) {
  constexpr int R = P * P;
  const double* w = unit_roots<R>();
  V z[P][P];
  for (int b = 0; b < P; ++b) {
    for (int a = 0; a < P; ++a) z[b][a] = x[b + P * a];
    butterfly<P>(z[b], rs);
    for (int c = 1; b > 0 && c < P; ++c) {
      const int k = b * c;
      z[b][c] = 4 * k == R ? rot(z[b][c], rs)
                           : w[2 * k] * z[b][c] + swap_lanes(z[b][c]) * (w[2 * k + 1] * rs);
    }
  }
  for (int c = 0; c < P; ++c) {
    V y[P];
    for (int b = 0; b < P; ++b) y[b] = z[b][c];
    butterfly<P>(y, rs);
    for (int d = 0; d < P; ++d) x[c + P * d] = y[d];
  }
}

// The butterfly of R = P Q points, P and Q coprime, in Good and Thomas's
// prime-factor form, with no twiddles between its stages: input
// (Q a + P b) mod R is point (a, b) and output (E c + F d) mod R point (c, d)
// of a P x Q DFT (E = 1 mod P and 0 mod Q, F = 0 mod P and 1 mod Q): DFTs of
// Q over b, then of P over a.
template <int P, int Q, class V>
KORVALE_INLINE void butterfly_prime_factor(V* x, V rs) {
  constexpr int R = P * Q;
  constexpr int E = [] {
    int e = Q;
    while (e % P != 1) e += Q;
    return e;
  }();
  constexpr int F = [] {
    int f = P;
    while (f % Q != 1) f += P;
    return f;
  }();
  V z[P][Q];
  for (int a = 0; a < P; ++a) {
    for (int b = 0; b < Q; ++b) z[a][b] = x[(Q * a + P * b) % R];
    butterfly<Q>(z[a], rs);
  }
  for (int d = 0; d < Q; ++d) {
    V y[P];
    for (int a = 0; a < P; ++a) y[a] = z[a][d];
    butterfly<P>(y, rs);
    for (int c = 0; c < P; ++c) x[(E * c + F * d) % R] = y[c];
  }
}

// The butterflies: x[0 .. R) replaced by its R-point DFT,
// y[c] = sum_b x[b] exp(s 2 pi i b c / R), s = +1 (inverse) or -1 (forward).
template <int R, class V>
KORVALE_INLINE void butterfly(V* x, V rs) {
  if constexpr (R == 2) {
    // y0 = x0 + x1, y1 = x0 - x1.
    const V t = x[0] - x[1];
    x[0] = x[0] + x[1];
    x[1] = t;
  } else if constexpr (R == 3) {
    // y0 = x0 + (x1 + x2); y1,2 = x0 - (x1 + x2)/2 +- i s sin(pi/3) (x1 - x2).
    constexpr double kSin60 = 0.86602540378443864676;
    const V t1 = x[1] + x[2], t2 = x[1] - x[2];
    const V a = x[0] - 0.5 * t1;
    const V b = swap_lanes(t2) * (kSin60 * rs);  // rot(kSin60 t2, rs), the sign folded in
    x[0] = x[0] + t1;
    x[1] = a + b;
    x[2] = a - b;
  } else if constexpr (R == 4) {
    // y0,2 = (x0 + x2) +- (x1 + x3); y1,3 = (x0 - x2) +- i s (x1 - x3), the
    // rotation's exact product by +-1 fused into the sums.
    const V t0 = x[0] + x[2], t1 = x[0] - x[2];
    const V t2 = x[1] + x[3], u3 = swap_lanes(x[1] - x[3]);
    x[0] = t0 + t2;
    x[2] = t0 - t2;
    x[1] = fmadd_exact(u3, rs, t1);
    x[3] = fmadd_exact(u3, -rs, t1);
  } else if constexpr (R == 8) {
    // With w = exp(s i pi/4), e = DFT4(x0, x2, x4, x6), o = DFT4(x1, x3, x5, x7):
    // y_c = e_c + w^c o_c, y_c+4 = e_c - w^c o_c (c < 4).
    V e[4] = {x[0], x[2], x[4], x[6]};
    V o[4] = {x[1], x[3], x[5], x[7]};
    butterfly<4>(e, rs);
    butterfly<4>(o, rs);
    constexpr double kC45 = 0.70710678118654752440;
    // w o1 = c45 (o1 + i s o1), w^2 o2 = i s o2, w^3 o3 = c45 (i s o3 - o3).
    const V w1 = kC45 * (o[1] + rot(o[1], rs));
    const V w2 = rot(o[2], rs);
    const V w3 = kC45 * (rot(o[3], rs) - o[3]);
    x[0] = e[0] + o[0];
    x[4] = e[0] - o[0];
    x[1] = e[1] + w1;
    x[5] = e[1] - w1;
    x[2] = e[2] + w2;
    x[6] = e[2] - w2;
    x[3] = e[3] + w3;
    x[7] = e[3] - w3;
  } else if constexpr (R == 9 || R == 16) {
    butterfly_square<R == 9 ? 3 : 4>(x, rs);
  } else if constexpr (R == 10 || R == 14 || R == 15) {
    butterfly_prime_factor<R == 15 ? 3 : 2, R == 14 ? 7 : 5>(x, rs);
  } else if constexpr (R == 7 || R > 8) {
    butterfly_odd<R>(x, rs);
  } else {
    static_assert(R == 5);
    // With c_m = cos(2 pi m/5), s_m = sin(2 pi m/5):
    // y1,4 = x0 + c1 (x1 + x4) + c2 (x2 + x3) +- i s (s1 (x1 - x4) + s2 (x2 - x3)),
    // y2,3 = x0 + c2 (x1 + x4) + c1 (x2 + x3) +- i s (s2 (x1 - x4) - s1 (x2 - x3)).
    const V t1 = x[1] + x[4], t4 = x[1] - x[4];
    const V t2 = x[2] + x[3], t3 = x[2] - x[3];
    radix5_outputs(x, x[0], t1, t2, swap_lanes(t4), swap_lanes(t3), rs);
  }
}

// The butterfly of a block whose inputs x[Z .. R) are zero (the first pass
// over a line padded with zeros), 1 <= Z <= R: the operations of
// butterfly<R> with every zero input, and every sum or product of zero
// inputs, left out. Adding or subtracting a zero leaves the other operand
// exactly, so the outputs are the full butterfly's bit for bit, except
// possibly the sign of an exact zero (-0 + 0 = +0). x[Z .. R) are not read.
template <int R, int Z, class V>
KORVALE_INLINE void butterfly_sparse(V* x, V rs) {
  static_assert(Z >= 1 && Z <= R);
  if constexpr (Z == R) {
    butterfly<R>(x, rs);
  } else if constexpr (Z == 1) {
    // y_c = x0.
    for (int c = 1; c < R; ++c) x[c] = x[0];
  } else if constexpr (R == 3) {
    // Z = 2: y0 = x0 + x1; y1,2 = (x0 - x1/2) +- i s sin(pi/3) x1.
    constexpr double kSin60 = 0.86602540378443864676;
    const V a = x[0] - 0.5 * x[1];
    const V b = swap_lanes(x[1]) * (kSin60 * rs);
    x[0] = x[0] + x[1];
    x[1] = a + b;
    x[2] = a - b;
  } else if constexpr (R == 4) {
    // Z = 2: y0,2 = x0 +- x1; y1,3 = x0 +- i s x1.
    // Z = 3: y0,2 = (x0 + x2) +- x1; y1,3 = (x0 - x2) +- i s x1 (the
    // rotation fused into the sums as in butterfly<4>).
    V t0 = x[0], t1 = x[0];
    if constexpr (Z == 3) {
      t0 = x[0] + x[2];
      t1 = x[0] - x[2];
    }
    const V t2 = x[1], u3 = swap_lanes(x[1]);
    x[0] = t0 + t2;
    x[2] = t0 - t2;
    x[1] = fmadd_exact(u3, rs, t1);
    x[3] = fmadd_exact(u3, -rs, t1);
  } else {
    static_assert(R == 5);
    // butterfly<5> with t1 = t4 = x1 (x4 = 0), and t2 = t3 = 0 (Z = 2),
    // t2 = t3 = x2 (Z = 3) or t2,3 = x2 +- x3 (Z = 4).
    const V x0 = x[0], t1 = x[1];
    const V u4 = swap_lanes(t1);
    if constexpr (Z == 2) {
      const V s1 = kS1 * rs, s2 = kS2 * rs;
      const V a1 = x0 + kC1 * t1;
      const V b1 = u4 * s1;
      const V a2 = x0 + kC2 * t1;
      const V b2 = u4 * s2;
      x[0] = x0 + t1;
      x[1] = a1 + b1;
      x[4] = a1 - b1;
      x[2] = a2 + b2;
      x[3] = a2 - b2;
    } else {
      V t2 = x[2], t3 = x[2];
      if constexpr (Z == 4) {
        t2 = x[2] + x[3];
        t3 = x[2] - x[3];
      }
      radix5_outputs(x, x0, t1, t2, u4, swap_lanes(t3), rs);
    }
  }
}

// One butterfly at position i of a block whose R inputs are `ido` points
// apart from src + 2i and whose R outputs go `stride` doubles apart from
// dst + 2i; output c > 0 is multiplied by its twiddle at twp + 4 (c - 1)
// (twp: the block of i's pair of points, see run_pass). Only the first Z
// inputs are read, the others being zero (butterfly_sparse; with Z = 0 every
// output is +0, where the full butterfly's zeros may be -0). All inputs are
// read before any output is written (the first pass runs in place).
template <int R, int Z, class V, bool kTwiddled>
KORVALE_INLINE void pass_step(const double* src, double* dst, std::size_t ido, std::size_t stride,
                              const double* twp, std::size_t i, V rs) {
  if constexpr (Z == 0) {
    for (int c = 0; c < R; ++c) store_v(dst + 2 * i + stride * c, V{});
  } else {
    V x[R];
    for (int b = 0; b < Z; ++b) x[b] = load_v<V>(src + 2 * (i + ido * b));
    butterfly_sparse<R, Z>(x, rs);
    store_v(dst + 2 * i, x[0]);
    for (int c = 1; c < R; ++c) {
      store_v(dst + 2 * i + stride * c,
              kTwiddled ? cmul(x[c], load_v<V>(twp + 4 * (c - 1))) : x[c]);
    }
  }
}

// The twiddles of point i > 0 of a pass of `radix` whose twiddles start at
// tw, as pass_step reads them: i's pair of points (i - 1) / 2, offset by i's
// lane.
KORVALE_INLINE const double* twiddles_at(const double* tw, int radix, std::size_t i) {
  return tw + 4 * static_cast<std::size_t>(radix - 1) * ((i - 1) / 2) + 2 * ((i - 1) % 2);
}

// Positions i in [begin, end) of the first pass (l1 = 1, ido > 1), each
// butterfly with Z nonzero inputs (pass_step): i = 0 without twiddles (they
// are all 1), a point that is the second of its pair alone, then pairs of
// points i, i + 1 as the twiddles are stored, then a last point left over.
template <int R, int Z>
KORVALE_INLINE void first_pass_span(const double* src, double* dst, std::size_t ido,
                                    const double* tw, std::size_t begin, std::size_t end, cvec rs1,
                                    cpair rs2) {
  const std::size_t stride = 2 * ido;
  std::size_t i = begin;
  if (i == 0 && i < end) {
    pass_step<R, Z, cvec, false>(src, dst, ido, stride, nullptr, 0, rs1);
    i = 1;
  }
  if (i < end && i % 2 == 0) {
    pass_step<R, Z, cvec, true>(src, dst, ido, stride, twiddles_at(tw, R, i), i, rs1);
    ++i;
  }
  for (; i + 2 <= end; i += 2) {
    pass_step<R, Z, cpair, true>(src, dst, ido, stride, twiddles_at(tw, R, i), i, rs2);
  }
  if (i < end) pass_step<R, Z, cvec, true>(src, dst, ido, stride, twiddles_at(tw, R, i), i, rs1);
}

// first_pass_span with z (0 <= z <= R) nonzero inputs per butterfly, z known
// at run time.
template <int R, int Z = R>
void sparse_span(int z, const double* src, double* dst, std::size_t ido, const double* tw,
                 std::size_t begin, std::size_t end, cvec rs1, cpair rs2) {
  if constexpr (Z > 0) {
    if (z < Z) {
      sparse_span<R, Z - 1>(z, src, dst, ido, tw, begin, end, rs1, rs2);
      return;
    }
  }
  first_pass_span<R, Z>(src, dst, ido, tw, begin, end, rs1, rs2);
}

// Butterflies k in [begin, end) of the last pass (ido = 1, l1 of them, no
// twiddles; see run_pass) of which only outputs c < Q are stored: the others,
// out[k + l1 c] for c >= Q, are neither computed nor written (Q = R: the
// whole pass). Output j is multiplied by times[j] as it is written, when
// `times` is not null. The inputs of k are R consecutive points, so two k at
// a time gather their points b into pairs; the outputs of k and k + 1 are
// neighbours.
template <int R, int Q>
void last_span(int begin, int end, int l1, const double* in, double* out, const double* times,
               cvec rs1, cpair rs2) {
  const std::size_t stride = 2 * static_cast<std::size_t>(l1);
  int k = begin;
  for (; k + 2 <= end; k += 2) {
    const double* src = in + 2 * static_cast<std::size_t>(R) * k;
    cpair x[R];
    for (int b = 0; b < R; ++b) x[b] = join(load(src + 2 * b), load(src + 2 * (R + b)));
    butterfly<R>(x, rs2);
    for (int c = 0; c < Q; ++c) {
      const std::size_t at = 2 * static_cast<std::size_t>(k) + stride * c;
      store2(out + at, times != nullptr ? cmul(x[c], load2(times + at)) : x[c]);
    }
  }
  if (k < end) {
    const double* src = in + 2 * static_cast<std::size_t>(R) * k;
    cvec x[R];
    for (int b = 0; b < R; ++b) x[b] = load(src + 2 * b);
    butterfly<R>(x, rs1);
    for (int c = 0; c < Q; ++c) {
      const std::size_t at = 2 * static_cast<std::size_t>(k) + stride * c;
      store(out + at, times != nullptr ? cmul(x[c], load(times + at)) : x[c]);
    }
  }
}

// last_span with q (1 <= q <= R) outputs kept, q known at run time.
template <int R, int Q = R>
void last_span_keeping(int q, int begin, int end, int l1, const double* in, double* out,
                       const double* times, cvec rs1, cpair rs2) {
  if constexpr (Q > 1) {
    if (q < Q) {
      last_span_keeping<R, Q - 1>(q, begin, end, l1, in, out, times, rs1, rs2);
      return;
    }
  }
  last_span<R, Q>(begin, end, l1, in, out, times, rs1, rs2);
}

// One pass of radix R after l1 points' worth of earlier radices, with
// ido = N / (l1 R): for every k < l1 and i < ido, the R points
// in[i + ido (b + R k)], b < R, go through the butterfly, and output c is
// multiplied by the twiddle exp(s 2 pi i c l1 i / N) and written to
// out[i + ido (k + l1 c)]. The last pass (ido = 1) multiplies output j by
// times[j] as it writes it, when `times` is not null.
//
// The twiddles of points i > 0 are stored by pairs of points (1, 2), (3, 4),
// ...: pair q holds, for c = 1 .. R-1, the twiddles of its two points side by
// side (complex index 2 (q (R - 1) + c - 1) + lane). A pass then reads them
// as one stream instead of R - 1 streams ido points apart, which on powers
// of two fell into the same cache sets as the data's own streams (4096
// points: a third of the run time).
template <int R>
void run_pass(int ido_in, int l1, const double* in, double* out, const double* tw, double s,
              const double* times) {
  const std::size_t ido = static_cast<std::size_t>(ido_in);
  const std::size_t stride = 2 * ido * l1;  // doubles between outputs c and c + 1
  const cvec rs1 = rotation<cvec>(s);
  const cpair rs2 = rotation<cpair>(s);
  if (ido == 1) {
    last_span<R, R>(0, l1, l1, in, out, times, rs1, rs2);
    return;
  }
  for (int k = 0; k < l1; ++k) {
    const double* src = in + 2 * ido * R * k;
    double* dst = out + 2 * ido * k;
    // 1. i = 0: every twiddle is 1.
    pass_step<R, R, cvec, false>(src, dst, ido, stride, nullptr, 0, rs1);
    // 2. Pairs of points i, i + 1.
    std::size_t i = 1;
    const double* twp = tw;
    for (; i + 2 <= ido; i += 2, twp += 4 * (R - 1)) {
      pass_step<R, R, cpair, true>(src, dst, ido, stride, twp, i, rs2);
    }
    // 3. The last point when ido is even.
    if (i < ido) pass_step<R, R, cvec, true>(src, dst, ido, stride, twp, i, rs1);
  }
}

// run_pass as the first pass (l1 = 1, ido > 1) over a line whose points from
// `nonzero` on (nonzero < N) are zero and are not read: butterfly i has the
// nonzero inputs b < ceil((nonzero - i) / ido), q + 1 of them for i < r and
// q for the rest, with q = nonzero / ido and r = nonzero % ido.
template <int R>
void run_first_pass_pruned(int ido_in, const double* in, double* out, const double* tw, double s,
                           int nonzero) {
  const std::size_t ido = static_cast<std::size_t>(ido_in);
  const std::size_t q = static_cast<std::size_t>(nonzero) / ido;
  const std::size_t r = static_cast<std::size_t>(nonzero) % ido;
  const cvec rs1 = rotation<cvec>(s);
  const cpair rs2 = rotation<cpair>(s);
  const int z = static_cast<int>(q);
  if (r > 0) sparse_span<R>(z + 1, in, out, ido, tw, 0, r, rs1, rs2);
  sparse_span<R>(z, in, out, ido, tw, r, ido, rs1, rs2);
}

// run_pass as the last pass (ido = 1) of which only out[j], j < needed
// (needed < N), is written: butterfly k keeps its outputs
// c < ceil((needed - k) / l1), q + 1 of them for k < r and q for the rest,
// with q = needed / l1 and r = needed % l1.
template <int R>
void run_last_pass_pruned(int l1, const double* in, double* out, double s, const double* times,
                          int needed) {
  const int q = needed / l1, r = needed % l1;
  const cvec rs1 = rotation<cvec>(s);
  const cpair rs2 = rotation<cpair>(s);
  if (r > 0) last_span_keeping<R>(q + 1, 0, r, l1, in, out, times, rs1, rs2);
  if (q > 0) last_span_keeping<R>(q, r, l1, l1, in, out, times, rs1, rs2);
}

// The convolution of a Rader block (see run_rader_pass) whose inputs b > 0
// are in scratch[0 .. 2q) in the order of g's negative powers, a[j] =
// x_(g^-j): B = DFT(a) times the kernel's spectrum (the forward sub-plan's
// last pass does the product), then B[0] += x_0, and the inverse sub-plan,
// so that y_(g^j) = scratch[j]. The sub-plans run on `scratch`.
KORVALE_INLINE void rader_convolve(const MixedRadixRader& r, int q, cvec x0, double* scratch) {
  mixed_radix_run(*r.forward, scratch, r.kernel.get(), q, q);
  store(scratch, load(scratch) + x0);
  mixed_radix_run(*r.backward, scratch, nullptr, q, q);
}

// One pass of a prime radix P > kMixedRadixLargestRadix by Rader's algorithm
// (see mixed_radix.h), with run_pass's blocks, twiddles and `times`. For
// each block: a[j] = x_(g^-j), j < P - 1, and y_0 = x_0 + a[0] + a[1] + ...;
// the convolution (rader_convolve); the outputs y_(g^j). Every input of a
// block is read before any output is written, so the pass may run in place
// as a first pass. As the last pass (ido = 1) it runs the blocks k and
// k + 1 one after the other, on scratch areas a sub-plan's work area apart,
// summing their y_0 side by side and storing their outputs, neighbours in
// `out`, as pairs: half as many stores across the line (a block's outputs
// lie l1 points apart), and two chains of additions at once.
void run_rader_pass(const MixedRadixRader& r, int radix, int ido_in, int l1, const double* in,
                    double* out, const double* tw, const double* times, double* scratch) {
  const int q = radix - 1;
  const std::size_t ido = static_cast<std::size_t>(ido_in);
  const std::size_t stride = 2 * ido * l1;  // doubles between outputs c and c + 1
  const int* gather = r.order.get();
  const int* scatter = gather + q;
  int k = 0;
  if (ido == 1) {
    double* const other = scratch + r.sub_work;
    for (; k + 1 < l1; k += 2) {
      const double* src = in + 2 * static_cast<std::size_t>(radix) * k;
      const double* src_b = src + 2 * radix;
      double* dst = out + 2 * k;
      // 1. Both blocks' inputs, their y_0 summed side by side.
      const cvec x0 = load(src), x0_b = load(src_b);
      cpair y0 = join(x0, x0_b);
      for (int j = 0; j < q; ++j) {
        const cvec x = load(src + 2 * gather[j]), x_b = load(src_b + 2 * gather[j]);
        y0 = y0 + join(x, x_b);
        store(scratch + 2 * j, x);
        store(other + 2 * j, x_b);
      }
      // 2. The convolutions.
      rader_convolve(r, q, x0, scratch);
      rader_convolve(r, q, x0_b, other);
      // 3. Output g^j of both blocks, times `times` when given.
      if (times != nullptr) {
        store2(dst, cmul(y0, load2(times + 2 * k)));
        for (int j = 0; j < q; ++j) {
          const std::size_t at = stride * static_cast<std::size_t>(scatter[j]);
          const cpair y = join(load(scratch + 2 * j), load(other + 2 * j));
          store2(dst + at, cmul(y, load2(times + 2 * k + at)));
        }
      } else {
        store2(dst, y0);
        for (int j = 0; j < q; ++j) {
          const std::size_t at = stride * static_cast<std::size_t>(scatter[j]);
          store2(dst + at, join(load(scratch + 2 * j), load(other + 2 * j)));
        }
      }
    }
  }
  for (; k < l1; ++k) {
    for (std::size_t i = 0; i < ido; ++i) {
      const double* src = in + 2 * (i + ido * radix * k);
      double* dst = out + 2 * (i + ido * k);
      // 1. The inputs b > 0 in the order of g's negative powers, and
      // y_0 = x_0 + a[0] + a[1] + ...
      const cvec x0 = load(src);
      cvec y0 = x0;
      for (int j = 0; j < q; ++j) {
        const cvec x = load(src + 2 * ido * gather[j]);
        y0 = y0 + x;
        store(scratch + 2 * j, x);
      }
      // 2. The convolution.
      rader_convolve(r, q, x0, scratch);
      // 3. Output g^j: as it is (i = 0 without `times`), times its twiddle
      // (i > 0, twiddles_at) or times `times` (the last pass, ido = 1).
      if (times != nullptr) {
        store(dst, cmul(y0, load(times + 2 * k)));
        for (int j = 0; j < q; ++j) {
          const std::size_t at = stride * static_cast<std::size_t>(scatter[j]);
          store(dst + at, cmul(load(scratch + 2 * j), load(times + 2 * k + at)));
        }
      } else if (i > 0) {
        const double* twp = twiddles_at(tw, radix, i);
        store(dst, y0);
        for (int j = 0; j < q; ++j) {
          const std::size_t c = static_cast<std::size_t>(scatter[j]);
          store(dst + stride * c, cmul(load(scratch + 2 * j), load(twp + 4 * (c - 1))));
        }
      } else {
        store(dst, y0);
        for (int j = 0; j < q; ++j) {
          store(dst + stride * static_cast<std::size_t>(scatter[j]), load(scratch + 2 * j));
        }
      }
    }
  }
}

// One pass of the plan: pruned at the ends of the run when the first pass
// has zero inputs or the last pass unneeded outputs.
template <int R>
void run_pass_of(int ido, int l1, const double* in, double* out, const double* tw, double s,
                 const double* times, int nonzero, int needed) {
  const int n = ido * l1 * R;
  if constexpr (R <= 5) {
    if (l1 == 1 && ido > 1 && nonzero < n) {
      run_first_pass_pruned<R>(ido, in, out, tw, s, nonzero);
      return;
    }
  }
  if constexpr (R <= 16) {
    if (ido == 1 && needed < n) {
      run_last_pass_pruned<R>(l1, in, out, s, times, needed);
      return;
    }
  }
  run_pass<R>(ido, l1, in, out, tw, s, times);
}

}  // namespace

void mixed_radix_run(const MixedRadixPlan& plan, double* work, const double* times, int nonzero_in,
                     int needed_out) {
  const int n = plan.length;
  const double s = plan.inverse ? 1.0 : -1.0;
  // A first pass that is also the last (ido = 1), a seven or more (first only
  // when N has no factor 2, 3 or 5 but an eight) or an eight (first only in
  // N = 8) has no form that skips zero inputs: the zeros are written out
  // instead.
  if (nonzero_in < n && (plan.passes < 2 || plan.radix[0] > 5)) {
    const std::size_t end = 2 * static_cast<std::size_t>(n);
    for (std::size_t k = 2 * static_cast<std::size_t>(nonzero_in); k < end; ++k) work[k] = 0.0;
    nonzero_in = n;
  }
  // The first pass (l1 = 1) writes each butterfly's outputs over its own
  // inputs, so it can run in place: with an odd number of passes it does, and
  // the last pass still ends in work[0 .. 2N). The first pass writes all N
  // points, so no later pass reads a point that was not written.
  double* const scratch = work + 2 * static_cast<std::size_t>(n);
  double* in = work;
  double* out = plan.passes % 2 == 1 ? work : scratch;
  for (int p = 0, l1 = 1; p < plan.passes; l1 *= plan.radix[p++]) {
    const int ido = n / (l1 * plan.radix[p]);
    const double* tw = plan.twiddle.get() + 2 * static_cast<std::size_t>(plan.twiddle_at[p]);
    const bool last = p + 1 == plan.passes;
    const double* t = last ? times : nullptr;
    const int nonzero = p == 0 ? nonzero_in : n;
    const int needed = last ? needed_out : n;
    switch (plan.radix[p]) {
      case 2:
        run_pass_of<2>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 3:
        run_pass_of<3>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 4:
        run_pass_of<4>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 5:
        run_pass_of<5>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 7:
        run_pass_of<7>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 8:
        run_pass_of<8>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 9:
        run_pass_of<9>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 10:
        run_pass_of<10>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 11:
        run_pass_of<11>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 13:
        run_pass_of<13>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 14:
        run_pass_of<14>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 15:
        run_pass_of<15>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 16:
        run_pass_of<16>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 17:
        run_pass_of<17>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 19:
        run_pass_of<19>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 23:
        run_pass_of<23>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 29:
        run_pass_of<29>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      case 31:
        static_assert(kMixedRadixLargestRadix == 31, "a case for every prime radix");
        run_pass_of<31>(ido, l1, in, out, tw, s, t, nonzero, needed);
        break;
      default:  // a larger prime
        run_rader_pass(plan.rader[p], plan.radix[p], ido, l1, in, out, tw, t,
                       work + 4 * static_cast<std::size_t>(n));
        break;
    }
    in = out;
    out = out == work ? scratch : work;
  }
}

}  // namespace korvale::fft_detail::KORVALE_FFT_VARIANT
