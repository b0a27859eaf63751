// What the resized picture looks like: mirror-symmetric pictures stay
// symmetric (centred samples), channel means stay put (rounding to nearest),
// a one-pixel checkerboard halves to the right grey with and without linear
// light, 8- and 16-bit samples and linear light match the reference
// resizer, alpha keeps the edges of a white shape white, and a built run
// allocates nothing per plane.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

#include "common/color_plane.h"
#include "resize/resize.h"
#include "tests/reference/reference.h"
#include "tests/resize_test_util.h"

// Counts every allocation by operator new in this test program, so a test
// can show that a stretch of code makes none.
namespace {
std::atomic<long> g_news{0};
}  // namespace

void* operator new(std::size_t size) {
  g_news.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC takes these replacements for mismatched pairs; they are the pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace korvale {
namespace {

using test::QuietStderr;

template <class T>
Plane<T> shrink(const Plane<T>& src, int a, int b, bool linear = false, int threads = 2) {
  ResizeSettings settings;
  settings.linear = linear;
  ResizeRunPtr run = resize_run_begin(src.w, src.h, a, b, threads, settings);
  Plane<T> dst = named_plane<T>(src.w - a, src.h - b, "test");
  resize_plane(*run, src, dst);
  return dst;
}

// Photo-like content: smooth shading from a few low frequencies, a soft
// edge, and fine noise of a few levels, within 0 .. max.
template <class T>
Plane<T> photo(int w, int h, unsigned seed) {
  Plane<T> p = named_plane<T>(w, h, "test");
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  double fx[4], fy[4], ph[4], amp[4];
  for (int i = 0; i < 4; ++i) {
    fx[i] = u(rng) * 6, fy[i] = u(rng) * 6, ph[i] = u(rng) * 6.28, amp[i] = 0.05 + 0.08 * u(rng);
  }
  const double max = sizeof(T) == 1 ? 255.0 : 65535.0;
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      double v = 0.45 + 0.2 * x / w - 0.1 * y / h;
      for (int i = 0; i < 4; ++i) {
        v += amp[i] * std::sin(6.2832 * (fx[i] * x / w + fy[i] * y / h) + ph[i]);
      }
      v += 0.15 / (1 + std::exp(-(x - 0.6 * w) / 1.5));  // a soft edge
      v += 0.02 * (u(rng) - 0.5);
      v = std::fmin(std::fmax(v, 0.02), 0.98);
      p.at(x, y) = static_cast<T>(std::lround(v * max));
    }
  }
  return p;
}

double mean(const ColorPlane& p) {
  double sum = 0;
  for (int x = 0; x < p.w; ++x) {
    for (int y = 0; y < p.h; ++y) sum += p.at(x, y);
  }
  return sum / (static_cast<double>(p.w) * p.h);
}

TEST(ResizeFidelity, MirrorSymmetricPicturesStaySymmetric) {
  QuietStderr quiet;
  // {W, H, a, b}
  const int cases[][4] = {{301, 211, 150, 105}, {301, 211, 270, 190}, {301, 211, 1, 1},
                          {256, 96, 128, 48},   {256, 96, 3, 0},      {97, 4, 90, 1}};
  for (const auto& c : cases) {
    const int w = c[0], h = c[1];
    ColorPlane src = named_plane(w, h, "test");
    const ColorPlane base = photo<unsigned char>(w, h, 7);
    for (int x = 0; x < w; ++x) {
      for (int y = 0; y < h; ++y) {
        src.at(x, y) = base.at(std::min(x, w - 1 - x), std::min(y, h - 1 - y));
      }
    }
    const ColorPlane dst = shrink(src, c[2], c[3]);
    int worst = 0, ties = 0;
    for (int x = 0; x < dst.w; ++x) {
      for (int y = 0; y < dst.h; ++y) {
        const int v = dst.at(x, y);
        for (int m : {static_cast<int>(dst.at(dst.w - 1 - x, y)),
                      static_cast<int>(dst.at(x, dst.h - 1 - y))}) {
          worst = std::max(worst, std::abs(v - m));
          ties += v != m;
        }
      }
    }
    const std::string what = std::to_string(w) + " x " + std::to_string(h) + " by " +
                             std::to_string(c[2]) + " x " + std::to_string(c[3]);
    EXPECT_LE(worst, 1) << what;
    EXPECT_LE(ties, dst.w * dst.h / 1000 + 2) << what;
  }
}

TEST(ResizeFidelity, ShrinksByAThirdOrMoreKeepEachMean) {
  QuietStderr quiet;
  // {W, H, a, b}: by a third, a half, three quarters, nine tenths.
  const int cases[][4] = {{600, 400, 200, 133},
                          {640, 480, 320, 240},
                          {512, 384, 384, 288},
                          {600, 400, 540, 360},
                          {451, 300, 151, 100}};
  unsigned seed = 1;
  for (const auto& c : cases) {
    for (int channel = 0; channel < 3; ++channel) {
      const ColorPlane src = photo<unsigned char>(c[0], c[1], ++seed);
      const double moved = mean(shrink(src, c[2], c[3])) - mean(src);
      EXPECT_LE(std::fabs(moved), 0.15)
          << c[0] << " x " << c[1] << " by " << c[2] << " x " << c[3] << ", channel " << channel;
    }
  }
}

TEST(ResizeFidelity, CheckerboardHalvesToHalfTheLightOnlyInLinearLight) {
  QuietStderr quiet;
  ColorPlane board = named_plane(64, 64, "test");
  for (int x = 0; x < 64; ++x) {
    for (int y = 0; y < 64; ++y) board.at(x, y) = (x + y) % 2 != 0 ? 255 : 0;
  }
  for (const bool linear : {false, true}) {
    const ColorPlane dst = shrink(board, 32, 32, linear);
    const int lo = linear ? 184 : 125, hi = linear ? 191 : 131;
    for (int x = 8; x < 24; ++x) {
      for (int y = 8; y < 24; ++y) {
        EXPECT_GE(dst.at(x, y), lo) << "linear " << linear << " at " << x << ", " << y;
        EXPECT_LE(dst.at(x, y), hi) << "linear " << linear << " at " << x << ", " << y;
      }
    }
  }
}

TEST(ResizeFidelity, RampSamplesLieOnThePairsCentres) {
  QuietStderr quiet;
  ColorPlane ramp = named_plane(64, 3, "test");
  for (int x = 0; x < 64; ++x) {
    for (int y = 0; y < 3; ++y) ramp.at(x, y) = static_cast<unsigned char>(40 + 2 * x);
  }
  ResizeRunPtr run = resize_run_begin(64, 3, 32, 0, 1);
  std::vector<double> v(32 * 3);
  resize_plane_values(*run, ramp, v.data());
  // Away from the mirrored ends, sample n is the ramp at 2n + 1/2: 41 + 4n.
  for (int n = 6; n < 26; ++n) EXPECT_NEAR(v[n * 3 + 1], 41.0 + 4 * n, 0.05) << n;
}

// Every sample of the product equals the reference resizer's, for 8 and 16
// bits, with and without linear light, and on identity runs.
TEST(ResizeFidelity, SamplesMatchTheReferenceAtEveryDepthAndInLinearLight) {
  QuietStderr quiet;
  const int cases[][4] = {{61, 47, 20, 15}, {40, 33, 0, 0}, {37, 9, 36, 4}, {50, 50, 25, 1}};
  int mismatched = 0;
  std::string first;
  const auto compare = [&](const auto& got, const auto& want, const std::string& what) {
    for (int x = 0; x < got.w; ++x) {
      for (int y = 0; y < got.h; ++y) {
        if (got.at(x, y) != want.at(x, y)) {
          if (mismatched++ == 0) {
            first = what + " at " + std::to_string(x) + ", " + std::to_string(y) + ": " +
                    std::to_string(got.at(x, y)) + " for " + std::to_string(want.at(x, y));
          }
        }
      }
    }
  };
  unsigned seed = 70;
  for (const auto& c : cases) {
    for (const bool linear : {false, true}) {
      const std::string what = std::to_string(c[0]) + " x " + std::to_string(c[1]) + " by " +
                               std::to_string(c[2]) + " x " + std::to_string(c[3]) +
                               (linear ? " linear" : "");
      const ColorPlane narrow = photo<unsigned char>(c[0], c[1], ++seed);
      ColorPlane narrow_want = named_plane(c[0] - c[2], c[1] - c[3], "test");
      reference::resize_plane(c[2], c[3], narrow, narrow_want, linear);
      compare(shrink(narrow, c[2], c[3], linear), narrow_want, what + ", 8 bits");
      const WidePlane wide = photo<std::uint16_t>(c[0], c[1], ++seed);
      WidePlane wide_want = named_plane<std::uint16_t>(c[0] - c[2], c[1] - c[3], "test");
      reference::resize_plane(c[2], c[3], wide, wide_want, linear);
      const WidePlane wide_got = shrink(wide, c[2], c[3], linear);
      compare(wide_got, wide_want, what + ", 16 bits");
      if (c[2] == 0 && c[3] == 0) compare(wide_got, wide, what + ", 16 bits, identity");
    }
  }
  EXPECT_EQ(mismatched, 0) << "first at " << first;
}

// A white disc on transparent black: wherever the resized alpha is not 0 the
// colour stays white, with and without linear light; the alpha plane comes
// out as it would alone, as plain values even in linear light.
TEST(ResizeFidelity, WhiteShapeOnTransparentBlackKeepsWhiteEdges) {
  QuietStderr quiet;
  const int w = 90, h = 70;
  ColorPlane colour = named_plane(w, h, "test"), alpha = named_plane(w, h, "test");
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const bool inside = (x - 40) * (x - 40) + (y - 33) * (y - 33) < 25 * 25;
      colour.at(x, y) = inside ? 255 : 0;
      alpha.at(x, y) = inside ? 255 : 0;
    }
  }
  const int reductions[][2] = {{53, 41}, {0, 41}, {53, 0}};
  for (const auto& [ra, rb] : reductions) {
    for (const bool linear : {false, true}) {
      const std::string what =
          std::to_string(ra) + " x " + std::to_string(rb) + (linear ? " linear" : "");
      const int ow = w - ra, oh = h - rb;
      ResizeSettings settings;
      settings.linear = linear;
      ResizeRunPtr run = resize_run_begin(w, h, ra, rb, 2, settings);
      ColorPlane out[3] = {named_plane(ow, oh, "test"), named_plane(ow, oh, "test"),
                           named_plane(ow, oh, "test")};
      ColorPlane out_alpha = named_plane(ow, oh, "test");
      const ColorPlane* in[3] = {&colour, &colour, &colour};
      ColorPlane* to[3] = {&out[0], &out[1], &out[2]};
      resize_planes_with_alpha(*run, in, 3, alpha, to, out_alpha);
      const ColorPlane alone = shrink(alpha, ra, rb);  // alpha is coverage, never sRGB
      int partial = 0;
      for (int x = 0; x < ow; ++x) {
        for (int y = 0; y < oh; ++y) {
          const int a = out_alpha.at(x, y);
          ASSERT_EQ(a, alone.at(x, y)) << what << " at " << x << ", " << y;
          partial += a > 0 && a < 255;
          for (const ColorPlane& c : out) {
            ASSERT_EQ(c.at(x, y), a > 0 ? 255 : 0) << what << " at " << x << ", " << y;
          }
        }
      }
      EXPECT_GT(partial, 20) << what << ": the disc's edge should be partly transparent";
    }
  }
}

TEST(ResizeFidelity, ABuiltRunAllocatesNothingPerPlane) {
  QuietStderr quiet;
  const WidePlane wide = photo<std::uint16_t>(45, 38, 3);
  const ColorPlane narrow = photo<unsigned char>(45, 38, 4);
  for (const bool linear : {false, true}) {
    ResizeSettings settings;
    settings.linear = linear;
    ResizeRunPtr run = resize_run_begin(45, 38, 20, 7, 3, settings);
    WidePlane wide_out = named_plane<std::uint16_t>(25, 31, "test");
    ColorPlane narrow_out = named_plane(25, 31, "test");
    const long before = g_news.load();
    resize_plane(*run, wide, wide_out);
    resize_plane(*run, narrow, narrow_out);
    resize_plane(*run, narrow, narrow_out);
    EXPECT_EQ(g_news.load() - before, 0) << "linear " << linear;
  }
}

}  // namespace
}  // namespace korvale
