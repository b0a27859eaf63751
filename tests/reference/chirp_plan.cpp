// The one-shot chirp-z plan of the reference pipeline: built per line, owns
// its scratch, and keeps the FFT's table protocol (fft_prepare) on the
// caller's ip/ww.
#include "tests/reference/chirp_plan.h"

#include <climits>
#include <cstdlib>

#include "chirpz/chirpz.h"
#include "common/named_alloc.h"
#include "fft/fft.h"

namespace korvale::reference {
namespace {

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

  // Chirp table: exp(-i theta_j), theta_j = pi * (j^2 mod 2N) / N, built
  // interleaved in the work block and split into the chirp block.
  dft_chirp_build(n, false, plan->work_re);
  for (int j = 0; j < n; ++j) {
    plan->chirp_re[j] = plan->work_re[2 * j];
    plan->chirp_im[j] = plan->work_re[2 * j + 1];
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

}  // namespace korvale::reference
