// Helpers shared by the FFT tests: long double reference transforms, random
// data, error measures and bit reversal.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace korvale::fft_test {

using LongVec = std::vector<long double>;  // interleaved complex, like the FFT

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr long double kPiL = 3.141592653589793238462643383279502884L;

// Table of exp(sign * 2*pi*i*r/L), r = 0 .. L-1, in long double.
inline LongVec unit_roots(int points, int sign) {
  LongVec t(2 * static_cast<size_t>(points));
  for (int r = 0; r < points; ++r) {
    const long double ang = 2.0L * kPiL * r / points;
    t[2 * r] = std::cos(ang);
    t[2 * r + 1] = sign * std::sin(ang);
  }
  return t;
}

// O(L^2) DFT in long double: X[k] = sum_j x[j] exp(sign*2*pi*i*jk/L).
inline LongVec reference_dft(const std::vector<double>& x, int sign) {
  const int points = static_cast<int>(x.size() / 2);
  const LongVec t = unit_roots(points, sign);
  LongVec out(x.size());
  for (int k = 0; k < points; ++k) {
    long double re = 0, im = 0;
    int64_t r = 0;  // j*k mod L
    for (int j = 0; j < points; ++j) {
      const long double wr = t[2 * r], wi = t[2 * r + 1];
      re += x[2 * j] * wr - x[2 * j + 1] * wi;
      im += x[2 * j] * wi + x[2 * j + 1] * wr;
      r += k;
      if (r >= points) r -= points;
    }
    out[2 * k] = re;
    out[2 * k + 1] = im;
  }
  return out;
}

// Textbook iterative radix-2 FFT in long double, same definition as above.
inline LongVec reference_radix2(const std::vector<double>& x, int sign) {
  const int points = static_cast<int>(x.size() / 2);
  LongVec a(x.begin(), x.end());
  for (int i = 1, j = 0; i < points; ++i) {
    int bit = points >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) {
      std::swap(a[2 * i], a[2 * j]);
      std::swap(a[2 * i + 1], a[2 * j + 1]);
    }
  }
  const LongVec t = unit_roots(points, sign);
  for (int len = 2; len <= points; len <<= 1) {
    const int stride = points / len;
    for (int i = 0; i < points; i += len) {
      for (int k = 0; k < len / 2; ++k) {
        const long double wr = t[2 * k * stride], wi = t[2 * k * stride + 1];
        long double* u = &a[2 * (i + k)];
        long double* v = &a[2 * (i + k + len / 2)];
        const long double tr = v[0] * wr - v[1] * wi, ti = v[0] * wi + v[1] * wr;
        v[0] = u[0] - tr;
        v[1] = u[1] - ti;
        u[0] += tr;
        u[1] += ti;
      }
    }
  }
  return a;
}

// Uniform values in [-1, 1), reproducible.
inline std::vector<double> random_data(int n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<double> v(n);
  for (double& x : v) x = dist(gen);
  return v;
}

// Relative L2 error ||got - want|| / ||want||.
template <typename Got, typename Want>
double relative_l2(const Got& got, const Want& want) {
  long double num = 0, den = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    const long double d = static_cast<long double>(got[i]) - want[i];
    num += d * d;
    den += static_cast<long double>(want[i]) * want[i];
  }
  return static_cast<double>(std::sqrt(num / den));
}

// Reverses the low `bits` bits of k.
inline int bitrev(int k, int bits) {
  int r = 0;
  for (int b = 0; b < bits; ++b) r |= ((k >> b) & 1) << (bits - 1 - b);
  return r;
}

inline int log2_int(int x) {
  int b = 0;
  while ((1 << b) < x) ++b;
  return b;
}

// The table sizes the plane resizer allocates: serve up to nw = 32768.
constexpr int kTableSize = 32768;

}  // namespace korvale::fft_test
