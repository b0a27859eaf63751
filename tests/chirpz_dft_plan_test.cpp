// Reusable DFT plans: every length up to 400 and the camera sizes against a
// direct DFT in long double on the route each length gets, both directions;
// partial output counts; the mixed-radix and chirp-z routes against each
// other on every smooth length; the longest lines spot-checked bin by bin;
// runs that allocate nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chirpz/chirpz.h"
#include "common/named_alloc.h"
#include "tests/fft_test_util.h"

namespace korvale {
namespace {

using cld = std::complex<long double>;
constexpr long double kPiL = 3.141592653589793238462643383279502884L;

std::vector<double> random_points(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<double> v(2 * static_cast<std::size_t>(n));
  for (double& x : v) x = dist(rng);
  return v;
}

// Unit roots exp(-/+ 2 pi i j / N) in long double, j < N.
std::vector<cld> unit_roots(int n, bool inverse) {
  std::vector<cld> r(n);
  for (int j = 0; j < n; ++j) {
    const long double angle = (inverse ? 2 : -2) * kPiL * j / n;
    r[j] = cld(std::cos(angle), std::sin(angle));
  }
  return r;
}

// Bin k of the unscaled DFT of the interleaved points x, in long double.
cld direct_bin(const std::vector<double>& x, const std::vector<cld>& roots, int k) {
  const long long n = static_cast<long long>(roots.size());
  cld sum = 0;
  for (long long j = 0; j < n; ++j) sum += cld(x[2 * j], x[2 * j + 1]) * roots[(j * k) % n];
  return sum;
}

const char* route_name(DftRoute route) {
  switch (route) {
    case DftRoute::fft:
      return "fft";
    case DftRoute::mixed_radix:
      return "mixed-radix";
    case DftRoute::chirp_z:
      return "chirp-z";
    case DftRoute::chirp_z_mixed:
      return "chirp-z mixed";
  }
  return "?";
}

// Runs a plan of N points and M outputs on x, on the chosen route or the one
// given; returns the M outputs.
std::vector<double> run_plan(int n, int m, bool inverse, const std::vector<double>& x,
                             DftRoute route) {
  FftTables tables;
  fft_tables_build(&tables, dft_fft_length(n, m, route));
  DftPlan plan;
  dft_plan_build(&plan, n, m, inverse, tables, route);
  EXPECT_EQ(dft_plan_work_doubles(plan), dft_work_doubles(n, m, route));
  std::vector<double> work(dft_plan_work_doubles(plan), 7.0);
  std::copy(x.begin(), x.end(), work.begin());
  dft_plan_run(plan, work.data(), tables);
  work.resize(2 * static_cast<std::size_t>(m));
  return work;
}
std::vector<double> run_plan(int n, int m, bool inverse, const std::vector<double>& x) {
  return run_plan(n, m, inverse, x, dft_choose_route(n, m));
}

// The largest error seen, and where.
struct Worst {
  double err = 0;
  std::string where;
  void note(double e, const std::string& place) {
    if (!(e <= err)) {
      err = e;
      where = place;
    }
  }
};

// ||got - want|| / ||want|| over the first M points.
template <class Want>
double relative_l2(const std::vector<double>& got, const Want& want) {
  long double err = 0, norm = 0;
  for (std::size_t j = 0; j < got.size(); ++j) {
    const long double d = got[j] - static_cast<long double>(want[j]);
    err += d * d;
    norm += static_cast<long double>(want[j]) * want[j];
  }
  return static_cast<double>(std::sqrt(err / norm));
}

TEST(DftPlan, EveryLengthMatchesDirectDftOnItsRoute) {
  std::vector<int> lengths;
  for (int n = 2; n <= 400; ++n) lengths.push_back(n);
  for (int n : {540, 720, 960, 999, 1080, 1280, 1919, 1920, 2048, 2160, 2667, 3024, 3840, 4000,
                4032, 4080, 5472, 6000}) {
    lengths.push_back(n);
  }
  Worst worst;
  unsigned seed = 0;
  for (int n : lengths) {
    const std::vector<double> x = random_points(n, ++seed);
    // Powers of two on the split-radix FFT too, beside the chosen route.
    std::vector<DftRoute> routes = {dft_choose_route(n, n)};
    if ((n & (n - 1)) == 0 && routes[0] != DftRoute::fft) routes.push_back(DftRoute::fft);
    for (bool inverse : {false, true}) {
      const fft_test::LongVec want = fft_test::reference_dft(x, inverse ? 1 : -1);
      for (DftRoute route : routes) {
        worst.note(relative_l2(run_plan(n, n, inverse, x, route), want),
                   "N = " + std::to_string(n) + " " + route_name(route) +
                       (inverse ? " inverse" : " forward"));
      }
    }
  }
  EXPECT_LT(worst.err, 2e-15) << "worst at " << worst.where;
}

TEST(DftPlan, PartialOutputsMatchDirectDft) {
  Worst worst;
  unsigned seed = 100;
  for (int n = 2; n <= 160; ++n) {
    const std::vector<double> x = random_points(n, ++seed);
    for (int m : {(n + 1) / 2, 1}) {
      for (bool inverse : {false, true}) {
        const std::vector<cld> roots = unit_roots(n, inverse);
        const std::vector<double> got = run_plan(n, m, inverse, x);
        // Error relative to the size of the transform, sqrt(N) for these
        // inputs, so that every length is held to the same standard.
        for (int k = 0; k < m; ++k) {
          const cld want = direct_bin(x, roots, k);
          const double err =
              static_cast<double>(std::abs(cld(got[2 * k], got[2 * k + 1]) - want)) / std::sqrt(n);
          if (!(err <= worst.err)) {
            worst.note(err, "N = " + std::to_string(n) + ", M = " + std::to_string(m) +
                                (inverse ? " inverse" : " forward") + ", bin " + std::to_string(k));
          }
        }
      }
    }
  }
  EXPECT_LT(worst.err, 5e-14) << "worst at " << worst.where;
}

TEST(DftPlan, MixedRadixAndChirpZAgreeOnEverySmoothLength) {
  // Every length up to 6000 the mixed-radix FFT serves with no prime factor
  // above 31 (always its route), and those with larger primes P by Rader
  // passes (P - 1 with none; its route where it is the cheaper) up to 1200
  // and 1919, 2667 and 4001.
  Worst worst;
  unsigned seed = 200;
  for (int n = 3; n <= 6000; ++n) {
    if (!mixed_radix_supports(n) || ((n & (n - 1)) == 0 && n < 512)) continue;
    int rest = n;
    for (int p = 2; p <= kMixedRadixLargestRadix; ++p) {
      while (rest % p == 0) rest /= p;
    }
    if (rest == 1) {
      EXPECT_EQ(dft_choose_route(n, n), DftRoute::mixed_radix) << "N = " << n;
    } else if (n > 1200 && n != 1919 && n != 2667 && n != 4001) {
      continue;  // the Rader lengths up to 1200 and a few above, for time
    }
    const std::vector<double> x = random_points(n, ++seed);
    for (bool inverse : {false, true}) {
      const std::vector<double> chirp = run_plan(n, n, inverse, x, DftRoute::chirp_z);
      const std::string where = "N = " + std::to_string(n) + (inverse ? " inverse" : " forward");
      worst.note(relative_l2(run_plan(n, n, inverse, x, DftRoute::mixed_radix), chirp), where);
      if (rest == 1) {
        worst.note(relative_l2(run_plan(n, n, inverse, x, DftRoute::chirp_z_mixed), chirp),
                   where + " (chirp-z mixed)");
      }
    }
  }
  EXPECT_LT(worst.err, 1e-12) << "worst at " << worst.where;
  // Rader passes where they beat the chirp-z: 37, 101 and 127 (36, 100 and
  // 126 points in their sub-plans)...
  for (int n : {37, 74, 999, 1919, 2667, 2 * 3 * 5 * 7 * 37}) {
    EXPECT_EQ(dft_choose_route(n, n), DftRoute::mixed_radix) << "N = " << n;
  }
  // ... but not 47 (46 = 2 x 23) nor 83 (82 = 2 x 41, not served); a prime P
  // whose P - 1 has a prime factor above 31 stays on a chirp-z route.
  for (int n : {47, 83, 1079, 1999, 4099, 5999}) {
    const DftRoute route = dft_choose_route(n, n);
    EXPECT_TRUE(route == DftRoute::chirp_z || route == DftRoute::chirp_z_mixed) << "N = " << n;
  }
}

TEST(DftPlan, BothChirpZRoutesMatchDirectDftOnEveryLength) {
  // Every length up to 300 and the odd line lengths of common picture sizes,
  // with all outputs and with about a third of them, over both convolutions;
  // past 32768 inputs and outputs only the power-of-two convolution serves.
  std::vector<int> lengths;
  for (int n = 2; n <= 300; ++n) lengths.push_back(n);
  for (int n : {999, 1079, 1919, 1997, 2667, 5999}) lengths.push_back(n);
  Worst worst;
  unsigned seed = 300;
  for (int n : lengths) {
    const std::vector<double> x = random_points(n, ++seed);
    for (bool inverse : {false, true}) {
      const fft_test::LongVec want = fft_test::reference_dft(x, inverse ? 1 : -1);
      for (int m : {n, n / 3 + 1}) {
        for (DftRoute route : {DftRoute::chirp_z, DftRoute::chirp_z_mixed}) {
          worst.note(relative_l2(run_plan(n, m, inverse, x, route), want),
                     "N = " + std::to_string(n) + ", M = " + std::to_string(m) + " " +
                         route_name(route) + (inverse ? " inverse" : " forward"));
        }
      }
    }
  }
  EXPECT_LT(worst.err, 2e-15) << "worst at " << worst.where;
  EXPECT_EQ(dft_fft_length(40000, 30000, DftRoute::chirp_z_mixed), 0);
  EXPECT_EQ(dft_choose_route(20 * 1999, 30000), DftRoute::chirp_z);
}

TEST(DftPlan, TheRunSplitAtItsChirpsGivesTheSameBits) {
  // The line transforms fold the chirp products into their own loops and
  // rely on getting the plan's bits: c x, convolve, c y must be the run.
  for (const DftRoute route : {DftRoute::chirp_z, DftRoute::chirp_z_mixed, DftRoute::mixed_radix}) {
    for (const int n : {7, 30, 199, 999, 1079}) {
      if (route == DftRoute::mixed_radix && dft_fft_length(n, n, route) == 0) continue;
      for (const int m : {n, n / 2 + 1}) {
        for (const bool inverse : {false, true}) {
          SCOPED_TRACE(std::string(route_name(route)) + " N = " + std::to_string(n) +
                       ", M = " + std::to_string(m) + (inverse ? " inverse" : " forward"));
          FftTables tables;
          fft_tables_build(&tables, std::max(2, dft_fft_length(n, m, route)));
          DftPlan plan;
          dft_plan_build(&plan, n, m, inverse, tables, route);
          const std::vector<double> x = random_points(n, static_cast<unsigned>(n * 7 + m));
          std::vector<double> whole(static_cast<std::size_t>(dft_plan_work_doubles(plan)));
          std::vector<double> split = whole;
          std::copy(x.begin(), x.end(), whole.begin());
          std::copy(x.begin(), x.end(), split.begin());
          dft_plan_run(plan, whole.data(), tables);
          const double* c = plan.chirp.get();
          ASSERT_EQ(c != nullptr, route != DftRoute::mixed_radix);
          if (c != nullptr) fft_multiply_points(split.data(), c, n);
          dft_plan_convolve(plan, split.data(), tables);
          if (c != nullptr) fft_multiply_points(split.data(), c, m);
          EXPECT_EQ(0, std::memcmp(whole.data(), split.data(), 2 * m * sizeof(double)));
        }
      }
    }
  }
}

TEST(DftPlan, LongestLinesAreRightBinByBin) {
  // 65534 points with 32767 outputs run on FFTs of 131072 points; 65536 =
  // 4^8 and 64800 = 2^5 3^4 5^2 are the mixed-radix FFT's alone.
  const int cases[][3] = {
      {65534, 32767, 1}, {65536, 65536, 0}, {49157, 49157, 0}, {64800, 64800, 1}};
  unsigned seed = 50;
  for (const auto& c : cases) {
    const std::vector<double> x = random_points(c[0], ++seed);
    const std::vector<double> got = run_plan(c[0], c[1], c[2] != 0, x);
    const std::vector<cld> roots = unit_roots(c[0], c[2] != 0);
    std::mt19937 rng(seed);
    double worst = 0;
    for (int i = 0; i < 12; ++i) {
      const int k = i < 2 ? i * (c[1] - 1) : static_cast<int>(rng() % c[1]);
      const cld want = direct_bin(x, roots, k);
      worst =
          std::fmax(worst, static_cast<double>(std::abs(cld(got[2 * k], got[2 * k + 1]) - want)));
    }
    EXPECT_LT(worst / std::sqrt(c[0]), 5e-14) << "N = " << c[0];
  }
}

TEST(DftPlan, RunsAllocateNothingAndLeaveThePlanAsItWas) {
  // 300 = 2^2 3 5^2 runs the mixed-radix FFT, 301 = 7 43 the chirp-z.
  for (const int n : {300, 301}) {
    FftTables tables;
    fft_tables_build(&tables, dft_fft_length(n, 150));
    DftPlan plan;
    dft_plan_build(&plan, n, 150, true, tables);
    const std::vector<double> x = random_points(n, 3);
    std::vector<double> first;
    for (int round = 0; round < 3; ++round) {
      std::vector<double> work(dft_plan_work_doubles(plan));
      std::copy(x.begin(), x.end(), work.begin());
      fail_named_allocation(nullptr, 1);  // any allocation would fail
      dft_plan_run(plan, work.data(), tables);
      clear_named_allocation_failure();
      work.resize(300);
      if (round == 0) first = work;
      EXPECT_EQ(work, first) << "N = " << n << ", round " << round;
    }
  }
}

}  // namespace
}  // namespace korvale
