// Micro-benchmark of the plane pipeline alone (no file reading or writing):
// one colour plane shrunk on a run built beforehand, as the program does for
// its three planes, on one thread and on two.
//
//   build/bench/plane_bench
//
// The progress lines each plane prints go to /dev/null while it runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "common/color_plane.h"
#include "resize/resize.h"

namespace {

void BM_plane(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const int a = static_cast<int>(state.range(2)), b = static_cast<int>(state.range(3));
  const int threads = static_cast<int>(state.range(4));
  korvale::ColorPlane src = korvale::named_plane(w, h, "bench");
  std::mt19937 rng(1);
  for (std::size_t i = 0; i < static_cast<std::size_t>(w) * h; ++i) {
    src.px[i] = static_cast<unsigned char>(rng());
  }
  korvale::ColorPlane dst = korvale::named_plane(w - a, h - b, "bench");
  korvale::ResizeRunPtr run = korvale::resize_run_begin(w, h, a, b, threads);
  for (auto _ : state) {
    korvale::resize_plane(*run, src, dst);
    benchmark::DoNotOptimize(dst.px.get());
  }
}

// {W, H, A, B, threads}
void cases(benchmark::internal::Benchmark* b) {
  for (int threads : {1, 2}) {
    b->Args({1920, 1080, 960, 540, threads});
    b->Args({1920, 1080, 0, 0, threads});
    b->Args({1920, 1080, 1, 1, threads});       // prime-ish output lengths
    b->Args({1999, 1997, 1000, 998, threads});  // prime input lengths
    b->Args({4096, 4096, 2048, 2048, threads});
    b->Args({6000, 4000, 2000, 1333, threads});
    b->Args({6000, 4000, 1, 0, threads});    // only x shrinks: the grid by rows
    b->Args({1920, 1080, 0, 540, threads});  // only y shrinks
  }
  b->ArgNames({"W", "H", "A", "B", "threads"});
  b->Unit(benchmark::kMillisecond);
  b->UseRealTime();
}

BENCHMARK(BM_plane)->Apply(cases);

}  // namespace

int main(int argc, char** argv) {
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDERR_FILENO);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
