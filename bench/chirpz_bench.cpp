// Micro-benchmark of the chirp-z transform at the line lengths the whole-run
// benchmark uses (2W and 2H of 256 x 256, 1024 x 768, 1920 x 1080,
// 2048 x 2048 and 4096 x 4096), each as time per line:
//   line:      plan built, one transform, plan released: what every line of a
//              pass costs in the tests' reference pipeline, which builds a
//              plan per line;
//   transform: one transform on a plan built beforehand;
//   dft_plan:  one run of the reusable plan the program uses (forward, all N
//              outputs), at the line lengths of 1920 x 1080 and 6000 x 4000.
// Multiply the line time by the number of lines (2H + 2W forward, 2H' + 2W'
// inverse, three colours) to read it next to a whole run.
//
//   build/bench/chirpz_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "chirpz/chirpz.h"

namespace {

// FFT tables as the plane resizer sizes them.
struct Tables {
  std::vector<int> ip = std::vector<int>(32768, 0);
  std::vector<double> ww = std::vector<double>(32768, 0.0);
};

std::vector<double> random_line(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(0.0, 255.0);
  std::vector<double> v(n);
  for (double& x : v) x = dist(gen);
  return v;
}

void BM_chirpz_line(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Tables t;
  const std::vector<double> re0 = random_line(n, 1), im0 = random_line(n, 2);
  std::vector<double> re(n), im(n);
  for (auto _ : state) {
    re = re0;
    im = im0;
    korvale::ChirpPlan plan;
    if (korvale::chirp_plan_init(&plan, n, n, t.ip.data(), t.ww.data()) != 0) {
      state.SkipWithError("plan refused");
      break;
    }
    korvale::chirp_transform(&plan, 0, re.data(), im.data(), t.ip.data(), t.ww.data());
    korvale::chirp_plan_release(&plan);
    benchmark::DoNotOptimize(re.data());
  }
}

void BM_chirpz_transform(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Tables t;
  korvale::ChirpPlan plan;
  if (korvale::chirp_plan_init(&plan, n, n, t.ip.data(), t.ww.data()) != 0) {
    state.SkipWithError("plan refused");
    return;
  }
  std::vector<double> re = random_line(n, 1), im = random_line(n, 2);
  for (auto _ : state) {
    // Forward then inverse keeps the values where they started.
    korvale::chirp_transform(&plan, 0, re.data(), im.data(), t.ip.data(), t.ww.data());
    korvale::chirp_transform(&plan, 1, re.data(), im.data(), t.ip.data(), t.ww.data());
    benchmark::DoNotOptimize(re.data());
  }
  state.SetItemsProcessed(2 * state.iterations());
  korvale::chirp_plan_release(&plan);
}

void line_lengths(benchmark::internal::Benchmark* b) {
  for (int n : {512, 1536, 2048, 2160, 3840, 4096, 8192}) b->Arg(n);
  b->Unit(benchmark::kMicrosecond);
}

void BM_dft_plan(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  korvale::DftTables tables;
  korvale::dft_tables_build(&tables, korvale::dft_fft_length(n, n));
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

BENCHMARK(BM_chirpz_line)->Apply(line_lengths);
BENCHMARK(BM_dft_plan)
    ->Arg(1080)
    ->Arg(1920)
    ->Arg(2048)
    ->Arg(3840)
    ->Arg(4000)
    ->Arg(6000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_chirpz_transform)->Apply(line_lengths);

}  // namespace

BENCHMARK_MAIN();
