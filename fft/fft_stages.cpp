// The stages of the split-radix FFT: first stage, radix-4 modules, middle-stage
// drivers and the fixed 8- and 16-point kernels. All compute the
// positive-exponent transform into bit-reversed order (see fft_internal.h).
#include "fft/fft_cvec.h"
#include "fft/fft_variant.h"

namespace korvale::fft_detail::KORVALE_FFT_VARIANT {
namespace {

// ---------------------------------------------------------------------------
// Radix-4 butterflies of one point p with its three partners at p + Q, p + 2Q,
// p + 3Q (q = 2Q doubles apart). Each reads the four points, writes four.

// Plain split with no twiddle (p = 0 of quad_module / entry_stage).
KORVALE_INLINE void plain_point0(double* a, int q, cvec a0, cvec a1, cvec a2, cvec a3) {
  const cvec x0 = a0 + a2, x1 = a0 - a2, x2 = a1 + a3, x3 = a1 - a3;
  store(a, x0 + x2);
  store(a + q, x0 - x2);
  store(a + 2 * q, x1 + mul_i(x3));
  store(a + 3 * q, x1 - mul_i(x3));
}

// Plain split with twiddles e^{i theta} = w1 and e^{3 i theta} = w3.
KORVALE_INLINE void plain_point(double* a, int q, cvec a0, cvec a1, cvec a2, cvec a3, cvec w1,
                                cvec w3) {
  const cvec x0 = a0 + a2, x1 = a0 - a2, x2 = a1 + a3, x3 = a1 - a3;
  store(a, x0 + x2);
  store(a + q, x0 - x2);
  store(a + 2 * q, cmul(x1 + mul_i(x3), w1));
  store(a + 3 * q, cmul(x1 - mul_i(x3), w3));
}

// Plain split at theta = pi/4 (p = Q/2), c = cos(pi/4).
KORVALE_INLINE void plain_point_mid(double* a, int q, cvec a0, cvec a1, cvec a2, cvec a3,
                                    double c) {
  const cvec x0 = a0 + a2, x1 = a0 - a2, x2 = a1 + a3, x3 = a1 - a3;
  store(a, x0 + x2);
  store(a + q, x0 - x2);
  store(a + 2 * q, rot45(x1 + mul_i(x3), c));
  store(a + 3 * q, rot135(x1 - mul_i(x3), c));
}

// Loads the four partners of the point at double j, q doubles apart.
#define KORVALE_LOAD4(j)                                                             \
  const cvec a0 = load(a + (j)), a1 = load(a + (j) + q), a2 = load(a + (j) + 2 * q), \
             a3 = load(a + (j) + 3 * q)

// Skew split: f0 = (A0 + iA2) t0, f1 = (A1 + iA3) t1, g0 = (A0 - iA2) t2,
// g1 = (A1 - iA3) t3 with the four twiddles given as vectors.
KORVALE_INLINE void skew_point(double* a, int q, cvec a0, cvec a1, cvec a2, cvec a3, cvec t0,
                               cvec t1, cvec t2, cvec t3) {
  const cvec f0 = cmul(a0 + mul_i(a2), t0);
  const cvec f1 = cmul(a1 + mul_i(a3), t1);
  const cvec g0 = cmul(a0 - mul_i(a2), t2);
  const cvec g1 = cmul(a1 - mul_i(a3), t3);
  store(a, f0 + f1);
  store(a + q, f0 - f1);
  store(a + 2 * q, g0 + g1);
  store(a + 3 * q, g0 - g1);
}

// The same on two consecutive points at once (pair vectors).
#define KORVALE_LOAD4_PAIR(j)                                                            \
  const cpair a0 = load2(a + (j)), a1 = load2(a + (j) + q), a2 = load2(a + (j) + 2 * q), \
              a3 = load2(a + (j) + 3 * q)

KORVALE_INLINE void plain_pair(double* a, int q, cpair a0, cpair a1, cpair a2, cpair a3, cpair w1,
                               cpair w3) {
  const cpair x0 = a0 + a2, x1 = a0 - a2, x2 = a1 + a3, x3 = a1 - a3;
  store2(a, x0 + x2);
  store2(a + q, x0 - x2);
  store2(a + 2 * q, cmul(x1 + mul_i(x3), w1));
  store2(a + 3 * q, cmul(x1 - mul_i(x3), w3));
}

KORVALE_INLINE void skew_pair(double* a, int q, cpair a0, cpair a1, cpair a2, cpair a3, cpair t0,
                              cpair t1, cpair t2, cpair t3) {
  const cpair f0 = cmul(a0 + mul_i(a2), t0);
  const cpair f1 = cmul(a1 + mul_i(a3), t1);
  const cpair g0 = cmul(a0 - mul_i(a2), t2);
  const cpair g1 = cmul(a1 - mul_i(a3), t3);
  store2(a, f0 + f1);
  store2(a + q, f0 - f1);
  store2(a + 2 * q, g0 + g1);
  store2(a + 3 * q, g0 - g1);
}

// Reads a point (or a pair of points) as it is, or conjugated.
template <bool Conj, typename V>
KORVALE_INLINE V rd(V x) {
  if constexpr (Conj) {
    return conj(x);
  } else {
    return x;
  }
}

// ---------------------------------------------------------------------------
// The first stage. Result of quad_module on the whole array, with the level
// of n/8 entries: the group at 4g holds the twiddles of the even point 2g; the
// odd point 2g - 1 gets (prev + this) * w[2] (cos, sin of theta) and
// (prev + this) * w[3] (cos, -sin of 3 theta). One step handles the points
// 2g - 1 and 2g as a pair, and their mirrors Q - 2g and Q - 2g + 1 as a pair.
template <bool Conj>
KORVALE_INLINE void entry_stage_impl(int n, double* a, const double* w) {
  const int q = n >> 2;   // quarter, doubles
  const int mh = n >> 3;  // double index of point Q/2
  const double c = w[1];
  const double csc1 = w[2], csc3 = w[3];

  {
    KORVALE_LOAD4(0);
    plain_point0(a, q, rd<Conj>(a0), rd<Conj>(a1), rd<Conj>(a2), rd<Conj>(a3));
  }
  cvec wd1 = cplx(1.0, 0.0);             // (cos, sin) theta of the previous group
  cvec wd3 = cplx(1.0, 0.0);             // (cos, -sin) 3 theta of the previous group
  for (int k = 4; k < mh - 2; k += 4) {  // k = 4g, point 2g at double k
    const cvec wg1 = load(w + k), wg3 = load(w + k + 2);
    const cvec wk1 = csc1 * (wd1 + wg1);
    const cvec wk3 = csc3 * (wd3 + wg3);
    wd1 = wg1;
    wd3 = wg3;
    {  // points 2g - 1 (midpoint twiddles) and 2g
      const int j = k - 2;
      KORVALE_LOAD4_PAIR(j);
      plain_pair(a + j, q, rd<Conj>(a0), rd<Conj>(a1), rd<Conj>(a2), rd<Conj>(a3), join(wk1, wg1),
                 conj(join(wk3, wg3)));
    }
    {  // mirrors Q - 2g and Q - 2g + 1: e^{i theta'} = (s1, c1), e^{3 i theta'} = (ms3, -c3)
      const int j = q - k;
      KORVALE_LOAD4_PAIR(j);
      plain_pair(a + j, q, rd<Conj>(a0), rd<Conj>(a1), rd<Conj>(a2), rd<Conj>(a3),
                 swap_lanes(join(wg1, wk1)), conj(swap_lanes(join(wg3, wk3))));
    }
  }
  // Tail: points Q/2 - 1, Q/2, Q/2 + 1; the midpoint towards pi/4 uses
  // (c, c) for (cos, sin) and (-c, -c) for (cos 3, -sin 3).
  const cvec wk1 = csc1 * (wd1 + splat(c));
  const cvec wk3 = csc3 * (wd3 - splat(c));
  {
    const int j = mh - 2;
    KORVALE_LOAD4(j);
    plain_point(a + j, q, rd<Conj>(a0), rd<Conj>(a1), rd<Conj>(a2), rd<Conj>(a3), wk1, conj(wk3));
  }
  {
    KORVALE_LOAD4(mh);
    plain_point_mid(a + mh, q, rd<Conj>(a0), rd<Conj>(a1), rd<Conj>(a2), rd<Conj>(a3), c);
  }
  {
    const int j = mh + 2;
    KORVALE_LOAD4(j);
    plain_point(a + j, q, rd<Conj>(a0), rd<Conj>(a1), rd<Conj>(a2), rd<Conj>(a3), swap_lanes(wk1),
                conj(swap_lanes(wk3)));
  }
}

// ---------------------------------------------------------------------------
// Radix-4 module bodies (inlined into the leaf stages). Point 0 first; then
// one step handles the points p, p + 1 (p = 1, 3, ...) and their mirrors
// Q - p - 1, Q - p as pairs; then the points Q/2 - 1, Q/2 + 1 and Q/2.

KORVALE_INLINE void quad_module_impl(int n, double* a, const double* w) {
  const int q = n >> 2;
  const int mh = q >> 1;
  {
    KORVALE_LOAD4(0);
    plain_point0(a, q, a0, a1, a2, a3);
  }
  int j = 2;
  for (; j < mh - 2; j += 4) {  // j = 2p; groups at 4p and 4p + 4
    const int k = 2 * j;
    const cvec w1a = load(w + k), w3a = load(w + k + 2);
    const cvec w1b = load(w + k + 4), w3b = load(w + k + 6);
    {
      KORVALE_LOAD4_PAIR(j);
      plain_pair(a + j, q, a0, a1, a2, a3, join(w1a, w1b), conj(join(w3a, w3b)));
    }
    {
      const int jm = q - j - 2;
      KORVALE_LOAD4_PAIR(jm);
      plain_pair(a + jm, q, a0, a1, a2, a3, swap_lanes(join(w1b, w1a)),
                 conj(swap_lanes(join(w3b, w3a))));
    }
  }
  {  // p = Q/2 - 1 and its mirror Q/2 + 1
    const int k = 2 * j;
    const cvec w1 = load(w + k), w3 = load(w + k + 2);
    {
      KORVALE_LOAD4(j);
      plain_point(a + j, q, a0, a1, a2, a3, w1, conj(w3));
    }
    {
      const int jm = q - j;
      KORVALE_LOAD4(jm);
      plain_point(a + jm, q, a0, a1, a2, a3, swap_lanes(w1), conj(swap_lanes(w3)));
    }
  }
  KORVALE_LOAD4(mh);
  plain_point_mid(a + mh, q, a0, a1, a2, a3, w[1]);
}

KORVALE_INLINE void quad_module_skew_impl(int n, double* a, const double* w) {
  const int q = n >> 2;
  const int mh = q >> 1;
  const double c = w[1];
  {
    KORVALE_LOAD4(0);
    const cvec f0 = a0 + mul_i(a2);
    const cvec f1 = rot45(a1 + mul_i(a3), c);
    const cvec g0 = a0 - mul_i(a2);
    const cvec g1 = rot135(a1 - mul_i(a3), c);
    store(a, f0 + f1);
    store(a + q, f0 - f1);
    store(a + 2 * q, g0 + g1);
    store(a + 3 * q, g0 - g1);
  }
  // The level has M = 2q entries; point p uses the group at 4p and the group
  // at 4(Q - p) = 2q - 4p, and so does its mirror Q - p.
  int j = 2;
  for (; j < mh - 2; j += 4) {
    const int k = 2 * j;       // group of p; p + 1 at k + 4
    const int kr = 2 * q - k;  // group of Q - p; Q - p - 1 at kr - 4
    const cvec wa1 = load(w + k), wa3 = load(w + k + 2);
    const cvec wa1n = load(w + k + 4), wa3n = load(w + k + 6);
    const cvec wb1 = load(w + kr), wb3 = load(w + kr + 2);
    const cvec wb1n = load(w + kr - 4), wb3n = load(w + kr - 2);
    {  // p, p + 1
      KORVALE_LOAD4_PAIR(j);
      skew_pair(a + j, q, a0, a1, a2, a3, join(wa1, wa1n), swap_lanes(join(wb1, wb1n)),
                conj(join(wa3, wa3n)), conj(swap_lanes(join(wb3, wb3n))));
    }
    {  // Q - p - 1, Q - p
      const int jm = q - j - 2;
      KORVALE_LOAD4_PAIR(jm);
      skew_pair(a + jm, q, a0, a1, a2, a3, join(wb1n, wb1), swap_lanes(join(wa1n, wa1)),
                conj(join(wb3n, wb3)), conj(swap_lanes(join(wa3n, wa3))));
    }
  }
  {  // p = Q/2 - 1 and its mirror Q/2 + 1
    const int k = 2 * j;
    const int kr = 2 * q - k;
    const cvec wa1 = load(w + k), wa3 = load(w + k + 2);
    const cvec wb1 = load(w + kr), wb3 = load(w + kr + 2);
    {
      KORVALE_LOAD4(j);
      skew_point(a + j, q, a0, a1, a2, a3, wa1, swap_lanes(wb1), conj(wa3), conj(swap_lanes(wb3)));
    }
    {
      const int jm = q - j;
      KORVALE_LOAD4(jm);
      skew_point(a + jm, q, a0, a1, a2, a3, wb1, swap_lanes(wa1), conj(wb3), conj(swap_lanes(wa3)));
    }
  }
  // p = Q/2: omega^{Q/2} = (cs, sn), omega^{3Q/2} = (sn, cs),
  // omega^{3(Q/2 + Q)} = (-cs, -sn).
  const cvec t0 = load(w + q);  // entries M/2, M/2 + 1: cos(pi/8), sin(pi/8)
  const cvec t1 = swap_lanes(t0);
  KORVALE_LOAD4(mh);
  skew_point(a + mh, q, a0, a1, a2, a3, t0, t1, t1, -t0);
}

// ---------------------------------------------------------------------------
// Fixed-size kernels, straight-line code on pair vectors: a 16-point block is
// eight pairs, an 8-point block four.

// 4-point plain transform of the pairs (b0, b1), (b2, b3); stores the
// bit-reversed output Y0, Y2, Y1, Y3 at out[0..7].
KORVALE_INLINE void plain4(double* out, cpair b01, cpair b23) {
  const cpair s = b01 + b23;                // (x0, x2)
  const cpair d = b01 - b23;                // (x1, x3)
  const cpair e = lows(s, d);               // (x0, x1)
  const cpair f = mul_i_high(highs(s, d));  // (x2, i*x3)
  const cpair o1 = e + f;                   // (Y0, Y1) -> positions 0, 2
  const cpair o2 = e - f;                   // (Y2, Y3) -> positions 1, 3
  store2(out, lows(o1, o2));
  store2(out + 4, highs(o1, o2));
}

// 4-point skew transform (omega = e^{i pi/4}) of (b0, b1), (b2, b3);
// tw1 = (1, e^{i pi/4}), tw3 = (1, e^{3i pi/4}).
KORVALE_INLINE void skew4(double* out, cpair b01, cpair b23, cpair tw1, cpair tw3) {
  const cpair f = cmul(b01 + mul_i(b23), tw1);  // (f0, f1)
  const cpair g = cmul(b01 - mul_i(b23), tw3);  // (g0, g1)
  const cpair e = lows(f, g);                   // (f0, g0)
  const cpair h = highs(f, g);                  // (f1, g1)
  const cpair o1 = e + h;                       // (f0 + f1, g0 + g1) -> positions 0, 2
  const cpair o2 = e - h;                       // (f0 - f1, g0 - g1) -> positions 1, 3
  store2(out, lows(o1, o2));
  store2(out + 4, highs(o1, o2));
}

// Two 2-point blocks (v0, v1), (v2, v3) given as pairs: the first plain
// (v0 +- v1), the second skew (v2 +- i v3) when Skew, plain otherwise.
template <bool Skew>
KORVALE_INLINE void two_point_blocks(double* out, cpair v01, cpair v23) {
  const cpair e = lows(v01, v23);  // (v0, v2)
  cpair h = highs(v01, v23);       // (v1, v3)
  if constexpr (Skew) h = mul_i_high(h);
  const cpair o1 = e + h;
  const cpair o2 = e - h;
  store2(out, lows(o1, o2));
  store2(out + 4, highs(o1, o2));
}

// The twiddles of each kernel as pair vectors, built from its slice once per
// leaf block rather than once per kernel call.
struct Tw8 {
  cpair t1, t3;  // split: (1, e^{i pi/4}), (1, e^{3i pi/4})
};
struct Tw8Skew {
  cpair f0, f1, g0, g1;  // skew split: (1, w), (w^2, w^3), (1, w^3), (w^6, w^9); w = e^{i pi/8}
};
struct Tw16 {
  cpair t1a, t3a, t1b, t3b;  // split of p = 0, 1 and p = 2, 3
  cpair k1, k3;              // the skew 4-point block: (1, e^{i pi/4}), (1, e^{3i pi/4})
};
struct Tw16Skew {
  cpair f0a, f1a, g0a, g1a, f0b, f1b, g0b, g1b;  // skew split of p = 0, 1 and p = 2, 3
  cpair k1, k3;                                  // the skew 4-point blocks
};

// butterfly8 slice: entry 1, cos(pi/4).
KORVALE_INLINE Tw8 tw8(const double* w) {
  const double c = w[1];
  return {cpair{1.0, 0.0, c, c}, cpair{1.0, 0.0, -c, c}};
}

// butterfly8_skew slice (level of 4): cos(pi/4), cos(pi/8), sin(pi/8).
KORVALE_INLINE Tw8Skew tw8_skew(const double* w) {
  const double c = w[1], cs = w[2], sn = w[3];
  return {cpair{1.0, 0.0, cs, sn}, cpair{c, c, sn, cs}, cpair{1.0, 0.0, sn, cs},
          cpair{-c, c, -cs, -sn}};
}

// butterfly16 slice (level of 4): cos(pi/4), cos(pi/8), sin(pi/8).
// e^{i theta}: (1, e^{i pi/8}), (e^{i pi/4}, e^{3i pi/8});
// e^{3i theta}: (1, e^{3i pi/8}), (e^{3i pi/4}, e^{9i pi/8}).
KORVALE_INLINE Tw16 tw16(const double* w) {
  const double c = w[1], cs = w[2], sn = w[3];
  return {cpair{1.0, 0.0, cs, sn}, cpair{1.0, 0.0, sn, cs}, cpair{c, c, sn, cs},
          cpair{-c, c, -cs, -sn},  cpair{1.0, 0.0, c, c},   cpair{1.0, 0.0, -c, c}};
}

// butterfly16_skew slice (level of 16): cos(pi/4); the group of pi/16 and
// 3pi/16 at 4..7; cos(pi/8), sin(pi/8) at 8, 9. omega = e^{i pi/16}:
// p = 0, 1: f0 (1, w1), f1 (w4, w5), g0 (1, w3), g1 (w12, w15);
// p = 2, 3: f0 (w2, w3), f1 (w6, w7), g0 (w6, w9), g1 (w18, w21).
KORVALE_INLINE Tw16Skew tw16_skew(const double* w) {
  const double c = w[1];
  const double c1 = w[4], s1 = w[5], c3 = w[6], ms3 = w[7];
  const double cs = w[8], sn = w[9];
  return {cpair{1.0, 0.0, c1, s1}, cpair{c, c, -ms3, c3},     cpair{1.0, 0.0, c3, -ms3},
          cpair{-c, c, -c1, s1},   cpair{cs, sn, c3, -ms3},   cpair{sn, cs, s1, c1},
          cpair{sn, cs, -s1, c1},  cpair{-cs, -sn, ms3, -c3}, cpair{1.0, 0.0, c, c},
          cpair{1.0, 0.0, -c, c}};
}

KORVALE_INLINE void butterfly8_impl(double* a, const Tw8& t) {
  // Radix-4 split, p = 0 and 1 as one pair (theta = 0, pi/4).
  const cpair a0 = load2(a), a1 = load2(a + 4), a2 = load2(a + 8), a3 = load2(a + 12);
  const cpair x0 = a0 + a2, x1 = a0 - a2, x2 = a1 + a3, x3 = a1 - a3;
  const cpair v01 = x0 + x2;
  const cpair v23 = x0 - x2;
  const cpair v45 = cmul(x1 + mul_i(x3), t.t1);
  const cpair v67 = cmul(x1 - mul_i(x3), t.t3);
  // 2-point blocks: plain, skew, plain, plain.
  two_point_blocks<true>(a, v01, v23);
  two_point_blocks<false>(a + 8, v45, v67);
}

KORVALE_INLINE void butterfly8_skew_impl(double* a, const Tw8Skew& t) {
  // Skew radix-4 split, omega = e^{i pi/8}, p = 0 and 1 as one pair.
  const cpair a0 = load2(a), a1 = load2(a + 4), a2 = load2(a + 8), a3 = load2(a + 12);
  const cpair f0 = cmul(a0 + mul_i(a2), t.f0);
  const cpair f1 = cmul(a1 + mul_i(a3), t.f1);
  const cpair g0 = cmul(a0 - mul_i(a2), t.g0);
  const cpair g1 = cmul(a1 - mul_i(a3), t.g1);
  // 2-point blocks: plain, skew, plain, skew.
  two_point_blocks<true>(a, f0 + f1, f0 - f1);
  two_point_blocks<true>(a + 8, g0 + g1, g0 - g1);
}

KORVALE_INLINE void butterfly16_impl(double* a, const Tw16& t) {
  // Radix-4 split, M = 16, Q = 4, the points p = 0, 1 and p = 2, 3 as pairs.
  cpair v[8];
  {
    const cpair a0 = load2(a), a1 = load2(a + 8), a2 = load2(a + 16), a3 = load2(a + 24);
    const cpair x0 = a0 + a2, x1 = a0 - a2, x2 = a1 + a3, x3 = a1 - a3;
    v[0] = x0 + x2;
    v[2] = x0 - x2;
    v[4] = cmul(x1 + mul_i(x3), t.t1a);
    v[6] = cmul(x1 - mul_i(x3), t.t3a);
  }
  {
    const cpair a0 = load2(a + 4), a1 = load2(a + 12), a2 = load2(a + 20), a3 = load2(a + 28);
    const cpair x0 = a0 + a2, x1 = a0 - a2, x2 = a1 + a3, x3 = a1 - a3;
    v[1] = x0 + x2;
    v[3] = x0 - x2;
    v[5] = cmul(x1 + mul_i(x3), t.t1b);
    v[7] = cmul(x1 - mul_i(x3), t.t3b);
  }
  // 4-point blocks: plain, skew, plain, plain.
  plain4(a, v[0], v[1]);
  skew4(a + 8, v[2], v[3], t.k1, t.k3);
  plain4(a + 16, v[4], v[5]);
  plain4(a + 24, v[6], v[7]);
}

KORVALE_INLINE void butterfly16_skew_impl(double* a, const Tw16Skew& t) {
  // Skew radix-4 split, M = 16, Q = 4, omega = e^{i pi/16}, p = 0, 1 and
  // p = 2, 3 as pairs: f0 omega^p, f1 omega^{p+4}, g0 omega^{3p},
  // g1 omega^{3(p+4)}.
  cpair v[8];
  {
    const cpair a0 = load2(a), a1 = load2(a + 8), a2 = load2(a + 16), a3 = load2(a + 24);
    const cpair f0 = cmul(a0 + mul_i(a2), t.f0a);
    const cpair f1 = cmul(a1 + mul_i(a3), t.f1a);
    const cpair g0 = cmul(a0 - mul_i(a2), t.g0a);
    const cpair g1 = cmul(a1 - mul_i(a3), t.g1a);
    v[0] = f0 + f1;
    v[2] = f0 - f1;
    v[4] = g0 + g1;
    v[6] = g0 - g1;
  }
  {
    const cpair a0 = load2(a + 4), a1 = load2(a + 12), a2 = load2(a + 20), a3 = load2(a + 28);
    const cpair f0 = cmul(a0 + mul_i(a2), t.f0b);
    const cpair f1 = cmul(a1 + mul_i(a3), t.f1b);
    const cpair g0 = cmul(a0 - mul_i(a2), t.g0b);
    const cpair g1 = cmul(a1 - mul_i(a3), t.g1b);
    v[1] = f0 + f1;
    v[3] = f0 - f1;
    v[5] = g0 + g1;
    v[7] = g0 - g1;
  }
  // 4-point blocks: plain, skew, plain, skew.
  plain4(a, v[0], v[1]);
  skew4(a + 8, v[2], v[3], t.k1, t.k3);
  plain4(a + 16, v[4], v[5]);
  skew4(a + 24, v[6], v[7], t.k1, t.k3);
}

#undef KORVALE_LOAD4_PAIR

// ---------------------------------------------------------------------------
// Leaf stage bodies for the two leaf sizes.

KORVALE_INLINE void leaf512(int last_plain, double* a, int nw, const double* ww) {
  const Tw16 w8 = tw16(ww + nw - 8);
  const Tw16Skew w32 = tw16_skew(ww + nw - 32);
  const double* wm = ww + nw - 64;    // quad_module(128)
  const double* wms = ww + nw - 128;  // quad_module_skew(128)
  quad_module_impl(128, a, wm);
  butterfly16_impl(a, w8);
  butterfly16_skew_impl(a + 32, w32);
  butterfly16_impl(a + 64, w8);
  butterfly16_impl(a + 96, w8);
  quad_module_skew_impl(128, a + 128, wms);
  butterfly16_impl(a + 128, w8);
  butterfly16_skew_impl(a + 160, w32);
  butterfly16_impl(a + 192, w8);
  butterfly16_skew_impl(a + 224, w32);
  quad_module_impl(128, a + 256, wm);
  butterfly16_impl(a + 256, w8);
  butterfly16_skew_impl(a + 288, w32);
  butterfly16_impl(a + 320, w8);
  butterfly16_impl(a + 352, w8);
  if (last_plain != 0) {
    quad_module_impl(128, a + 384, wm);
    butterfly16_impl(a + 480, w8);
  } else {
    quad_module_skew_impl(128, a + 384, wms);
    butterfly16_skew_impl(a + 480, w32);
  }
  butterfly16_impl(a + 384, w8);
  butterfly16_skew_impl(a + 416, w32);
  butterfly16_impl(a + 448, w8);
}

KORVALE_INLINE void leaf256(int last_plain, double* a, int nw, const double* ww) {
  const Tw8 w8 = tw8(ww + nw - 8);
  const Tw8Skew w8s = tw8_skew(ww + nw - 8);
  const double* wm = ww + nw - 32;   // quad_module(64)
  const double* wms = ww + nw - 64;  // quad_module_skew(64)
  quad_module_impl(64, a, wm);
  butterfly8_impl(a, w8);
  butterfly8_skew_impl(a + 16, w8s);
  butterfly8_impl(a + 32, w8);
  butterfly8_impl(a + 48, w8);
  quad_module_skew_impl(64, a + 64, wms);
  butterfly8_impl(a + 64, w8);
  butterfly8_skew_impl(a + 80, w8s);
  butterfly8_impl(a + 96, w8);
  butterfly8_skew_impl(a + 112, w8s);
  quad_module_impl(64, a + 128, wm);
  butterfly8_impl(a + 128, w8);
  butterfly8_skew_impl(a + 144, w8s);
  butterfly8_impl(a + 160, w8);
  butterfly8_impl(a + 176, w8);
  if (last_plain != 0) {
    quad_module_impl(64, a + 192, wm);
    butterfly8_impl(a + 240, w8);
  } else {
    quad_module_skew_impl(64, a + 192, wms);
    butterfly8_skew_impl(a + 240, w8s);
  }
  butterfly8_impl(a + 192, w8);
  butterfly8_skew_impl(a + 208, w8s);
  butterfly8_impl(a + 224, w8);
}

}  // namespace

#undef KORVALE_LOAD4

// ---------------------------------------------------------------------------
// Out-of-line entry points of the stages.

void entry_stage(int n, double* a, const double* w) {
  entry_stage_impl<false>(n, a, w);
}
void entry_stage_conj(int n, double* a, const double* w) {
  entry_stage_impl<true>(n, a, w);
}

void quad_module(int n, double* a, const double* w) {
  quad_module_impl(n, a, w);
}
void quad_module_skew(int n, double* a, const double* w) {
  quad_module_skew_impl(n, a, w);
}

void butterfly16(double* a, const double* w) {
  butterfly16_impl(a, tw16(w));
}
void butterfly16_skew(double* a, const double* w) {
  butterfly16_skew_impl(a, tw16_skew(w));
}
void butterfly8(double* a, const double* w) {
  butterfly8_impl(a, tw8(w));
}
void butterfly8_skew(double* a, const double* w) {
  butterfly8_skew_impl(a, tw8_skew(w));
}

void leaf_stage(int m, int last_plain, double* a, int nw, const double* ww) {
  if (m == 512) {
    leaf512(last_plain, a, nw, ww);
  } else {
    leaf256(last_plain, a, nw, ww);
  }
}

void small_stage_driver(int n, double* a, int nw, const double* ww) {
  if (n == 128) {
    const Tw16 w8 = tw16(ww + nw - 8);
    butterfly16_impl(a, w8);
    butterfly16_skew_impl(a + 32, tw16_skew(ww + nw - 32));
    butterfly16_impl(a + 64, w8);
    butterfly16_impl(a + 96, w8);
  } else {
    const Tw8 w8 = tw8(ww + nw - 8);
    butterfly8_impl(a, w8);
    butterfly8_skew_impl(a + 16, tw8_skew(ww + nw - 8));
    butterfly8_impl(a + 32, w8);
    butterfly8_impl(a + 48, w8);
  }
}

int tree_stage_step(int m, int j, int k, double* a, int nw, const double* ww) {
  if ((k & 3) != 0) {
    // First, second or third quarter of a block that is already split.
    const int kind = k & 1;
    if (kind != 0) {
      quad_module(m, a + j - m, ww + nw - (m >> 1));
    } else {
      quad_module_skew(m, a + j - m, ww + nw - m);
    }
    return kind;
  }
  // Last quarter of one or more blocks not yet split: all of them share the
  // kind of the outermost one.
  int size = m;
  int i = k;
  while ((i & 3) == 0) {
    size <<= 2;
    i >>= 2;
  }
  const int kind = i & 1;
  if (kind != 0) {
    for (; size > 128; size >>= 2) quad_module(size, a + j - size, ww + nw - (size >> 1));
  } else {
    for (; size > 128; size >>= 2) quad_module_skew(size, a + j - size, ww + nw - size);
  }
  return kind;
}

void deep_stage_driver(int n, double* a, int nw, const double* ww) {
  int m = n;
  while (m > 512) {
    m >>= 2;
    quad_module(m, a + n - m, ww + nw - (m >> 1));
  }
  leaf_stage(m, 1, a + n - m, nw, ww);
  int k = 0;
  for (int j = n - m; j > 0; j -= m) {
    ++k;
    const int kind = tree_stage_step(m, j, k, a, nw, ww);
    leaf_stage(m, kind, a + j - m, nw, ww);
  }
}

// Written with the pair vectors, two points at a time: left to the compiler
// as scalar code, GCC turns the complex product into fused multiply-adds on
// FMA targets even without contraction, and the variants would differ in the
// last bit.
void multiply_points(double* __restrict work, const double* __restrict f, int count) {
  int k = 0;
  for (; k + 2 <= count; k += 2) store2(work + 2 * k, cmul(load2(work + 2 * k), load2(f + 2 * k)));
  if (k < count) store(work + 2 * k, cmul(load(work + 2 * k), load(f + 2 * k)));
}

const StageSet& stages() {
#define KORVALE_STR2(x) #x
#define KORVALE_STR(x) KORVALE_STR2(x)
  static constexpr StageSet kSet = {
      KORVALE_STR(KORVALE_FFT_VARIANT),
      entry_stage,
      entry_stage_conj,
      deep_stage_driver,
      tree_stage_step,
      leaf_stage,
      small_stage_driver,
      quad_module,
      quad_module_skew,
      butterfly16,
      butterfly16_skew,
      butterfly8,
      butterfly8_skew,
      reorder_bitrev,
      reorder_bitrev_conj,
      reorder16,
      reorder16_negated,
      multiply_points,
      mixed_radix_run,
  };
#undef KORVALE_STR
#undef KORVALE_STR2
  return kSet;
}

}  // namespace korvale::fft_detail::KORVALE_FFT_VARIANT
