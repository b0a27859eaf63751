#include "resize/line_transform.h"

#include <cmath>

namespace korvale {
namespace {

constexpr double kPi = 3.141592653589793;

}  // namespace

void dct_lines_init(DctLines* d, int n, int keep, const DftPlan* plan) {
  d->n = n;
  d->keep = keep;
  d->plan = n > 1 ? plan : nullptr;
  d->twiddle = named_buffer<double>(2 * static_cast<std::size_t>(keep), "dcttw");
  for (int k = 0; k < keep; ++k) {
    const double theta = kPi * k / (2.0 * n);
    d->twiddle[2 * k] = 0.5 * std::cos(theta);
    d->twiddle[2 * k + 1] = 0.5 * std::sin(theta);
  }
}

void dct_pair(const DctLines& d, double* work, double* out_a, double* out_b, std::ptrdiff_t stride,
              const DftTables& tables) {
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

void synth_lines_init(SynthLines* s, int original, int out, const DftPlan* plan) {
  s->original = original;
  s->out = out;
  s->nyquist = out < original;
  s->cosine = out == original;
  s->plan = out > 1 || s->nyquist ? plan : nullptr;
  s->phase = named_buffer<double>(2 * static_cast<std::size_t>(out), "syntw");
  for (int k = 0; k < out; ++k) {
    const double theta = kPi * k / (2.0 * original);
    s->phase[2 * k] = std::cos(theta);
    s->phase[2 * k + 1] = std::sin(theta);
  }
}

namespace {

// The DCT-III route (W' = W = N): packs g_a + i g_b, runs the N-point
// inverse DFT, and undoes the even/odd permutation into out.
void synth_cosine(const SynthLines& s, const double* da, const double* db, double* work,
                  double* out, const DftTables& tables) {
  const int n = s.out;
  const double* ph = s.phase.get();
  work[0] = da[0];
  work[1] = db != nullptr ? db[0] : 0.0;
  for (int k = 1; k < n; ++k) {
    const double c = ph[2 * k], sn = ph[2 * k + 1];
    // g = (c + i sn)(D[k] - i D[N-k]); t = g_a + i g_b.
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
  // u[2p] = v[p], u[2p+1] = v[N-1-p].
  for (int p = 0; 2 * p < n; ++p) {
    out[4 * p] = work[2 * p];
    out[4 * p + 1] = work[2 * p + 1];
  }
  for (int p = 0; 2 * p + 1 < n; ++p) {
    out[4 * p + 2] = work[2 * (n - 1 - p)];
    out[4 * p + 3] = work[2 * (n - 1 - p) + 1];
  }
}

}  // namespace

void synth_pair(const SynthLines& s, const double* da, const double* db, double* work, double* out,
                const DftTables& tables) {
  if (s.cosine) {
    synth_cosine(s, da, db, work, out, tables);
    return;
  }
  const int n_out = s.out;
  const int ns = 2 * n_out;
  const double* ph = s.phase.get();
  // t = s_a + i s_b: t[k] = s_a[k] + i s_b[k], t[2W'-k] = conj s_a[k] + i conj s_b[k].
  if (db != nullptr) {
    work[0] = da[0];
    work[1] = db[0];
    for (int k = 1; k < n_out; ++k) {
      const double c = ph[2 * k], sn = ph[2 * k + 1];
      const double a = da[k], b = db[k];
      work[2 * k] = a * c - b * sn;
      work[2 * k + 1] = a * sn + b * c;
      work[2 * (ns - k)] = a * c + b * sn;
      work[2 * (ns - k) + 1] = b * c - a * sn;
    }
    work[2 * n_out] = s.nyquist ? da[n_out] : 0.0;
    work[2 * n_out + 1] = s.nyquist ? db[n_out] : 0.0;
  } else {
    work[0] = da[0];
    work[1] = 0.0;
    for (int k = 1; k < n_out; ++k) {
      const double c = ph[2 * k], sn = ph[2 * k + 1];
      const double a = da[k];
      work[2 * k] = a * c;
      work[2 * k + 1] = a * sn;
      work[2 * (ns - k)] = a * c;
      work[2 * (ns - k) + 1] = -a * sn;
    }
    work[2 * n_out] = s.nyquist ? da[n_out] : 0.0;
    work[2 * n_out + 1] = 0.0;
  }
  dft_plan_run(*s.plan, work, tables);
  for (int k = 0; k < ns; ++k) out[k] = work[k];
}

}  // namespace korvale
