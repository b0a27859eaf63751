// Micro-benchmark of the reusable DFT plan the program uses: one forward run
// with all N outputs, the input copied in first, at the line lengths of
// 1920 x 1080, 2048, and 6000 x 4000 (a power of two runs the FFT alone).
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
  korvale::fft_tables_build(&tables, korvale::dft_fft_length(n, n));
  korvale::DftPlan plan;
  korvale::dft_plan_build(&plan, n, n, false, tables);
  const std::vector<double> line = random_line(2 * n, 3);
  std::vector<double> work(korvale::dft_plan_work_doubles(plan));
  for (auto _ : state) {
    std::copy(line.begin(), line.end(), work.begin());
    korvale::dft_plan_run(plan, work.data(), tables);
    benchmark::DoNotOptimize(work.data());
  }
}

BENCHMARK(BM_dft_plan)
    ->Arg(1080)
    ->Arg(1920)
    ->Arg(2048)
    ->Arg(3840)
    ->Arg(4000)
    ->Arg(6000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
