// Declarations of the stages of one instruction-set variant, in the namespace
// korvale::fft_detail::KORVALE_FFT_VARIANT. Included only by the variant
// sources (fft_stages.cpp, fft_reorder.cpp, mixed_radix_passes.cpp), which
// the build compiles once per variant with KORVALE_FFT_VARIANT defined. See
// fft_internal.h for what each stage does.
#pragma once

#include "fft/fft_internal.h"

#ifndef KORVALE_FFT_VARIANT
#error "KORVALE_FFT_VARIANT must name the variant being compiled"
#endif

namespace korvale::fft_detail::KORVALE_FFT_VARIANT {

// First radix-4 stage over the whole array of n > 32 doubles; reads the level
// of n/8 entries and forms the odd twiddles by the midpoint identity. The
// _conj form negates every imaginary part as it reads it.
void entry_stage(int n, double* a, const double* w);
void entry_stage_conj(int n, double* a, const double* w);

// Middle stages for n > 512: depth-first walk over leaf blocks of 512 or 256
// doubles, from the end of the array towards its start.
void deep_stage_driver(int n, double* a, int nw, const double* ww);

// Runs the module splits needed before the leaf block of m doubles that ends
// at double j and is the k-th block counted from the end (the last is 0).
// Returns 1 if that block is plain, 0 if skew.
int tree_stage_step(int m, int j, int k, double* a, int nw, const double* ww);

// Finishes one already split block of m = 512 or 256 doubles; last_plain
// says whether its fourth quarter is plain (1) or skew (0).
void leaf_stage(int m, int last_plain, double* a, int nw, const double* ww);

// Middle stages for n = 128 or 64.
void small_stage_driver(int n, double* a, int nw, const double* ww);

// Radix-4 split of one plain / skew block of n doubles.
void quad_module(int n, double* a, const double* w);
void quad_module_skew(int n, double* a, const double* w);

// Fixed-size kernels: full transform of one 16-point (32 doubles) or 8-point
// (16 doubles) block, output in bit-reversed order.
void butterfly16(double* a, const double* w);
void butterfly16_skew(double* a, const double* w);
void butterfly8(double* a, const double* w);
void butterfly8_skew(double* a, const double* w);

// Bit-reversal permutation of the n/2 points, n > 32, using the offset list
// ip[m .. 2m-1]. The _conj form also negates every imaginary part.
void reorder_bitrev(int n, const int* ip, double* a);
void reorder_bitrev_conj(int n, const int* ip, double* a);

// Fixed permutations of 16 points: 4-bit reversal, and new point k <- old
// point bitrev4((16 - k) mod 16).
void reorder16(double* a);
void reorder16_negated(double* a);

// Point-wise complex product work[k] *= f[k] over `count` interleaved points.
void multiply_points(double* work, const double* f, int count);

// The passes of a mixed-radix plan over work[0 .. 4N), with the product by
// `times` (when not null) and the pruning of mixed_radix_run_pruned
// (fft/mixed_radix.h).
void mixed_radix_run(const MixedRadixPlan& plan, double* work, const double* times, int nonzero_in,
                     int needed_out);

// This variant's stages as a StageSet.
const StageSet& stages();

}  // namespace korvale::fft_detail::KORVALE_FFT_VARIANT
