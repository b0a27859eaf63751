// Micro-benchmark of the line transforms, one call on one pair of lines
// (or one line) at a time, on the plans the resizer builds:
//
//   build/bench/line_bench
//
// synth: the DCT-III of N points; dct: the DCT-II of N points keeping K.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "chirpz/chirpz.h"
#include "fft/fft.h"
#include "resize/line_transform.h"

namespace {

using namespace korvale;

struct Setup {
  FftTables tables;
  DftPlan plan;
  std::vector<double> work, a, b;
  Setup(int n, bool inverse) {
    fft_tables_build(&tables, std::max(2, dft_fft_length(n, n)));
    dft_plan_build(&plan, n, n, inverse, tables);
    work.assign(static_cast<std::size_t>(dft_plan_work_doubles(plan)), 0.0);
    std::mt19937 rng(static_cast<unsigned>(n));
    std::uniform_real_distribution<double> u(-100.0, 100.0);
    for (int j = 0; j < n; ++j) {
      a.push_back(u(rng));
      b.push_back(u(rng));
    }
  }
};

void BM_synth(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const bool pair = state.range(1) != 0;
  Setup s(n, true);
  CosineSynthesis syn;
  cosine_synthesis_init(&syn, n, &s.plan);
  std::vector<double> ua(n), ub(n);
  for (auto _ : state) {
    synth_pair(syn, s.a.data(), pair ? s.b.data() : nullptr, s.work.data(), ua.data(),
               pair ? ub.data() : nullptr, s.tables);
    benchmark::DoNotOptimize(ua.data());
    benchmark::DoNotOptimize(ub.data());
  }
}

void BM_dct(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), keep = static_cast<int>(state.range(1));
  Setup s(n, false);
  DctLines dct;
  dct_lines_init(&dct, n, keep, &s.plan);
  std::vector<double> out_a(keep), out_b(keep);
  for (auto _ : state) {
    dct_pack(
        n, [&](int j) { return s.a[j]; }, [&](int j) { return s.b[j]; }, s.work.data());
    dct_pair(dct, s.work.data(), out_a.data(), out_b.data(), s.tables);
    benchmark::DoNotOptimize(out_a.data());
    benchmark::DoNotOptimize(out_b.data());
  }
}

BENCHMARK(BM_synth)
    ->ArgsProduct({{999, 1079, 1512, 1919, 1920, 2016, 2667, 4000, 5999}, {1}})
    ->Args({1919, 0})
    ->ArgNames({"N", "pair"});
BENCHMARK(BM_dct)
    ->Args({1080, 1079})
    ->Args({1920, 1919})
    ->Args({4000, 3999})
    ->Args({6000, 5999})
    ->Args({1079, 500})
    ->Args({5999, 2000})
    ->Args({2667, 1333})
    ->Args({3024, 1512})
    ->Args({4032, 2016})
    ->ArgNames({"N", "K"});

}  // namespace

BENCHMARK_MAIN();
