// Mixed-radix complex FFT for lengths whose prime factors are all at most
// kMixedRadixLargestRadix (1920 = 2^7 3 5, 6000 = 2^4 3 5^3, 4032 = 2^6 3^2 7,
// 4080 = 2^4 3 5 17, 5472 = 2^5 3^2 19, ...) or are larger primes P whose
// P - 1 has none (2667 = 3 7 127 with 126 = 2 3^2 7, 1919 = 19 101,
// 999 = 3^3 37, ...), beside the power-of-two split-radix FFT of fft.h: a
// DFT of such a length without padding it.
//
//   forward: X[k] = sum_j x[j] exp(-2 pi i j k / N)   (unscaled)
//   inverse: X[k] = sum_j x[j] exp(+2 pi i j k / N)   (unscaled)
// over interleaved doubles (point j is a[2j] + i*a[2j+1]); the direction is
// fixed when the plan is built.
//
// Method: N is split into radices, in running order: fours, a two, threes,
// fives, sevens, the primes from 11 to kMixedRadixLargestRadix, larger
// primes, and an eight last when the power of two in N is odd and at least
// 2^3. Where N's power of two is not large, two radices go into one pass:
// nines for pairs of threes, a fifteen for a three and a five, a sixteen last
// for two fours (an even power of two from 2^4, N not a power of two), for
// an odd power of two from 2^5 with a five, a ten first and a sixteen last,
// and for a lone two a ten or a fourteen first. 2, 3, 4, 5, 8, 9, 10, 14, 15
// and 16 have butterflies of their own (9, 10, 14, 15 and 16 as two stages
// in registers), 7 and the primes from 11 to kMixedRadixLargestRadix one
// general odd butterfly (each output pair from sums over the pairs of
// inputs, as radix 5 does, its constants computed once per radix), and a
// larger prime P runs Rader's algorithm: its butterfly's outputs 1 .. P-1,
// taken in the order of the powers of a generator g of the integers mod P,
// are a cyclic convolution of its inputs 1 .. P-1, taken in the order of g's
// negative powers, with exp(s 2 pi i g^m / P), done as a forward and an
// inverse FFT of P - 1 points (sub-plans) around a product by the kernel's
// spectrum. Each pass
// runs its butterfly over the whole line and multiplies by its twiddles,
// reading one half of the work area and writing the other (Stockham's
// self-sorting order, so no reordering pass); when the passes are odd in
// number the first runs in place, so the last ends in the first half. The
// butterflies run on two points at a time where they can.
//
// Plan: the radices and the twiddles of every pass, built once per length
// and direction ("mrtw", N - 1 complex numbers at most), and for each Rader
// pass its two sub-plans, its orders and its kernel's spectrum ("mrtw"
// too); read-only after building, so any number of threads may run one plan
// at once.
//
// Work area: the caller owns it, mixed_radix_work_doubles(N) doubles: 4N,
// plus for a length with a Rader pass two work areas of its largest
// sub-plan (a last Rader pass runs two blocks before storing both); the N
// input points go in work[0 .. 2N), the N output points come out there, and
// the rest is scratch. A run allocates nothing and writes nothing but the
// work area.
//
// Failure: building ends the process with "mrtw no memory!!" (status 1) when
// its tables cannot be had; a length outside 1 .. 65536 or with another
// prime factor is a programming error and aborts. Runs cannot fail. The
// passes are built for each instruction-set variant of the FFT (baseline and
// AVX2, chosen at run time, see fft_internal.h) with no contraction into
// FMA (the one fused operation, radix 4's rotation added to a sum, has an
// exact product by +-1), so the results are the same bits on every machine.
#pragma once

#include <memory>

#include "common/named_alloc.h"

namespace korvale {

inline constexpr int kMixedRadixMaxLength = 65536;
inline constexpr int kMixedRadixMaxPasses = 16;
// The largest prime radix with a butterfly of its own: past it, a direct
// butterfly costs more than the chirp-z route, and larger primes run Rader's
// algorithm.
inline constexpr int kMixedRadixLargestRadix = 31;

struct MixedRadixPlan;
// Frees a sub-plan of a Rader pass (allocated by name, "mrtw").
struct MixedRadixPlanFree {
  void operator()(MixedRadixPlan* plan) const;
};
using MixedRadixSubPlan = std::unique_ptr<MixedRadixPlan, MixedRadixPlanFree>;

// A pass of a prime radix P > kMixedRadixLargestRadix (Rader's algorithm).
struct MixedRadixRader {
  Buffer<int> order;                    // [j] = g^-j mod P, then [P - 1 + j] = g^j mod P, j < P - 1
  Buffer<double> kernel;                // DFT_(P-1) of exp(s 2 pi i g^m / P), divided by P - 1
  MixedRadixSubPlan forward, backward;  // the FFTs of P - 1 points
  int sub_work = 0;                     // doubles of a sub-plan's work area
};

struct MixedRadixPlan {
  int length = 0;  // N
  bool inverse = false;
  int passes = 0;
  int radix[kMixedRadixMaxPasses] = {};         // radix of each pass, in running order
  int twiddle_at[kMixedRadixMaxPasses] = {};    // first twiddle (complex index) of each pass
  Buffer<double> twiddle;                       // "mrtw": every pass's twiddles, interleaved
  MixedRadixRader rader[kMixedRadixMaxPasses];  // the Rader passes' tables (empty elsewhere)
};

// True when 1 <= n <= kMixedRadixMaxLength and every prime factor P of n is
// at most kMixedRadixLargestRadix or has no prime factor above it in P - 1.
bool mixed_radix_supports(int n);

// Rough count of floating-point operations of one run (for choosing between
// routes); 0 when the length is not supported.
double mixed_radix_cost(int n);

void mixed_radix_build(MixedRadixPlan* plan, int n, bool inverse);

// The work area's doubles for a supported n: 4n, plus two work areas of the
// largest Rader sub-plan.
int mixed_radix_work_doubles(int n);

void mixed_radix_run(const MixedRadixPlan& plan, double* work);

// The run followed by work[k] *= f[k] for k < N (interleaved), done by the
// last pass as it writes its outputs, with the bits of a run followed by
// fft_multiply_points (fft/fft.h): one pass over the line fewer.
void mixed_radix_run_times(const MixedRadixPlan& plan, double* work, const double* f);

// The run (with the product by f when f is not null) for a caller that has
// only nonzero_in nonzero input points and reads only the first needed_out
// output points, 0 <= nonzero_in <= N, 1 <= needed_out <= N: the first pass
// takes the input points from nonzero_in on as zeros without reading them
// (work[2 nonzero_in .. 4N) may hold anything), leaving out of its
// butterflies the additions of those zeros when its radix is 2 to 5, and the
// last pass computes and writes only the outputs below needed_out when its
// radix is 16 or less (work[2 needed_out .. 4N) is left as scratch). The
// outputs read are those of mixed_radix_run(_times) on the input padded with
// zeros bit for bit, except that an output that is an exact zero may differ
// in its sign.
void mixed_radix_run_pruned(const MixedRadixPlan& plan, double* work, const double* f,
                            int nonzero_in, int needed_out);

}  // namespace korvale
