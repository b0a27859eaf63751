// End-to-end tests of fft_forward / fft_backward against independent long
// double references, and the identities and edge cases of the contract.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fft/fft.h"
#include "fft/fft_internal.h"
#include "tests/fft_test_util.h"

namespace korvale {
namespace {

using fft_test::kEps;
using fft_test::kTableSize;

constexpr int kMinN = 4;           // doubles
constexpr int kMaxN = 131072;      // doubles: 65536 points, nw = 32768
constexpr int kDirectMaxN = 4096;  // O(L^2) reference up to 2048 points

// Accuracy bound: relative L2 error <= kErrFactor * eps * log2(L).
constexpr double kErrFactor = 2.0;

// Fresh tables of the system's size.
struct Tables {
  std::vector<int> ip = std::vector<int>(kTableSize, 0);
  std::vector<double> ww = std::vector<double>(kTableSize, 0.0);
};

// Runs one transform through the calling protocol.
void run(bool forward, int n, double* a, Tables& t) {
  const int nw = fft_prepare(n, t.ip.data(), t.ww.data());
  if (forward) {
    fft_forward(n, a, t.ip.data(), nw, t.ww.data());
  } else {
    fft_backward(n, a, t.ip.data(), nw, t.ww.data());
  }
}

// Every stage set (instruction-set variant) this CPU can run.
std::vector<const fft_detail::StageSet*> supported_sets() {
  std::vector<const fft_detail::StageSet*> sets;
  for (int i = 0; i < fft_detail::stage_set_count(); ++i) {
    if (fft_detail::stage_set_supported(i)) sets.push_back(&fft_detail::stage_set(i));
  }
  return sets;
}

double bound_for(int n) {
  const int points = n / 2;
  return kErrFactor * kEps * std::max(1, fft_test::log2_int(points));
}

// Both directions at every size against the reference, for every variant
// this CPU runs; reports every size's error and fails naming the worst one
// relative to its bound.
TEST(FftTransform, MatchesReferenceAtEverySize) {
  const std::vector<const fft_detail::StageSet*> sets = supported_sets();
  std::ostringstream report;
  double worst_ratio = 0;
  std::string worst_case;
  double worst_err = 0;
  std::string worst_err_case;
  for (int n = kMinN; n <= kMaxN; n *= 2) {
    const std::vector<double> x = fft_test::random_data(n, 1234u + n);
    Tables t;
    const int nw = fft_prepare(n, t.ip.data(), t.ww.data());  // exactly n/4
    for (int dir = 0; dir < 2; ++dir) {
      const bool forward = dir == 0;
      const int sign = forward ? -1 : +1;
      const fft_test::LongVec want =
          n <= kDirectMaxN ? fft_test::reference_dft(x, sign) : fft_test::reference_radix2(x, sign);
      for (const fft_detail::StageSet* set : sets) {
        std::vector<double> a = x;
        fft_detail::transform_with(*set, forward, n, a.data(), t.ip.data(), nw, t.ww.data());
        const double err = fft_test::relative_l2(a, want);
        const double ratio = err / bound_for(n);
        std::ostringstream name;
        name << "n=" << n << (forward ? " forward " : " backward ") << set->name;
        report << name.str() << " err=" << err << " (" << err / kEps << " eps)\n";
        if (ratio > worst_ratio) {
          worst_ratio = ratio;
          worst_case = name.str();
        }
        if (err > worst_err) {
          worst_err = err;
          worst_err_case = name.str();
        }
      }
    }
  }
  EXPECT_LE(worst_ratio, 1.0) << "worst case relative to its bound: " << worst_case << "\n"
                              << report.str();
  RecordProperty("worst_relative_error", std::to_string(worst_err));
  std::printf("worst relative L2 error %.3g (%.2f eps): %s\n", worst_err, worst_err / kEps,
              worst_err_case.c_str());
}

// The public entry points use one of the variants, bit for bit.
TEST(FftTransform, EntryPointsUseTheActiveVariant) {
  const fft_detail::StageSet& active = fft_detail::active_stage_set();
  for (int n = kMinN; n <= 4096; n *= 2) {
    const std::vector<double> x = fft_test::random_data(n, 4321u + n);
    Tables t;
    const int nw = fft_prepare(n, t.ip.data(), t.ww.data());
    for (int dir = 0; dir < 2; ++dir) {
      std::vector<double> a = x, b = x;
      run(dir == 0, n, a.data(), t);
      fft_detail::transform_with(active, dir == 0, n, b.data(), t.ip.data(), nw, t.ww.data());
      EXPECT_EQ(0, std::memcmp(a.data(), b.data(), n * sizeof(double))) << "n=" << n;
    }
  }
  std::printf("active variant: %s\n", active.name);
}

// The radix-2 reference used above the direct DFT's range agrees with the
// direct DFT where both run.
TEST(FftTransform, Radix2ReferenceAgreesWithDirectDft) {
  const std::vector<double> x = fft_test::random_data(2048, 77u);
  for (int sign : {-1, +1}) {
    const fft_test::LongVec a = fft_test::reference_dft(x, sign);
    const fft_test::LongVec b = fft_test::reference_radix2(x, sign);
    EXPECT_LT(fft_test::relative_l2(b, a), 1e-15);
  }
}

// fft_forward of a unit impulse at point 1 is exp(-2*pi*i*k/L) at point k;
// fft_backward gives exp(+2*pi*i*k/L).
TEST(FftTransform, ImpulseAtPointOneGivesUnitRoots) {
  for (int n = kMinN; n <= kMaxN; n *= 2) {
    const int points = n / 2;
    const double tol = 2.0 * kEps * std::max(1, fft_test::log2_int(points));
    for (int dir = 0; dir < 2; ++dir) {
      const bool forward = dir == 0;
      std::vector<double> a(n, 0.0);
      a[2] = 1.0;
      Tables t;
      run(forward, n, a.data(), t);
      const fft_test::LongVec roots = fft_test::unit_roots(points, forward ? -1 : +1);
      double worst = 0;
      int worst_k = 0;
      for (int k = 0; k < points; ++k) {
        const double e = static_cast<double>(
            std::hypot(a[2 * k] - roots[2 * k], a[2 * k + 1] - roots[2 * k + 1]));
        if (e > worst) {
          worst = e;
          worst_k = k;
        }
      }
      EXPECT_LE(worst, tol) << "n=" << n << (forward ? " forward" : " backward")
                            << " worst point k=" << worst_k;
    }
  }
}

// fft_backward after fft_forward gives L times the input.
TEST(FftTransform, BackwardAfterForwardGivesLTimesInput) {
  for (int n = kMinN; n <= kMaxN; n *= 2) {
    const int points = n / 2;
    const std::vector<double> x = fft_test::random_data(n, 99u + n);
    std::vector<double> a = x;
    Tables t;
    run(true, n, a.data(), t);
    run(false, n, a.data(), t);
    std::vector<double> scaled = x;
    for (double& v : scaled) v *= points;
    const double err = fft_test::relative_l2(a, scaled);
    EXPECT_LE(err, 2 * bound_for(n)) << "n=" << n;
  }
}

// A table built for a larger size gives bit-identical results: the levels a
// transform reads and the offset lists are the same whatever nw was.
TEST(FftTransform, Nw8192TableMatchesNw16TableBitForBitAtN64) {
  const int n = 64;
  const std::vector<double> x = fft_test::random_data(n, 5u);
  Tables small, big;
  make_twiddles(16, small.ip.data(), small.ww.data());
  make_twiddles(8192, big.ip.data(), big.ww.data());
  for (int dir = 0; dir < 2; ++dir) {
    std::vector<double> a = x, b = x;
    if (dir == 0) {
      fft_forward(n, a.data(), small.ip.data(), 16, small.ww.data());
      fft_forward(n, b.data(), big.ip.data(), 8192, big.ww.data());
    } else {
      fft_backward(n, a.data(), small.ip.data(), 16, small.ww.data());
      fft_backward(n, b.data(), big.ip.data(), 8192, big.ww.data());
    }
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), n * sizeof(double))) << "direction " << dir;
  }
}

TEST(FftTransform, LargestTableMatchesExactTableBitForBitAtEverySize) {
  Tables big;
  make_twiddles(kMaxN / 4, big.ip.data(), big.ww.data());
  for (int n = kMinN; n <= kMaxN; n *= 2) {
    const std::vector<double> x = fft_test::random_data(n, 31u + n);
    for (int dir = 0; dir < 2; ++dir) {
      Tables exact;
      std::vector<double> a = x, b = x;
      run(dir == 0, n, a.data(), exact);
      if (dir == 0) {
        fft_forward(n, b.data(), big.ip.data(), kMaxN / 4, big.ww.data());
      } else {
        fft_backward(n, b.data(), big.ip.data(), kMaxN / 4, big.ww.data());
      }
      EXPECT_EQ(0, std::memcmp(a.data(), b.data(), n * sizeof(double)))
          << "n=" << n << " direction " << dir;
    }
  }
}

// The transforms read the tables only.
TEST(FftTransform, TablesAreNotWritten) {
  Tables t;
  make_twiddles(kMaxN / 4, t.ip.data(), t.ww.data());
  const Tables copy = t;
  for (int n = kMinN; n <= kMaxN; n *= 2) {
    std::vector<double> a = fft_test::random_data(n, 3u);
    fft_forward(n, a.data(), t.ip.data(), kMaxN / 4, t.ww.data());
    fft_backward(n, a.data(), t.ip.data(), kMaxN / 4, t.ww.data());
  }
  EXPECT_EQ(copy.ip, t.ip);
  EXPECT_EQ(0, std::memcmp(copy.ww.data(), t.ww.data(), kTableSize * sizeof(double)));
}

TEST(FftTransform, OnePointIsUnchanged) {
  Tables t;
  double a[2] = {0.25, -3.5};
  fft_forward(2, a, t.ip.data(), 0, t.ww.data());
  EXPECT_EQ(a[0], 0.25);
  EXPECT_EQ(a[1], -3.5);
  fft_backward(2, a, t.ip.data(), 0, t.ww.data());
  EXPECT_EQ(a[0], 0.25);
  EXPECT_EQ(a[1], -3.5);
}

TEST(FftTransform, TwoPointsGiveSumAndDifference) {
  Tables t;
  for (int dir = 0; dir < 2; ++dir) {
    double a[4] = {1.0, 2.0, 0.5, -4.0};
    run(dir == 0, 4, a, t);
    EXPECT_EQ(a[0], 1.5);
    EXPECT_EQ(a[1], -2.0);
    EXPECT_EQ(a[2], 0.5);
    EXPECT_EQ(a[3], 6.0);
  }
}

TEST(FftTransform, FourPointEdgeCases) {
  Tables t;
  for (int dir = 0; dir < 2; ++dir) {
    double a[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    run(dir == 0, 8, a, t);
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(a[2 * k], 1.0);
      EXPECT_EQ(a[2 * k + 1], 0.0);
    }
  }
  double f[8] = {0, 0, 1, 0, 0, 0, 0, 0};
  run(true, 8, f, t);
  EXPECT_EQ(f[2], 0.0);
  EXPECT_EQ(f[3], -1.0);
  double b[8] = {0, 0, 1, 0, 0, 0, 0, 0};
  run(false, 8, b, t);
  EXPECT_EQ(b[2], 0.0);
  EXPECT_EQ(b[3], 1.0);
}

// The calling protocol builds tables for exactly n/4 when missing or too
// small, and keeps larger ones.
TEST(FftTransform, CallingProtocolRebuildsOnlyWhenNeeded) {
  Tables t;
  EXPECT_EQ(fft_prepare(64, t.ip.data(), t.ww.data()), 16);
  EXPECT_EQ(t.ip[0], 16);
  EXPECT_EQ(fft_prepare(1024, t.ip.data(), t.ww.data()), 256);
  EXPECT_EQ(fft_prepare(64, t.ip.data(), t.ww.data()), 256);
  EXPECT_EQ(t.ip[0], 256);
  t.ip[0] = 0;
  EXPECT_EQ(fft_prepare(64, t.ip.data(), t.ww.data()), 16);
}

}  // namespace
}  // namespace korvale
