// Tests of the FFT tables: the twiddle levels written by make_twiddles and the
// reversal offsets written by make_reversal_offsets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "fft/fft.h"
#include "tests/fft_test_util.h"

namespace korvale {
namespace {

using fft_test::kTableSize;

constexpr double kSentinel = -12345.678;
constexpr int kIpSentinel = -7;

struct Tables {
  std::vector<int> ip = std::vector<int>(kTableSize, kIpSentinel);
  std::vector<double> ww = std::vector<double>(kTableSize, kSentinel);
};

bool same_bits(double x, double y) {
  return std::memcmp(&x, &y, sizeof x) == 0;
}

// The values the table layout defines for level 0 of nw: d = atan(1)/nh and
// cos(pi/4) computed as cos(nh*d).
double level0_d(int nw) {
  return std::atan(1.0) / (nw / 2);
}
double cos_pi4(int nw) {
  return std::cos(level0_d(nw) * (nw / 2));
}

// Checks ww[0 .. count-1] bit for bit against want, and that nothing else in
// ww was written.
void expect_exactly(const Tables& t, const std::vector<double>& want) {
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_TRUE(same_bits(t.ww[i], want[i]))
        << "ww[" << i << "] = " << t.ww[i] << ", want " << want[i];
  }
  for (size_t i = want.size(); i < t.ww.size(); ++i) {
    ASSERT_TRUE(same_bits(t.ww[i], kSentinel)) << "ww[" << i << "] was written";
  }
}

TEST(FftTables, MakeTwiddles4WritesOnlyTwoValues) {
  Tables t;
  make_twiddles(4, t.ip.data(), t.ww.data());
  EXPECT_EQ(t.ip[0], 4);
  for (int i = 1; i < kTableSize; ++i) ASSERT_EQ(t.ip[i], kIpSentinel) << "ip[" << i << "]";
  expect_exactly(t, {1.0, cos_pi4(4)});
  EXPECT_NEAR(t.ww[1], std::sqrt(0.5), 1e-16);
}

TEST(FftTables, MakeTwiddles8WritesSixValuesAndLeavesIpAlone) {
  Tables t;
  make_twiddles(8, t.ip.data(), t.ww.data());
  EXPECT_EQ(t.ip[0], 8);
  for (int i = 1; i < kTableSize; ++i) ASSERT_EQ(t.ip[i], kIpSentinel) << "ip[" << i << "]";
  const double d = level0_d(8);  // pi/16
  const double c = cos_pi4(8);
  expect_exactly(t, {1.0, c, std::cos(2 * d), std::sin(2 * d), 1.0, c});
  const double pi = std::acos(-1.0);
  EXPECT_NEAR(t.ww[2], std::cos(pi / 8), 1e-16);
  EXPECT_NEAR(t.ww[3], std::sin(pi / 8), 1e-16);
}

TEST(FftTables, MakeTwiddles16WritesFourteenValuesAndTwoOffsets) {
  Tables t;
  make_twiddles(16, t.ip.data(), t.ww.data());
  EXPECT_EQ(t.ip[0], 16);
  EXPECT_EQ(t.ip[1], kIpSentinel);
  EXPECT_EQ(t.ip[2], 0);
  EXPECT_EQ(t.ip[3], 16);
  for (int i = 4; i < kTableSize; ++i) ASSERT_EQ(t.ip[i], kIpSentinel) << "ip[" << i << "]";
  const double d = level0_d(16);  // pi/32
  const double c = cos_pi4(16);
  const double cs = std::cos(4 * d), sn = std::sin(4 * d);  // pi/8
  expect_exactly(t, {1.0, c, 0.5 / std::cos(2 * d), 0.5 / std::cos(6 * d), cs, sn,
                     std::cos(3 * 4 * d), -std::sin(3 * 4 * d), 1.0, c, cs, sn, 1.0, c});
  // The named angles: 0.5/cos(pi/16), 0.5/cos(3pi/16), cos(3pi/8), -sin(3pi/8).
  const double pi = std::acos(-1.0);
  EXPECT_NEAR(t.ww[2], 0.5 / std::cos(pi / 16), 1e-16);
  EXPECT_NEAR(t.ww[3], 0.5 / std::cos(3 * pi / 16), 1e-16);
  EXPECT_NEAR(t.ww[6], std::cos(3 * pi / 8), 1e-16);
  EXPECT_NEAR(t.ww[7], -std::sin(3 * pi / 8), 1e-16);
}

TEST(FftTables, SmallSizesWriteOnlyIp0) {
  for (int nw : {0, 1, 2}) {
    Tables t;
    make_twiddles(nw, t.ip.data(), t.ww.data());
    EXPECT_EQ(t.ip[0], nw);
    EXPECT_EQ(t.ip[1], kIpSentinel);
    expect_exactly(t, {});
  }
}

// make_twiddles(nw) writes exactly ww[0 .. nw-3].
TEST(FftTables, WritesExactlyNwMinusTwoDoubles) {
  for (int nw = 4; nw <= kTableSize; nw *= 2) {
    Tables t;
    make_twiddles(nw, t.ip.data(), t.ww.data());
    for (int i = 0; i < nw - 2; ++i) {
      ASSERT_FALSE(same_bits(t.ww[i], kSentinel)) << "nw=" << nw << " ww[" << i << "]";
    }
    for (int i = nw - 2; i < kTableSize; ++i) {
      ASSERT_TRUE(same_bits(t.ww[i], kSentinel)) << "nw=" << nw << " ww[" << i << "] written";
    }
  }
}

TEST(FftTables, ReversalOffsetRows) {
  Tables t;
  const int m_end = make_reversal_offsets(8192, t.ip.data());
  EXPECT_EQ(m_end, 32);
  EXPECT_EQ(t.ip[0], kIpSentinel);
  EXPECT_EQ(t.ip[1], kIpSentinel);
  const std::vector<int> m2 = {0, 16};
  const std::vector<int> m4 = {0, 64, 32, 96};
  const std::vector<int> m8 = {0, 256, 128, 384, 64, 320, 192, 448};
  EXPECT_EQ(std::vector<int>(t.ip.begin() + 2, t.ip.begin() + 4), m2);
  EXPECT_EQ(std::vector<int>(t.ip.begin() + 4, t.ip.begin() + 8), m4);
  EXPECT_EQ(std::vector<int>(t.ip.begin() + 8, t.ip.begin() + 16), m8);
  // nw = 8192 fills ip[2..63] and nothing beyond.
  for (int i = 2; i < 64; ++i) EXPECT_NE(t.ip[i], kIpSentinel) << "ip[" << i << "]";
  for (int i = 64; i < kTableSize; ++i) ASSERT_EQ(t.ip[i], kIpSentinel) << "ip[" << i << "]";
}

// ip[m + k] = 8m * rev_t(k) for every m = 2^t the largest table holds, and a
// smaller table holds the same rows.
TEST(FftTables, ReversalOffsetsFollowTheRuleAtEverySize) {
  Tables big;
  const int m_end = make_reversal_offsets(kTableSize, big.ip.data());
  EXPECT_EQ(m_end, 64);
  for (int m = 2, t = 1; m < 2 * m_end; m *= 2, ++t) {
    for (int k = 0; k < m; ++k) {
      ASSERT_EQ(big.ip[m + k], 8 * m * fft_test::bitrev(k, t)) << "m=" << m << " k=" << k;
    }
  }
  for (int nw = 16; nw < kTableSize; nw *= 2) {
    Tables small;
    const int m = make_reversal_offsets(nw, small.ip.data());
    for (int i = 2; i < 2 * m; ++i) ASSERT_EQ(small.ip[i], big.ip[i]) << "nw=" << nw;
    for (int i = 2 * m; i < kTableSize; ++i) ASSERT_EQ(small.ip[i], kIpSentinel) << "nw=" << nw;
  }
}

// Each deeper level is every other group of four of the level above, bit for
// bit; positions 1, 2, 3 follow the copy rule.
TEST(FftTables, DeeperLevelIsEveryOtherGroupOfTheLevelAbove) {
  const int nw = kTableSize;
  Tables t;
  make_twiddles(nw, t.ip.data(), t.ww.data());
  const double* ww = t.ww.data();
  for (int h = nw / 4; h >= 2; h /= 2) {  // h: entries of the deeper level
    const double* above = ww + nw - 4 * h;
    const double* below = ww + nw - 2 * h;
    ASSERT_TRUE(same_bits(below[0], 1.0)) << "h=" << h;
    ASSERT_TRUE(same_bits(below[1], above[1])) << "h=" << h;
    if (h == 4) {
      ASSERT_TRUE(same_bits(below[2], above[4])) << "h=" << h;
      ASSERT_TRUE(same_bits(below[3], above[5])) << "h=" << h;
    } else if (h >= 8) {
      ASSERT_TRUE(same_bits(below[2], 0.5 / above[4])) << "h=" << h;
      ASSERT_TRUE(same_bits(below[3], 0.5 / above[6])) << "h=" << h;
    }
    for (int j = 4; j < h; j += 4) {
      for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(same_bits(below[j + i], above[2 * j + i])) << "h=" << h << " j=" << j;
      }
    }
  }
}

// Every level holds the values of its own angle step d = (pi/4)/h.
TEST(FftTables, EveryLevelHoldsItsAngles) {
  const int nw = kTableSize;
  Tables t;
  make_twiddles(nw, t.ip.data(), t.ww.data());
  const long double pi = fft_test::kPiL;
  for (int h = nw / 2; h >= 2; h /= 2) {
    const double* w = t.ww.data() + nw - 2 * h;
    const long double d = pi / 4 / h;
    EXPECT_EQ(w[0], 1.0);
    EXPECT_NEAR(w[1], std::sqrt(0.5L), 1e-16);
    if (h == 4) {
      EXPECT_NEAR(w[2], std::cos(2 * d), 1e-16);
      EXPECT_NEAR(w[3], std::sin(2 * d), 1e-16);
    } else if (h >= 8) {
      EXPECT_NEAR(w[2], 0.5L / std::cos(2 * d), 4e-16);
      EXPECT_NEAR(w[3], 0.5L / std::cos(6 * d), 4e-16);
    }
    for (int j = 4; j < h; j += 4) {
      ASSERT_NEAR(w[j], std::cos(j * d), 4e-16) << "h=" << h << " j=" << j;
      ASSERT_NEAR(w[j + 1], std::sin(j * d), 4e-16) << "h=" << h << " j=" << j;
      ASSERT_NEAR(w[j + 2], std::cos(3 * j * d), 4e-16) << "h=" << h << " j=" << j;
      ASSERT_NEAR(w[j + 3], -std::sin(3 * j * d), 4e-16) << "h=" << h << " j=" << j;
    }
  }
}

// A table built for a larger nw ends with the table of every smaller nw, bit
// for bit, which is why it serves the smaller transforms unchanged.
TEST(FftTables, LargerTableEndsWithEverySmallerTable) {
  Tables big;
  make_twiddles(kTableSize, big.ip.data(), big.ww.data());
  for (int nw = 4; nw < kTableSize; nw *= 2) {
    Tables small;
    make_twiddles(nw, small.ip.data(), small.ww.data());
    EXPECT_EQ(
        0, std::memcmp(small.ww.data(), big.ww.data() + kTableSize - nw, (nw - 2) * sizeof(double)))
        << "nw=" << nw;
  }
}

}  // namespace
}  // namespace korvale
