// Chirp-z (Bluestein) discrete Fourier transform of any length N >= 2, in
// two kinds of plan:
//   DftPlan (below): built once per length and direction, read-only after
//     that, run any number of times from any number of threads on the
//     caller's work areas without allocating. The program uses these.
//   ChirpPlan: a one-shot plan that owns its scratch and may rebuild the
//     caller's FFT tables; the tests' reference pipeline builds one per line.
//
// ChirpPlan conventions: the forward transform computes
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

#include "common/named_alloc.h"

namespace korvale {

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

// ---------------------------------------------------------------------------
// Reusable DFT plan of any length N >= 2, for many lines and many threads.
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
// FFT tables: build them first (dft_fft_tables) for the largest L of every
// plan that will share them; after that builds and runs only read them, so
// any number of threads may run the same plan at once, each on its own work
// area.
//
// Failure: building ends the process with "czchirp no memory!!" or
// "czfilter no memory!!" (status 1) when its blocks cannot be had; arguments
// outside the ranges above abort. Runs cannot fail.
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

// FFT tables serving every plan of at most `max_fft_length` points:
// allocates "ip" and "ww" (ending the process on failure) and builds them.
struct DftTables {
  Buffer<int> ip;
  Buffer<double> ww;
};
void dft_tables_build(DftTables* tables, int max_fft_length);

void dft_plan_build(DftPlan* plan, int n, int m, bool inverse, const DftTables& tables);

inline int dft_plan_work_doubles(const DftPlan& plan) {
  return 2 * plan.fft_length;
}

void dft_plan_run(const DftPlan& plan, double* work, const DftTables& tables);

}  // namespace korvale
