// The point-wise loops of the line transforms (line_transform.h): the
// packing and unpermuting of the cosine synthesis and the unpairing of the
// cosine analysis, around the DFT they share.
//
// Instruction-set variants: line_kernels.cpp is compiled once per variant
// into its own namespace, korvale::resize_detail::<variant>: "generic" for
// the baseline target, one point at a time, and, on x86-64, "avx2" with AVX2
// (no FMA, no contraction), four points at a time in 32-byte vectors. Both
// do, per element, the same operations in the same order, so they give the
// same bits. The line transforms use the best variant the CPU supports,
// picked once; the tests run every variant through synth_pair_with and
// dct_pair_with. Private to resize/ and its tests.
#pragma once

#include "chirpz/chirpz.h"
#include "resize/line_transform.h"

namespace korvale::resize_detail {

// One variant's loops. `c` is a chirp-z plan's chirp (interleaved, as
// DftPlan::chirp), folded in as fft_multiply_points would apply it; null for
// none.
struct LineKernels {
  const char* name;
  // The synthesis's packing, points 1 .. N-1 of work (point 0 is the
  // caller's): t = g_a + i g_b (times c[k]), g = exp(i pi k / 2N) (D[k] -
  // i D[N-k]) with ph[2k], ph[2k+1] = cos, sin (pi k / 2N); db null: g_b = 0.
  void (*synth_pack)(int n, const double* ph, const double* c, const double* da, const double* db,
                     double* work);
  // The synthesis's unpermuting: v[p] = work point p (times c[p]);
  // u[2p] = v[p], u[2p+1] = v[N-1-p]; line a the real parts into ua, line b
  // the imaginary ones into ub (null: not written).
  void (*synth_unpermute)(int n, const double* c, const double* work, double* ua, double* ub);
  // The analysis's unpairing, k < keep: Z[k] = work point k (times c[k]),
  // Y = Z[N-k] (Z[0] for k = 0); C_a[k], C_b[k] (out_b null: not written)
  // from Z + Y and Z - Y with tw[2k], tw[2k+1] = cos, sin (pi k / 2N) / 2.
  void (*dct_unpair)(int n, int keep, const double* tw, const double* c, const double* work,
                     double* out_a, double* out_b);
};

// The variants compiled in, generic first, and whether this CPU runs them.
int line_kernels_count();
const LineKernels& line_kernels(int i);
bool line_kernels_supported(int i);

// synth_pair and dct_pair (line_transform.h) on the given variant.
void synth_pair_with(const LineKernels& k, const CosineSynthesis& s, const double* da,
                     const double* db, double* work, double* ua, double* ub,
                     const FftTables& tables);
void dct_pair_with(const LineKernels& k, const DctLines& d, double* work, double* out_a,
                   double* out_b, const FftTables& tables);

}  // namespace korvale::resize_detail
