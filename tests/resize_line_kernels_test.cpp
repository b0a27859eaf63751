// The line transforms' loops on every instruction-set variant held bit for
// bit against straightforward one-point loops (the operations, in their
// order, that the transforms have always done per point): synthesis and
// analysis of one and two lines, on chirp-z plans (the chirp folded into the
// loops) and plain ones, for short lengths and the line lengths of common
// pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chirpz/chirpz.h"
#include "fft/fft.h"
#include "resize/line_kernels.h"
#include "resize/line_transform.h"

namespace korvale {
namespace {

struct Point {
  double re, im;
};

Point at(const double* p, int i) {
  return {p[2 * i], p[2 * i + 1]};
}

// x w: (xr wr - xi wi, xi wr + xr wi)
Point times(Point x, Point w) {
  return {x.re * w.re - x.im * w.im, x.im * w.re + x.re * w.im};
}

void put(double* p, int i, Point x) {
  p[2 * i] = x.re;
  p[2 * i + 1] = x.im;
}

// The synthesis one point at a time.
void reference_synth(const CosineSynthesis& s, const double* da, const double* db, double* work,
                     double* ua, double* ub, const FftTables& tables) {
  const int n = s.count;
  const double* ph = s.phase.get();
  const double* c = s.plan != nullptr ? s.plan->chirp.get() : nullptr;
  const auto chirped = [c](Point t, int k) { return c != nullptr ? times(t, at(c, k)) : t; };
  put(work, 0, chirped({da[0], db != nullptr ? db[0] : 0.0}, 0));
  for (int k = 1; k < n; ++k) {
    const double cs = ph[2 * k], sn = ph[2 * k + 1];
    // g = (cs + i sn)(D[k] - i D[N-k]) per line; t = g_a + i g_b.
    const double re_a = da[k] * cs + da[n - k] * sn, im_a = da[k] * sn - da[n - k] * cs;
    Point t = {re_a, im_a};
    if (db != nullptr) {
      const double re_b = db[k] * cs + db[n - k] * sn, im_b = db[k] * sn - db[n - k] * cs;
      t = {re_a - im_b, im_a + re_b};
    }
    put(work, k, chirped(t, k));
  }
  if (s.plan != nullptr) dft_plan_convolve(*s.plan, work, tables);
  for (int p = 0; 2 * p < n; ++p) {
    const Point x = chirped(at(work, p), p);
    ua[2 * p] = x.re;
    if (ub != nullptr) ub[2 * p] = x.im;
    if (2 * p + 1 < n) {
      const Point y = chirped(at(work, n - 1 - p), n - 1 - p);
      ua[2 * p + 1] = y.re;
      if (ub != nullptr) ub[2 * p + 1] = y.im;
    }
  }
}

// The analysis's transform and unpairing one point at a time.
void reference_dct(const DctLines& d, double* work, double* out_a, double* out_b,
                   const FftTables& tables) {
  const int n = d.n;
  const double* tw = d.twiddle.get();
  const double* c = d.plan != nullptr ? d.plan->chirp.get() : nullptr;
  const bool folded = c != nullptr && 2 * d.keep <= n;
  if (folded) {
    fft_multiply_points(work, c, n);
    dft_plan_convolve(*d.plan, work, tables);
  } else if (d.plan != nullptr) {
    dft_plan_run(*d.plan, work, tables);
  }
  for (int k = 0; k < d.keep; ++k) {
    const int j = k == 0 ? 0 : n - k;
    Point z = at(work, k), y = at(work, j);
    if (folded) {
      z = times(z, at(c, k));
      y = times(y, at(c, j));
    }
    const Point sum = {z.re + y.re, z.im + y.im}, dif = {z.re - y.re, z.im - y.im};
    out_a[k] = sum.re * tw[2 * k] + dif.im * tw[2 * k + 1];
    if (out_b != nullptr) out_b[k] = sum.im * tw[2 * k] - dif.re * tw[2 * k + 1];
  }
}

std::vector<double> random_line(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-300.0, 300.0);
  std::vector<double> v(static_cast<std::size_t>(n));
  for (double& x : v) x = u(rng);
  return v;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

const char* route_name(DftRoute r) {
  switch (r) {
    case DftRoute::fft:
      return "fft";
    case DftRoute::mixed_radix:
      return "mixed_radix";
    case DftRoute::chirp_z:
      return "chirp_z";
    case DftRoute::chirp_z_mixed:
      return "chirp_z_mixed";
  }
  return "?";
}

TEST(LineKernels, EveryVariantGivesTheBitsOfTheOnePointLoops) {
#if defined(__x86_64__) && KORVALE_TEST_EXPECT_AVX2
  if (__builtin_cpu_supports("avx2")) {
    bool found = false;
    for (int i = 0; i < resize_detail::line_kernels_count(); ++i) {
      found |= std::string(resize_detail::line_kernels(i).name) == "avx2" &&
               resize_detail::line_kernels_supported(i);
    }
    EXPECT_TRUE(found) << "the CPU has AVX2 but no avx2 variant runs";
  }
#endif
  std::vector<int> lengths;
  for (int n = 1; n <= 40; ++n) lengths.push_back(n);
  for (const int n : {999, 1079, 1919, 2667, 5999, 1920, 4000}) lengths.push_back(n);
  int cases = 0;
  for (const int n : lengths) {
    std::vector<DftRoute> routes = {DftRoute::fft};  // N = 1: no plan
    if (n > 1) {
      routes = {dft_choose_route(n, n), DftRoute::chirp_z};
      if (dft_fft_length(n, n, DftRoute::chirp_z_mixed) != 0) {
        routes.push_back(DftRoute::chirp_z_mixed);
      }
    }
    for (const DftRoute route : routes) {
      FftTables tables;
      fft_tables_build(&tables, std::max(2, n > 1 ? dft_fft_length(n, n, route) : 2));
      DftPlan forward, inverse;
      if (n > 1) {
        dft_plan_build(&forward, n, n, false, tables, route);
        dft_plan_build(&inverse, n, n, true, tables, route);
      }
      const std::size_t work_doubles =
          n > 1 ? static_cast<std::size_t>(
                      std::max(dft_plan_work_doubles(forward), dft_plan_work_doubles(inverse)))
                : 4;
      const std::vector<double> xa = random_line(n, 2 * n + 1), xb = random_line(n, 2 * n + 2);
      const std::string where =
          "N = " + std::to_string(n) + (n > 1 ? std::string(" on ") + route_name(route) : "");

      // Synthesis: line b or none; with b the lines are written over
      // themselves, as the resizer does.
      CosineSynthesis syn;
      cosine_synthesis_init(&syn, n, &inverse);
      for (const bool pair : {false, true}) {
        std::vector<double> work(work_doubles), want_a(xa.size()), want_b(xb.size());
        reference_synth(syn, xa.data(), pair ? xb.data() : nullptr, work.data(), want_a.data(),
                        pair ? want_b.data() : nullptr, tables);
        for (int v = 0; v < resize_detail::line_kernels_count(); ++v) {
          if (!resize_detail::line_kernels_supported(v)) continue;
          const resize_detail::LineKernels& kernels = resize_detail::line_kernels(v);
          SCOPED_TRACE(where + ", synthesis" + (pair ? " of two lines" : " of one line") + " on " +
                       kernels.name);
          std::vector<double> ua = xa, ub = xb;
          std::fill(work.begin(), work.end(), 0.0);
          if (pair) {
            resize_detail::synth_pair_with(kernels, syn, ua.data(), ub.data(), work.data(),
                                           ua.data(), ub.data(), tables);
          } else {
            ua.assign(xa.size(), 0.0);
            resize_detail::synth_pair_with(kernels, syn, xa.data(), nullptr, work.data(), ua.data(),
                                           nullptr, tables);
          }
          EXPECT_TRUE(same_bits(ua, want_a));
          EXPECT_TRUE(!pair || same_bits(ub, want_b));
          ++cases;
        }
      }

      // Analysis: every kind of kept count (the chirp folded into the
      // unpairing when 2 keep <= N), line b or none.
      std::vector<int> keeps = {1, n / 2, (n + 1) / 2, n - 1, n};
      std::sort(keeps.begin(), keeps.end());
      keeps.erase(std::unique(keeps.begin(), keeps.end()), keeps.end());
      for (const int keep : keeps) {
        if (keep < 1) continue;
        DctLines dct;
        dct_lines_init(&dct, n, keep, &forward);
        std::vector<double> packed(work_doubles);
        dct_pack(
            n, [&](int j) { return xa[j]; }, [&](int j) { return xb[j]; }, packed.data());
        for (const bool pair : {false, true}) {
          std::vector<double> work = packed, want_a(keep), want_b(keep);
          reference_dct(dct, work.data(), want_a.data(), pair ? want_b.data() : nullptr, tables);
          for (int v = 0; v < resize_detail::line_kernels_count(); ++v) {
            if (!resize_detail::line_kernels_supported(v)) continue;
            const resize_detail::LineKernels& kernels = resize_detail::line_kernels(v);
            SCOPED_TRACE(where + ", analysis keeping " + std::to_string(keep) +
                         (pair ? " of two lines" : " of one line") + " on " + kernels.name);
            std::vector<double> out_a(keep), out_b(keep);
            work = packed;
            resize_detail::dct_pair_with(kernels, dct, work.data(), out_a.data(),
                                         pair ? out_b.data() : nullptr, tables);
            EXPECT_TRUE(same_bits(out_a, want_a));
            EXPECT_TRUE(!pair || same_bits(out_b, want_b));
            ++cases;
          }
        }
      }
    }
  }
  EXPECT_GT(cases, 0);
}

}  // namespace
}  // namespace korvale
