// Line transforms of the fast pipeline: the forward cosine transform (DCT-II)
// of real lines and the synthesis of real lines from their cosine
// coefficients, both two lines at a time on one complex DFT plan.
//
// Why these two: a line x[0..N-1] mirrored to 2N points (x[2N-1-j] = x[j])
// has the DFT  X[k] = exp(i pi k / 2N) C[k]  with  C the DCT-II
//   C[k] = sum_j x[j] cos(pi k (2j + 1) / 2N),
// so the spectrum of a mirrored line needs only a length-N transform, and
// after the crop the inverse transform is real, so two lines share one.
//
// Both kinds run on a caller-supplied work area of at least work_doubles()
// doubles (interleaved complex points) and allocate nothing; the descriptors
// are read-only once built and may be shared between threads.
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

// Writes the permuted pair (a real, b imaginary; b may be null: zeros) into
// work[0 .. 2N).
template <class T>
void dct_pack(const DctLines& d, const T* xa, const T* xb, double* work) {
  const int n = d.n;
  const int half = (n + 1) / 2;  // even samples, front to back
  const int odd = n / 2;         // odd samples, back to front
  if (xb != nullptr) {
    for (int p = 0; p < half; ++p) {
      work[2 * p] = static_cast<double>(xa[2 * p]);
      work[2 * p + 1] = static_cast<double>(xb[2 * p]);
    }
    for (int p = 0; p < odd; ++p) {
      work[2 * (n - 1 - p)] = static_cast<double>(xa[2 * p + 1]);
      work[2 * (n - 1 - p) + 1] = static_cast<double>(xb[2 * p + 1]);
    }
  } else {
    for (int p = 0; p < half; ++p) {
      work[2 * p] = static_cast<double>(xa[2 * p]);
      work[2 * p + 1] = 0.0;
    }
    for (int p = 0; p < odd; ++p) {
      work[2 * (n - 1 - p)] = static_cast<double>(xa[2 * p + 1]);
      work[2 * (n - 1 - p) + 1] = 0.0;
    }
  }
}

// Transforms the packed pair in `work` and writes C_a[k] to out_a[k*stride]
// and C_b[k] to out_b[k*stride] (out_b may be null) for k < keep.
void dct_pair(const DctLines& d, double* work, double* out_a, double* out_b, std::ptrdiff_t stride,
              const DftTables& tables);

// Synthesis of lines of W' points from K coefficients each, for an axis
// shrunk from W to W' samples:
//   u[n] = D[0] + 2 sum_{k=1}^{W'-1} D[k] cos(pi k / 2W + pi n k / W')
//          + [nyquist] D[W'] (-1)^n,          n = 0 .. W'-1,
// the unscaled inverse DFT of the 2W'-point Hermitian sequence s[0] = D[0],
// s[k] = D[k] exp(i pi k / 2W), s[2W'-k] = conj s[k], s[W'] = [nyquist] D[W'].
// D[W'] arrives already weighted (the fold); K = W' + 1 with a Nyquist term.
//
// Without a reduction (W' = W, K = W) the same sum is the DCT-III
//   u[n] = D[0] + 2 sum_{k=1}^{W-1} D[k] cos(pi k (2n + 1) / 2W),
// computed on W points instead of 2W (Makhoul): g[0] = D[0],
// g[k] = exp(i pi k / 2W) (D[k] - i D[W-k]); v = inverse DFT_W(g) is real,
// u[2p] = v[p] and u[2p+1] = v[W-1-p].
struct SynthLines {
  int original = 0;               // W
  int out = 0;                    // W'
  bool nyquist = false;           // W' < W: coefficient W' is the folded Nyquist term
  bool cosine = false;            // W' = W: the DCT-III route
  const DftPlan* plan = nullptr;  // inverse; 2W' points and W' outputs, or W and W
                                  // for the DCT-III (null when W = W' = 1)
  Buffer<double> phase;           // "syntw": cos(pi k / 2W), sin(pi k / 2W), k < W'
};

void synth_lines_init(SynthLines* s, int original, int out, const DftPlan* plan);

// Synthesises lines a and b (b may be null: zeros) from da[0 .. K-1] and
// db[0 .. K-1], using work as the DFT work area; on return out[2n] is u_a[n]
// and out[2n+1] is u_b[n] (out: 2W' doubles, apart from work).
void synth_pair(const SynthLines& s, const double* da, const double* db, double* work, double* out,
                const DftTables& tables);

}  // namespace korvale
