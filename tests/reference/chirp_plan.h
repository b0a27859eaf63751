// The reference pipeline's chirp-z (Bluestein) transform of any length
// N >= 2: a one-shot plan that owns its scratch and may rebuild the caller's
// FFT tables, built per line. (The program uses the reusable DftPlan of
// chirpz/chirpz.h instead.)
//
// Conventions: the forward transform computes
//   X[k] = (1/N) * sum_n x[n] * exp(-2*pi*i*n*k/N),   k = 0 .. M-1,
// the inverse y[n] = sum_k X[k] * exp(+2*pi*i*n*k/N), unscaled. M (out_count)
// is N unless a smaller M >= 2 is asked for, in which case only the first M
// bins are computed.
//
// Ownership: a plan owns three malloc'd blocks (chirp: 2N doubles, filter: 2L,
// work: 2L); the caller owns the record and the FFT tables ip/ww, which the
// plan may rebuild through the FFT calling protocol. L (fft_length) is the
// smallest power of two >= N + M.
//
// Failure: chirp_plan_init returns 0 (ready), 1 (N <= 1: nothing allocated,
// the record untouched) or 2 (out of memory, or N so large that 2L does not
// fit an int: everything freed, the record as after chirp_plan_release). Its
// allocations are named "czchirp", "czfilter", "czwork" (the blocks) and
// "czhtmp" (the filter's FFT temporary). chirp_transform cannot fail: if its
// temporary "cztmp" cannot be allocated the process ends with
// "cztmp no memory!!" on standard output and status 1.
#pragma once

namespace korvale::reference {

// A one-shot plan: built per line, owns its scratch. A refused or released
// plan holds zeros and null pointers, never garbage.
struct ChirpPlan {
  int length = 0;               // N, input points
  int out_count = 0;            // M, output points computed
  int fft_length = 0;           // L, convolution length
  double* chirp_re = nullptr;   // N doubles: cos(theta_n); block 1 starts here
  double* chirp_im = nullptr;   // N doubles: -sin(theta_n), theta_n = pi*(n^2 mod 2N)/N
  double* filter_re = nullptr;  // L doubles: filter spectrum; block 2 starts here
  double* filter_im = nullptr;  // L doubles
  double* work_re = nullptr;    // L doubles: scratch of chirp_transform; block 3 starts here
  double* work_im = nullptr;    // L doubles
};

int chirp_plan_init(ChirpPlan* plan, int n, int m, int* ip, double* ww);

// In place on re[0..N-1], im[0..N-1]; writes the first M points. inverse: 0
// forward, any other value inverse.
void chirp_transform(ChirpPlan* plan, int inverse, double* re, double* im, int* ip, double* ww);

// Frees whatever blocks are present and zeroes N, M, L; harmless when called
// again or on a half-built plan.
void chirp_plan_release(ChirpPlan* plan);

}  // namespace korvale::reference
