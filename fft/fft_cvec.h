// Complex doubles held as vectors for the FFT stages (GCC/Clang vector
// extensions): cvec is one interleaved complex number (re, im) in a 16-byte
// vector. The compiler maps the operations to the instruction set the
// including source is compiled for. Everything here has internal linkage, so
// each instruction-set variant keeps its own copy. Private to the FFT sources.
#pragma once

#if defined(__AVX__) || defined(__FMA__)
#include <immintrin.h>
#endif

namespace korvale::fft_detail {
namespace {

#if !(defined(__GNUC__) || defined(__clang__))
#error "the FFT stages need the GCC/Clang vector extensions"
#endif

typedef double cvec __attribute__((vector_size(16)));
// Same layout with 8-byte alignment and alias permission, for loads and stores
// at any double of the array.
typedef double cvec_u __attribute__((vector_size(16), aligned(8), may_alias));

#define KORVALE_INLINE inline __attribute__((always_inline))

KORVALE_INLINE cvec load(const double* p) {
  return *reinterpret_cast<const cvec_u*>(p);
}
KORVALE_INLINE void store(double* p, cvec v) {
  *reinterpret_cast<cvec_u*>(p) = v;
}
KORVALE_INLINE cvec cplx(double re, double im) {
  return cvec{re, im};
}
KORVALE_INLINE cvec splat(double x) {
  return cvec{x, x};
}
// (re, im) -> (im, re)
KORVALE_INLINE cvec swap_lanes(cvec x) {
  return __builtin_shufflevector(x, x, 1, 0);
}
KORVALE_INLINE cvec dup_re(cvec x) {
  return __builtin_shufflevector(x, x, 0, 0);
}
KORVALE_INLINE cvec dup_im(cvec x) {
  return __builtin_shufflevector(x, x, 1, 1);
}

// cpair: two consecutive complex numbers (re0, im0, re1, im1) in a 32-byte
// vector (one AVX register, or two 16-byte registers on the baseline target).
typedef double cpair __attribute__((vector_size(32)));
typedef double cpair_u __attribute__((vector_size(32), aligned(8), may_alias));

KORVALE_INLINE cpair load2(const double* p) {
  return *reinterpret_cast<const cpair_u*>(p);
}
KORVALE_INLINE void store2(double* p, cpair v) {
  *reinterpret_cast<cpair_u*>(p) = v;
}
KORVALE_INLINE cpair join(cvec lo, cvec hi) {
  return __builtin_shufflevector(lo, hi, 0, 1, 2, 3);
}
KORVALE_INLINE cvec lo(cpair x) {
  return __builtin_shufflevector(x, x, 0, 1);
}
KORVALE_INLINE cvec hi(cpair x) {
  return __builtin_shufflevector(x, x, 2, 3);
}
KORVALE_INLINE cpair swap_lanes(cpair x) {
  return __builtin_shufflevector(x, x, 1, 0, 3, 2);
}
KORVALE_INLINE cpair dup_re(cpair x) {
  return __builtin_shufflevector(x, x, 0, 0, 2, 2);
}
KORVALE_INLINE cpair dup_im(cpair x) {
  return __builtin_shufflevector(x, x, 1, 1, 3, 3);
}
// (x0, x1), (y0, y1) -> (x0, y0) and (x1, y1)
KORVALE_INLINE cpair lows(cpair x, cpair y) {
  return __builtin_shufflevector(x, y, 0, 1, 4, 5);
}
KORVALE_INLINE cpair highs(cpair x, cpair y) {
  return __builtin_shufflevector(x, y, 2, 3, 6, 7);
}
KORVALE_INLINE cpair mul_i(cpair x) {
  return swap_lanes(x) * cpair{-1.0, 1.0, -1.0, 1.0};
}
KORVALE_INLINE cpair conj(cpair x) {
  return x * cpair{1.0, -1.0, 1.0, -1.0};
}
// (x0, x1) -> (x0, i*x1)
KORVALE_INLINE cpair mul_i_high(cpair x) {
  return __builtin_shufflevector(x, x, 0, 1, 3, 2) * cpair{1.0, 1.0, -1.0, 1.0};
}
// (a.re - b.re, a.im + b.im) for each complex number (one addsubpd on SSE3
// and later). On AVX the instruction is asked for by name: GCC otherwise
// recognises the blend of a product's difference and sum and fuses the
// product into it (vfmaddsub) whatever the contraction setting, and the
// products must round as the baseline's do.
KORVALE_INLINE cpair addsub(cpair a, cpair b) {
#if defined(__AVX__)
  return reinterpret_cast<cpair>(
      _mm256_addsub_pd(reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b)));
#else
  return __builtin_shufflevector(a - b, a + b, 0, 5, 2, 7);
#endif
}
// Lane-wise complex product: (x0*w0, x1*w1).
KORVALE_INLINE cpair cmul(cpair x, cpair w) {
  return addsub(dup_re(w) * x, swap_lanes(x) * dup_im(w));
}

// i*x = (-im, re)
KORVALE_INLINE cvec mul_i(cvec x) {
  return swap_lanes(x) * cplx(-1.0, 1.0);
}
// conj(x) = (re, -im)
KORVALE_INLINE cvec conj(cvec x) {
  return x * cplx(1.0, -1.0);
}
KORVALE_INLINE cvec addsub(cvec a, cvec b) {
#if defined(__AVX__)
  return reinterpret_cast<cvec>(
      _mm_addsub_pd(reinterpret_cast<__m128d>(a), reinterpret_cast<__m128d>(b)));
#else
  return __builtin_shufflevector(a - b, a + b, 0, 3);
#endif
}
// x * (wr + i*wi), the factor held as the vector w = (wr, wi):
// (xr*wr - xi*wi, xi*wr + xr*wi): two products and one add-subtract, the
// data seeing one shuffle.
KORVALE_INLINE cvec cmul(cvec x, cvec w) {
  return addsub(dup_re(w) * x, swap_lanes(x) * dup_im(w));
}
// x * exp(i*pi/4) = c*(x + i*x), c = cos(pi/4).
KORVALE_INLINE cvec rot45(cvec x, double c) {
  return c * (x + mul_i(x));
}
// x * exp(3i*pi/4) = c*(i*x - x).
KORVALE_INLINE cvec rot135(cvec x, double c) {
  return c * (mul_i(x) - x);
}

// a * b + c where every product a * b is exact (b holds only +-1): one
// fused multiply-add where the variant has FMA, a product and a sum
// elsewhere; the bits are the same either way.
KORVALE_INLINE cvec fmadd_exact(cvec a, cvec b, cvec c) {
#if defined(__FMA__)
  return reinterpret_cast<cvec>(_mm_fmadd_pd(
      reinterpret_cast<__m128d>(a), reinterpret_cast<__m128d>(b), reinterpret_cast<__m128d>(c)));
#else
  return a * b + c;
#endif
}
KORVALE_INLINE cpair fmadd_exact(cpair a, cpair b, cpair c) {
#if defined(__FMA__)
  return reinterpret_cast<cpair>(_mm256_fmadd_pd(
      reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b), reinterpret_cast<__m256d>(c)));
#else
  return a * b + c;
#endif
}

}  // namespace
}  // namespace korvale::fft_detail
