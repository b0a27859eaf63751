// The resizer's line transforms: DCT-II analysis and DCT-III synthesis of
// pairs of real lines over one complex DFT plan each.
#include "resize/line_transform.h"

#include <cmath>
#include <numbers>

#include "fft/fft.h"
#include "resize/vec2.h"

namespace korvale {

using resize_detail::highs;
using resize_detail::load;
using resize_detail::lows;
using resize_detail::store;
using resize_detail::swap;
using resize_detail::v2d;

void dct_lines_init(DctLines* d, int n, int keep, const DftPlan* plan) {
  d->n = n;
  d->keep = keep;
  d->plan = n > 1 ? plan : nullptr;
  d->twiddle = named_buffer<double>(2 * static_cast<std::size_t>(keep), "dcttw");
  for (int k = 0; k < keep; ++k) {
    const double theta = std::numbers::pi * k / (2.0 * n);
    d->twiddle[2 * k] = 0.5 * std::cos(theta);
    d->twiddle[2 * k + 1] = 0.5 * std::sin(theta);
  }
}

namespace {

// x (wr + i wi) for w = {wr, wi}: (xr wr - xi wi, xi wr + xr wi), the
// operations of fft_multiply_points, so a chirp product folded in here gives
// the bits of the plan's own.
v2d cmul(v2d x, const double* w) {
  const v2d flip = {-1.0, 1.0};
  return x * w[0] + swap(x) * w[1] * flip;
}

// The DCT-II pair from the DFT Z of the packed pair in `work`; with kChirp,
// work holds the convolution's outputs Y and Z[k] = c[k] Y[k].
template <bool kChirp>
void unpair(const DctLines& d, const double* work, const double* c, double* out_a, double* out_b) {
  const double* tw = d.twiddle.get();
  const int n = d.n;
  const v2d flip = {1.0, -1.0};
  for (int k = 0; k < d.keep; ++k) {
    const int j = k == 0 ? 0 : n - k;
    v2d z = load(work + 2 * k), y = load(work + 2 * j);
    if constexpr (kChirp) {
      z = cmul(z, c + 2 * k);
      y = cmul(y, c + 2 * j);
    }
    const v2d sum = z + y, dif = z - y;
    // C_a = Re(e^{-i theta} (Z[k] + conj Z[N-k]) / 2) = c sum_re + s dif_im,
    // C_b likewise with / 2i = c sum_im - s dif_re (the halves are in c, s).
    const v2d v = sum * tw[2 * k] + swap(dif) * tw[2 * k + 1] * flip;
    out_a[k] = v[0];
    if (out_b != nullptr) out_b[k] = v[1];
  }
}

}  // namespace

void dct_pair(const DctLines& d, double* work, double* out_a, double* out_b,
              const FftTables& tables) {
  const double* c = d.plan != nullptr ? d.plan->chirp.get() : nullptr;
  // The chirp's postmultiply is folded into the unpairing when that reads
  // each output point at most once (2 keep <= N); otherwise the plan does it.
  if (c != nullptr && 2 * d.keep <= d.n) {
    fft_multiply_points(work, c, d.n);
    dft_plan_convolve(*d.plan, work, tables);
    unpair<true>(d, work, c, out_a, out_b);
    return;
  }
  if (d.plan != nullptr) dft_plan_run(*d.plan, work, tables);
  unpair<false>(d, work, nullptr, out_a, out_b);
}

void cosine_synthesis_init(CosineSynthesis* s, int count, const DftPlan* plan) {
  s->count = count;
  s->plan = count > 1 ? plan : nullptr;
  s->phase = named_buffer<double>(2 * static_cast<std::size_t>(count), "syntw");
  for (int k = 0; k < count; ++k) {
    const double theta = std::numbers::pi * k / (2.0 * count);
    s->phase[2 * k] = std::cos(theta);
    s->phase[2 * k + 1] = std::sin(theta);
  }
}

namespace {

// synth_pair with the plan's chirp products (c, kChirp) folded into the
// packing and the unpermuting.
template <bool kChirp>
void synth_pair_with(const CosineSynthesis& s, const double* c, const double* da, const double* db,
                     double* work, double* ua, double* ub, const FftTables& tables) {
  const int n = s.count;
  const double* ph = s.phase.get();
  // Packing: t = g_a + i g_b (times c[k]).
  const v2d t0 = {da[0], db != nullptr ? db[0] : 0.0};
  store(work, kChirp ? cmul(t0, c) : t0);
  if (db != nullptr) {
    const v2d flip = {-1.0, 1.0};
    for (int k = 1; k < n; ++k) {
      const v2d d = {da[k], db[k]}, e = {da[n - k], db[n - k]};
      // g = (c + i sn)(D[k] - i D[N-k]): re = c D[k] + sn D[N-k],
      // im = sn D[k] - c D[N-k], for both lines at once; t = (re_a - im_b,
      // im_a + re_b).
      const v2d re = d * ph[2 * k] + e * ph[2 * k + 1], im = d * ph[2 * k + 1] - e * ph[2 * k];
      const v2d t = lows(re, im) + highs(im, re) * flip;
      store(work + 2 * k, kChirp ? cmul(t, c + 2 * k) : t);
    }
  } else {
    for (int k = 1; k < n; ++k) {
      const double cs = ph[2 * k], sn = ph[2 * k + 1];
      const v2d t = {cs * da[k] + sn * da[n - k], sn * da[k] - cs * da[n - k]};
      store(work + 2 * k, kChirp ? cmul(t, c + 2 * k) : t);
    }
  }
  if (s.plan != nullptr) dft_plan_convolve(*s.plan, work, tables);
  // Unpermuting: u[2p] = v[p], u[2p+1] = v[N-1-p] (v[p] = c[p] times the
  // convolution's output p); line a is the real part, line b the imaginary
  // one.
  const auto point = [&](int p) {
    const v2d v = load(work + 2 * p);
    return kChirp ? cmul(v, c + 2 * p) : v;
  };
  int p = 0;
  for (; 2 * p + 1 < n; ++p) {
    const v2d x = point(p), y = point(n - 1 - p);
    store(ua + 2 * p, lows(x, y));
    if (ub != nullptr) store(ub + 2 * p, highs(x, y));
  }
  if (2 * p < n) {  // the middle sample of an odd N
    const v2d x = point(p);
    ua[2 * p] = x[0];
    if (ub != nullptr) ub[2 * p] = x[1];
  }
}

}  // namespace

void synth_pair(const CosineSynthesis& s, const double* da, const double* db, double* work,
                double* ua, double* ub, const FftTables& tables) {
  const double* c = s.plan != nullptr ? s.plan->chirp.get() : nullptr;
  if (c != nullptr) {
    synth_pair_with<true>(s, c, da, db, work, ua, ub, tables);
  } else {
    synth_pair_with<false>(s, nullptr, da, db, work, ua, ub, tables);
  }
}

}  // namespace korvale
