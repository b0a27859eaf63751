// Reusable DFT plan of any length N >= 2, for many lines and many threads,
// over one of four routes chosen per length:
//   fft            a power of two: the split-radix FFT alone (fft/fft.h);
//   mixed_radix    N with no prime factor above 31, or with larger primes P
//                  whose P - 1 has none: the mixed-radix FFT
//                  (fft/mixed_radix.h), Rader passes for those primes;
//   chirp_z        any N: Bluestein's chirp-z transform over the split-radix
//                  FFT of a power-of-two length;
//   chirp_z_mixed  any N with N + M - 1 <= 65536: the same transform over the
//                  mixed-radix FFT of a length 2^a 3^b 5^c, which can be much
//                  closer to N + M - 1 than the next power of two.
// dft_choose_route takes the cheapest of the routes that serve N by a rough
// estimate of their running times; for a smooth N the mixed-radix FFT of N
// points beats two FFTs of 2N points or more, and for a power of two from
// 512 to 65536 it beats the split-radix FFT of N points.
//
//   forward: X[k] = sum_n x[n] exp(-2 pi i n k / N)   (unscaled)
//   inverse: X[k] = sum_n x[n] exp(+2 pi i n k / N)   (unscaled)
// for k = 0 .. M-1 (M = out_count, 1 <= M <= N). The direction is fixed when
// the plan is built.
//
// Chirp-z: a convolution over an FFT of L points, L the smallest power of
// two >= N + M - 1 (chirp_z) or the smallest 2^a 3^b 5^c >= N + M - 1
// (chirp_z_mixed); the chirp and the filter's spectrum (pre-divided by L,
// interleaved) are computed once at build time. On chirp_z_mixed the
// convolution's FFTs are pruned (mixed_radix_run_pruned): the forward one
// leaves out the padding's zeros, the backward one computes only the M
// outputs read.
//
// Work area: the caller owns it, dft_plan_work_doubles(plan) doubles
// (dft_work_doubles(N, M) before the plan exists): 2L for the chirp_z route,
// 4L for chirp_z_mixed, 2N for a power of two, 4N for the mixed-radix FFT.
// The caller writes the N input points to work[0 .. 2N) (interleaved: point
// j is work[2j] + i*work[2j+1]), calls dft_plan_run, and reads the M output
// points from work[0 .. 2M); the rest of the work area is scratch (on
// chirp_z_mixed, work[2M .. 2L) is not written by the last pass, so it holds
// what earlier steps left there). A run allocates nothing and writes nothing
// but the work area.
//
// FFT tables: build them first (fft_tables_build) for the largest
// dft_fft_length of every plan that will share them; after that builds and
// runs only read them, so any number of threads may run the same plan at
// once, each on its own work area.
//
// Failure: building ends the process with "czchirp no memory!!",
// "czfilter no memory!!" or "mrtw no memory!!" (status 1) when its blocks
// cannot be had. Arguments outside the ranges above, or a route forced on a
// length it cannot serve, are programming errors and abort. Runs cannot
// fail.
#pragma once

#include "common/named_alloc.h"
#include "fft/fft.h"
#include "fft/mixed_radix.h"

namespace korvale {

enum class DftRoute { fft, mixed_radix, chirp_z, chirp_z_mixed };

struct DftPlan {
  int length = 0;        // N
  int out_count = 0;     // M
  int fft_length = 0;    // the power-of-two FFT's points (N; L for chirp_z; else 1)
  int conv_length = 0;   // chirp-z routes: L, the convolution's points
  int work_doubles = 0;  // the work area's size
  bool inverse = false;  // direction of the exponent
  DftRoute route = DftRoute::fft;
  Buffer<double> chirp;       // chirp-z: 2N doubles, exp(-/+ i pi n^2 / N), interleaved
  Buffer<double> filter;      // chirp-z: 2L doubles, spectrum of the chirp filter / L
  MixedRadixPlan mixed;       // mixed_radix: the transform; chirp_z_mixed: the forward FFT of L
  MixedRadixPlan mixed_back;  // chirp_z_mixed: the backward FFT of L
};

// The cheapest route that serves N inputs and M outputs (2 <= N <= 65536,
// 1 <= M <= N).
DftRoute dft_choose_route(int n, int m);

// Points of the power-of-two FFT that the route runs on for N inputs and M
// outputs (L for chirp_z, N for fft, 1 for mixed_radix and chirp_z_mixed: no
// FFT tables needed); 0 for arguments outside the ranges above or a route
// that cannot serve N.
int dft_fft_length(int n, int m, DftRoute route);
inline int dft_fft_length(int n, int m) {
  return dft_fft_length(n, m, dft_choose_route(n, m));
}

// Doubles of work area a plan of N inputs and M outputs on the route needs.
int dft_work_doubles(int n, int m, DftRoute route);
inline int dft_work_doubles(int n, int m) {
  return dft_work_doubles(n, m, dft_choose_route(n, m));
}

// The chirp c[j] = exp(-i pi j^2 / N) (exp(+...) when inverse), j < N, into
// c[0 .. 2N) interleaved; the angle is reduced with j^2 mod 2N in integers,
// so it stays exact and within [0, 2 pi).
void dft_chirp_build(int n, bool inverse, double* c);

// Builds the plan on the chosen route, or on the route given (tests compare
// the routes on lengths several serve).
void dft_plan_build(DftPlan* plan, int n, int m, bool inverse, const FftTables& tables);
void dft_plan_build(DftPlan* plan, int n, int m, bool inverse, const FftTables& tables,
                    DftRoute route);

inline int dft_plan_work_doubles(const DftPlan& plan) {
  return plan.work_doubles;
}

void dft_plan_run(const DftPlan& plan, double* work, const FftTables& tables);

// The run without its two chirp products, for callers that fold them into
// point-wise steps of their own. On the chirp-z routes (plan.chirp holds
// c[j], j < N) dft_plan_run is
//   work[j] *= c[j] for j < N;  dft_plan_convolve;  work[k] *= c[k] for k < M,
// each product as fft_multiply_points computes it (fft/fft.h), so a caller
// that does the same products gets the same bits. On the other routes
// plan.chirp is null and dft_plan_convolve is dft_plan_run.
void dft_plan_convolve(const DftPlan& plan, double* work, const FftTables& tables);

}  // namespace korvale
