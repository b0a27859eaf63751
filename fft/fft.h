// Power-of-two complex FFT over interleaved doubles.
//
// Units: every size here counts doubles, not complex points. A transform of
// L points has size n = 2L; point j is a[2j] + i*a[2j+1]. Valid sizes are the
// powers of two from 4 up to 4*nw, nw being the size the tables were built for.
//
// Scaling: both directions are unscaled. fft_forward computes
//   X[k] = sum_j x[j] * exp(-2*pi*i*j*k/L),
// fft_backward the same with exp(+...); backward after forward gives L times
// the input.
//
// Tables: `ip` (ints) and `ww` (doubles), held in an FftTables record
// (fft_tables_build, fft_tables_nw) or in the caller's own arrays.
//   ip[0]   the nw the tables currently hold; 0 means "not built".
//   ip[2..] bit-reversal offsets, ip[m + k] = 8m * rev_t(k) for m = 2^t.
//   ww      twiddle levels for nw (needs nw - 2 doubles; see make_twiddles).
// A table built for nw serves every n <= 4*nw, so a larger table serves all
// smaller transforms without a rebuild.
//
// Implementation: an in-place split-radix decimation-in-frequency FFT; no
// allocation, recursion or trigonometry per transform (fft_internal.h has the
// stages). On x86-64 the stages are also built for AVX2 and that build is
// used when the CPU supports it, chosen once on first use. Both builds do the
// same floating-point operations in the same order (no contraction into
// FMA), so their results are identical bit for bit.
//
// Failure: none. The transforms work in place, never allocate, never fail and
// do not check their arguments; sizes that are not powers of two or exceed
// 4*nw give wrong results. fft_prepare grows caller-owned tables when a
// transform needs more; tables built once for the largest size (FftTables)
// serve every smaller transform, read-only, from any number of threads.
#pragma once

#include "common/named_alloc.h"

namespace korvale {

// FFT tables owned by one record: built once for the largest transform, then
// only read.
struct FftTables {
  Buffer<int> ip;
  Buffer<double> ww;
};

// Allocates "ip" and "ww" (ending the process with "NAME no memory!!" when
// they cannot be had) and builds them for transforms of up to `max_points`
// complex points (a power of two).
void fft_tables_build(FftTables* tables, int max_points);

// The nw the tables hold: they serve transforms of up to 2*nw points.
inline int fft_tables_nw(const FftTables& tables) {
  return tables.ip[0];
}

// Forward or backward transform of `points` complex points (a power of two,
// 1 .. 2*fft_tables_nw) in place, with tables built beforehand.
void fft_run(bool backward, int points, double* a, const FftTables& tables);

// work[k] *= f[k] for `count` interleaved complex points, on the same
// instruction-set variant as the transforms (identical results on each):
//   (ar + i ai)(fr + i fi) = (ar fr - ai fi) + i (ar fi + ai fr).
void fft_multiply_points(double* work, const double* f, int count);

// Sets ip[0] = nw and, for nw > 2, writes the twiddle levels of nw into ww;
// for nw >= 16 also fills the reversal offsets (make_reversal_offsets).
void make_twiddles(int nw, int* ip, double* ww);

// Fills ip[2..] with the reversal offset lists for every m up to what nw
// needs; returns the final m (unused by the transforms).
int make_reversal_offsets(int nw, int* ip);

// In-place forward (exp -) and backward (exp +) transforms of n doubles.
void fft_forward(int n, double* a, int* ip, int nw, double* ww);
void fft_backward(int n, double* a, int* ip, int nw, double* ww);

// The calling protocol: returns the nw to pass for a transform of n doubles,
// rebuilding the tables for nw = n/4 when they are missing or too small.
int fft_prepare(int n, int* ip, double* ww);

}  // namespace korvale
