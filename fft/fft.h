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
// Tables (FftTables): the caller owns `ip` (ints) and `ww` (doubles).
//   ip[0]   the nw the tables currently hold; 0 means "not built".
//   ip[2..] bit-reversal offsets, ip[m + k] = 8m * rev_t(k) for m = 2^t.
//   ww      twiddle levels for nw (needs nw - 2 doubles; see make_twiddles).
// A table built for nw serves every n <= 4*nw, so a larger table serves all
// smaller transforms without a rebuild.
//
// Implementation: an in-place split-radix decimation-in-frequency FFT; no
// allocation, recursion or trigonometry per transform (fft_internal.h has the
// stages). On x86-64 the stages are also built for AVX2+FMA and that build is
// used when the CPU supports it, chosen once on first use: results are the
// same from call to call on one machine but may differ in the last bits
// between machines with and without AVX2.
//
// Failure: none. The transforms work in place, never allocate, never fail and
// do not check their arguments; sizes that are not powers of two or exceed
// 4*nw give wrong results. Callers use fft_prepare (the calling protocol)
// before every transform.
#pragma once

namespace korvale {

// The caller-owned FFT work tables.
struct FftTables {
  int* ip;
  double* ww;
};

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
