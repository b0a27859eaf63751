// Reusable DFT plan of any length N >= 2, for many lines and many threads:
// Bluestein's chirp-z transform over the power-of-two FFT (fft/fft.h).
//
//   forward: X[k] = sum_n x[n] exp(-2 pi i n k / N)   (unscaled)
//   inverse: X[k] = sum_n x[n] exp(+2 pi i n k / N)   (unscaled)
// for k = 0 .. M-1 (M = out_count, 1 <= M <= N). The direction is fixed when
// the plan is built.
//
// A power-of-two N runs the FFT directly (all N bins come out, no chirp). Any
// other N runs Bluestein's chirp-z convolution over an FFT of L points, L the
// smallest power of two >= N + M - 1; the chirp and the filter's spectrum
// (pre-divided by L, interleaved) are computed once at build time.
//
// Work area: the caller owns it, dft_plan_work_doubles(plan) doubles (2L,
// interleaved complex points: point j is work[2j] + i*work[2j+1]). The
// caller writes the N input points to work[0 .. 2N), calls dft_plan_run, and
// reads the M output points from work[0 .. 2M); the rest of the work area is
// scratch. A run allocates nothing and writes nothing but the work area.
//
// FFT tables: build them first (fft_tables_build) for the largest L of every
// plan that will share them; after that builds and runs only read them, so
// any number of threads may run the same plan at once, each on its own work
// area.
//
// Failure: building ends the process with "czchirp no memory!!" or
// "czfilter no memory!!" (status 1) when its blocks cannot be had. Arguments
// outside the ranges above are programming errors and abort. Runs cannot
// fail.
#pragma once

#include "common/named_alloc.h"
#include "fft/fft.h"

namespace korvale {

struct DftPlan {
  int length = 0;         // N
  int out_count = 0;      // M
  int fft_length = 0;     // L (N itself for a power of two)
  bool inverse = false;   // direction of the exponent
  bool chirped = false;   // false: the FFT alone serves N
  Buffer<double> chirp;   // 2N doubles: exp(-/+ i pi n^2 / N), interleaved
  Buffer<double> filter;  // 2L doubles: spectrum of the chirp filter / L
};

// FFT points (L) a plan of N inputs and M outputs runs on; 0 for arguments
// outside 2 <= N <= 65536, 1 <= M <= N.
int dft_fft_length(int n, int m);

// The chirp c[j] = exp(-i pi j^2 / N) (exp(+...) when inverse), j < N, into
// c[0 .. 2N) interleaved; the angle is reduced with j^2 mod 2N in integers,
// so it stays exact and within [0, 2 pi).
void dft_chirp_build(int n, bool inverse, double* c);

void dft_plan_build(DftPlan* plan, int n, int m, bool inverse, const FftTables& tables);

inline int dft_plan_work_doubles(const DftPlan& plan) {
  return 2 * plan.fft_length;
}

void dft_plan_run(const DftPlan& plan, double* work, const FftTables& tables);

}  // namespace korvale
