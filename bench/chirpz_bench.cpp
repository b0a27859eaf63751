// Micro-benchmark of the reusable DFT plan the program uses: one forward run
// with all N outputs, the input copied in first, on the route the plan
// chooses (second argument 0), on the chirp-z routes over the split-radix
// FFT (1) and over the mixed-radix FFT (2), and for powers of two on the
// split-radix FFT (3) against the mixed-radix passes (4):
//   the smooth line lengths of the common picture sizes and their halves and
//   two thirds (the mixed-radix FFT), powers of two 16 .. 16384;
//   lengths with a prime factor from 7 to 31 (the mixed-radix FFT's odd
//   radices) against the chirp-z over the mixed-radix FFT: 2016 and 4032 (7),
//   3168 (11), 4160 (13), 4080 (17), 5472 (19), 3680 (23), 5568 (29), 1984
//   and 961 (31);
//   lengths with a larger prime factor against both chirp-z routes: 2667 =
//   3 7 127, 1919 = 19 101 and 999 = 27 37 (the mixed-radix FFT with a
//   Rader pass, also forced, 4), 5999 = 7 857, 1079 = 13 83, 1999 and 1997
//   (a chirp-z only).
//
//   build/bench/chirpz_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "chirpz/chirpz.h"

namespace {

std::vector<double> random_line(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(0.0, 255.0);
  std::vector<double> v(n);
  for (double& x : v) x = dist(gen);
  return v;
}

void BM_dft_plan(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  korvale::FftTables tables;
  const korvale::DftRoute routes[] = {korvale::dft_choose_route(n, n), korvale::DftRoute::chirp_z,
                                      korvale::DftRoute::chirp_z_mixed, korvale::DftRoute::fft,
                                      korvale::DftRoute::mixed_radix};
  const korvale::DftRoute route = routes[state.range(1)];
  korvale::fft_tables_build(&tables, korvale::dft_fft_length(n, n, route));
  korvale::DftPlan plan;
  korvale::dft_plan_build(&plan, n, n, false, tables, route);
  const std::vector<double> line = random_line(2 * n, 3);
  // The work area starts half a page away from the line (modulo 4096 bytes):
  // a copy between addresses a multiple of 4096 bytes apart runs several
  // times slower on some processors, and would be timed instead of the plan.
  std::vector<double> area(korvale::dft_plan_work_doubles(plan) + 512);
  const std::uintptr_t gap =
      reinterpret_cast<std::uintptr_t>(area.data()) - reinterpret_cast<std::uintptr_t>(line.data());
  double* work = area.data() + ((2048 - gap % 4096 + 4096) % 4096) / sizeof(double);
  for (auto _ : state) {
    std::copy(line.begin(), line.end(), work);
    korvale::dft_plan_run(plan, work, tables);
    benchmark::DoNotOptimize(work);
  }
}

BENCHMARK(BM_dft_plan)
    ->ArgsProduct({{540, 720, 960, 1080, 1280, 1920, 2000, 2160, 3000, 3840, 4000, 6000}, {0, 1}})
    ->ArgsProduct({{16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384}, {3, 4}})
    ->ArgsProduct({{2016, 4032, 3168, 4160, 4080, 5472, 3680, 5568, 1984, 961}, {0, 2}})
    ->ArgsProduct({{999, 1079, 1919, 1997, 1999, 2667, 5999}, {0, 1, 2}})
    ->ArgsProduct({{999, 1919, 2667}, {4}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
