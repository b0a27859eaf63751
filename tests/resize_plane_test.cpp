// Plane resize: the pipeline against a direct 2-D DFT reference, pixel
// properties, progress lines and the ways a plane can fail.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "common/color_plane.h"
#include "common/named_alloc.h"
#include "resize/resize.h"
#include "tests/child_process.h"

namespace korvale {
namespace {

using cld = std::complex<long double>;
constexpr long double kPiL = 3.141592653589793238462643383279502884L;

const char* const kProgress[10] = {"Start Horizontal DFT\n",
                                   "End Horizontal DFT\n",
                                   "Start Vertical DFT\n",
                                   "End Vertical DFT\n",
                                   "Start High frequency component removing \n",
                                   "End High Frequency component removing\n",
                                   "Start horizontal IDFT\n",
                                   "End horizontal IDFT\n",
                                   "Start vertical IDFT\n",
                                   "End vertical IDFT\n"};

std::string progress_lines(int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += kProgress[i];
  return s;
}

ColorPlane random_plane(int w, int h, unsigned seed) {
  ColorPlane p = named_plane(w, h, "test");
  std::mt19937 rng(seed);
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) p.at(x, y) = static_cast<unsigned char>(rng() % 256);
  }
  return p;
}

// The reconstructed W' x H' values, computed directly: the 2-D DFT of the
// mirrored plane at the kept bins, the new Nyquist column and row folded
// (twice the real part, no imaginary part), and the inverse 2-D DFT.
std::vector<long double> reference(const ColorPlane& src, int a, int b) {
  const int w2 = 2 * src.w, h2 = 2 * src.h;
  const int nw = src.w - a, nh = src.h - b;
  const int nw2 = 2 * nw, nh2 = 2 * nh;
  auto mirrored = [&](int x, int y) {
    const int sx = x < src.w ? x : w2 - 1 - x;
    const int sy = y < src.h ? y : h2 - 1 - y;
    return static_cast<long double>(src.at(sx, sy));
  };
  // Kept bin u of the new axis comes from bin u (u < n') or u + 2r of the old.
  auto old_x = [&](int u) { return u < nw ? u : u + 2 * a; };
  auto old_y = [&](int v) { return v < nh ? v : v + 2 * b; };

  std::vector<cld> kept(static_cast<std::size_t>(nw2) * nh2);
  for (int u = 0; u < nw2; ++u) {
    for (int v = 0; v < nh2; ++v) {
      cld sum = 0;
      for (int x = 0; x < w2; ++x) {
        for (int y = 0; y < h2; ++y) {
          const long double angle = -2.0L * kPiL *
                                    (static_cast<long double>(old_x(u)) * x / w2 +
                                     static_cast<long double>(old_y(v)) * y / h2);
          sum += mirrored(x, y) * cld(std::cos(angle), std::sin(angle));
        }
      }
      sum /= static_cast<long double>(w2) * h2;
      if (u == nw) sum = cld(2 * sum.real(), 0);
      if (v == nh) sum = cld(2 * sum.real(), 0);
      kept[static_cast<std::size_t>(u) * nh2 + v] = sum;
    }
  }
  std::vector<long double> out(static_cast<std::size_t>(nw) * nh);
  for (int x = 0; x < nw; ++x) {
    for (int y = 0; y < nh; ++y) {
      cld sum = 0;
      for (int u = 0; u < nw2; ++u) {
        for (int v = 0; v < nh2; ++v) {
          const long double angle =
              2.0L * kPiL *
              (static_cast<long double>(u) * x / nw2 + static_cast<long double>(v) * y / nh2);
          sum +=
              kept[static_cast<std::size_t>(u) * nh2 + v] * cld(std::cos(angle), std::sin(angle));
        }
      }
      out[static_cast<std::size_t>(x) * nh + y] = sum.real();
    }
  }
  return out;
}

std::vector<double> values_of(const ColorPlane& src, int a, int b) {
  std::vector<double> v(static_cast<std::size_t>(src.w - a) * (src.h - b));
  resize_plane_values(a, b, src, v.data());
  return v;
}

ColorPlane shrink(const ColorPlane& src, int a, int b) {
  ColorPlane dst = named_plane(src.w - a, src.h - b, "test");
  resize_plane(a, b, src, dst);
  return dst;
}

TEST(ResizePlane, MatchesDirectReference) {
  // {W, H, a, b}: odd and even sizes, no reduction, single column / row.
  const int cases[][4] = {{7, 5, 3, 2}, {6, 4, 0, 1},   {9, 9, 8, 8},  {1, 1, 0, 0}, {1, 4, 0, 3},
                          {5, 1, 2, 0}, {12, 10, 5, 3}, {10, 7, 9, 0}, {8, 8, 3, 3}, {4, 11, 1, 6}};
  unsigned seed = 10;
  for (const auto& c : cases) {
    const ColorPlane src = random_plane(c[0], c[1], ++seed);
    const std::vector<double> got = values_of(src, c[2], c[3]);
    const std::vector<long double> want = reference(src, c[2], c[3]);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
      EXPECT_NEAR(got[k], static_cast<double>(want[k]), 1e-9)
          << c[0] << " x " << c[1] << " by " << c[2] << " x " << c[3] << ", element " << k;
    }
  }
}

TEST(ResizePlane, NoReductionGivesTheInputOrOneLess) {
  const ColorPlane src = random_plane(11, 9, 3);
  const ColorPlane dst = shrink(src, 0, 0);
  for (int x = 0; x < 11; ++x) {
    for (int y = 0; y < 9; ++y) {
      const int diff = dst.at(x, y) - src.at(x, y);
      EXPECT_TRUE(diff == 0 || diff == -1) << "pixel " << x << ", " << y << ": " << diff;
    }
  }
}

TEST(ResizePlane, ConstantPlaneStaysConstant) {
  ColorPlane src = named_plane(8, 6, "test");
  for (int x = 0; x < 8; ++x) {
    for (int y = 0; y < 6; ++y) src.at(x, y) = 100;
  }
  const int reductions[][2] = {{0, 0}, {3, 2}, {7, 5}, {1, 0}, {0, 4}};
  for (const auto& r : reductions) {
    const ColorPlane dst = shrink(src, r[0], r[1]);
    for (int x = 0; x < dst.w; ++x) {
      for (int y = 0; y < dst.h; ++y) {
        EXPECT_TRUE(dst.at(x, y) == 100 || dst.at(x, y) == 99) << int{dst.at(x, y)};
      }
    }
  }
}

TEST(ResizePlane, PixelsAreTruncatedAndClampedValues) {
  // Hard edges between 0 and 255 ring beyond both ends of the range.
  ColorPlane src = named_plane(12, 9, "test");
  for (int x = 0; x < 12; ++x) {
    for (int y = 0; y < 9; ++y) src.at(x, y) = ((x / 3 + y / 3) % 2) != 0 ? 255 : 0;
  }
  for (int a : {0, 4, 11}) {
    const std::vector<double> v = values_of(src, a, 4);
    const ColorPlane dst = shrink(src, a, 4);
    double lo = 1e9, hi = -1e9;
    for (int x = 0; x < dst.w; ++x) {
      for (int y = 0; y < dst.h; ++y) {
        const double value = v[static_cast<std::size_t>(x) * dst.h + y];
        lo = std::fmin(lo, value);
        hi = std::fmax(hi, value);
        const int want = value >= 255 ? 255 : value <= 0 ? 0 : static_cast<int>(value);
        EXPECT_EQ(dst.at(x, y), want) << "value " << value;
      }
    }
    if (a == 4) {
      EXPECT_LT(lo, 0.0);
      EXPECT_GT(hi, 255.0);
    }
  }
}

TEST(ResizePlane, PrintsTheTenProgressLinesInOrder) {
  const auto run = test::run_in_child([] {
    const ColorPlane src = random_plane(5, 4, 1);
    shrink(src, 2, 1);
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, progress_lines(10));
  EXPECT_EQ(run.out, "");
}

TEST(ResizePlaneFailure, EveryBufferReportsItsName) {
  // {buffer, progress lines printed before its allocation}
  const std::pair<const char*, int> buffers[] = {
      {"kariR", 0}, {"kariI", 0}, {"VINR", 0},    {"VINI", 0},    {"VOUTR", 0}, {"VOUTI", 0},
      {"ww", 1},    {"ip", 1},    {"fourieR", 4}, {"fourieI", 4}, {"R", 1},     {"OI", 1}};
  for (const auto& [name, lines] : buffers) {
    const auto run = test::run_in_child([name = name] {
      const ColorPlane src = random_plane(5, 4, 1);
      ColorPlane dst = named_plane(3, 3, "test");
      fail_named_allocation(name, 1);
      resize_plane(2, 1, src, dst);
    });
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_EQ(run.out, std::string(name) + " no memory!!\n");
    EXPECT_EQ(run.err, progress_lines(lines)) << name;
  }
}

TEST(ResizePlaneFailure, RefusedPlanInAnyPassEndsTheProcess) {
  // A 5 x 4 plane shrunk by 2 x 1 runs 8 + 10 forward lines, then 6 rows
  // and 6 columns backward; the plan's work block fails in each pass.
  const std::pair<int, int> failures[] = {{3, 1}, {12, 3}, {19, 7}, {26, 9}};
  for (const auto& [occurrence, lines] : failures) {
    const auto run = test::run_in_child([occurrence = occurrence] {
      const ColorPlane src = random_plane(5, 4, 1);
      ColorPlane dst = named_plane(3, 3, "test");
      fail_named_allocation("czwork", occurrence);
      resize_plane(2, 1, src, dst);
    });
    EXPECT_EQ(run.status, 1) << "plan " << occurrence;
    EXPECT_EQ(run.out, "failure!!!!\n") << "plan " << occurrence;
    EXPECT_EQ(run.err, progress_lines(lines)) << "plan " << occurrence;
  }
}

TEST(ResizePlaneDeath, ReductionsThatWouldOverrunAbort) {
  const ColorPlane src = random_plane(4, 3, 1);
  std::vector<double> values(16);
  EXPECT_DEATH(resize_plane_values(4, 0, src, values.data()), "cannot shrink");
  EXPECT_DEATH(resize_plane_values(0, -1, src, values.data()), "cannot shrink");
  ColorPlane wrong = named_plane(2, 2, "test");
  EXPECT_DEATH(resize_plane(1, 0, src, wrong), "destination");
}

}  // namespace
}  // namespace korvale
