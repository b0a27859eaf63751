#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "chirpz/chirpz.h"
#include "common/named_alloc.h"
#include "resize/line_transform.h"
#include "resize/resize.h"
#include "common/worker_pool.h"

namespace korvale {

// Lines per block: the unit of the blocked transposes and of the threads'
// chunks. Even, so a pair never straddles two chunks; 16 doubles are two
// whole cache lines of every output line a block writes.
constexpr int kBlock = 16;

// Rows gathered at once from the column-major source plane: 64 bytes of each
// column, so every cache line of the plane is read once.
constexpr int kGather = 64;

constexpr double kPi = 3.141592653589793;

struct ResizeRun {
  int w = 0, h = 0;    // source size
  int a = 0, b = 0;    // reductions
  int nw = 0, nh = 0;  // W', H'
  int kx = 0, ky = 0;  // coefficients kept along x and y

  DftTables tables;
  DftPlan plans[4];  // forward W and H; inverse 2W' (W when a = 0), 2H' (H when b = 0)
  DctLines dct_x, dct_y;
  SynthLines syn_x, syn_y;
  Buffer<double> fold;  // kx weights along x, then ky along y

  // Grids, column-major in the sense that each line the next pass reads is
  // contiguous: hdct[k*H + y] (Kx x H), vdct[l*Kx + k] (Ky x Kx); the
  // horizontal synthesis reuses hdct as hsyn[n*Ky + l] (W' x Ky).
  Buffer<double> hdct, vdct;

  // Per-thread areas: a DFT work area, the byte rows of one gather, and the
  // results of one block before they are written out transposed.
  int work_doubles = 0;
  int stage_line = 0;  // doubles per staged line: max(Kx, Ky, W')
  Buffer<double> work;
  Buffer<unsigned char> rows;
  Buffer<double> stage;

  WorkerPool pool;
};

void ResizeRunDeleter::operator()(ResizeRun* run) const {
  delete run;
}

namespace {

void progress(const char* line) {
  std::fputs(line, stderr);
}

[[noreturn]] void bad_call(const char* what, int w, int h, int a, int b) {
  std::fprintf(stderr, "resize: %s (%d x %d by %d x %d)\n", what, w, h, a, b);
  std::abort();
}

// Lines [*first, *last) of thread t: the blocks are split into `threads`
// contiguous chunks of whole blocks.
void chunk(int lines, int threads, int t, int* first, int* last) {
  const long long blocks = (lines + kBlock - 1) / kBlock;
  const long long b0 = blocks * t / threads, b1 = blocks * (t + 1) / threads;
  *first = static_cast<int>(std::min<long long>(b0 * kBlock, lines));
  *last = static_cast<int>(std::min<long long>(b1 * kBlock, lines));
}

// Writes a block of `count` staged lines of `len` values each (line i at
// stage[i*len]) transposed: value j of line i goes to out[j*stride + i], so
// each output position receives `count` contiguous values.
void transpose_out(const double* stage, int count, int len, double* out, std::size_t stride) {
  if (count == kBlock) {
    for (int j = 0; j < len; ++j) {
      double* o = out + j * stride;
      for (int i = 0; i < kBlock; ++i) o[i] = stage[static_cast<std::size_t>(i) * len + j];
    }
    return;
  }
  for (int j = 0; j < len; ++j) {
    double* o = out + j * stride;
    for (int i = 0; i < count; ++i) o[i] = stage[static_cast<std::size_t>(i) * len + j];
  }
}

// Copies rows g0 .. g0+count-1 of the column-major w x h plane px into rows
// (row i at rows[i*stride]). stride is an odd number of cache lines, so the
// rows of one gather never compete for the same cache sets.
void gather_rows(const unsigned char* px, int w, int h, int g0, int count, unsigned char* rows,
                 std::size_t stride) {
  for (int x = 0; x < w; ++x) {
    const unsigned char* column = px + static_cast<std::size_t>(x) * h + g0;
    unsigned char* to = rows + x;
    for (int i = 0; i < count; ++i) to[i * stride] = column[i];
  }
}

// Bytes between gathered rows: w rounded up to an odd number of 64-byte lines.
std::size_t gather_stride(int w) {
  std::size_t lines = (static_cast<std::size_t>(w) + 63) / 64;
  if (lines % 2 == 0) ++lines;
  return lines * 64;
}

// Runs body(thread, first, last) on every thread's chunk of `lines` lines.
void for_chunks(ResizeRun& r, int lines, const std::function<void(int, int, int)>& body) {
  const int threads = r.pool.threads;
  pool_run(r.pool, [&](int t) {
    int first, last;
    chunk(lines, threads, t, &first, &last);
    if (first < last) body(t, first, last);
  });
}

// Returns the plan among plans[0 .. count) with these parameters, building
// it in plans[count] (and counting it) when there is none yet.
const DftPlan* plan_for(ResizeRun& r, int* count, int n, int m, bool inverse) {
  if (n < 2) return nullptr;
  for (int i = 0; i < *count; ++i) {
    const DftPlan& p = r.plans[i];
    if (p.length == n && p.out_count == m && p.inverse == inverse) return &p;
  }
  DftPlan* p = &r.plans[(*count)++];
  dft_plan_build(p, n, m, inverse, r.tables);
  return p;
}

// The five steps of one plane; `bytes` or `values` receives the result.
void run_passes(ResizeRun& r, const ColorPlane& src, unsigned char* bytes, double* values) {
  if (src.w != r.w || src.h != r.h) bad_call("plane of another size", src.w, src.h, r.a, r.b);
  const int w = r.w, h = r.h, nw = r.nw, nh = r.nh, kx = r.kx, ky = r.ky;
  const unsigned char* px = src.px.get();
  double* hdct = r.hdct.get();
  double* vdct = r.vdct.get();
  double* hsyn = hdct;

  // Rows: gather rows from the column-major plane, transform them in pairs
  // into the stage, and write each block's C[k] of row y to hdct[k*H + y].
  progress("Start Horizontal DFT\n");
  for_chunks(r, h, [&](int t, int first, int last) {
    double* work = r.work.get() + static_cast<std::size_t>(t) * r.work_doubles;
    double* stage = r.stage.get() + static_cast<std::size_t>(t) * kBlock * r.stage_line;
    const std::size_t rs = gather_stride(w);
    unsigned char* rows = r.rows.get() + static_cast<std::size_t>(t) * kGather * rs;
    for (int g0 = first; g0 < last; g0 += kGather) {
      const int gathered = std::min(kGather, last - g0);
      gather_rows(px, w, h, g0, gathered, rows, rs);
      for (int b0 = 0; b0 < gathered; b0 += kBlock) {
        const int count = std::min(kBlock, gathered - b0);
        for (int i = 0; i < count; i += 2) {
          const unsigned char* xa = rows + static_cast<std::size_t>(b0 + i) * rs;
          const bool pair = i + 1 < count;
          double* out = stage + static_cast<std::size_t>(i) * kx;
          dct_pack(r.dct_x, xa, pair ? xa + rs : nullptr, work);
          dct_pair(r.dct_x, work, out, pair ? out + kx : nullptr, 1, r.tables);
        }
        transpose_out(stage, count, kx, hdct + g0 + b0, h);
      }
    }
  });
  progress("End Horizontal DFT\n");

  // Columns of hdct, in pairs; C[l] of column k goes to vdct[l*Kx + k].
  progress("Start Vertical DFT\n");
  for_chunks(r, kx, [&](int t, int first, int last) {
    double* work = r.work.get() + static_cast<std::size_t>(t) * r.work_doubles;
    double* stage = r.stage.get() + static_cast<std::size_t>(t) * kBlock * r.stage_line;
    for (int k0 = first; k0 < last; k0 += kBlock) {
      const int count = std::min(kBlock, last - k0);
      for (int i = 0; i < count; i += 2) {
        const double* xa = hdct + static_cast<std::size_t>(k0 + i) * h;
        const bool pair = i + 1 < count;
        double* out = stage + static_cast<std::size_t>(i) * ky;
        dct_pack(r.dct_y, xa, pair ? xa + h : nullptr, work);
        dct_pair(r.dct_y, work, out, pair ? out + ky : nullptr, 1, r.tables);
      }
      transpose_out(stage, count, ky, vdct + k0, kx);
    }
  });
  progress("End Vertical DFT\n");

  // Scale by 1/(W H) and weight the folded Nyquist column and row.
  progress("Start High frequency component removing \n");
  const double* fx = r.fold.get();
  const double* fy = fx + kx;
  for_chunks(r, ky, [&](int, int first, int last) {
    for (int l = first; l < last; ++l) {
      double* line = vdct + static_cast<std::size_t>(l) * kx;
      for (int k = 0; k < kx; ++k) line[k] *= fx[k] * fy[l];
    }
  });
  progress("End High Frequency component removing\n");

  // Synthesis along x of each row l of vdct, in pairs; sample n of row l
  // goes to hsyn[n*Ky + l].
  progress("Start horizontal IDFT\n");
  for_chunks(r, ky, [&](int t, int first, int last) {
    double* work = r.work.get() + static_cast<std::size_t>(t) * r.work_doubles;
    double* lines = work + (r.work_doubles - 2 * std::max(nw, nh));
    double* stage = r.stage.get() + static_cast<std::size_t>(t) * kBlock * r.stage_line;
    for (int l0 = first; l0 < last; l0 += kBlock) {
      const int count = std::min(kBlock, last - l0);
      for (int i = 0; i < count; i += 2) {
        const double* da = vdct + static_cast<std::size_t>(l0 + i) * kx;
        const bool pair = i + 1 < count;
        synth_pair(r.syn_x, da, pair ? da + kx : nullptr, work, lines, r.tables);
        double* out = stage + static_cast<std::size_t>(i) * nw;
        for (int n = 0; n < nw; ++n) out[n] = lines[2 * n];
        if (pair) {
          for (int n = 0; n < nw; ++n) out[nw + n] = lines[2 * n + 1];
        }
      }
      transpose_out(stage, count, nw, hsyn + l0, ky);
    }
  });
  progress("End horizontal IDFT\n");

  // Synthesis along y of each column n of hsyn, in pairs, straight into the
  // destination's columns.
  progress("Start vertical IDFT\n");
  for_chunks(r, nw, [&](int t, int first, int last) {
    double* work = r.work.get() + static_cast<std::size_t>(t) * r.work_doubles;
    double* lines = work + (r.work_doubles - 2 * std::max(nw, nh));
    for (int n = first; n < last; n += 2) {
      const double* da = hsyn + static_cast<std::size_t>(n) * ky;
      const int count = n + 1 < last ? 2 : 1;
      synth_pair(r.syn_y, da, count == 2 ? da + ky : nullptr, work, lines, r.tables);
      for (int j = 0; j < count; ++j) {
        const std::size_t base = static_cast<std::size_t>(n + j) * nh;
        if (bytes != nullptr) {
          for (int m = 0; m < nh; ++m) bytes[base + m] = pixel_byte(lines[2 * m + j]);
        } else {
          for (int m = 0; m < nh; ++m) values[base + m] = lines[2 * m + j];
        }
      }
    }
  });
  progress("End vertical IDFT\n");
}

}  // namespace

ResizeRunPtr resize_run_begin(int w, int h, int a, int b, int threads) {
  if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || a < 0 || a >= w || b < 0 ||
      b >= h) {
    bad_call("cannot shrink", w, h, a, b);
  }
  ResizeRunPtr run(new ResizeRun);
  ResizeRun& r = *run;
  r.w = w;
  r.h = h;
  r.a = a;
  r.b = b;
  r.nw = w - a;
  r.nh = h - b;
  r.kx = std::min(r.nw + 1, w);
  r.ky = std::min(r.nh + 1, h);

  // FFT tables for the largest transform of the four line kinds.
  int longest = 2;
  if (w > 1) longest = std::max(longest, dft_fft_length(w, w));
  if (h > 1) longest = std::max(longest, dft_fft_length(h, h));
  if (a > 0) longest = std::max(longest, dft_fft_length(2 * r.nw, r.nw));
  if (b > 0) longest = std::max(longest, dft_fft_length(2 * r.nh, r.nh));
  dft_tables_build(&r.tables, longest);

  // One plan per line length and direction.
  int plans = 0;
  const DftPlan* fwd_x = plan_for(r, &plans, w, w, false);
  const DftPlan* fwd_y = plan_for(r, &plans, h, h, false);
  const DftPlan* inv_x =
      a == 0 ? plan_for(r, &plans, w, w, true) : plan_for(r, &plans, 2 * r.nw, r.nw, true);
  const DftPlan* inv_y =
      b == 0 ? plan_for(r, &plans, h, h, true) : plan_for(r, &plans, 2 * r.nh, r.nh, true);
  dct_lines_init(&r.dct_x, w, r.kx, fwd_x);
  dct_lines_init(&r.dct_y, h, r.ky, fwd_y);
  synth_lines_init(&r.syn_x, w, r.nw, inv_x);
  synth_lines_init(&r.syn_y, h, r.nh, inv_y);

  // Fold weights: 1/W for every kept frequency below W', and for the new
  // Nyquist frequency W' (a > 0) the sum of its two aliases X[-W'] + X[W'],
  // which for a mirrored line is 2 cos(pi W' / 2W) C[W'] / W. Likewise in y.
  r.fold = named_buffer<double>(static_cast<std::size_t>(r.kx) + r.ky, "FOLD");
  for (int k = 0; k < r.kx; ++k) {
    r.fold[k] = (k < r.nw ? 1.0 : 2.0 * std::cos(kPi * r.nw / (2.0 * w))) / w;
  }
  for (int l = 0; l < r.ky; ++l) {
    r.fold[r.kx + l] = (l < r.nh ? 1.0 : 2.0 * std::cos(kPi * r.nh / (2.0 * h))) / h;
  }

  r.hdct = named_large_buffer<double>(static_cast<std::size_t>(r.kx) * h, "HDCT");
  r.vdct = named_large_buffer<double>(static_cast<std::size_t>(r.ky) * r.kx, "VDCT");

  // Per-thread work areas, sized for the longest transform.
  threads = std::clamp(threads, 1, kMaxThreads);
  // The work area, then the 2 max(W', H') doubles a synthesis writes out.
  r.work_doubles = std::max(4, 2 * longest) + 2 * std::max(r.nw, r.nh);
  r.work = named_buffer<double>(static_cast<std::size_t>(threads) * r.work_doubles, "czwork");
  r.rows = named_buffer<unsigned char>(
      static_cast<std::size_t>(threads) * kGather * gather_stride(w), "HROWS");
  r.stage_line = std::max({r.kx, r.ky, r.nw});
  r.stage =
      named_buffer<double>(static_cast<std::size_t>(threads) * kBlock * r.stage_line, "STAGE");
  pool_start(&r.pool, threads);
  return run;
}

void resize_plane(ResizeRun& run, const ColorPlane& src, ColorPlane& dst) {
  if (dst.w != run.nw || dst.h != run.nh)
    bad_call("destination of another size", dst.w, dst.h, 0, 0);
  run_passes(run, src, dst.px.get(), nullptr);
}

void resize_plane_values(ResizeRun& run, const ColorPlane& src, double* values) {
  run_passes(run, src, nullptr, values);
}

unsigned char pixel_byte(double v) {
  if (!(v > 0.0)) return 0;  // also catches a NaN, which has no byte
  if (v >= 255.0 - kIntegerSnap) return 255;
  // Truncation toward zero, but a value a hair below an integer is that
  // integer plus rounding noise.
  int t = static_cast<int>(v);
  if (static_cast<double>(t + 1) - v < kIntegerSnap) ++t;
  return static_cast<unsigned char>(t);
}

std::string thread_count_from(const char* text, int* threads) {
  if (text == nullptr) {
    const unsigned hw = std::thread::hardware_concurrency();
    *threads = std::clamp(static_cast<int>(std::min(hw, 1024u)), 1, kMaxThreads);
    return "";
  }
  long long value = 0;
  bool ok = *text != '\0';
  for (const char* c = text; ok && *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') {
      ok = false;
    } else if (value <= 1000000) {
      value = value * 10 + (*c - '0');
    }
  }
  if (!ok || value < 1) {
    return std::string("KORVALE_THREADS=") + text + ": the thread count must be a positive integer";
  }
  *threads = static_cast<int>(std::min<long long>(value, kMaxThreads));
  return "";
}

}  // namespace korvale
