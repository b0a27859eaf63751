// The mixed-radix FFT's passes: the radix-2, 3, 4 and 5 butterflies, the
// pass that runs one of them over a line, and the run of a whole plan.
// Compiled once per instruction-set variant (fft_variant.h); every variant
// does the same operations in the same order, so the bits agree.
#include <cstddef>
#include <cstring>

#include "fft/fft_variant.h"
#include "fft/mixed_radix.h"

namespace korvale::fft_detail::KORVALE_FFT_VARIANT {
namespace {

struct Cx {
  double r, i;
};

inline Cx operator+(Cx a, Cx b) {
  return {a.r + b.r, a.i + b.i};
}
inline Cx operator-(Cx a, Cx b) {
  return {a.r - b.r, a.i - b.i};
}
// (a.r + i a.i)(w.r + i w.i)
inline Cx operator*(Cx a, Cx w) {
  return {a.r * w.r - a.i * w.i, a.r * w.i + a.i * w.r};
}
// i s a, for s = +1 or -1 (exact).
inline Cx rot(Cx a, double s) {
  return {-s * a.i, s * a.r};
}

inline Cx load(const double* p, std::size_t k) {
  return {p[2 * k], p[2 * k + 1]};
}
inline void store(double* p, std::size_t k, Cx v) {
  p[2 * k] = v.r;
  p[2 * k + 1] = v.i;
}

// The butterflies: x[0 .. R) replaced by its R-point DFT,
// y[c] = sum_b x[b] exp(s 2 pi i b c / R), s = +1 (inverse) or -1 (forward).

// y0 = x0 + x1, y1 = x0 - x1.
inline void butterfly2(Cx* x, double) {
  const Cx t = x[0] - x[1];
  x[0] = x[0] + x[1];
  x[1] = t;
}

// y0 = x0 + (x1 + x2); y1,2 = x0 - (x1 + x2)/2 +- i s sin(pi/3) (x1 - x2).
inline void butterfly3(Cx* x, double s) {
  constexpr double kSin60 = 0.86602540378443864676;
  const Cx t1 = x[1] + x[2], t2 = x[1] - x[2];
  const Cx a = {x[0].r - 0.5 * t1.r, x[0].i - 0.5 * t1.i};
  const Cx b = rot({kSin60 * t2.r, kSin60 * t2.i}, s);
  x[0] = x[0] + t1;
  x[1] = a + b;
  x[2] = a - b;
}

// y0,2 = (x0 + x2) +- (x1 + x3); y1,3 = (x0 - x2) +- i s (x1 - x3).
inline void butterfly4(Cx* x, double s) {
  const Cx t0 = x[0] + x[2], t1 = x[0] - x[2];
  const Cx t2 = x[1] + x[3], t3 = rot(x[1] - x[3], s);
  x[0] = t0 + t2;
  x[2] = t0 - t2;
  x[1] = t1 + t3;
  x[3] = t1 - t3;
}

// With c_m = cos(2 pi m/5), s_m = sin(2 pi m/5):
// y1,4 = x0 + c1 (x1 + x4) + c2 (x2 + x3) +- i s (s1 (x1 - x4) + s2 (x2 - x3)),
// y2,3 = x0 + c2 (x1 + x4) + c1 (x2 + x3) +- i s (s2 (x1 - x4) - s1 (x2 - x3)).
inline void butterfly5(Cx* x, double s) {
  constexpr double kC1 = 0.30901699437494742410, kS1 = 0.95105651629515357212;
  constexpr double kC2 = -0.80901699437494742410, kS2 = 0.58778525229247312917;
  const Cx x0 = x[0];
  const Cx t1 = x[1] + x[4], t4 = x[1] - x[4];
  const Cx t2 = x[2] + x[3], t3 = x[2] - x[3];
  const Cx a1 = {x0.r + kC1 * t1.r + kC2 * t2.r, x0.i + kC1 * t1.i + kC2 * t2.i};
  const Cx b1 = rot({kS1 * t4.r + kS2 * t3.r, kS1 * t4.i + kS2 * t3.i}, s);
  const Cx a2 = {x0.r + kC2 * t1.r + kC1 * t2.r, x0.i + kC2 * t1.i + kC1 * t2.i};
  const Cx b2 = rot({kS2 * t4.r - kS1 * t3.r, kS2 * t4.i - kS1 * t3.i}, s);
  x[0] = x0 + t1 + t2;
  x[1] = a1 + b1;
  x[4] = a1 - b1;
  x[2] = a2 + b2;
  x[3] = a2 - b2;
}

// One pass of radix R after l1 points' worth of earlier radices, with
// ido = N / (l1 R): for every k < l1 and i < ido, the R points
// in[i + ido (b + R k)], b < R, go through the butterfly, and output c is
// multiplied by the twiddle exp(s 2 pi i c l1 i / N) (tw[(c-1)(ido-1) + i-1])
// and written to out[i + ido (k + l1 c)].
template <int R, void (*Butterfly)(Cx*, double)>
void run_pass(int ido, int l1, const double* in, double* out, const double* tw, double s) {
  const std::size_t stride = static_cast<std::size_t>(ido) * l1;
  const double* twc[R];  // twc[c][i - 1]: output c's twiddle at i
  for (int c = 1; c < R; ++c) twc[c] = tw + 2 * static_cast<std::size_t>(c - 1) * (ido - 1) - 2;
  for (int k = 0; k < l1; ++k) {
    const double* src = in + 2 * static_cast<std::size_t>(ido) * R * k;
    double* dst = out + 2 * static_cast<std::size_t>(ido) * k;
    Cx x[R];
    for (int b = 0; b < R; ++b) x[b] = load(src, static_cast<std::size_t>(ido) * b);
    Butterfly(x, s);  // i = 0: every twiddle is 1
    for (int c = 0; c < R; ++c) store(dst, stride * c, x[c]);
    for (int i = 1; i < ido; ++i) {
      for (int b = 0; b < R; ++b) x[b] = load(src, i + static_cast<std::size_t>(ido) * b);
      Butterfly(x, s);
      store(dst, i, x[0]);
      for (int c = 1; c < R; ++c) store(dst, i + stride * c, x[c] * load(twc[c], i));
    }
  }
}

}  // namespace

void mixed_radix_run(const MixedRadixPlan& plan, double* work) {
  const int n = plan.length;
  const double s = plan.inverse ? 1.0 : -1.0;
  double* in = work;
  double* out = work + 2 * static_cast<std::size_t>(n);
  for (int p = 0, l1 = 1; p < plan.passes; l1 *= plan.radix[p++]) {
    const int ido = n / (l1 * plan.radix[p]);
    const double* tw = plan.twiddle.get() + 2 * static_cast<std::size_t>(plan.twiddle_at[p]);
    switch (plan.radix[p]) {
      case 2:
        run_pass<2, butterfly2>(ido, l1, in, out, tw, s);
        break;
      case 3:
        run_pass<3, butterfly3>(ido, l1, in, out, tw, s);
        break;
      case 4:
        run_pass<4, butterfly4>(ido, l1, in, out, tw, s);
        break;
      default:
        run_pass<5, butterfly5>(ido, l1, in, out, tw, s);
        break;
    }
    double* t = in;
    in = out;
    out = t;
  }
  // An odd number of passes leaves the result in the scratch half.
  if (in != work) std::memcpy(work, in, 2 * static_cast<std::size_t>(n) * sizeof(double));
}

}  // namespace korvale::fft_detail::KORVALE_FFT_VARIANT
