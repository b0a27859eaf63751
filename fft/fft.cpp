// PLACEHOLDER: a plain radix-2 transform with the final interface, so that
// the layers above can be built and tested while the split-radix kernels are
// written. Replaced by the real implementation.
#include "fft/fft.h"

#include <cmath>
#include <utility>

namespace korvale {
namespace {

void radix2(int n, double* a, double sign) {
  const int points = n / 2;
  for (int i = 1, j = 0; i < points; ++i) {
    int bit = points >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) {
      std::swap(a[2 * i], a[2 * j]);
      std::swap(a[2 * i + 1], a[2 * j + 1]);
    }
  }
  for (int len = 2; len <= points; len <<= 1) {
    const double ang = sign * 2.0 * M_PI / len;
    for (int i = 0; i < points; i += len) {
      for (int k = 0; k < len / 2; ++k) {
        const double wr = std::cos(ang * k), wi = std::sin(ang * k);
        double* u = a + 2 * (i + k);
        double* v = a + 2 * (i + k + len / 2);
        const double tr = v[0] * wr - v[1] * wi, ti = v[0] * wi + v[1] * wr;
        v[0] = u[0] - tr;
        v[1] = u[1] - ti;
        u[0] += tr;
        u[1] += ti;
      }
    }
  }
}

}  // namespace

void make_twiddles(int nw, int* ip, double*) { ip[0] = nw; }
int make_reversal_offsets(int, int*) { return 0; }
void fft_forward(int n, double* a, int*, int, double*) { radix2(n, a, -1.0); }
void fft_backward(int n, double* a, int*, int, double*) { radix2(n, a, +1.0); }

int fft_prepare(int n, int* ip, double* ww) {
  int nw = ip[0];
  if (4 * nw < n) {
    nw = n / 4;
    make_twiddles(nw, ip, ww);
  }
  return nw;
}

}  // namespace korvale
