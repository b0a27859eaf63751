// The fast plane pipeline held against the straightforward one (full 2-D DFT
// of the mirrored plane, kept as test support): values within 1e-9 for every
// small size and reduction, random and large sizes, long lines; the same bytes
// on any number of threads and when a plane is shrunk in its own memory;
// nothing allocated once a run is built; the names of its buffers when they
// cannot be had.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/color_plane.h"
#include "common/named_alloc.h"
#include "resize/resize.h"
#include "tests/child_process.h"
#include "tests/reference/reference.h"
#include "tests/resize_test_util.h"

namespace korvale {
namespace {

using test::QuietStderr;

ColorPlane random_plane(int w, int h, unsigned seed) {
  ColorPlane p = named_plane(w, h, "test");
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < static_cast<std::size_t>(w) * h; ++i) {
    p.px[i] = static_cast<unsigned char>(rng() % 256);
  }
  return p;
}

std::vector<double> fast_values(const ColorPlane& src, int a, int b, int threads) {
  std::vector<double> v(static_cast<std::size_t>(src.w - a) * (src.h - b));
  ResizeRunPtr run = resize_run_begin(src.w, src.h, a, b, threads);
  resize_plane_values(*run, src, v.data());
  return v;
}

std::vector<double> reference_values(const ColorPlane& src, int a, int b) {
  std::vector<double> v(static_cast<std::size_t>(src.w - a) * (src.h - b));
  reference::resize_plane_values(a, b, src, v.data());
  return v;
}

// Largest difference between the two pipelines over a set of cases, and
// where it occurred.
struct Worst {
  double diff = 0;
  std::string where;
  void compare(const ColorPlane& src, int a, int b, int threads) {
    const std::vector<double> got = fast_values(src, a, b, threads);
    const std::vector<double> want = reference_values(src, a, b);
    for (std::size_t k = 0; k < got.size(); ++k) {
      const double d = std::fabs(got[k] - want[k]);
      if (!(d <= diff)) {  // also records a NaN
        diff = std::isnan(d) ? INFINITY : d;
        where = std::to_string(src.w) + " x " + std::to_string(src.h) + " by " + std::to_string(a) +
                " x " + std::to_string(b) + ", value " + std::to_string(k) + " (" +
                std::to_string(got[k]) + " for " + std::to_string(want[k]) + ")";
      }
    }
  }
};

TEST(FastResize, MatchesTheFullDftForEverySmallSizeAndReduction) {
  QuietStderr quiet;
  Worst worst;
  unsigned seed = 1;
  for (int w = 1; w <= 12; ++w) {
    for (int h = 1; h <= 12; ++h) {
      const ColorPlane src = random_plane(w, h, ++seed);
      for (int a = 0; a < w; ++a) {
        for (int b = 0; b < h; ++b) worst.compare(src, a, b, 1 + (a + b) % 3);
      }
    }
  }
  EXPECT_LT(worst.diff, 1e-9) << "worst at " << worst.where;
}

TEST(FastResize, MatchesTheFullDftOnRandomAndSpecialSizes) {
  QuietStderr quiet;
  // {W, H, a, b}: primes, powers of two, W' = 1, H' = 1, no reduction, sizes
  // whose chirp-z and FFT lengths differ from pass to pass, lengths of 2, 3,
  // 5 and 7 alone on every pass (the mixed-radix FFT's; 441 = 3^2 7^2 to
  // 294 = 2 3 7^2, 392 = 2^3 7^2 to 196 = 2^2 7^2), and Rader passes of 127
  // on every pass (381 = 3 127 to 254 = 2 127, 254 to 127).
  std::vector<std::array<int, 4>> cases = {
      {512, 256, 256, 128}, {509, 283, 200, 100}, {691, 7, 690, 3},   {13, 677, 6, 676},
      {256, 97, 0, 0},      {600, 331, 1, 1},     {127, 128, 63, 64}, {700, 2, 350, 1},
      {64, 64, 32, 0},      {1, 500, 0, 499},     {500, 1, 250, 0},   {360, 250, 120, 25},
      {441, 392, 147, 196}, {381, 254, 127, 127}};
  std::mt19937 rng(99);
  for (int i = 0; i < 8; ++i) {
    const int w = 1 + static_cast<int>(rng() % 700), h = 1 + static_cast<int>(rng() % 700);
    cases.push_back({w, h, static_cast<int>(rng() % w), static_cast<int>(rng() % h)});
  }
  Worst worst;
  unsigned seed = 100;
  for (const auto& c : cases) worst.compare(random_plane(c[0], c[1], ++seed), c[2], c[3], 2);
  EXPECT_LT(worst.diff, 1e-9) << "worst at " << worst.where;
}

TEST(FastResize, MatchesTheFullDftOnFullHdHalvedAndOnLongLines) {
  QuietStderr quiet;
  Worst worst;
  worst.compare(random_plane(1920, 1080, 7), 960, 540, 2);
  // Lines longer than 8192 points: rows of 32770, 43698 and 65536 mirrored
  // points; the fast pipeline runs transforms of up to 131072 points here.
  worst.compare(random_plane(16385, 3, 8), 0, 0, 2);
  worst.compare(random_plane(3, 16385, 9), 1, 5000, 2);
  worst.compare(random_plane(21849, 2, 10), 1, 1, 2);
  worst.compare(random_plane(32768, 2, 11), 1, 0, 2);  // the widest picture
  EXPECT_LT(worst.diff, 1e-9) << "worst at " << worst.where;
}

TEST(FastResize, AnyThreadCountGivesTheSameBytesAndValues) {
  QuietStderr quiet;
  // Chirp-z lines, no reduction, linear light, mixed-radix lines only, and
  // one axis alone (the grid by rows, then by columns; odd line counts).
  const int cases[][4] = {{203, 157, 61, 40}, {97, 301, 0, 0},   {33, 35, 32, 1},
                          {180, 150, 60, 30}, {203, 157, 61, 0}, {157, 203, 0, 61}};
  unsigned seed = 300;
  for (const auto& c : cases) {
    const ColorPlane src = random_plane(c[0], c[1], ++seed);
    std::vector<unsigned char> first;
    std::vector<double> first_values;
    for (int threads : {1, 2, 3, 7}) {
      ResizeSettings settings;
      settings.linear = c[0] == 33;  // the last case in linear light
      ResizeRunPtr run = resize_run_begin(c[0], c[1], c[2], c[3], threads, settings);
      ColorPlane dst = named_plane(c[0] - c[2], c[1] - c[3], "test");
      resize_plane(*run, src, dst);
      std::vector<double> values(static_cast<std::size_t>(dst.w) * dst.h);
      resize_plane_values(*run, src, values.data());
      const std::vector<unsigned char> bytes(dst.px.get(), dst.px.get() + values.size());
      if (threads == 1) {
        first = bytes;
        first_values = values;
        continue;
      }
      EXPECT_EQ(bytes, first) << c[0] << " x " << c[1] << " on " << threads << " threads";
      EXPECT_EQ(std::memcmp(values.data(), first_values.data(), values.size() * sizeof(double)), 0)
          << c[0] << " x " << c[1] << " on " << threads << " threads";
    }
  }
}

// What a RowsFinal observer sees: how often each row was reported, the
// rows' samples at the moment they were reported, and any thread index out
// of range.
struct RowsSeen {
  const ColorPlane* dst = nullptr;
  int threads = 0;
  std::mutex mutex;
  std::vector<int> times;  // per output row
  std::vector<std::pair<int, std::vector<unsigned char>>> snapshots;
  bool bad_thread = false;
};

void see_rows(void* context, int thread, int y0, int count) {
  RowsSeen& seen = *static_cast<RowsSeen*>(context);
  const ColorPlane& d = *seen.dst;
  std::vector<unsigned char> rows;
  for (int y = y0; y < y0 + count; ++y) {
    for (int x = 0; x < d.w; ++x) rows.push_back(d.px[static_cast<std::size_t>(x) * d.h + y]);
  }
  std::lock_guard<std::mutex> lock(seen.mutex);
  if (thread < 0 || thread >= seen.threads) seen.bad_thread = true;
  for (int y = y0; y < y0 + count; ++y) ++seen.times[static_cast<std::size_t>(y)];
  seen.snapshots.emplace_back(y0, std::move(rows));
}

TEST(FastResize, FinalRowsAreReportedOnceAndHoldTheirSamplesWhenReported) {
  QuietStderr quiet;
  // Both axes (chirp-z lines), only x, only y, neither.
  const int cases[][4] = {{203, 157, 61, 40}, {203, 157, 61, 0}, {157, 203, 0, 61}, {40, 30, 0, 0}};
  unsigned seed = 400;
  for (const auto& c : cases) {
    const ColorPlane src = random_plane(c[0], c[1], ++seed);
    const int out_w = c[0] - c[2], out_h = c[1] - c[3];
    for (int threads : {1, 3}) {
      SCOPED_TRACE(std::to_string(c[0]) + " x " + std::to_string(c[1]) + " by " +
                   std::to_string(c[2]) + " x " + std::to_string(c[3]) + " on " +
                   std::to_string(threads));
      ResizeRunPtr run = resize_run_begin(c[0], c[1], c[2], c[3], threads);
      ColorPlane want = named_plane(out_w, out_h, "test"), got = named_plane(out_w, out_h, "test");
      resize_plane(*run, src, want);
      RowsSeen seen;
      seen.dst = &got;
      seen.threads = resize_run_threads(*run);
      seen.times.assign(static_cast<std::size_t>(out_h), 0);
      resize_plane(*run, src, got, RowsFinal{see_rows, &seen});
      EXPECT_EQ(std::memcmp(got.px.get(), want.px.get(), std::size_t(out_w) * out_h), 0);
      EXPECT_FALSE(seen.bad_thread);
      // Rows are reported when the last step writes whole rows (x shrinks).
      const int expected = c[2] > 0 ? 1 : 0;
      for (int y = 0; y < out_h; ++y) ASSERT_EQ(seen.times[y], expected) << "row " << y;
      const auto check_snapshots = [&](const char* how) {
        for (const auto& [y0, rows] : seen.snapshots) {
          for (std::size_t i = 0; i < rows.size(); ++i) {
            const int y = y0 + static_cast<int>(i) / out_w, x = static_cast<int>(i) % out_w;
            ASSERT_EQ(rows[i], want.px[static_cast<std::size_t>(x) * out_h + y])
                << how << ": row " << y << " column " << x << " changed after it was reported";
          }
        }
      };
      check_snapshots("into a destination");

      // In the plane's own memory, where the run allows it (not when only the
      // height shrinks): the same samples, and rows reported alike while the
      // source's later rows are still being read.
      ASSERT_EQ(resize_in_place_possible(*run), c[2] > 0 || c[3] == 0);
      if (!resize_in_place_possible(*run)) continue;
      ColorPlane own = named_plane(c[0], c[1], "test");
      std::memcpy(own.px.get(), src.px.get(), std::size_t(c[0]) * c[1]);
      own.w = out_w;  // as the observer reads it
      own.h = out_h;
      seen.dst = &own;
      seen.times.assign(static_cast<std::size_t>(out_h), 0);
      seen.snapshots.clear();
      const RowsFinal rows{see_rows, &seen};
      resize_plane_in_place(*run, own.px.get(), &rows);
      EXPECT_EQ(std::memcmp(own.px.get(), want.px.get(), std::size_t(out_w) * out_h), 0);
      for (int y = 0; y < out_h; ++y) ASSERT_EQ(seen.times[y], expected) << "row " << y;
      check_snapshots("in place");
    }
  }
}

TEST(FastResize, OneRunServesEveryPlaneAndAllocatesNothingPerPlane) {
  const auto run = test::run_in_child([] {
    const ColorPlane red = random_plane(45, 38, 1), green = random_plane(45, 38, 2);
    ResizeRunPtr r = resize_run_begin(45, 38, 20, 7, 3);
    ColorPlane out_red = named_plane(25, 31, "test"), out_green = named_plane(25, 31, "test");
    fail_named_allocation(nullptr, 1);  // any allocation from here on fails
    resize_plane(*r, red, out_red);
    resize_plane(*r, green, out_green);
    clear_named_allocation_failure();
    // The planes of a shared run are those of runs of their own.
    ColorPlane alone = named_plane(25, 31, "test");
    resize_plane(*resize_run_begin(45, 38, 20, 7, 1), green, alone);
    if (std::memcmp(alone.px.get(), out_green.px.get(), 25 * 31) != 0) std::printf("differ\n");
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  const std::string lines =
      "Start Horizontal DFT\nEnd Horizontal DFT\nStart Vertical DFT\nEnd Vertical DFT\n"
      "Start High frequency component removing \nEnd High Frequency component removing\n"
      "Start horizontal IDFT\nEnd horizontal IDFT\nStart vertical IDFT\nEnd vertical IDFT\n";
  EXPECT_EQ(run.err, lines + lines + lines);
}

TEST(FastResizeFailure, ThreadsTheSystemRefusesLeaveTheRunOnFewerThreads) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address-space limit below would starve the sanitizer";
#else
  const ColorPlane src = random_plane(40, 30, 5);
  ColorPlane want = named_plane(30, 25, "test");
  {
    QuietStderr quiet;
    resize_plane(*resize_run_begin(40, 30, 10, 5, 1), src, want);
  }
  const auto run = test::run_in_child([&] {
    // Room for the run's small buffers but not for the stack of a thread.
    long pages = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
      std::fclose(f);
    }
    const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (4 << 20);
    const rlimit lim{limit, limit};
    if (pages == 0 || setrlimit(RLIMIT_AS, &lim) != 0) std::_Exit(3);
    ColorPlane got = named_plane(30, 25, "test");
    resize_plane(*resize_run_begin(40, 30, 10, 5, 4), src, got);
    std::printf(std::memcmp(got.px.get(), want.px.get(), 30 * 25) == 0 ? "same\n" : "differ\n");
  });
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "same\n");
#endif
}

TEST(FastResizeFailure, EveryBufferOfARunReportsItsName) {
  // 45 x 94 by 20 x 47 plans two chirp-z lines (94 = 2 x 47 and 47 points)
  // and two mixed-radix ones (45 and 25), two of each kind of line table, and
  // on two threads two of each scratch buffer; the tables and the grid are
  // allocated once.
  for (const char* name : {"ww", "ip", "czchirp", "czfilter", "mrtw", "dcttw", "syntw", "HDCT",
                           "DFTWORK", "SYNTH", "HROWS", "ALPHAROWS", "STAGE"}) {
    for (int occurrence : {1, 2}) {
      const auto run = test::run_in_child([=] {
        fail_named_allocation(name, occurrence);
        ResizeRunPtr r = resize_run_begin(45, 94, 20, 47, 2);
        std::printf("built\n");
      });
      const std::string n = name;
      const bool twice = n != "ww" && n != "ip" && n != "HDCT";
      const std::string want =
          occurrence == 1 || twice ? std::string(name) + " no memory!!\n" : std::string("built\n");
      EXPECT_EQ(run.status, want == "built\n" ? 0 : 1) << name << ":" << occurrence;
      EXPECT_EQ(run.out, want) << name << ":" << occurrence;
      EXPECT_EQ(run.err, "") << name;
    }
  }
}

TEST(FastResize, ThreadCountText) {
  int threads = 0;
  EXPECT_EQ(thread_count_from(nullptr, &threads), "");
  EXPECT_GE(threads, 1);
  const std::pair<const char*, int> good[] = {{"1", 1}, {"7", 7}, {"064", 64}, {"99999999999", 64}};
  for (const auto& [text, want] : good) {
    EXPECT_EQ(thread_count_from(text, &threads), "") << text;
    EXPECT_EQ(threads, want) << text;
  }
  for (const char* bad : {"", "0", "-2", "abc", "3x", " 4", "2.5", "+3"}) {
    threads = 5;
    const std::string error = thread_count_from(bad, &threads);
    EXPECT_EQ(error, std::string("KORVALE_THREADS=") + bad +
                         ": the thread count must be a positive integer");
    EXPECT_EQ(threads, 5) << bad;
  }
}

}  // namespace
}  // namespace korvale
