// The reusable DFT plan: the choice of route, the chirp and filter tables,
// and the three steps of a chirp-z run (chirp, convolution by FFT, chirp).
#include "chirpz/chirpz.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

namespace korvale {
namespace {

constexpr int kMaxDftLength = 65536;

bool is_power_of_two(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

bool valid(int n, int m) {
  return n >= 2 && n <= kMaxDftLength && m >= 1 && m <= n;
}

// The chirp_z route's convolution length: the least power of two >= N + M - 1.
int chirp_length(int n, int m) {
  int l = 1;
  while (l < n + m - 1) l *= 2;
  return l;
}

// Whether l has no prime factor but 2, 3 and 5.
bool five_smooth(int l) {
  for (const int p : {2, 3, 5}) {
    while (l % p == 0) l /= p;
  }
  return l == 1;
}

// The chirp_z_mixed route's convolution length: the least 2^a 3^b 5^c >=
// N + M - 1, or 0 when that exceeds what the mixed-radix FFT serves. Lengths
// with a larger prime are left out: a 2^a 3^b 5^c length is never far above,
// and a pass of radix 7 or more costs more for each factor of two it takes
// out of L than a radix 3, 4 or 5 (mixed_radix_cost).
int chirp_mixed_length(int n, int m) {
  for (int l = n + m - 1; l <= kMixedRadixMaxLength; ++l) {
    if (five_smooth(l)) return l;
  }
  return 0;
}

// Rough running-time estimates, in units of the mixed-radix FFT's operation
// count (mixed_radix_cost). The split-radix FFT of L points does about
// 4 L log2 L operations, but at about three quarters of the mixed-radix
// passes' rate per counted operation on a current x86-64 core, hence the
// weight; each chirp-z route adds three point-wise products (6 operations a
// point) and the clearing of the padding.
constexpr double kSplitRadixOpWeight = 1.3;
constexpr int kMixedRadixMinPowerOfTwo = 512;

double split_radix_cost(int l) {
  return kSplitRadixOpWeight * 4 * l * std::log2(l);
}

double chirp_cost(int n, int m) {
  const double l = chirp_length(n, m);
  return 2 * split_radix_cost(l) + 6 * (l + n + m) + (l - n);
}

double chirp_mixed_cost(int n, int m) {
  const int l = chirp_mixed_length(n, m);
  if (l == 0) return HUGE_VAL;
  return 2 * mixed_radix_cost(l) + 6 * (l + n + m) + (l - n);
}

void check_route(int n, int m, DftRoute route, const FftTables& tables, int len) {
  const bool needs_tables = route == DftRoute::fft || route == DftRoute::chirp_z;
  if (len == 0 || (needs_tables && 2 * fft_tables_nw(tables) < len)) {
    std::fprintf(stderr, "dft_plan_build: cannot plan N = %d, M = %d on route %d\n", n, m,
                 static_cast<int>(route));
    std::abort();
  }
}

}  // namespace

DftRoute dft_choose_route(int n, int m) {
  if (is_power_of_two(n)) {
    // From 512 points the mixed-radix passes, fewer streams of the line
    // through memory, beat the split-radix FFT's stages (by 5 to 38% up to
    // 16384); below, the two trade places from length to length (the
    // split-radix FFT's small kernels win at 16 and 64), so it keeps them.
    const double mixed = mixed_radix_cost(n);
    return n >= kMixedRadixMinPowerOfTwo && mixed > 0 && mixed < split_radix_cost(n)
               ? DftRoute::mixed_radix
               : DftRoute::fft;
  }
  if (!valid(n, m)) return DftRoute::chirp_z;
  const double chirp = chirp_cost(n, m), chirp_mixed = chirp_mixed_cost(n, m);
  if (mixed_radix_supports(n)) {
    const double mixed = mixed_radix_cost(n);
    if (mixed < chirp && mixed < chirp_mixed) return DftRoute::mixed_radix;
  }
  return chirp_mixed < chirp ? DftRoute::chirp_z_mixed : DftRoute::chirp_z;
}

int dft_fft_length(int n, int m, DftRoute route) {
  if (!valid(n, m)) return 0;
  switch (route) {
    case DftRoute::fft:
      return is_power_of_two(n) ? n : 0;
    case DftRoute::mixed_radix:
      return mixed_radix_supports(n) ? 1 : 0;
    case DftRoute::chirp_z:
      return chirp_length(n, m);
    case DftRoute::chirp_z_mixed:
      return chirp_mixed_length(n, m) > 0 ? 1 : 0;
  }
  return 0;
}

int dft_work_doubles(int n, int m, DftRoute route) {
  const int len = dft_fft_length(n, m, route);
  if (len == 0) return 0;
  switch (route) {
    case DftRoute::mixed_radix:
      return mixed_radix_work_doubles(n);
    case DftRoute::chirp_z_mixed:
      return mixed_radix_work_doubles(chirp_mixed_length(n, m));
    default:
      return 2 * len;
  }
}

void dft_chirp_build(int n, bool inverse, double* c) {
  const double sign = inverse ? 1.0 : -1.0;
  long long d = 0;  // j^2 mod 2N, advanced by 2j + 1
  for (int j = 0; j < n; ++j) {
    const double theta = std::numbers::pi * static_cast<double>(d) / n;
    c[2 * j] = std::cos(theta);
    c[2 * j + 1] = sign * std::sin(theta);
    d = (d + 2LL * j + 1) % (2LL * n);
  }
}

void dft_plan_build(DftPlan* plan, int n, int m, bool inverse, const FftTables& tables) {
  dft_plan_build(plan, n, m, inverse, tables, dft_choose_route(n, m));
}

void dft_plan_build(DftPlan* plan, int n, int m, bool inverse, const FftTables& tables,
                    DftRoute route) {
  const int len = dft_fft_length(n, m, route);
  check_route(n, m, route, tables, len);
  plan->length = n;
  plan->out_count = m;
  plan->fft_length = len;
  plan->conv_length = 0;
  plan->work_doubles = dft_work_doubles(n, m, route);
  plan->inverse = inverse;
  plan->route = route;
  if (route == DftRoute::mixed_radix) mixed_radix_build(&plan->mixed, n, inverse);
  if (route != DftRoute::chirp_z && route != DftRoute::chirp_z_mixed) return;

  const bool mixed = route == DftRoute::chirp_z_mixed;
  const int conv = mixed ? chirp_mixed_length(n, m) : len;
  plan->conv_length = conv;
  plan->chirp = named_buffer<double>(2 * static_cast<std::size_t>(n), "czchirp");
  double* c = plan->chirp.get();
  dft_chirp_build(n, inverse, c);

  // The filter is built in a block big enough for the FFT that transforms it
  // (the mixed-radix FFT's scratch half too); the plan keeps its first 2L
  // doubles.
  const std::size_t filter_doubles = 2 * static_cast<std::size_t>(conv);
  Buffer<double> build =
      named_buffer<double>(mixed ? 2 * filter_doubles : filter_doubles, "czfilter");

  // 1. Filter h[j] = conj(c[|j|]) for j = -(N-1) .. M-1 (negative j at L + j),
  // zero elsewhere; L >= N + M - 1 keeps the two runs apart.
  double* h = build.get();
  for (std::size_t k = 0; k < filter_doubles; ++k) h[k] = 0.0;
  for (int j = 0; j < m; ++j) {
    h[2 * j] = c[2 * j];
    h[2 * j + 1] = -c[2 * j + 1];
  }
  for (int j = 1; j < n; ++j) {
    h[2 * (conv - j)] = c[2 * j];
    h[2 * (conv - j) + 1] = -c[2 * j + 1];
  }

  // 2. Its spectrum, divided by L so the backward FFT's gain of L cancels
  // (exact when L is a power of two).
  if (mixed) {
    mixed_radix_build(&plan->mixed, conv, false);
    mixed_radix_build(&plan->mixed_back, conv, true);
    mixed_radix_run(plan->mixed, h);
    plan->filter = named_buffer<double>(filter_doubles, "czfilter");
  } else {
    fft_run(false, conv, h, tables);
    plan->filter = std::move(build);
  }
  const double inv_len = 1.0 / conv;
  double* f = plan->filter.get();
  for (std::size_t k = 0; k < filter_doubles; ++k) f[k] = h[k] * inv_len;
}

void dft_plan_convolve(const DftPlan& plan, double* work, const FftTables& tables) {
  const int n = plan.length;
  if (plan.route == DftRoute::fft) {
    fft_run(plan.inverse, n, work, tables);
    return;
  }
  if (plan.route == DftRoute::mixed_radix) {
    mixed_radix_run(plan.mixed, work);
    return;
  }
  const int len = plan.conv_length;
  const double* f = plan.filter.get();

  // Circular convolution of the (premultiplied) points, zero-padded to L,
  // with the filter: forward FFT, product with the filter's spectrum,
  // backward FFT. The mixed-radix FFTs take the padding as zeros without its
  // being written, and the backward one computes only the M outputs read.
  if (plan.route == DftRoute::chirp_z_mixed) {
    mixed_radix_run_pruned(plan.mixed, work, f, n, len);
    mixed_radix_run_pruned(plan.mixed_back, work, nullptr, len, plan.out_count);
  } else {
    for (int k = 2 * n; k < 2 * len; ++k) work[k] = 0.0;
    fft_run(false, len, work, tables);
    fft_multiply_points(work, f, len);
    fft_run(true, len, work, tables);
  }
}

void dft_plan_run(const DftPlan& plan, double* work, const FftTables& tables) {
  const double* c = plan.chirp.get();
  if (c == nullptr) {
    dft_plan_convolve(plan, work, tables);
    return;
  }
  // Premultiply by the chirp, convolve, postmultiply the first M points.
  fft_multiply_points(work, c, plan.length);
  dft_plan_convolve(plan, work, tables);
  fft_multiply_points(work, c, plan.out_count);
}

}  // namespace korvale
