// The reference resizer against a direct evaluation of the band-limited
// picture at the centred positions, and its pixel properties and progress
// lines.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "common/color_plane.h"
#include "common/named_alloc.h"
#include "tests/child_process.h"
#include "tests/reference/reference.h"

namespace korvale::reference {
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

// The W' x H' values computed directly from their definition: the 2-D DFT
// X[f, g] of the mirrored 2W x 2H plane, forward-scaled by 1/(4WH), and the
// band-limited picture
//   v(p, q) = sum over |f| <= W', |g| <= H' of  c_f c_g X[f, g]
//             exp(2 pi i (f p / 2W + g q / 2H))
// (c = 1/2 on a new Nyquist frequency shared by +-W', 1 elsewhere; with no
// reduction the old Nyquist bin is kept once) at the centred positions
// p = (x + 1/2) W / W' - 1/2, q = (y + 1/2) H / H' - 1/2. Returns complex
// values; the imaginary parts are rounding noise.
std::vector<cld> reference(const ColorPlane& src, int a, int b) {
  const int w2 = 2 * src.w, h2 = 2 * src.h;
  const int nw = src.w - a, nh = src.h - b;
  auto mirrored = [&](int x, int y) {
    const int sx = x < src.w ? x : w2 - 1 - x;
    const int sy = y < src.h ? y : h2 - 1 - y;
    return static_cast<long double>(src.at(sx, sy));
  };
  auto old_bin = [&](int f, int g) {
    cld sum = 0;
    for (int x = 0; x < w2; ++x) {
      for (int y = 0; y < h2; ++y) {
        const long double angle =
            -2.0L * kPiL *
            (static_cast<long double>(f) * x / w2 + static_cast<long double>(g) * y / h2);
        sum += mirrored(x, y) * cld(std::cos(angle), std::sin(angle));
      }
    }
    return sum / (static_cast<long double>(w2) * h2);
  };
  // Kept frequencies of one axis of n points shrunk by r, with weights.
  auto band = [](int n, int r) {
    std::vector<std::pair<int, long double>> kept;
    const int top = n - r;
    for (int f = -top; f <= top; ++f) {
      if (r == 0 && f == -top) continue;  // +-W is one bin of the old axis
      kept.push_back({f, r > 0 && (f == top || f == -top) ? 0.5L : 1.0L});
    }
    return kept;
  };
  const auto fx = band(src.w, a), fy = band(src.h, b);
  std::vector<cld> bins(fx.size() * fy.size());
  for (std::size_t i = 0; i < fx.size(); ++i) {
    for (std::size_t j = 0; j < fy.size(); ++j) {
      bins[i * fy.size() + j] = old_bin(fx[i].first, fy[j].first) * fx[i].second * fy[j].second;
    }
  }
  std::vector<cld> out(static_cast<std::size_t>(nw) * nh);
  for (int x = 0; x < nw; ++x) {
    const long double p = (x + 0.5L) * src.w / nw - 0.5L;
    for (int y = 0; y < nh; ++y) {
      const long double q = (y + 0.5L) * src.h / nh - 0.5L;
      cld sum = 0;
      for (std::size_t i = 0; i < fx.size(); ++i) {
        for (std::size_t j = 0; j < fy.size(); ++j) {
          const long double angle = 2.0L * kPiL * (fx[i].first * p / w2 + fy[j].first * q / h2);
          sum += bins[i * fy.size() + j] * cld(std::cos(angle), std::sin(angle));
        }
      }
      out[static_cast<std::size_t>(x) * nh + y] = sum;
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
  // {W, H, a, b}: odd and even sizes, no reduction, single column / row,
  // long strips whose fold matters most, and random small pictures.
  std::vector<std::array<int, 4>> cases = {
      {7, 5, 3, 2},   {6, 4, 0, 1},   {9, 9, 8, 8},  {1, 1, 0, 0}, {1, 4, 0, 3},
      {5, 1, 2, 0},   {12, 10, 5, 3}, {10, 7, 9, 0}, {8, 8, 3, 3}, {4, 11, 1, 6},
      {97, 4, 48, 1}, {4, 97, 3, 50}, {6, 5, 2, 1}};
  std::mt19937 rng(99);
  for (int k = 0; k < 6; ++k) {
    const int w = 1 + static_cast<int>(rng() % 14), h = 1 + static_cast<int>(rng() % 14);
    cases.push_back({w, h, static_cast<int>(rng() % w), static_cast<int>(rng() % h)});
  }
  unsigned seed = 10;
  for (const auto& c : cases) {
    const ColorPlane src = random_plane(c[0], c[1], ++seed);
    const std::vector<double> got = values_of(src, c[2], c[3]);
    const std::vector<cld> want = reference(src, c[2], c[3]);
    ASSERT_EQ(got.size(), want.size());
    double worst = 0;
    std::size_t at = 0;
    for (std::size_t k = 0; k < got.size(); ++k) {
      EXPECT_LT(std::fabs(static_cast<double>(want[k].imag())), 1e-9) << "reference not real";
      const double err = std::fabs(got[k] - static_cast<double>(want[k].real()));
      if (err > worst) worst = err, at = k;
    }
    EXPECT_LT(worst, 1e-9) << c[0] << " x " << c[1] << " by " << c[2] << " x " << c[3]
                           << ": worst error " << worst << " at element " << at;
  }
}

TEST(ResizePlane, ReconstructionIsRealForEveryReduction) {
  // Folding in the twin bins keeps the cropped spectrum Hermitian, so the
  // inverse transform has no imaginary part beyond rounding noise.
  double worst = 0;
  std::string where;
  unsigned seed = 500;
  for (int w = 1; w <= 8; ++w) {
    for (int h = 1; h <= 8; ++h) {
      const ColorPlane src = random_plane(w, h, ++seed);
      for (int a = 0; a < w; ++a) {
        for (int b = 0; b < h; ++b) {
          std::vector<double> re(static_cast<std::size_t>(w - a) * (h - b)), im(re.size());
          resize_plane_values(a, b, src, re.data(), im.data());
          for (double v : im) {
            if (std::fabs(v) > worst) {
              worst = std::fabs(v);
              where = std::to_string(w) + " x " + std::to_string(h) + " by " + std::to_string(a) +
                      " x " + std::to_string(b);
            }
          }
        }
      }
    }
  }
  EXPECT_LT(worst, 1e-9) << "largest imaginary part " << worst << " at " << where;
}

TEST(ResizePlane, NoReductionReturnsTheInputExactly) {
  const int sizes[][2] = {{1, 1}, {2, 3}, {5, 7}, {8, 6}, {13, 1}, {1, 10}, {301, 203}};
  unsigned seed = 40;
  for (const auto& s : sizes) {
    const ColorPlane src = random_plane(s[0], s[1], ++seed);
    const ColorPlane dst = shrink(src, 0, 0);
    int changed = 0;
    for (int x = 0; x < s[0]; ++x) {
      for (int y = 0; y < s[1]; ++y) changed += dst.at(x, y) != src.at(x, y);
    }
    EXPECT_EQ(changed, 0) << s[0] << " x " << s[1] << ": pixels changed";
  }
}

TEST(ResizePlane, FlatPlanesKeepTheirValue) {
  // {W, H, a, b}; every value 0..255 goes through two of these.
  const int shapes[][4] = {{8, 6, 0, 0}, {8, 6, 3, 2}, {8, 6, 7, 5},  {9, 5, 1, 0},
                           {5, 9, 0, 4}, {7, 7, 6, 3}, {12, 3, 5, 1}, {3, 12, 2, 11}};
  constexpr int kShapes = sizeof shapes / sizeof shapes[0];
  for (int value = 0; value < 256; ++value) {
    for (int pick : {value % kShapes, (value * 5 + 3) % kShapes}) {
      const auto& s = shapes[pick];
      ColorPlane src = named_plane(s[0], s[1], "test");
      for (int x = 0; x < s[0]; ++x) {
        for (int y = 0; y < s[1]; ++y) src.at(x, y) = static_cast<unsigned char>(value);
      }
      const ColorPlane dst = shrink(src, s[2], s[3]);
      for (int x = 0; x < dst.w; ++x) {
        for (int y = 0; y < dst.h; ++y) {
          ASSERT_EQ(dst.at(x, y), value) << s[0] << " x " << s[1] << " by " << s[2] << " x " << s[3]
                                         << " at " << x << ", " << y;
        }
      }
    }
  }
}

TEST(ResizePlane, PixelsAreRoundedAndClampedValues) {
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
        const int want = value < 0     ? 0
                         : value > 255 ? 255
                                       : static_cast<int>(std::floor(value + 0.5));
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

TEST(ResizePlaneDeath, ReductionsThatWouldOverrunAbort) {
  const ColorPlane src = random_plane(4, 3, 1);
  std::vector<double> values(16);
  EXPECT_DEATH(resize_plane_values(4, 0, src, values.data()), "cannot shrink");
  EXPECT_DEATH(resize_plane_values(0, -1, src, values.data()), "cannot shrink");
  ColorPlane wrong = named_plane(2, 2, "test");
  EXPECT_DEATH(resize_plane(1, 0, src, wrong), "destination");
}

}  // namespace
}  // namespace korvale::reference
