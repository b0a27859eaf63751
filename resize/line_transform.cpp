// The resizer's line transforms: DCT-II analysis and DCT-III synthesis of
// pairs of real lines over one complex DFT plan each.
#include "resize/line_transform.h"

#include <cmath>
#include <numbers>

namespace korvale {

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

void dct_pair(const DctLines& d, double* work, double* out_a, double* out_b, std::ptrdiff_t stride,
              const FftTables& tables) {
  if (d.plan != nullptr) dft_plan_run(*d.plan, work, tables);
  const double* tw = d.twiddle.get();
  const int n = d.n;
  for (int k = 0; k < d.keep; ++k) {
    const int j = k == 0 ? 0 : n - k;
    const double zr = work[2 * k], zi = work[2 * k + 1];
    const double yr = work[2 * j], yi = work[2 * j + 1];
    const double c = tw[2 * k], s = tw[2 * k + 1];
    // C_a = Re(e^{-i theta} (Z[k] + conj Z[N-k]) / 2), C_b likewise with / 2i.
    out_a[k * stride] = c * (zr + yr) + s * (zi - yi);
    if (out_b != nullptr) out_b[k * stride] = c * (zi + yi) - s * (zr - yr);
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
  for (int k = 1; k < n; ++k) {
    const double c = ph[2 * k], sn = ph[2 * k + 1];
    // g = (c + i sn)(D[k] - i D[N-k]).
    const double ga_re = c * da[k] + sn * da[n - k], ga_im = sn * da[k] - c * da[n - k];
    if (db != nullptr) {
      const double gb_re = c * db[k] + sn * db[n - k], gb_im = sn * db[k] - c * db[n - k];
      work[2 * k] = ga_re - gb_im;
      work[2 * k + 1] = ga_im + gb_re;
    } else {
      work[2 * k] = ga_re;
      work[2 * k + 1] = ga_im;
    }
  }
  if (s.plan != nullptr) dft_plan_run(*s.plan, work, tables);
  // Unpermuting: u[2p] = v[p], u[2p+1] = v[N-1-p]; line a is the real part,
  // line b the imaginary one.
  for (int p = 0; 2 * p < n; ++p) ua[2 * p] = work[2 * p];
  for (int p = 0; 2 * p + 1 < n; ++p) ua[2 * p + 1] = work[2 * (n - 1 - p)];
  if (ub == nullptr) return;
  for (int p = 0; 2 * p < n; ++p) ub[2 * p] = work[2 * p + 1];
  for (int p = 0; 2 * p + 1 < n; ++p) ub[2 * p + 1] = work[2 * (n - 1 - p) + 1];
}

}  // namespace korvale
