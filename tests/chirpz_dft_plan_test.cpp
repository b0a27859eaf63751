// Reusable DFT plans: every length and output count against a direct DFT in
// long double, both directions; the longest lines spot-checked bin by bin;
// runs that allocate nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "chirpz/chirpz.h"
#include "common/named_alloc.h"

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

// Runs a plan of N points and M outputs on x; returns the M outputs.
std::vector<double> run_plan(int n, int m, bool inverse, const std::vector<double>& x) {
  FftTables tables;
  fft_tables_build(&tables, dft_fft_length(n, m));
  DftPlan plan;
  dft_plan_build(&plan, n, m, inverse, tables);
  std::vector<double> work(dft_plan_work_doubles(plan), 7.0);
  std::copy(x.begin(), x.end(), work.begin());
  dft_plan_run(plan, work.data(), tables);
  work.resize(2 * static_cast<std::size_t>(m));
  return work;
}

TEST(DftPlan, MatchesDirectDftForEveryLengthAndOutputCount) {
  std::vector<int> lengths;
  for (int n = 2; n <= 160; ++n) lengths.push_back(n);
  for (int n : {255, 256, 1000, 1024, 2047, 3001, 4096}) lengths.push_back(n);
  double worst = 0;
  std::string where;
  unsigned seed = 0;
  for (int n : lengths) {
    const std::vector<double> x = random_points(n, ++seed);
    for (int m : {n, (n + 1) / 2, 1}) {
      for (bool inverse : {false, true}) {
        const std::vector<cld> roots = unit_roots(n, inverse);
        const std::vector<double> got = run_plan(n, m, inverse, x);
        // Error relative to the size of the transform, sqrt(N) for these
        // inputs, so that every length is held to the same standard.
        for (int k = 0; k < m; ++k) {
          const cld want = direct_bin(x, roots, k);
          const double err =
              static_cast<double>(std::abs(cld(got[2 * k], got[2 * k + 1]) - want)) / std::sqrt(n);
          if (!(err <= worst)) {
            worst = err;
            where = "N = " + std::to_string(n) + ", M = " + std::to_string(m) +
                    (inverse ? " inverse" : " forward") + ", bin " + std::to_string(k);
          }
        }
      }
    }
  }
  EXPECT_LT(worst, 5e-14) << "worst at " << where;
}

TEST(DftPlan, LongestLinesAreRightBinByBin) {
  // 65534 points with 32767 outputs run on FFTs of 131072 points; 65536 is
  // the FFT alone.
  const int cases[][3] = {{65534, 32767, 1}, {65536, 65536, 0}, {49157, 49157, 0}};
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
  FftTables tables;
  fft_tables_build(&tables, dft_fft_length(300, 150));
  DftPlan plan;
  dft_plan_build(&plan, 300, 150, true, tables);
  const std::vector<double> x = random_points(300, 3);
  std::vector<double> first;
  for (int round = 0; round < 3; ++round) {
    std::vector<double> work(dft_plan_work_doubles(plan));
    std::copy(x.begin(), x.end(), work.begin());
    fail_named_allocation(nullptr, 1);  // any allocation would fail
    dft_plan_run(plan, work.data(), tables);
    clear_named_allocation_failure();
    work.resize(300);
    if (round == 0) first = work;
    EXPECT_EQ(work, first) << "round " << round;
  }
}

}  // namespace
}  // namespace korvale
