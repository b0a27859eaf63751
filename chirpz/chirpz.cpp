#include "chirpz/chirpz.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/named_alloc.h"
#include "fft/fft.h"

namespace korvale {
namespace {

constexpr double kPi = 3.141592653589793;

// Copies two arrays of `count` doubles into one interleaved array.
void interleave(int count, const double* re, const double* im, double* out) {
  for (int k = 0; k < count; ++k) {
    out[2 * k] = re[k];
    out[2 * k + 1] = im[k];
  }
}

}  // namespace

int chirp_plan_init(ChirpPlan* plan, int n, int m, int* ip, double* ww) {
  if (n <= 1) return 1;
  if (m <= 1 || m > n) m = n;

  // Convolution length: smallest power of two >= N + M. The FFT takes its
  // size (2L doubles) as an int, so a length beyond that cannot be planned.
  long long wanted = static_cast<long long>(n) + m;
  long long l = 1;
  while (l < wanted) l *= 2;
  if (2 * l > INT_MAX) {
    plan->length = plan->out_count = plan->fft_length = 0;
    plan->chirp_re = plan->chirp_im = nullptr;
    plan->filter_re = plan->filter_im = nullptr;
    plan->work_re = plan->work_im = nullptr;
    return 2;
  }
  const int len = static_cast<int>(l);
  plan->length = n;
  plan->out_count = m;
  plan->fft_length = len;

  // The three blocks, all requested before any is tested.
  double* chirp = try_alloc<double>(2 * static_cast<std::size_t>(n), "czchirp");
  double* filter = try_alloc<double>(2 * static_cast<std::size_t>(len), "czfilter");
  double* work = try_alloc<double>(2 * static_cast<std::size_t>(len), "czwork");
  plan->chirp_re = chirp;
  plan->chirp_im = chirp != nullptr ? chirp + n : nullptr;
  plan->filter_re = filter;
  plan->filter_im = filter != nullptr ? filter + len : nullptr;
  plan->work_re = work;
  plan->work_im = work != nullptr ? work + len : nullptr;
  if (chirp == nullptr || filter == nullptr || work == nullptr) {
    chirp_plan_release(plan);
    return 2;
  }

  // Chirp table: theta_j = pi * (j^2 mod 2N) / N. The running index d is
  // advanced by 2j + 1 so that j^2 is never formed and theta stays in [0, 2pi).
  const double step = kPi / n;
  long long d = 0;
  for (int j = 0; j < n; ++j) {
    const double theta = static_cast<double>(d) * step;
    plan->chirp_re[j] = std::cos(theta);
    plan->chirp_im[j] = -std::sin(theta);
    d = (d + 2LL * j + 1) % (2LL * n);
  }

  // Filter h = L * exp(+i theta_j) at j = 0 .. M-1 and at L - j for
  // j = 1 .. N-1, zero in between. Only j < M is written at the front so the
  // two runs never meet when M < N (L >= N + M keeps them apart).
  double* h_re = plan->filter_re;
  double* h_im = plan->filter_im;
  const double scale = static_cast<double>(len);
  h_re[0] = scale;
  h_im[0] = 0.0;
  for (int j = 1; j < n; ++j) {
    const double re = plan->chirp_re[j] * scale;
    const double im = plan->chirp_im[j] * -scale;
    h_re[len - j] = re;
    h_im[len - j] = im;
    if (j < m) {
      h_re[j] = re;
      h_im[j] = im;
    }
  }
  for (int k = m; k <= len - n; ++k) {
    h_re[k] = 0.0;
    h_im[k] = 0.0;
  }

  // Spectrum of the filter, divided by L again (exact: L is a power of two).
  Buffer<double> tmp(try_alloc<double>(2 * static_cast<std::size_t>(len), "czhtmp"));
  if (!tmp) {
    chirp_plan_release(plan);
    return 2;
  }
  interleave(len, h_re, h_im, tmp.get());
  const int nw = fft_prepare(2 * len, ip, ww);
  fft_forward(2 * len, tmp.get(), ip, nw, ww);
  for (int k = 0; k < len; ++k) {
    plan->filter_re[k] = tmp[2 * k] / len;
    plan->filter_im[k] = tmp[2 * k + 1] / len;
  }
  return 0;
}

void chirp_transform(ChirpPlan* plan, int inverse, double* re, double* im, int* ip, double* ww) {
  const int n = plan->length;
  const int m = plan->out_count;
  const int len = plan->fft_length;
  // The inverse direction runs with the conjugate chirp and filter.
  const double sign = inverse != 0 ? -1.0 : 1.0;
  const double* c_re = plan->chirp_re;
  const double* c_im = plan->chirp_im;
  double* w_re = plan->work_re;
  double* w_im = plan->work_im;

  // Premultiply by the chirp, then zero-pad to L.
  for (int j = 0; j < n; ++j) {
    const double cr = c_re[j];
    const double ci = sign * c_im[j];
    w_re[j] = re[j] * cr - im[j] * ci;
    w_im[j] = re[j] * ci + im[j] * cr;
  }
  for (int j = n; j < len; ++j) {
    w_re[j] = 0.0;
    w_im[j] = 0.0;
  }

  // Forward FFT, divided by L so the backward FFT's gain cancels.
  Buffer<double> tmp = named_buffer<double>(2 * static_cast<std::size_t>(len), "cztmp");
  interleave(len, w_re, w_im, tmp.get());
  int nw = fft_prepare(2 * len, ip, ww);
  fft_forward(2 * len, tmp.get(), ip, nw, ww);
  for (int k = 0; k < len; ++k) {
    w_re[k] = tmp[2 * k] / len;
    w_im[k] = tmp[2 * k + 1] / len;
  }

  // Multiply by the filter spectrum. The inverse needs the spectrum of the
  // conjugate filter, conj(F[-k]). With M = N the filter is symmetric, so that
  // is conj(F[k]); with M < N it is not, and the index must be reflected.
  const bool reflect = inverse != 0 && m < n;
  for (int k = 0; k < len; ++k) {
    const int f = reflect && k != 0 ? len - k : k;
    const double fr = plan->filter_re[f];
    const double fi = sign * plan->filter_im[f];
    const double a = w_re[k];
    const double b = w_im[k];
    w_re[k] = a * fr - b * fi;
    w_im[k] = a * fi + b * fr;
  }

  // Backward FFT completes the circular convolution.
  interleave(len, w_re, w_im, tmp.get());
  nw = fft_prepare(2 * len, ip, ww);
  fft_backward(2 * len, tmp.get(), ip, nw, ww);
  for (int k = 0; k < len; ++k) {
    w_re[k] = tmp[2 * k];
    w_im[k] = tmp[2 * k + 1];
  }

  // Postmultiply by the chirp into the caller's line.
  for (int k = 0; k < m; ++k) {
    const double cr = c_re[k];
    const double ci = sign * c_im[k];
    re[k] = w_re[k] * cr - w_im[k] * ci;
    im[k] = w_re[k] * ci + w_im[k] * cr;
  }

  // The forward direction carries the 1/N.
  if (inverse == 0) {
    const double inv_n = 1.0 / n;
    for (int k = 0; k < m; ++k) {
      re[k] *= inv_n;
      im[k] *= inv_n;
    }
  }
}

void chirp_plan_release(ChirpPlan* plan) {
  std::free(plan->chirp_re);
  std::free(plan->filter_re);
  std::free(plan->work_re);
  plan->chirp_re = plan->chirp_im = nullptr;
  plan->filter_re = plan->filter_im = nullptr;
  plan->work_re = plan->work_im = nullptr;
  plan->length = plan->out_count = plan->fft_length = 0;
}

}  // namespace korvale

namespace korvale {
namespace {

constexpr int kMaxDftLength = 65536;

bool is_power_of_two(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

// Table size for transforms of up to `points` complex points: the FFT's nw
// is a quarter of its size in doubles.
int table_nw(int points) {
  return points < 2 ? 1 : points / 2;
}

// The FFT entry points take non-const table pointers but only read them
// once the tables are built for the largest size.
void fft_run(bool backward, int points, double* a, const DftTables& t) {
  int* ip = t.ip.get();
  double* ww = t.ww.get();
  if (backward) {
    fft_backward(2 * points, a, ip, ip[0], ww);
  } else {
    fft_forward(2 * points, a, ip, ip[0], ww);
  }
}

// work[k] *= f[k] for `count` interleaved complex points. On x86-64 also
// built for AVX2 and chosen at load time: these point-wise products are the
// chirp-z's own share of a run, and AVX2 takes two points at a time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void multiply_points(double* __restrict work, const double* __restrict f, int count) {
  for (int k = 0; k < count; ++k) {
    const double ar = work[2 * k], ai = work[2 * k + 1];
    const double fr = f[2 * k], fi = f[2 * k + 1];
    work[2 * k] = ar * fr - ai * fi;
    work[2 * k + 1] = ar * fi + ai * fr;
  }
}

}  // namespace

int dft_fft_length(int n, int m) {
  if (n < 2 || n > kMaxDftLength || m < 1 || m > n) return 0;
  if (is_power_of_two(n)) return n;
  int l = 1;
  while (l < n + m - 1) l *= 2;
  return l;
}

void dft_tables_build(DftTables* tables, int max_fft_length) {
  const int nw = table_nw(max_fft_length);
  // ww needs nw doubles; the reversal offsets need far fewer than nw ints.
  const std::size_t count = static_cast<std::size_t>(nw < 16 ? 16 : nw) + 2;
  tables->ip = named_buffer<int>(count, "ip");
  tables->ww = named_buffer<double>(count, "ww");
  make_twiddles(nw, tables->ip.get(), tables->ww.get());
}

void dft_plan_build(DftPlan* plan, int n, int m, bool inverse, const DftTables& tables) {
  const int len = dft_fft_length(n, m);
  if (len == 0 || tables.ip[0] < table_nw(len)) {
    std::fprintf(stderr, "dft_plan_build: cannot plan N = %d, M = %d\n", n, m);
    std::abort();
  }
  plan->length = n;
  plan->out_count = m;
  plan->fft_length = len;
  plan->inverse = inverse;
  plan->chirped = !is_power_of_two(n);
  if (!plan->chirped) return;

  // Chirp c[j] = exp(-/+ i pi j^2 / N), the angle reduced with j^2 mod 2N so
  // it stays exact in integers and within [0, 2 pi).
  plan->chirp = named_buffer<double>(2 * static_cast<std::size_t>(n), "czchirp");
  plan->filter = named_buffer<double>(2 * static_cast<std::size_t>(len), "czfilter");
  double* c = plan->chirp.get();
  const double sign = inverse ? 1.0 : -1.0;
  long long d = 0;
  for (int j = 0; j < n; ++j) {
    const double theta = kPi * static_cast<double>(d) / n;
    c[2 * j] = std::cos(theta);
    c[2 * j + 1] = sign * std::sin(theta);
    d = (d + 2LL * j + 1) % (2LL * n);
  }

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

void dft_plan_run(const DftPlan& plan, double* work, const DftTables& tables) {
  const int n = plan.length;
  if (!plan.chirped) {
    fft_run(plan.inverse, n, work, tables);
    return;
  }
  const int m = plan.out_count;
  const int len = plan.fft_length;
  const double* c = plan.chirp.get();
  const double* f = plan.filter.get();

  // 1. Premultiply by the chirp in place; zero-pad to L.
  multiply_points(work, c, n);
  for (int k = 2 * n; k < 2 * len; ++k) work[k] = 0.0;

  // 2. Circular convolution with the filter: forward FFT, product with the
  // filter's spectrum, backward FFT.
  fft_run(false, len, work, tables);
  multiply_points(work, f, len);
  fft_run(true, len, work, tables);

  // 3. Postmultiply the first M points by the chirp.
  multiply_points(work, c, m);
}

}  // namespace korvale
