// Internal stages of the power-of-two FFT (see fft.h for the public contract).
//
// Every stage here computes the positive-exponent transform, exp(+2*pi*i*jk/L),
// and leaves its result in bit-reversed order; the negative exponent of
// fft_forward comes only from the conjugating variants (entry_stage_conj,
// reorder_bitrev_conj) and the negated reorderings for 16 and 32 doubles.
//
// Units: sizes count doubles; a block of M complex points occupies 2M
// consecutive doubles, point p being (a[2p], a[2p+1]).
//
// Two kinds of block remain to be transformed after a split:
//   plain block: Y[k] = sum_j u[j] * exp(+2*pi*i*j*k/M)
//   skew block:  Y[k] = sum_j u[j] * exp(+pi*i*j*(2k+1)/M)  (half-bin shifted)
// quad_module splits a plain block into quarters plain, skew, plain, plain;
// quad_module_skew splits a skew block into plain, skew, plain, skew. Every
// kernel writes its block's Y[k] at position bitrev(k) of the block.
//
// Twiddle slices (w = start of the slice in ww; the level of h entries starts
// at ww[nw - 2h] and has angle step d = (pi/4)/h):
//   entry_stage(_conj) on n:  w = ww + nw - n/4   (level n/8)
//   quad_module on n:         w = ww + nw - n/2   (level n/4)
//   quad_module_skew on n:    w = ww + nw - n     (level n/2)
//   butterfly16:              w = ww + nw - 8     (level 4)
//   butterfly16_skew:         w = ww + nw - 32    (level 16)
//   butterfly8:               w = ww + nw - 8, or ww itself (reads w[1] only)
//   butterfly8_skew:          w = ww + nw - 8     (level 4)
//
// None of these allocates, recurses, fails or checks its arguments; the
// preconditions are those that fft_forward/fft_backward guarantee.
//
// Instruction-set variants: the stage sources (fft_stages.cpp,
// fft_reorder.cpp, and mixed_radix_passes.cpp for the mixed-radix FFT) are
// compiled once per variant into their own namespace,
// korvale::fft_detail::<variant> (fft_variant.h): "generic" for the baseline
// target and, on x86-64, "avx2" with AVX2 and FMA. Within a variant the
// drivers call that variant's kernels directly. The entry points pick the
// best variant the CPU supports once, on first use; a StageSet gives the tests
// every stage of one variant under its own name.
#pragma once

namespace korvale {
struct MixedRadixPlan;
}

namespace korvale::fft_detail {

// The stages of one instruction-set variant, each under its name.
struct StageSet {
  const char* name;
  void (*entry_stage)(int n, double* a, const double* w);
  void (*entry_stage_conj)(int n, double* a, const double* w);
  void (*deep_stage_driver)(int n, double* a, int nw, const double* ww);
  int (*tree_stage_step)(int m, int j, int k, double* a, int nw, const double* ww);
  void (*leaf_stage)(int m, int last_plain, double* a, int nw, const double* ww);
  void (*small_stage_driver)(int n, double* a, int nw, const double* ww);
  void (*quad_module)(int n, double* a, const double* w);
  void (*quad_module_skew)(int n, double* a, const double* w);
  void (*butterfly16)(double* a, const double* w);
  void (*butterfly16_skew)(double* a, const double* w);
  void (*butterfly8)(double* a, const double* w);
  void (*butterfly8_skew)(double* a, const double* w);
  void (*reorder_bitrev)(int n, const int* ip, double* a);
  void (*reorder_bitrev_conj)(int n, const int* ip, double* a);
  void (*reorder16)(double* a);
  void (*reorder16_negated)(double* a);
  void (*multiply_points)(double* work, const double* f, int count);
  void (*mixed_radix_run)(const MixedRadixPlan& plan, double* work, const double* times,
                          int nonzero_in, int needed_out);  // fft/mixed_radix.h
};

// The variants compiled into the library, and whether this CPU can run them.
int stage_set_count();
const StageSet& stage_set(int i);
bool stage_set_supported(int i);

// The variant fft_forward and fft_backward use: the last supported one.
const StageSet& active_stage_set();

// fft_backward (forward = false) or fft_forward with the given variant.
void transform_with(const StageSet& s, bool forward, int n, double* a, const int* ip, int nw,
                    const double* ww);

// Fixed permutations of 8 points: 3-bit reversal (1<->4, 3<->6), and new
// point k <- old point bitrev3((8 - k) mod 8).
void reorder8(double* a);
void reorder8_negated(double* a);

// Direct transforms: 4 points (sign +1: exp(+), -1: exp(-)) and 2 points.
void direct4(double* a, int sign);
void direct2(double* a);

}  // namespace korvale::fft_detail
