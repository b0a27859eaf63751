// The resizer's line transforms: DCT-II analysis and DCT-III synthesis of
// pairs of real lines over one complex DFT plan each.
#include "resize/line_transform.h"

#include <cmath>
#include <numbers>

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

void dct_pair(const DctLines& d, double* work, double* out_a, double* out_b,
              const FftTables& tables) {
  if (d.plan != nullptr) dft_plan_run(*d.plan, work, tables);
  const double* tw = d.twiddle.get();
  const int n = d.n;
  const v2d flip = {1.0, -1.0};
  for (int k = 0; k < d.keep; ++k) {
    const int j = k == 0 ? 0 : n - k;
    const v2d z = load(work + 2 * k), y = load(work + 2 * j);
    const v2d sum = z + y, dif = z - y;
    // C_a = Re(e^{-i theta} (Z[k] + conj Z[N-k]) / 2) = c sum_re + s dif_im,
    // C_b likewise with / 2i = c sum_im - s dif_re (the halves are in c, s).
    const v2d c = {tw[2 * k], tw[2 * k]}, sn = {tw[2 * k + 1], tw[2 * k + 1]};
    const v2d v = c * sum + sn * swap(dif) * flip;
    out_a[k] = v[0];
    if (out_b != nullptr) out_b[k] = v[1];
  }
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

void synth_pair(const CosineSynthesis& s, const double* da, const double* db, double* work,
                double* ua, double* ub, const FftTables& tables) {
  const int n = s.count;
  const double* ph = s.phase.get();
  // Packing: t = g_a + i g_b.
  work[0] = da[0];
  work[1] = db != nullptr ? db[0] : 0.0;
  if (db != nullptr) {
    const v2d flip = {-1.0, 1.0};
    for (int k = 1; k < n; ++k) {
      const v2d c = {ph[2 * k], ph[2 * k]}, sn = {ph[2 * k + 1], ph[2 * k + 1]};
      const v2d d = {da[k], db[k]}, e = {da[n - k], db[n - k]};
      // g = (c + i sn)(D[k] - i D[N-k]): re = c D[k] + sn D[N-k],
      // im = sn D[k] - c D[N-k], for both lines at once; t = (re_a - im_b,
      // im_a + re_b).
      const v2d re = c * d + sn * e, im = sn * d - c * e;
      store(work + 2 * k, lows(re, im) + highs(im, re) * flip);
    }
  } else {
    for (int k = 1; k < n; ++k) {
      const double c = ph[2 * k], sn = ph[2 * k + 1];
      work[2 * k] = c * da[k] + sn * da[n - k];
      work[2 * k + 1] = sn * da[k] - c * da[n - k];
    }
  }
  if (s.plan != nullptr) dft_plan_run(*s.plan, work, tables);
  // Unpermuting: u[2p] = v[p], u[2p+1] = v[N-1-p]; line a is the real part,
  // line b the imaginary one.
  int p = 0;
  for (; 2 * p + 1 < n; ++p) {
    const v2d x = load(work + 2 * p), y = load(work + 2 * (n - 1 - p));
    store(ua + 2 * p, lows(x, y));
    if (ub != nullptr) store(ub + 2 * p, highs(x, y));
  }
  if (2 * p < n) {  // the middle sample of an odd N
    ua[2 * p] = work[2 * p];
    if (ub != nullptr) ub[2 * p] = work[2 * p + 1];
  }
}

}  // namespace korvale
