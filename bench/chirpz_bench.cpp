// Micro-benchmark of the reusable DFT plan the program uses: one forward run
// with all N outputs, the input copied in first, at the line lengths of
// 1920 x 1080, 2048, 3840 x 2160 and 6000 x 4000, on the route the plan
// chooses (second argument 0: the FFT alone for 2048, the mixed-radix FFT for
// the others) and on the chirp-z route (1), and at 2667 = 3 7 127 (chirp-z).
//
//   build/bench/chirpz_bench
#include <benchmark/benchmark.h>

#include <algorithm>
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
  const korvale::DftRoute route =
      state.range(1) == 0 ? korvale::dft_choose_route(n, n) : korvale::DftRoute::chirp_z;
  korvale::fft_tables_build(&tables, korvale::dft_fft_length(n, n, route));
  korvale::DftPlan plan;
  korvale::dft_plan_build(&plan, n, n, false, tables, route);
  const std::vector<double> line = random_line(2 * n, 3);
  std::vector<double> work(korvale::dft_plan_work_doubles(plan));
  for (auto _ : state) {
    std::copy(line.begin(), line.end(), work.begin());
    korvale::dft_plan_run(plan, work.data(), tables);
    benchmark::DoNotOptimize(work.data());
  }
}

BENCHMARK(BM_dft_plan)
    ->ArgsProduct({{1080, 1920, 2160, 3840, 4000, 6000}, {0, 1}})
    ->Args({2048, 0})
    ->Args({2667, 0})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
