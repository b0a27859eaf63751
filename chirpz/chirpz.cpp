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

// The chirp-z route's convolution length: the least power of two >= N + M - 1.
int chirp_length(int n, int m) {
  int l = 1;
  while (l < n + m - 1) l *= 2;
  return l;
}

// Rough operation count of the chirp-z route: two split-radix FFTs of L
// points (about 4 L log2 L each) and three point-wise products (6 per point).
double chirp_cost(int n, int m) {
  const double l = chirp_length(n, m);
  return 8 * l * std::log2(l) + 6 * (l + n + m);
}

}  // namespace

DftRoute dft_choose_route(int n, int m) {
  if (is_power_of_two(n)) return DftRoute::fft;
  if (valid(n, m) && mixed_radix_supports(n) && mixed_radix_cost(n) < chirp_cost(n, m)) {
    return DftRoute::mixed_radix;
  }
  return DftRoute::chirp_z;
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
  }
  return 0;
}

int dft_work_doubles(int n, int m, DftRoute route) {
  const int len = dft_fft_length(n, m, route);
  if (len == 0) return 0;
  return route == DftRoute::mixed_radix ? mixed_radix_work_doubles(n) : 2 * len;
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
  if (len == 0 || (route != DftRoute::mixed_radix && 2 * fft_tables_nw(tables) < len)) {
    std::fprintf(stderr, "dft_plan_build: cannot plan N = %d, M = %d on route %d\n", n, m,
                 static_cast<int>(route));
    std::abort();
  }
  plan->length = n;
  plan->out_count = m;
  plan->fft_length = len;
  plan->work_doubles = dft_work_doubles(n, m, route);
  plan->inverse = inverse;
  plan->route = route;
  if (route == DftRoute::mixed_radix) mixed_radix_build(&plan->mixed, n, inverse);
  if (route != DftRoute::chirp_z) return;

  plan->chirp = named_buffer<double>(2 * static_cast<std::size_t>(n), "czchirp");
  plan->filter = named_buffer<double>(2 * static_cast<std::size_t>(len), "czfilter");
  double* c = plan->chirp.get();
  dft_chirp_build(n, inverse, c);

  // Filter h[j] = conj(c[|j|]) for j = -(N-1) .. M-1 (negative j at L + j),
  // zero elsewhere; L >= N + M - 1 keeps the two runs apart.
  double* h = plan->filter.get();
  for (int k = 0; k < 2 * len; ++k) h[k] = 0.0;
  for (int j = 0; j < m; ++j) {
    h[2 * j] = c[2 * j];
    h[2 * j + 1] = -c[2 * j + 1];
  }
  for (int j = 1; j < n; ++j) {
    h[2 * (len - j)] = c[2 * j];
    h[2 * (len - j) + 1] = -c[2 * j + 1];
  }

  // Its spectrum, divided by L (exact: a power of two) so the backward FFT's
  // gain of L cancels.
  fft_run(false, len, h, tables);
  const double inv_len = 1.0 / len;
  for (int k = 0; k < 2 * len; ++k) h[k] *= inv_len;
}

void dft_plan_run(const DftPlan& plan, double* work, const FftTables& tables) {
  const int n = plan.length;
  if (plan.route == DftRoute::fft) {
    fft_run(plan.inverse, n, work, tables);
    return;
  }
  if (plan.route == DftRoute::mixed_radix) {
    mixed_radix_run(plan.mixed, work);
    return;
  }
  const int m = plan.out_count;
  const int len = plan.fft_length;
  const double* c = plan.chirp.get();
  const double* f = plan.filter.get();

  // 1. Premultiply by the chirp in place; zero-pad to L.
  fft_multiply_points(work, c, n);
  for (int k = 2 * n; k < 2 * len; ++k) work[k] = 0.0;

  // 2. Circular convolution with the filter: forward FFT, product with the
  // filter's spectrum, backward FFT.
  fft_run(false, len, work, tables);
  fft_multiply_points(work, f, len);
  fft_run(true, len, work, tables);

  // 3. Postmultiply the first M points by the chirp.
  fft_multiply_points(work, c, m);
}

}  // namespace korvale
