// Micro-benchmark of the power-of-two FFT: fft_forward and fft_backward at
// every size from 8 to 16384 points and, when the build found FFTW, FFTW's
// in-place complex transform of the same sizes (planned once per size with
// FFTW_MEASURE), so both are timed in one run. After the run a table of the
// times and ratios (ours / FFTW) is printed.
//
//   build-release/bench/fft_bench                       # everything
//   build-release/bench/fft_bench --benchmark_filter=fft_forward
//
// Every benchmark transforms the same buffer over and over; since an unscaled
// transform multiplies the L2 norm by sqrt(L), the buffer is multiplied by
// L^-8 (an exact power of two) after every 16 transforms to keep the values
// finite. That costs n multiplications per 16 transforms, for both libraries.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fft/fft.h"

#ifdef KORVALE_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

constexpr int kMinPoints = 8;
constexpr int kMaxPoints = 16384;

// 64-byte aligned array of doubles.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(size_t count)
      : data_(static_cast<double*>(
            std::aligned_alloc(64, ((count * sizeof(double) + 63) / 64) * 64))) {
    if (data_ == nullptr) std::abort();
  }
  ~AlignedBuffer() { std::free(data_); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  double* get() const { return data_; }

 private:
  double* data_;
};

void fill_random(double* a, int n) {
  std::mt19937 gen(12345);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (int i = 0; i < n; ++i) a[i] = dist(gen);
}

// Runs `transform` once per iteration, renormalising every 16 transforms.
template <typename Transform>
void timed_loop(benchmark::State& state, double* a, int points, Transform transform) {
  const int n = 2 * points;
  const double scale = std::ldexp(1.0, -8 * static_cast<int>(std::lround(std::log2(points))));
  int count = 0;
  for (auto _ : state) {
    transform();
    if (++count == 16) {
      count = 0;
      for (int i = 0; i < n; ++i) a[i] *= scale;
    }
    benchmark::ClobberMemory();
  }
  const double flops = 5.0 * points * std::log2(static_cast<double>(points));
  state.counters["GFlop/s"] =
      benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_korvale(benchmark::State& state, bool forward) {
  const int points = static_cast<int>(state.range(0));
  const int n = 2 * points;
  std::vector<int> ip(32768, 0);
  std::vector<double> ww(32768, 0.0);
  AlignedBuffer buf(n);
  double* a = buf.get();
  fill_random(a, n);
  const int nw = korvale::fft_prepare(n, ip.data(), ww.data());
  if (forward) {
    timed_loop(state, a, points, [&] { korvale::fft_forward(n, a, ip.data(), nw, ww.data()); });
  } else {
    timed_loop(state, a, points, [&] { korvale::fft_backward(n, a, ip.data(), nw, ww.data()); });
  }
}

#ifdef KORVALE_HAVE_FFTW
void BM_fftw(benchmark::State& state, bool forward) {
  const int points = static_cast<int>(state.range(0));
  const int n = 2 * points;
  AlignedBuffer buf(n);
  double* a = buf.get();
  fftw_complex* c = reinterpret_cast<fftw_complex*>(a);
  // Planning with FFTW_MEASURE overwrites the buffer; FFTW keeps the wisdom,
  // so only the first call per size and direction actually measures.
  fftw_plan plan =
      fftw_plan_dft_1d(points, c, c, forward ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_MEASURE);
  fill_random(a, n);
  timed_loop(state, a, points, [&] { fftw_execute(plan); });
  fftw_destroy_plan(plan);
}
#endif

// Console reporter that also remembers each benchmark's CPU time in ns (steadier than wall time on
// a busy machine).
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    for (const Run& run : reports) {
      if (run.error_occurred) continue;
      // With repetitions, the median aggregate wins over single runs.
      const bool is_median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !is_median) continue;
      const std::string key = run.run_name.function_name + "/" + run.run_name.args;
      double ns = run.GetAdjustedCPUTime();
      switch (run.time_unit) {
        case benchmark::kSecond:
          ns *= 1e9;
          break;
        case benchmark::kMillisecond:
          ns *= 1e6;
          break;
        case benchmark::kMicrosecond:
          ns *= 1e3;
          break;
        default:
          break;
      }
      if (is_median || medians_.count(key) == 0) times_[key] = ns;
      if (is_median) medians_[key] = true;
    }
    ConsoleReporter::ReportRuns(reports);
  }

  // Prints the comparison table (markdown) for every size that has both.
  void print_table() const {
    bool header = false;
    for (int points = kMinPoints; points <= kMaxPoints; points *= 2) {
      for (const char* dir : {"forward", "backward"}) {
        const std::string ours = std::string("fft_") + dir + "/points:" + std::to_string(points);
        const std::string theirs = std::string("fftw_") + dir + "/points:" + std::to_string(points);
        const auto o = times_.find(ours), t = times_.find(theirs);
        if (o == times_.end() || t == times_.end()) continue;
        if (!header) {
          std::printf("\n| points | direction | korvale ns | FFTW ns | ratio |\n");
          std::printf("|---:|---|---:|---:|---:|\n");
          header = true;
        }
        std::printf("| %d | %s | %.1f | %.1f | %.2f |\n", points, dir, o->second, t->second,
                    o->second / t->second);
      }
    }
    if (!header) std::printf("\n(no FFTW comparison in this run)\n");
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, bool> medians_;
};

void register_all() {
  const auto sizes = [](benchmark::internal::Benchmark* b) {
    b->RangeMultiplier(2)->Range(kMinPoints, kMaxPoints)->ArgName("points");
  };
  sizes(benchmark::RegisterBenchmark("fft_forward", BM_korvale, true));
  sizes(benchmark::RegisterBenchmark("fft_backward", BM_korvale, false));
#ifdef KORVALE_HAVE_FFTW
  sizes(benchmark::RegisterBenchmark("fftw_forward", BM_fftw, true));
  sizes(benchmark::RegisterBenchmark("fftw_backward", BM_fftw, false));
#endif
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_table();
  benchmark::Shutdown();
#ifdef KORVALE_HAVE_FFTW
  fftw_cleanup();
#endif
  return 0;
}
