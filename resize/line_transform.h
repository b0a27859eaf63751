// Line transforms of the plane resizer: the forward cosine transform
// (DCT-II) of real lines and its inverse (DCT-III), both two lines at a time
// on one complex DFT plan.
//
// Why these two: a line x[0..N-1] mirrored to 2N points (x[2N-1-j] = x[j])
// has the DFT  X[k] = exp(i pi k / 2N) C[k]  with  C the DCT-II
//   C[k] = sum_j x[j] cos(pi k (2j + 1) / 2N),
// so the spectrum of a mirrored line needs only a length-N transform; and the
// band-limited line sampled at the centres of N' new pixels (see resize.h) is
// the DCT-III of length N' of the first N' coefficients, again a length-N'
// transform. Both run through Makhoul's permutation, so two real lines share
// one complex DFT.
//
// On a chirp-z plan the chirp products are folded into the packing and
// unpacking loops (dft_plan_convolve), with the bits of the plan's own run.
// Those loops run on the best instruction-set variant the CPU supports
// (line_kernels.h), every variant with the same bits.
//
// Both kinds run on a caller-supplied work area of at least the plan's
// dft_plan_work_doubles (4 doubles for N = 1) and allocate nothing; the
// descriptors are read-only once built and may be shared between threads.
#pragma once

#include <cstddef>

#include "chirpz/chirpz.h"
#include "common/named_alloc.h"

namespace korvale {

// Forward DCT-II of lines of N points, keeping C[0 .. keep-1].
// Method (Makhoul): v[p] = x[2p], v[N-1-p] = x[2p+1]; V = DFT_N(v);
// C[k] = Re(exp(-i pi k / 2N) V[k]). Lines a and b go in as the real and
// imaginary parts of one input; V_a[k] = (Z[k] + conj Z[N-k]) / 2 and
// V_b[k] = (Z[k] - conj Z[N-k]) / 2i split them again.
struct DctLines {
  int n = 0;                      // N >= 1
  int keep = 0;                   // 1 .. N
  const DftPlan* plan = nullptr;  // forward, N points, all N out; null for N = 1
  Buffer<double> twiddle;         // "dcttw": cos(pi k / 2N) / 2, sin(pi k / 2N) / 2
};

// `plan` must be a forward plan of N points and N outputs (ignored for N = 1).
void dct_lines_init(DctLines* d, int n, int keep, const DftPlan* plan);

// Writes the permuted pair into work[0 .. 2N): sample j of line a is xa(j),
// of line b xb(j) (a loader returning 0 for a missing second line).
template <class LoadA, class LoadB>
void dct_pack(int n, const LoadA& xa, const LoadB& xb, double* work) {
  for (int p = 0; 2 * p < n; ++p) {  // even samples, front to back
    work[2 * p] = xa(2 * p);
    work[2 * p + 1] = xb(2 * p);
  }
  for (int p = 0; 2 * p + 1 < n; ++p) {  // odd samples, back to front
    work[2 * (n - 1 - p)] = xa(2 * p + 1);
    work[2 * (n - 1 - p) + 1] = xb(2 * p + 1);
  }
}

// Where dct_pack puts sample j of a line of N: line a's at work[2 * slot],
// line b's at work[2 * slot + 1].
inline int dct_slot(int j, int n) {
  return j % 2 == 0 ? j / 2 : n - 1 - j / 2;
}

// Transforms the packed pair in `work` and writes C_a[k] to out_a[k] and
// C_b[k] to out_b[k] (out_b may be null) for k < keep.
void dct_pair(const DctLines& d, double* work, double* out_a, double* out_b,
              const FftTables& tables);

// Inverse cosine transform (DCT-III) of lines of N points:
//   u[n] = D[0] + 2 sum_{k=1}^{N-1} D[k] cos(pi k (2n + 1) / 2N),  n < N,
// computed on N points (Makhoul): g[0] = D[0],
// g[k] = exp(i pi k / 2N) (D[k] - i D[N-k]); v = inverse DFT_N(g) is real,
// u[2p] = v[p] and u[2p+1] = v[N-1-p].
struct CosineSynthesis {
  int count = 0;                  // N: samples (and coefficients) per line
  const DftPlan* plan = nullptr;  // inverse, N points, all N out; null for N = 1
  Buffer<double> phase;           // "syntw": cos(pi k / 2N), sin(pi k / 2N), k < N
};

void cosine_synthesis_init(CosineSynthesis* s, int count, const DftPlan* plan);

// Synthesises lines a and b (b may be null: zeros) from da[0 .. N-1] and
// db[0 .. N-1] into ua[0 .. N-1] and ub[0 .. N-1] (null when db is), using
// work as the DFT work area. Both lines are read into work before anything
// is written, so ua and ub may be da and db.
void synth_pair(const CosineSynthesis& s, const double* da, const double* db, double* work,
                double* ua, double* ub, const FftTables& tables);

}  // namespace korvale
