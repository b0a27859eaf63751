// Power-of-two FFT: table builders, the size dispatch of the two entry points,
// the direct 2- and 4-point transforms, the choice of instruction-set variant
// and the calling protocol. The stages themselves are in fft_stages.cpp and
// fft_reorder.cpp, compiled once per variant.
#include "fft/fft.h"

#include <cmath>
#include <cstddef>

#include "fft/fft_internal.h"

// The stage sets of the variants (see fft_variant.h).
namespace korvale::fft_detail {
namespace generic {
const StageSet& stages();
}
#if KORVALE_FFT_HAVE_AVX2
namespace avx2 {
const StageSet& stages();
}
#endif
}  // namespace korvale::fft_detail

namespace korvale {

void make_twiddles(int nw, int* ip, double* ww) {
  ip[0] = nw;
  if (nw <= 2) return;

  // Level 0: nh entries, angle step d = (pi/4)/nh; the only trigonometry.
  int nwh = nw >> 1;
  const double delta = std::atan(1.0) / nwh;
  const double wn4r = std::cos(delta * nwh);
  ww[0] = 1.0;
  ww[1] = wn4r;
  if (nwh == 4) {
    ww[2] = std::cos(delta * 2);
    ww[3] = std::sin(delta * 2);
  } else if (nwh > 4) {
    make_reversal_offsets(nw, ip);
    ww[2] = 0.5 / std::cos(delta * 2);
    ww[3] = 0.5 / std::cos(delta * 6);
    for (int j = 4; j < nwh; j += 4) {
      ww[j] = std::cos(delta * j);
      ww[j + 1] = std::sin(delta * j);
      ww[j + 2] = std::cos(3 * delta * j);
      ww[j + 3] = -std::sin(3 * delta * j);
    }
  }

  // Every deeper level (half the entries, twice the step) is copied from the
  // level before it: every other group of four, never recomputed.
  int nw0 = 0;
  while (nwh > 2) {
    const int nw1 = nw0 + nwh;
    nwh >>= 1;
    ww[nw1] = 1.0;
    ww[nw1 + 1] = wn4r;
    if (nwh == 4) {
      ww[nw1 + 2] = ww[nw0 + 4];
      ww[nw1 + 3] = ww[nw0 + 5];
    } else if (nwh > 4) {
      ww[nw1 + 2] = 0.5 / ww[nw0 + 4];
      ww[nw1 + 3] = 0.5 / ww[nw0 + 6];
      for (int j = 4; j < nwh; j += 4) {
        ww[nw1 + j] = ww[nw0 + 2 * j];
        ww[nw1 + j + 1] = ww[nw0 + 2 * j + 1];
        ww[nw1 + j + 2] = ww[nw0 + 2 * j + 2];
        ww[nw1 + j + 3] = ww[nw0 + 2 * j + 3];
      }
    }
    nw0 = nw1;
  }
}

int make_reversal_offsets(int nw, int* ip) {
  ip[2] = 0;
  ip[3] = 16;
  int m = 2;
  for (int s = nw; s > 32; s >>= 2) {
    const int m2 = m << 1;
    const int q = m2 << 3;  // 16m
    for (int j = m; j < m2; ++j) {
      const int p = ip[j] << 2;
      ip[m + j] = p;
      ip[m2 + j] = p + q;
    }
    m = m2;
  }
  return m;
}

namespace fft_detail {

void direct4(double* a, int sign) {
  const double x0r = a[0] + a[4], x0i = a[1] + a[5];
  const double x1r = a[0] - a[4], x1i = a[1] - a[5];
  const double x2r = a[2] + a[6], x2i = a[3] + a[7];
  const double x3r = a[2] - a[6], x3i = a[3] - a[7];
  a[0] = x0r + x2r;
  a[1] = x0i + x2i;
  a[4] = x0r - x2r;
  a[5] = x0i - x2i;
  if (sign > 0) {  // out1 = x1 + i*x3, out3 = x1 - i*x3
    a[2] = x1r - x3i;
    a[3] = x1i + x3r;
    a[6] = x1r + x3i;
    a[7] = x1i - x3r;
  } else {  // out1 = x1 - i*x3, out3 = x1 + i*x3
    a[2] = x1r + x3i;
    a[3] = x1i - x3r;
    a[6] = x1r - x3i;
    a[7] = x1i + x3r;
  }
}

void direct2(double* a) {
  const double x0r = a[0] - a[2], x0i = a[1] - a[3];
  a[0] += a[2];
  a[1] += a[3];
  a[2] = x0r;
  a[3] = x0i;
}

namespace {

// Writes old point src[k] to new point k for the 8 points of a.
void permute8(double* a, const int (&src)[8]) {
  double t[16];
  for (int i = 0; i < 16; ++i) t[i] = a[i];
  for (int k = 0; k < 8; ++k) {
    a[2 * k] = t[2 * src[k]];
    a[2 * k + 1] = t[2 * src[k] + 1];
  }
}

// The variants compiled into the library, generic first.
const StageSet& (*const kStageSets[])() = {
    generic::stages,
#if KORVALE_FFT_HAVE_AVX2
    avx2::stages,
#endif
};
constexpr int kStageSetCount = sizeof(kStageSets) / sizeof(kStageSets[0]);

// The middle stages, the same for both directions.
void middle_stages(const StageSet& s, int n, double* a, int nw, const double* ww) {
  if (n > 512) {
    s.deep_stage_driver(n, a, nw, ww);
  } else if (n > 128) {
    s.leaf_stage(n, 1, a, nw, ww);
  } else {
    s.small_stage_driver(n, a, nw, ww);
  }
}

}  // namespace

void reorder8(double* a) {
  static constexpr int kSrc[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  permute8(a, kSrc);
}

void reorder8_negated(double* a) {
  static constexpr int kSrc[8] = {0, 7, 3, 5, 1, 6, 2, 4};
  permute8(a, kSrc);
}

int stage_set_count() {
  return kStageSetCount;
}

const StageSet& stage_set(int i) {
  return kStageSets[i]();
}

bool stage_set_supported(int i) {
  if (i < 0 || i >= kStageSetCount) return false;
#if KORVALE_FFT_HAVE_AVX2
  if (&stage_set(i) == &avx2::stages()) {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }
#endif
  return true;
}

const StageSet& active_stage_set() {
  static const StageSet* const chosen = [] {
    int best = 0;
    for (int i = 0; i < kStageSetCount; ++i) {
      if (stage_set_supported(i)) best = i;
    }
    return &stage_set(best);
  }();
  return *chosen;
}

// The size dispatch for both directions. fft_backward computes
// the positive exponent; fft_forward conjugates in its first stage and final
// reordering (n > 32) or reorders with negated indices (n = 32, 16).
void transform_with(const StageSet& s, bool forward, int n, double* a, const int* ip, int nw,
                    const double* ww) {
  if (n > 32) {
    if (forward) {
      s.entry_stage_conj(n, a, ww + nw - (n >> 2));
      middle_stages(s, n, a, nw, ww);
      s.reorder_bitrev_conj(n, ip, a);
    } else {
      s.entry_stage(n, a, ww + nw - (n >> 2));
      middle_stages(s, n, a, nw, ww);
      s.reorder_bitrev(n, ip, a);
    }
  } else if (n == 32) {
    s.butterfly16(a, ww + nw - 8);
    if (forward) {
      s.reorder16_negated(a);
    } else {
      s.reorder16(a);
    }
  } else if (n > 8) {
    s.butterfly8(a, ww);
    if (forward) {
      reorder8_negated(a);
    } else {
      reorder8(a);
    }
  } else if (n == 8) {
    direct4(a, forward ? -1 : +1);
  } else if (n == 4) {
    direct2(a);
  }
}

}  // namespace fft_detail

void fft_backward(int n, double* a, int* ip, int nw, double* ww) {
  fft_detail::transform_with(fft_detail::active_stage_set(), false, n, a, ip, nw, ww);
}

void fft_forward(int n, double* a, int* ip, int nw, double* ww) {
  fft_detail::transform_with(fft_detail::active_stage_set(), true, n, a, ip, nw, ww);
}

void fft_tables_build(FftTables* tables, int max_points) {
  const int nw = max_points < 2 ? 1 : max_points / 2;
  // ww needs nw doubles; the reversal offsets need far fewer than nw ints.
  const std::size_t count = static_cast<std::size_t>(nw < 16 ? 16 : nw) + 2;
  tables->ip = named_buffer<int>(count, "ip");
  tables->ww = named_buffer<double>(count, "ww");
  make_twiddles(nw, tables->ip.get(), tables->ww.get());
}

void fft_run(bool backward, int points, double* a, const FftTables& tables) {
  if (points < 2) return;
  // The entry points take non-const table pointers but only read them once
  // the tables are built for the largest size.
  fft_detail::transform_with(fft_detail::active_stage_set(), !backward, 2 * points, a,
                             tables.ip.get(), fft_tables_nw(tables), tables.ww.get());
}

void fft_multiply_points(double* work, const double* f, int count) {
  fft_detail::active_stage_set().multiply_points(work, f, count);
}

int fft_prepare(int n, int* ip, double* ww) {
  int nw = ip[0];
  if (4 * nw < n) {
    nw = n / 4;
    make_twiddles(nw, ip, ww);
  }
  return nw;
}

}  // namespace korvale
