// The reference pipeline's chirp-z transform: accuracy against a direct DFT in long double, round
// trips, small worked values and partial output (M < N).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <vector>

#include "tests/reference/chirp_plan.h"

namespace korvale::reference {
namespace {

using cld = std::complex<long double>;

constexpr long double kPiL = 3.141592653589793238462643383279502884L;
constexpr double kEps = 2.220446049250313e-16;

struct Tables {
  std::vector<int> ip = std::vector<int>(32768, 0);
  std::vector<double> ww = std::vector<double>(32768, 0.0);
};

struct Line {
  std::vector<double> re, im;
};

Line random_line(int n, std::mt19937& rng) {
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Line line{std::vector<double>(n), std::vector<double>(n)};
  for (int j = 0; j < n; ++j) {
    line.re[j] = dist(rng);
    line.im[j] = dist(rng);
  }
  return line;
}

// Direct DFT of the first m bins in long double, both directions at once:
// forward (exp -, scaled by 1/N) and inverse (exp +, unscaled).
struct Reference {
  std::vector<cld> forward, inverse;
};

Reference direct_dft(const Line& x, int m) {
  const int n = static_cast<int>(x.re.size());
  std::vector<long double> c(n), s(n);
  for (int j = 0; j < n; ++j) {
    const long double angle = 2.0L * kPiL * j / n;
    c[j] = std::cos(angle);
    s[j] = std::sin(angle);
  }
  Reference ref{std::vector<cld>(m), std::vector<cld>(m)};
  for (int k = 0; k < m; ++k) {
    long double rc = 0, rs = 0, ic = 0, is = 0;  // sums of re*cos, re*sin, ...
    int idx = 0;
    for (int j = 0; j < n; ++j) {
      const long double xr = x.re[j], xi = x.im[j];
      rc += xr * c[idx];
      rs += xr * s[idx];
      ic += xi * c[idx];
      is += xi * s[idx];
      idx += k;
      if (idx >= n) idx -= n;
    }
    ref.forward[k] = cld(rc + is, ic - rs) / static_cast<long double>(n);
    ref.inverse[k] = cld(rc - is, ic + rs);
  }
  return ref;
}

// Relative L2 distance between the first m points of `got` and `want`.
double relative_error(const Line& got, const std::vector<cld>& want) {
  long double diff = 0, norm = 0;
  for (std::size_t k = 0; k < want.size(); ++k) {
    diff += std::norm(cld(got.re[k], got.im[k]) - want[k]);
    norm += std::norm(want[k]);
  }
  return static_cast<double>(std::sqrt(diff / norm));
}

// Builds a plan, runs it once and releases it.
Line transform(const Line& x, int m, int inverse, Tables& t) {
  ChirpPlan plan;
  EXPECT_EQ(chirp_plan_init(&plan, static_cast<int>(x.re.size()), m, t.ip.data(), t.ww.data()), 0);
  Line y = x;
  chirp_transform(&plan, inverse, y.re.data(), y.im.data(), t.ip.data(), t.ww.data());
  chirp_plan_release(&plan);
  return y;
}

int fft_length_for(int n) {
  int l = 1;
  while (l < 2 * n) l *= 2;
  return l;
}

TEST(ChirpAccuracy, MatchesDirectDftForEveryLengthUpTo1024AndLargeOnes) {
  std::vector<int> lengths;
  for (int n = 2; n <= 1024; ++n) lengths.push_back(n);
  for (int n : {4093, 4096, 8191, 8192}) lengths.push_back(n);

  // The error is measured in units of eps * log2(L).
  constexpr double kAllowed = 4.0;
  std::mt19937 rng(1234);
  Tables t;
  double worst[2] = {0, 0}, worst_error[2] = {0, 0};
  int worst_n[2] = {0, 0};
  for (int n : lengths) {
    const Line x = random_line(n, rng);
    const double unit = kEps * std::log2(static_cast<double>(fft_length_for(n)));
    const Reference ref = direct_dft(x, n);
    for (int inverse = 0; inverse < 2; ++inverse) {
      const double error =
          relative_error(transform(x, n, inverse, t), inverse ? ref.inverse : ref.forward);
      if (error / unit > worst[inverse]) {
        worst[inverse] = error / unit;
        worst_error[inverse] = error;
        worst_n[inverse] = n;
      }
    }
  }
  std::printf("worst forward: N = %d, error %.3g (%.2f eps log2 L)\n", worst_n[0], worst_error[0],
              worst[0]);
  std::printf("worst inverse: N = %d, error %.3g (%.2f eps log2 L)\n", worst_n[1], worst_error[1],
              worst[1]);
  EXPECT_LE(worst[0], kAllowed) << "forward, worst N = " << worst_n[0];
  EXPECT_LE(worst[1], kAllowed) << "inverse, worst N = " << worst_n[1];
}

TEST(ChirpAccuracy, ForwardThenInverseReturnsTheInput) {
  std::mt19937 rng(99);
  Tables t;
  for (int n : {2, 3, 5, 16, 17, 100, 255, 1000, 2047, 3001, 4096, 6000, 8191, 8192}) {
    const Line x = random_line(n, rng);
    const Line back = transform(transform(x, n, 0, t), n, 1, t);
    double worst = 0;
    for (int j = 0; j < n; ++j) {
      worst = std::fmax(worst, std::hypot(back.re[j] - x.re[j], back.im[j] - x.im[j]));
    }
    EXPECT_LT(worst, 1e-13) << "N = " << n;
  }
}

TEST(ChirpValues, SmallWorkedExamples) {
  Tables t;
  // N = 2: ((a + b)/2, (a - b)/2) forward, (A + B, A - B) inverse.
  const Line pair{{3.0, 5.0}, {1.0, -2.0}};
  const Line fwd = transform(pair, 2, 0, t);
  EXPECT_NEAR(fwd.re[0], 4.0, 1e-15);
  EXPECT_NEAR(fwd.im[0], -0.5, 1e-15);
  EXPECT_NEAR(fwd.re[1], -1.0, 1e-15);
  EXPECT_NEAR(fwd.im[1], 1.5, 1e-15);
  const Line inv = transform(pair, 2, 1, t);
  EXPECT_NEAR(inv.re[0], 8.0, 1e-14);
  EXPECT_NEAR(inv.im[0], -1.0, 1e-14);
  EXPECT_NEAR(inv.re[1], -2.0, 1e-14);
  EXPECT_NEAR(inv.im[1], 3.0, 1e-14);

  // N = 3 forward of the real line (1, 2, 3).
  const Line three = transform(Line{{1, 2, 3}, {0, 0, 0}}, 3, 0, t);
  const double s = std::sqrt(3.0) / 6.0;
  EXPECT_NEAR(three.re[0], 2.0, 1e-15);
  EXPECT_NEAR(three.im[0], 0.0, 1e-15);
  EXPECT_NEAR(three.re[1], -0.5, 1e-15);
  EXPECT_NEAR(three.im[1], s, 1e-15);
  EXPECT_NEAR(three.re[2], -0.5, 1e-15);
  EXPECT_NEAR(three.im[2], -s, 1e-15);

  // Impulse: 1/N everywhere forward, 1 everywhere inverse.
  Line impulse{std::vector<double>(7, 0.0), std::vector<double>(7, 0.0)};
  impulse.re[0] = 1.0;
  const Line flat_f = transform(impulse, 7, 0, t);
  const Line flat_i = transform(impulse, 7, 1, t);
  for (int k = 0; k < 7; ++k) {
    EXPECT_NEAR(flat_f.re[k], 1.0 / 7, 1e-15);
    EXPECT_NEAR(flat_f.im[k], 0.0, 1e-15);
    EXPECT_NEAR(flat_i.re[k], 1.0, 1e-14);
    EXPECT_NEAR(flat_i.im[k], 0.0, 1e-14);
  }
}

TEST(ChirpValues, AnyNonzeroFlagIsInverse) {
  std::mt19937 rng(5);
  Tables t;
  const Line x = random_line(11, rng);
  const Line one = transform(x, 11, 1, t);
  for (int flag : {-1, 2, 1000}) {
    const Line other = transform(x, 11, flag, t);
    EXPECT_EQ(other.re, one.re) << "flag " << flag;
    EXPECT_EQ(other.im, one.im) << "flag " << flag;
  }
}

TEST(ChirpPartialOutput, FirstMBinsAreTheTrueDftAndTheRestIsUntouched) {
  std::mt19937 rng(77);
  Tables t;
  const int cases[][2] = {{6, 2}, {7, 3}, {6, 5}, {10, 4}, {9, 8}, {33, 2}, {100, 37}, {1000, 999}};
  for (const auto& c : cases) {
    const int n = c[0], m = c[1];
    const Line x = random_line(n, rng);
    const Reference ref = direct_dft(x, m);
    for (int inverse = 0; inverse < 2; ++inverse) {
      const Line y = transform(x, m, inverse, t);
      const auto& want = inverse ? ref.inverse : ref.forward;
      EXPECT_LT(relative_error(y, want), 1e-14)
          << "N = " << n << ", M = " << m << ", inverse " << inverse;
      for (int j = m; j < n; ++j) {
        EXPECT_EQ(y.re[j], x.re[j]);
        EXPECT_EQ(y.im[j], x.im[j]);
      }
    }
  }
}

}  // namespace
}  // namespace korvale::reference
