// Tests of the FFT stages one at a time, for every instruction-set variant the
// CPU runs: the fixed kernels on unit impulses, the radix-4 modules and the
// first stage against their formulas, the reorderings as permutations, and the
// tree walk's module splits; every variant's transforms (the mixed-radix
// passes included) agree bit for bit, and the pruned mixed-radix runs give the
// full runs' bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fft/fft.h"
#include "fft/fft_internal.h"
#include "fft/mixed_radix.h"
#include "tests/fft_test_util.h"

namespace korvale {
namespace {

using fft_detail::StageSet;
using fft_test::kEps;
using fft_test::kPiL;
using fft_test::kTableSize;
using CL = std::complex<long double>;

std::vector<const StageSet*> supported_sets() {
  std::vector<const StageSet*> sets;
  for (int i = 0; i < fft_detail::stage_set_count(); ++i) {
    if (fft_detail::stage_set_supported(i)) sets.push_back(&fft_detail::stage_set(i));
  }
  return sets;
}

struct Tables {
  std::vector<int> ip = std::vector<int>(kTableSize, 0);
  std::vector<double> ww = std::vector<double>(kTableSize, 0.0);
  explicit Tables(int nw) { make_twiddles(nw, ip.data(), ww.data()); }
};

CL point(const std::vector<double>& a, int p) {
  return CL(a[2 * p], a[2 * p + 1]);
}
CL expi(long double x) {
  return CL(std::cos(x), std::sin(x));
}

TEST(FftKernels, EveryVariantIsListed) {
  ASSERT_GE(fft_detail::stage_set_count(), 1);
  EXPECT_STREQ(fft_detail::stage_set(0).name, "generic");
  EXPECT_TRUE(fft_detail::stage_set_supported(0));
  for (const StageSet* s : supported_sets()) std::printf("variant: %s\n", s->name);
}

// One fixed kernel on a unit impulse (and an imaginary unit impulse) at every
// position j: Y[k] = e^{+2 pi i jk/M} (plain) or e^{+pi i j(2k+1)/M} (skew)
// at position bitrev(k).
struct KernelCase {
  const char* name;
  void (*StageSet::*fn)(double*, const double*);
  int points;
  bool skew;
  int slice_from_end;  // w = ww + nw - slice_from_end; 0 means ww itself
};

const KernelCase kKernels[] = {
    {"butterfly16", &StageSet::butterfly16, 16, false, 8},
    {"butterfly16_skew", &StageSet::butterfly16_skew, 16, true, 32},
    {"butterfly8", &StageSet::butterfly8, 8, false, 8},
    {"butterfly8 (start of ww)", &StageSet::butterfly8, 8, false, 0},
    {"butterfly8_skew", &StageSet::butterfly8_skew, 8, true, 8},
};

TEST(FftKernels, EachKernelOnAUnitImpulseAtEveryPosition) {
  for (int nw : {32, 8192}) {
    const Tables t(nw);
    for (const StageSet* s : supported_sets()) {
      for (const KernelCase& kc : kKernels) {
        if (kc.slice_from_end > nw) continue;
        const double* w =
            kc.slice_from_end == 0 ? t.ww.data() : t.ww.data() + nw - kc.slice_from_end;
        const int m = kc.points;
        const int bits = fft_test::log2_int(m);
        for (int j = 0; j < m; ++j) {
          for (const CL unit : {CL(1, 0), CL(0, 1)}) {
            std::vector<double> a(2 * m, 0.0);
            a[2 * j] = static_cast<double>(unit.real());
            a[2 * j + 1] = static_cast<double>(unit.imag());
            (s->*kc.fn)(a.data(), w);
            for (int k = 0; k < m; ++k) {
              const long double ang = kc.skew ? kPiL * j * (2 * k + 1) / m : 2 * kPiL * j * k / m;
              const CL want = unit * expi(ang);
              const CL got = point(a, fft_test::bitrev(k, bits));
              ASSERT_LE(std::abs(got - want), 4 * kEps)
                  << s->name << " " << kc.name << " nw=" << nw << " impulse " << unit.real() << "+"
                  << unit.imag() << "i at j=" << j << ", output k=" << k;
            }
          }
        }
      }
    }
  }
}

// quad_module: point p <- x0 + x2, p+Q <- x0 - x2, p+2Q <- e^{i theta}(x1 + i x3),
// p+3Q <- e^{3 i theta}(x1 - i x3), theta = 2 pi p/M.
std::vector<CL> quad_module_formula(const std::vector<double>& in) {
  const int m = static_cast<int>(in.size() / 2), q = m / 4;
  const CL i(0, 1);
  std::vector<CL> out(m);
  for (int p = 0; p < q; ++p) {
    const CL a0 = point(in, p), a1 = point(in, p + q), a2 = point(in, p + 2 * q),
             a3 = point(in, p + 3 * q);
    const CL x0 = a0 + a2, x1 = a0 - a2, x2 = a1 + a3, x3 = a1 - a3;
    const long double th = 2 * kPiL * p / m;
    out[p] = x0 + x2;
    out[p + q] = x0 - x2;
    out[p + 2 * q] = expi(th) * (x1 + i * x3);
    out[p + 3 * q] = expi(3 * th) * (x1 - i * x3);
  }
  return out;
}

// quad_module_skew: f0 = (A0 + iA2) w^p, f1 = (A1 + iA3) w^{p+Q},
// g0 = (A0 - iA2) w^{3p}, g1 = (A1 - iA3) w^{3(p+Q)}, w = e^{i pi/M}.
std::vector<CL> quad_module_skew_formula(const std::vector<double>& in) {
  const int m = static_cast<int>(in.size() / 2), q = m / 4;
  const CL i(0, 1);
  std::vector<CL> out(m);
  for (int p = 0; p < q; ++p) {
    const CL a0 = point(in, p), a1 = point(in, p + q), a2 = point(in, p + 2 * q),
             a3 = point(in, p + 3 * q);
    const long double u = kPiL / m;
    const CL f0 = (a0 + i * a2) * expi(u * p), f1 = (a1 + i * a3) * expi(u * (p + q));
    const CL g0 = (a0 - i * a2) * expi(u * 3 * p), g1 = (a1 - i * a3) * expi(u * 3 * (p + q));
    out[p] = f0 + f1;
    out[p + q] = f0 - f1;
    out[p + 2 * q] = g0 + g1;
    out[p + 3 * q] = g0 - g1;
  }
  return out;
}

double max_error(const std::vector<double>& got, const std::vector<CL>& want) {
  long double worst = 0;
  for (size_t p = 0; p < want.size(); ++p) {
    worst = std::max(worst, std::abs(point(got, static_cast<int>(p)) - want[p]));
  }
  return static_cast<double>(worst);
}

TEST(FftKernels, QuadModulesMatchTheirFormulas) {
  const int nw = 8192;  // serves modules up to 8192 doubles
  const Tables t(nw);
  for (const StageSet* s : supported_sets()) {
    for (int n = 64; n <= nw; n *= 2) {
      const std::vector<double> x = fft_test::random_data(n, 11u + n);
      std::vector<double> a = x;
      s->quad_module(n, a.data(), t.ww.data() + nw - n / 2);
      EXPECT_LE(max_error(a, quad_module_formula(x)), 16 * kEps) << s->name << " n=" << n;
      a = x;
      s->quad_module_skew(n, a.data(), t.ww.data() + nw - n);
      EXPECT_LE(max_error(a, quad_module_skew_formula(x)), 16 * kEps) << s->name << " skew n=" << n;
    }
  }
}

// The first stage computes quad_module of the whole array from a table of
// nw = n/4 (the smallest allowed); the _conj form of the conjugated input.
TEST(FftKernels, EntryStageIsQuadModuleOfTheWholeArray) {
  for (const StageSet* s : supported_sets()) {
    for (int n = 64; n <= 131072; n *= 2) {
      const int nw = n / 4;
      const Tables t(nw);
      const std::vector<double> x = fft_test::random_data(n, 21u + n);
      std::vector<double> a = x;
      s->entry_stage(n, a.data(), t.ww.data() + nw - n / 4);
      EXPECT_LE(max_error(a, quad_module_formula(x)), 16 * kEps) << s->name << " n=" << n;
      std::vector<double> xc = x;
      for (int p = 0; p < n / 2; ++p) xc[2 * p + 1] = -xc[2 * p + 1];
      a = x;
      s->entry_stage_conj(n, a.data(), t.ww.data() + nw - n / 4);
      EXPECT_LE(max_error(a, quad_module_formula(xc)), 16 * kEps) << s->name << " conj n=" << n;
    }
  }
}

// reorder_bitrev puts old point bitrev(k) at k; the _conj form also negates
// every imaginary part. Exact.
TEST(FftKernels, ReorderingsAreBitReversals) {
  const Tables t(kTableSize);
  for (const StageSet* s : supported_sets()) {
    for (int n = 64; n <= 4 * kTableSize; n *= 2) {
      const int points = n / 2, bits = fft_test::log2_int(points);
      std::vector<double> x(n);
      for (int p = 0; p < points; ++p) {
        x[2 * p] = p;
        x[2 * p + 1] = p + 0.5;
      }
      std::vector<double> a = x, b = x;
      s->reorder_bitrev(n, t.ip.data(), a.data());
      s->reorder_bitrev_conj(n, t.ip.data(), b.data());
      for (int k = 0; k < points; ++k) {
        const int src = fft_test::bitrev(k, bits);
        ASSERT_EQ(a[2 * k], src) << s->name << " n=" << n << " k=" << k;
        ASSERT_EQ(a[2 * k + 1], src + 0.5) << s->name << " n=" << n << " k=" << k;
        ASSERT_EQ(b[2 * k], src) << s->name << " conj n=" << n << " k=" << k;
        ASSERT_EQ(b[2 * k + 1], -(src + 0.5)) << s->name << " conj n=" << n << " k=" << k;
      }
    }
  }
}

TEST(FftKernels, FixedReorderingsOf16Points) {
  const int kRev[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  const int kNeg[16] = {0, 15, 7, 11, 3, 13, 5, 9, 1, 14, 6, 10, 2, 12, 4, 8};
  for (const StageSet* s : supported_sets()) {
    std::vector<double> a(32), b(32);
    for (int p = 0; p < 16; ++p) {
      a[2 * p] = b[2 * p] = p;
      a[2 * p + 1] = b[2 * p + 1] = -p;
    }
    s->reorder16(a.data());
    s->reorder16_negated(b.data());
    for (int k = 0; k < 16; ++k) {
      EXPECT_EQ(a[2 * k], kRev[k]) << s->name;
      EXPECT_EQ(a[2 * k + 1], -kRev[k]) << s->name;
      EXPECT_EQ(b[2 * k], kNeg[k]) << s->name;
      EXPECT_EQ(b[2 * k + 1], -kNeg[k]) << s->name;
      // new k <- old bitrev4((16 - k) mod 16)
      EXPECT_EQ(kNeg[k], fft_test::bitrev((16 - k) % 16, 4));
    }
  }
}

TEST(FftKernels, FixedReorderingsOf8Points) {
  std::vector<double> a(16), b(16);
  for (int p = 0; p < 8; ++p) a[2 * p] = b[2 * p] = a[2 * p + 1] = b[2 * p + 1] = p;
  fft_detail::reorder8(a.data());
  fft_detail::reorder8_negated(b.data());
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(a[2 * k], fft_test::bitrev(k, 3));
    EXPECT_EQ(b[2 * k], fft_test::bitrev((8 - k) % 8, 3));
    EXPECT_EQ(b[2 * k + 1], fft_test::bitrev((8 - k) % 8, 3));
  }
}

// tree_stage_step runs exactly the module splits of the depth-first walk, bit for bit.
struct Split {
  bool plain;
  int size;
  int at;
};

void expect_tree_step(const StageSet& s, int n, int m, int j, int k, int kind,
                      const std::vector<Split>& splits) {
  const int nw = n / 4;
  const Tables t(nw);
  const std::vector<double> x = fft_test::random_data(n, 7u + k);
  std::vector<double> a = x, b = x;
  EXPECT_EQ(s.tree_stage_step(m, j, k, a.data(), nw, t.ww.data()), kind)
      << s.name << " n=" << n << " k=" << k;
  for (const Split& sp : splits) {
    if (sp.plain) {
      s.quad_module(sp.size, b.data() + sp.at, t.ww.data() + nw - sp.size / 2);
    } else {
      s.quad_module_skew(sp.size, b.data() + sp.at, t.ww.data() + nw - sp.size);
    }
  }
  EXPECT_EQ(0, std::memcmp(a.data(), b.data(), n * sizeof(double)))
      << s.name << " n=" << n << " k=" << k;
}

TEST(FftKernels, TreeStageStepSplits) {
  for (const StageSet* s : supported_sets()) {
    // n = 1024, m = 256: blocks at 512, 256, 0 are plain, skew, plain.
    expect_tree_step(*s, 1024, 256, 768, 1, 1, {{true, 256, 512}});
    expect_tree_step(*s, 1024, 256, 512, 2, 0, {{false, 256, 256}});
    expect_tree_step(*s, 1024, 256, 256, 3, 1, {{true, 256, 0}});
    // n = 8192, m = 512, k = 4: plain 2048 at 4096, then 512 at 5632.
    expect_tree_step(*s, 8192, 512, 6144, 4, 1, {{true, 2048, 4096}, {true, 512, 5632}});
    // k = 8: the last block of the skew second quarter.
    expect_tree_step(*s, 8192, 512, 4096, 8, 0, {{false, 2048, 2048}, {false, 512, 3584}});
    // n = 32768, m = 512, k = 16: plain 8192 at 16384, 2048 at 22528, 512 at 24064.
    expect_tree_step(*s, 32768, 512, 24576, 16, 1,
                     {{true, 8192, 16384}, {true, 2048, 22528}, {true, 512, 24064}});
  }
}

// Every variant computes the same transform bit for bit (no contraction into
// FMA, the same operations in the same order), and the same point products.
TEST(FftKernels, VariantsAgreeBitForBit) {
  const std::vector<const StageSet*> sets = supported_sets();
  for (int n = 4; n <= 4 * kTableSize; n *= 2) {
    const Tables t(std::max(1, n / 4));
    const std::vector<double> x = fft_test::random_data(n, 17u + n);
    for (int dir = 0; dir < 2; ++dir) {
      std::vector<double> ref = x;
      fft_detail::transform_with(*sets[0], dir == 0, n, ref.data(), t.ip.data(), n / 4,
                                 t.ww.data());
      for (const StageSet* s : sets) {
        std::vector<double> a = x;
        fft_detail::transform_with(*s, dir == 0, n, a.data(), t.ip.data(), n / 4, t.ww.data());
        EXPECT_TRUE(a == ref) << s->name << " n=" << n;
      }
    }
    std::vector<double> ref = x;
    const std::vector<double> f = fft_test::random_data(n, 5u + n);
    sets[0]->multiply_points(ref.data(), f.data(), n / 2);
    for (const StageSet* s : sets) {
      std::vector<double> a = x;
      s->multiply_points(a.data(), f.data(), n / 2);
      EXPECT_TRUE(a == ref) << s->name << " products, n=" << n;
    }
  }
  // The mixed-radix passes too: every radix alone (2, 3, 5, 7, 8, 9, 10, 11,
  // 14, 15, 31, 37), an odd number of passes (the first in place), points
  // left over after the pairs (96 = 4 3 8: ido 24 in the first pass; 45 =
  // 9 5: l1 9 in the last pass), and each radix first, between or last:
  // four (36 = 4 9, 252 = 4 9 7), two (6 = 2 3, 74 = 2 37), nine (81 = 9 9,
  // 126 = 14 9, 684 = 4 9 19), ten (4000 = 10 5 5 16, 1920 = 10 4 3 16,
  // 250 = 10 5 5), fourteen (126, 98 = 14 7), fifteen (6000 = 15 5 5 16,
  // 2160 = 9 15 16, 60 = 4 15), sixteen (48 = 3 16, 144 = 9 16), eight (1000
  // = 5 5 5 8, 2048, and 64000 = 4 4 4 5 5 5 8, where a large power of two
  // keeps the single radices), seven (56 = 7 8, 343, 252, 6720 =
  // 4 15 7 16), the general odd radices (88 = 11 8, 961 = 31 31, 1768 =
  // 13 17 8, 1020 = 4 15 17, 684, 4080 = 15 17 16), and Rader passes: first
  // with twiddles (1016 = 127 8), between (10952 = 37 37 8) and last, where
  // its blocks run in pairs (74), one left over (999 = 9 3 37, 2667 =
  // 3 7 127).
  for (const int n : {2,    3,    5,    6,    7,    8,    9,    10,   11,    14,   15,   31,   36,
                      37,   45,   48,   56,   60,   74,   81,   88,   96,    98,   126,  144,  250,
                      252,  343,  684,  961,  999,  1000, 1016, 1020, 1080,  1768, 1920, 2048, 2160,
                      2667, 4000, 4032, 4080, 5472, 6000, 6075, 6720, 10952, 64000}) {
    for (const bool inverse : {false, true}) {
      MixedRadixPlan plan;
      mixed_radix_build(&plan, n, inverse);
      std::vector<double> x = fft_test::random_data(mixed_radix_work_doubles(n), 29u + n);
      std::vector<double> ref = x;
      sets[0]->mixed_radix_run(plan, ref.data(), nullptr, n, n);
      ref.resize(2 * static_cast<std::size_t>(n));
      // With the product folded into the last pass: the bits of the run
      // followed by the point-wise product.
      const std::vector<double> f = fft_test::random_data(2 * n, 31u + n);
      std::vector<double> ref_times = ref;
      sets[0]->multiply_points(ref_times.data(), f.data(), n);
      for (const StageSet* s : sets) {
        std::vector<double> a = x;
        s->mixed_radix_run(plan, a.data(), nullptr, n, n);
        a.resize(ref.size());
        EXPECT_TRUE(a == ref) << s->name << " mixed radix, n=" << n << " inverse=" << inverse;
        a = x;
        s->mixed_radix_run(plan, a.data(), f.data(), n, n);
        a.resize(ref.size());
        EXPECT_TRUE(a == ref_times) << s->name << " times, n=" << n << " inverse=" << inverse;
      }
    }
  }
}

// A pruned run, told that the points from N on are zero and that only the
// outputs below M are read, gives on every output below M the bits of the
// full run over the points padded with zeros, on every variant, with and
// without the product folded into the last pass; the padding and the scratch
// half hold NaN, so a read of either shows. Only the sign of an exact zero
// may differ (== on doubles ignores it). Lengths: the chirp-z convolutions of
// odd line lengths (2160, 3840, 2000, 5400 with a three first, 12000, 4000)
// with their N = M, every radix first (2 in 250, 3 in 375, 5 in 625, 7 in 56
// and 343, 8 alone, 9 in 45, 10 in 4000, 14 in 98, 15 in 3000, 11 in 88, 31 in
// 961, Rader's 127 in 1016) and last (7 in 98, 9 in 36, 15 in 60, 16 in 48,
// 2160 and 4080, 17 in 1020, Rader's 127 in 2667), one pass alone (11); N and
// M about the end passes' blocks (ido of the first pass, l1 of the last) and
// about L/2, N = 0 and M = 1.
TEST(FftKernels, PrunedMixedRadixRunsGiveTheFullRunsBits) {
  const std::vector<const StageSet*> sets = supported_sets();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const int jobs[][2] = {{2160, 1079},  {3840, 1919}, {2000, 999}, {5400, 2667},
                         {12000, 5999}, {4000, 1997}, {4000, 1999}};
  for (const int n : {2,    3,    4,    5,    7,    8,    10,   11,   24,   36,   45,   48,   56,
                      60,   88,   96,   98,   120,  250,  343,  375,  625,  961,  1016, 1020, 1080,
                      2000, 2160, 2667, 3000, 3840, 4000, 4032, 4080, 5400, 6075, 12000}) {
    for (const bool inverse : {false, true}) {
      MixedRadixPlan plan;
      mixed_radix_build(&plan, n, inverse);
      const int ido = n / plan.radix[0], l1 = n / plan.radix[plan.passes - 1];
      std::vector<int> counts = {0,           1,         2,          ido - 1,     ido,   ido + 1,
                                 2 * ido + 1, n / 2 - 1, n / 2,      (n + 1) / 2, n - 1, n,
                                 l1 - 1,      l1 + 1,    2 * l1 + 1, n - l1 + 1};
      for (const auto& job : jobs) {
        if (job[0] == n) counts.push_back(job[1]);
      }
      std::sort(counts.begin(), counts.end());
      counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
      const std::vector<double> x = fft_test::random_data(2 * n, 41u + n);
      const std::vector<double> f = fft_test::random_data(2 * n, 43u + n);
      const int work = mixed_radix_work_doubles(n);
      for (const int nonzero : counts) {
        if (nonzero < 0 || nonzero > n) continue;
        std::vector<double> padded(work, 0.0);
        std::copy(x.begin(), x.begin() + 2 * nonzero, padded.begin());
        std::vector<double> ref = padded, ref_times = padded;
        sets[0]->mixed_radix_run(plan, ref.data(), nullptr, n, n);
        sets[0]->mixed_radix_run(plan, ref_times.data(), f.data(), n, n);
        for (const int needed : counts) {
          if (needed < 1 || needed > n) continue;
          for (const StageSet* s : sets) {
            for (const bool times : {false, true}) {
              std::vector<double> a(work, nan);
              std::copy(x.begin(), x.begin() + 2 * nonzero, a.begin());
              s->mixed_radix_run(plan, a.data(), times ? f.data() : nullptr, nonzero, needed);
              const std::vector<double>& want = times ? ref_times : ref;
              int bad = 0;
              while (bad < 2 * needed && a[bad] == want[bad]) ++bad;
              ASSERT_EQ(bad, 2 * needed)
                  << s->name << " n=" << n << " inverse=" << inverse << " N=" << nonzero
                  << " M=" << needed << " times=" << times << ": double " << bad << " is " << a[bad]
                  << ", full run " << want[bad];
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvale
