// The resizer's line transforms: DCT-II analysis and DCT-III synthesis of
// pairs of real lines over one complex DFT plan each.
#include "resize/line_transform.h"

#include <cmath>
#include <numbers>

#include "fft/fft.h"
#include "resize/line_kernels.h"
#include "resize/vec2.h"

namespace korvale {

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

}  // namespace

namespace resize_detail {

// The kernel sets of the variants (see line_kernels.h), generic first.
namespace generic {
const LineKernels& kernels();
}
#if KORVALE_RESIZE_HAVE_AVX2
namespace avx2 {
const LineKernels& kernels();
}
#endif

namespace {

const LineKernels& (*const kKernelSets[])() = {
    generic::kernels,
#if KORVALE_RESIZE_HAVE_AVX2
    avx2::kernels,
#endif
};
constexpr int kKernelSetCount = sizeof(kKernelSets) / sizeof(kKernelSets[0]);

// The variant synth_pair and dct_pair use: the last one the CPU supports.
const LineKernels& active_kernels() {
  static const LineKernels* const chosen = [] {
    int best = 0;
    for (int i = 0; i < kKernelSetCount; ++i) {
      if (line_kernels_supported(i)) best = i;
    }
    return &line_kernels(best);
  }();
  return *chosen;
}

}  // namespace

int line_kernels_count() {
  return kKernelSetCount;
}

const LineKernels& line_kernels(int i) {
  return kKernelSets[i]();
}

bool line_kernels_supported(int i) {
  if (i < 0 || i >= kKernelSetCount) return false;
#if KORVALE_RESIZE_HAVE_AVX2
  if (&line_kernels(i) == &avx2::kernels()) return __builtin_cpu_supports("avx2");
#endif
  return true;
}

void dct_pair_with(const LineKernels& k, const DctLines& d, double* work, double* out_a,
                   double* out_b, const FftTables& tables) {
  const double* c = d.plan != nullptr ? d.plan->chirp.get() : nullptr;
  // The chirp's postmultiply is folded into the unpairing when that reads
  // each output point at most once (2 keep <= N); otherwise the plan does it.
  if (c != nullptr && 2 * d.keep <= d.n) {
    fft_multiply_points(work, c, d.n);
    dft_plan_convolve(*d.plan, work, tables);
    k.dct_unpair(d.n, d.keep, d.twiddle.get(), c, work, out_a, out_b);
    return;
  }
  if (d.plan != nullptr) dft_plan_run(*d.plan, work, tables);
  k.dct_unpair(d.n, d.keep, d.twiddle.get(), nullptr, work, out_a, out_b);
}

void synth_pair_with(const LineKernels& k, const CosineSynthesis& s, const double* da,
                     const double* db, double* work, double* ua, double* ub,
                     const FftTables& tables) {
  const int n = s.count;
  const double* c = s.plan != nullptr ? s.plan->chirp.get() : nullptr;
  // Packing: t = g_a + i g_b (times c[k]); point 0 here, the rest in the
  // kernel.
  const v2d t0 = {da[0], db != nullptr ? db[0] : 0.0};
  store(work, c != nullptr ? cmul(t0, c) : t0);
  k.synth_pack(n, s.phase.get(), c, da, db, work);
  if (s.plan != nullptr) dft_plan_convolve(*s.plan, work, tables);
  // Unpermuting: u[2p] = v[p], u[2p+1] = v[N-1-p] (v[p] = c[p] times the
  // convolution's output p); line a is the real part, line b the imaginary
  // one.
  k.synth_unpermute(n, c, work, ua, ub);
}

}  // namespace resize_detail

void dct_pair(const DctLines& d, double* work, double* out_a, double* out_b,
              const FftTables& tables) {
  resize_detail::dct_pair_with(resize_detail::active_kernels(), d, work, out_a, out_b, tables);
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
  resize_detail::synth_pair_with(resize_detail::active_kernels(), s, da, db, work, ua, ub, tables);
}

}  // namespace korvale
