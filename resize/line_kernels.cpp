// The line transforms' point-wise loops, compiled once per instruction-set
// variant (KORVALE_RESIZE_VARIANT names its namespace; see line_kernels.h).
//
// Four points at a time (AVX): interleaved complex points are split into a
// vector of real parts and one of imaginary parts. Deinterleaving two
// 32-byte loads (x0, x1), (x2, x3) with in-lane unpacks gives the points in
// the lane order 0, 2, 1, 3; everything else read is brought into that order
// (the lines' real samples with one shuffle, the N-k side of the complex
// points by loading their 16-byte halves in reverse), so interleaving the
// results again is also in lane. Per element the arithmetic is the one-point
// loop's, in its order: a + (b * -1) there is a - b here, the same IEEE
// operation.
#include "resize/line_kernels.h"

#include "resize/vec2.h"

#ifndef KORVALE_RESIZE_VARIANT
#error "KORVALE_RESIZE_VARIANT must name the variant being compiled"
#endif

namespace korvale::resize_detail::KORVALE_RESIZE_VARIANT {
namespace {

#define KORVALE_INLINE inline __attribute__((always_inline))

// Four points at a time where 32-byte vectors are registers; on the
// baseline target (two 16-byte registers each, and shuffles across them that
// the compiler spills) only the one-point loops, which are faster there.
#ifdef __AVX__
constexpr bool kFourWide = true;
#else
constexpr bool kFourWide = false;
#endif

// Four doubles in one AVX register (two SSE2 registers on the baseline).
typedef double v4d __attribute__((vector_size(32)));
typedef double v4d_u __attribute__((vector_size(32), aligned(8), may_alias));

KORVALE_INLINE v4d load4(const double* p) {
  return *reinterpret_cast<const v4d_u*>(p);
}
KORVALE_INLINE void store4(double* p, v4d v) {
  *reinterpret_cast<v4d_u*>(p) = v;
}
// (x0, x1, x2, x3), (y0, ...) -> (x0, y0, x2, y2) and (x1, y1, x3, y3)
KORVALE_INLINE v4d unpack_lo(v4d x, v4d y) {
  return __builtin_shufflevector(x, y, 0, 4, 2, 6);
}
KORVALE_INLINE v4d unpack_hi(v4d x, v4d y) {
  return __builtin_shufflevector(x, y, 1, 5, 3, 7);
}
// (x0, x1, x2, x3) -> (x0, x2, x1, x3): natural order to the lane order and
// back.
KORVALE_INLINE v4d mid_swap(v4d x) {
  return __builtin_shufflevector(x, x, 0, 2, 1, 3);
}
// (x0, x1, x2, x3) -> (x3, x1, x2, x0): reversed, in the lane order.
KORVALE_INLINE v4d reverse_mid_swap(v4d x) {
  return __builtin_shufflevector(x, x, 3, 1, 2, 0);
}

// Real and imaginary parts of four complex points in the lane order.
struct Split {
  v4d re, im;
};
// Points p .. p+3 of interleaved data at p (2p doubles in).
KORVALE_INLINE Split split(const double* at) {
  const v4d x0 = load4(at), x1 = load4(at + 4);
  return {unpack_lo(x0, x1), unpack_hi(x0, x1)};
}
// Points m, m-1, m-2, m-3 of interleaved data, in the lane order (m,
// m-2, m-1, m-3): built from 16-byte loads, so no shuffle crosses the
// halves.
KORVALE_INLINE Split split_back(const double* data, int m) {
  const auto point = [data](int i) { return load(data + 2 * i); };
  const v4d x0 = __builtin_shufflevector(point(m), point(m - 1), 0, 1, 2, 3);
  const v4d x1 = __builtin_shufflevector(point(m - 2), point(m - 3), 0, 1, 2, 3);
  return {unpack_lo(x0, x1), unpack_hi(x0, x1)};
}
// x w, element by element: (xr wr - xi wi, xi wr + xr wi), the operations
// of the one-point cmul below.
KORVALE_INLINE Split cmul4(Split x, Split w) {
  return {x.re * w.re - x.im * w.im, x.im * w.re + x.re * w.im};
}

// One point: x (wr + i wi) for w = {wr, wi}, as fft_multiply_points does it.
KORVALE_INLINE v2d cmul(v2d x, const double* w) {
  const v2d flip = {-1.0, 1.0};
  return x * w[0] + swap(x) * w[1] * flip;
}

template <bool kChirp, bool kPair>
void synth_pack_t(int n, const double* ph, const double* c, const double* da, const double* db,
                  double* work) {
  int k = 1;
  // Four k at a time: da[k .. k+3] and da[N-k-3 .. N-k] (reversed).
  for (; kFourWide && k + 4 <= n; k += 4) {
    const v4d a = mid_swap(load4(da + k)), ar = reverse_mid_swap(load4(da + n - k - 3));
    const Split p = split(ph + 2 * k);  // cos in re, sin in im
    // re = c D[k] + sn D[N-k], im = sn D[k] - c D[N-k] (see the one-point
    // loop below), line a
    const v4d re_a = a * p.re + ar * p.im, im_a = a * p.im - ar * p.re;
    Split t;
    if constexpr (kPair) {
      const v4d b = mid_swap(load4(db + k)), br = reverse_mid_swap(load4(db + n - k - 3));
      const v4d re_b = b * p.re + br * p.im, im_b = b * p.im - br * p.re;
      t = {re_a - im_b, im_a + re_b};
    } else {
      t = {re_a, im_a};
    }
    if constexpr (kChirp) t = cmul4(t, split(c + 2 * k));
    store4(work + 2 * k, unpack_lo(t.re, t.im));
    store4(work + 2 * k + 4, unpack_hi(t.re, t.im));
  }
  // The rest (all on the baseline) one at a time.
  if constexpr (kPair) {
    const v2d flip = {-1.0, 1.0};
    for (; k < n; ++k) {
      const v2d d = {da[k], db[k]}, e = {da[n - k], db[n - k]};
      // g = (c + i sn)(D[k] - i D[N-k]): re = c D[k] + sn D[N-k],
      // im = sn D[k] - c D[N-k], for both lines at once; t = (re_a - im_b,
      // im_a + re_b).
      const v2d re = d * ph[2 * k] + e * ph[2 * k + 1], im = d * ph[2 * k + 1] - e * ph[2 * k];
      const v2d t = lows(re, im) + highs(im, re) * flip;
      store(work + 2 * k, kChirp ? cmul(t, c + 2 * k) : t);
    }
  } else {
    for (; k < n; ++k) {
      const double cs = ph[2 * k], sn = ph[2 * k + 1];
      const v2d t = {cs * da[k] + sn * da[n - k], sn * da[k] - cs * da[n - k]};
      store(work + 2 * k, kChirp ? cmul(t, c + 2 * k) : t);
    }
  }
}

template <bool kChirp, bool kPair>
void synth_unpermute_t(int n, const double* c, const double* work, double* ua, double* ub) {
  int p = 0;
  // Four p at a time: points p .. p+3 and N-1-p .. N-4-p.
  for (; kFourWide && 2 * p + 7 < n; p += 4) {
    const int q = n - 1 - p;
    Split x = split(work + 2 * p), y = split_back(work, q);
    if constexpr (kChirp) {
      x = cmul4(x, split(c + 2 * p));
      y = cmul4(y, split_back(c, q));
    }
    store4(ua + 2 * p, unpack_lo(x.re, y.re));
    store4(ua + 2 * p + 4, unpack_hi(x.re, y.re));
    if constexpr (kPair) {
      store4(ub + 2 * p, unpack_lo(x.im, y.im));
      store4(ub + 2 * p + 4, unpack_hi(x.im, y.im));
    }
  }
  // The rest (all on the baseline) one at a time.
  const auto point = [&](int i) {
    const v2d v = load(work + 2 * i);
    return kChirp ? cmul(v, c + 2 * i) : v;
  };
  for (; 2 * p + 1 < n; ++p) {
    const v2d x = point(p), y = point(n - 1 - p);
    store(ua + 2 * p, lows(x, y));
    if constexpr (kPair) store(ub + 2 * p, highs(x, y));
  }
  if (2 * p < n) {  // the middle sample of an odd N
    const v2d x = point(p);
    ua[2 * p] = x[0];
    if constexpr (kPair) ub[2 * p] = x[1];
  }
}

template <bool kChirp, bool kPair>
void dct_unpair_t(int n, int keep, const double* tw, const double* c, const double* work,
                  double* out_a, double* out_b) {
  const v2d flip = {1.0, -1.0};
  // One point: C_a = Re(e^{-i theta} (Z[k] + conj Z[N-k]) / 2) = c sum_re +
  // s dif_im, C_b likewise with / 2i = c sum_im - s dif_re (the halves are in
  // c, s).
  const auto one = [&](int k) {
    const int j = k == 0 ? 0 : n - k;
    v2d z = load(work + 2 * k), y = load(work + 2 * j);
    if constexpr (kChirp) {
      z = cmul(z, c + 2 * k);
      y = cmul(y, c + 2 * j);
    }
    const v2d sum = z + y, dif = z - y;
    const v2d v = sum * tw[2 * k] + swap(dif) * tw[2 * k + 1] * flip;
    out_a[k] = v[0];
    if constexpr (kPair) out_b[k] = v[1];
  };
  one(0);
  int k = 1;
  // Four k at a time: points k .. k+3 and N-k .. N-k-3.
  for (; kFourWide && k + 4 <= keep; k += 4) {
    const int q = n - k;
    Split z = split(work + 2 * k), y = split_back(work, q);
    if constexpr (kChirp) {
      z = cmul4(z, split(c + 2 * k));
      y = cmul4(y, split_back(c, q));
    }
    const Split t = split(tw + 2 * k);  // cos / 2 in re, sin / 2 in im
    const v4d sum_re = z.re + y.re, sum_im = z.im + y.im;
    const v4d dif_re = z.re - y.re, dif_im = z.im - y.im;
    store4(out_a + k, mid_swap(sum_re * t.re + dif_im * t.im));
    if constexpr (kPair) store4(out_b + k, mid_swap(sum_im * t.re - dif_re * t.im));
  }
  for (; k < keep; ++k) one(k);  // the rest (all on the baseline)
}

// The pair and chirp cases of one loop as one function pointer.
void synth_pack(int n, const double* ph, const double* c, const double* da, const double* db,
                double* work) {
  if (c != nullptr) {
    if (db != nullptr) {
      synth_pack_t<true, true>(n, ph, c, da, db, work);
    } else {
      synth_pack_t<true, false>(n, ph, c, da, db, work);
    }
  } else if (db != nullptr) {
    synth_pack_t<false, true>(n, ph, c, da, db, work);
  } else {
    synth_pack_t<false, false>(n, ph, c, da, db, work);
  }
}

void synth_unpermute(int n, const double* c, const double* work, double* ua, double* ub) {
  if (c != nullptr) {
    if (ub != nullptr) {
      synth_unpermute_t<true, true>(n, c, work, ua, ub);
    } else {
      synth_unpermute_t<true, false>(n, c, work, ua, ub);
    }
  } else if (ub != nullptr) {
    synth_unpermute_t<false, true>(n, c, work, ua, ub);
  } else {
    synth_unpermute_t<false, false>(n, c, work, ua, ub);
  }
}

void dct_unpair(int n, int keep, const double* tw, const double* c, const double* work,
                double* out_a, double* out_b) {
  if (c != nullptr) {
    if (out_b != nullptr) {
      dct_unpair_t<true, true>(n, keep, tw, c, work, out_a, out_b);
    } else {
      dct_unpair_t<true, false>(n, keep, tw, c, work, out_a, out_b);
    }
  } else if (out_b != nullptr) {
    dct_unpair_t<false, true>(n, keep, tw, c, work, out_a, out_b);
  } else {
    dct_unpair_t<false, false>(n, keep, tw, c, work, out_a, out_b);
  }
}

}  // namespace

const LineKernels& kernels() {
#define KORVALE_STR2(x) #x
#define KORVALE_STR(x) KORVALE_STR2(x)
  static constexpr LineKernels kSet = {
      KORVALE_STR(KORVALE_RESIZE_VARIANT),
      synth_pack,
      synth_unpermute,
      dct_unpair,
  };
#undef KORVALE_STR
#undef KORVALE_STR2
  return kSet;
}

}  // namespace korvale::resize_detail::KORVALE_RESIZE_VARIANT
