// The plane resizer: a run (plans, tables, the grid, each thread's scratch),
// the five steps of one plane, the ways samples enter and leave them (plain,
// linear light, premultiplied alpha), and the thread count's parsing.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "chirpz/chirpz.h"
#include "common/named_alloc.h"
#include "common/row_planes.h"
#include "common/worker_pool.h"
#include "resize/line_transform.h"
#include "resize/resize.h"
#include "resize/vec2.h"

namespace korvale {

// Lines per block: the unit of the blocked transposes and of the threads'
// chunks. Even, so a pair never straddles two chunks; 16 doubles are two
// whole cache lines of every grid column a block reads or writes.
constexpr int kBlock = 16;

// Rows gathered at once from the column-major source plane: 64 samples of
// each column, so every cache line of the plane is read once.
constexpr int kGather = 64;

// One thread's working memory, built with the run.
struct Scratch {
  int thread = 0;                    // its index in the run's pool
  Buffer<double> work;               // "DFTWORK": the DFT work area of one pair of lines
  Buffer<double> synth;              // "SYNTH": one synthesised pair of columns
  Buffer<double> stage;              // "STAGE": a block of grid rows, read transposed
  Buffer<unsigned char> rows;        // "HROWS": one gather of source rows, packed in pairs
  Buffer<unsigned char> alpha_rows;  // "ALPHAROWS": the alpha plane's rows, likewise
};

struct ResizeRun {
  int w = 0, h = 0;          // source size
  int out_w = 0, out_h = 0;  // destination size
  ResizeSettings settings;

  FftTables tables;
  DftPlan plans[4];  // forward W and H, inverse out_w and out_h (shared when equal)
  DctLines dct_x, dct_y;
  CosineSynthesis syn_x, syn_y;
  double scale = 0.0;  // 1 / (W H)

  // sRGB decoding tables when linear: 256 entries for 8-bit samples, then
  // 65536 for 16-bit ones, each the sample's linear light in 0 .. 1.
  Buffer<double> srgb;

  // The grid every step works in when both axes shrink: out_w columns of H
  // doubles, column k at grid[k*G] (see run_steps for what each step keeps
  // there); none otherwise. G is H rounded up to an odd number of 64-byte
  // cache lines, so that the columns a block of rows touches at once fall
  // into different cache sets even when H is a power of two.
  Buffer<double> grid;
  std::size_t column = 0;  // G
  // The resized alpha plane's values, for dividing the colours by.
  Buffer<double> alpha_values;

  std::unique_ptr<Scratch[]> scratch;  // one per thread
  WorkerPool pool;
};

void ResizeRunDeleter::operator()(ResizeRun* run) const {
  delete run;
}

namespace {

void progress(const char* line) {
  std::fputs(line, stderr);
}

// The five steps of a plane, in order.
enum Step { kHorizontalDft, kVerticalDft, kScaling, kHorizontalIdft, kVerticalIdft };

// Runs body() as the step `s`, between the progress lines of its start and end.
template <class Body>
void progress_step(Step s, const Body& body) {
  static constexpr const char* kLines[5][2] = {
      {"Start Horizontal DFT\n", "End Horizontal DFT\n"},
      {"Start Vertical DFT\n", "End Vertical DFT\n"},
      {"Start High frequency component removing \n", "End High Frequency component removing\n"},
      {"Start horizontal IDFT\n", "End horizontal IDFT\n"},
      {"Start vertical IDFT\n", "End vertical IDFT\n"},
  };
  progress(kLines[s][0]);
  body();
  progress(kLines[s][1]);
}

[[noreturn]] void bad_call(const char* what, int w, int h, int a, int b) {
  std::fprintf(stderr, "resize: %s (%d x %d by %d x %d)\n", what, w, h, a, b);
  std::abort();
}

// Runs body(scratch, first, last) over `lines` lines in chunks of whole
// blocks, each chunk on whichever thread is free next (pool_run_chunks), so
// that a thread the system holds up does not leave the others waiting at the
// end of the step. A chunk is about a sixteenth of a thread's share, from one
// block to one gather; on one thread it is every line.
template <class Body>
void for_chunks(ResizeRun& r, int lines, const Body& body) {
  const int threads = r.pool.threads;
  const int chunk = threads == 1
                        ? std::max(lines, 1)
                        : std::clamp(lines / (16 * threads) / kBlock * kBlock, kBlock, kGather);
  pool_run_chunks(r.pool, lines, chunk,
                  [&](int t, int first, int last) { body(r.scratch[t], first, last); });
}

// Lines ahead that the gathers and transposes ask for early: their columns
// lie about a page apart, beyond the reach of the hardware's own
// prefetching, so each would otherwise wait for memory in turn.
constexpr int kPrefetchColumns = 16;

// Reads a block of `count` grid rows transposed into the stage: value j of
// staged line i (at stage[i*len + j]) is in[j*stride + i], so each grid
// column gives `count` contiguous values.
void transpose_in(const double* in, std::size_t stride, int count, int len, double* stage) {
  using namespace resize_detail;
  const std::size_t row = static_cast<std::size_t>(len);
  int j = 0;
  // Two columns at a time: values i, i + 1 of columns j and j + 1 are a 2 x 2
  // square, swapped across its diagonal in registers.
  for (; j + 2 <= len; j += 2) {
    const double* c0 = in + j * stride;
    const double* c1 = c0 + stride;
    if (j + kPrefetchColumns + 1 < len) {
      const double* ahead = c0 + kPrefetchColumns * stride;
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + count - 1);
      __builtin_prefetch(ahead + stride);
      __builtin_prefetch(ahead + stride + count - 1);
    }
    int i = 0;
    for (; i + 2 <= count; i += 2) {
      const v2d a = load(c0 + i), b = load(c1 + i);
      store(stage + i * row + j, lows(a, b));
      store(stage + (i + 1) * row + j, highs(a, b));
    }
    if (i < count) {
      stage[i * row + j] = c0[i];
      stage[i * row + j + 1] = c1[i];
    }
  }
  if (j < len) {
    for (int i = 0; i < count; ++i) stage[i * row + j] = in[j * stride + i];
  }
}

// Writes a block of `count` staged lines of `len` values each (line i at
// stage[i*len]) transposed: value j of line i goes to out[j*stride + i], so
// each output position receives `count` contiguous values.
void transpose_out(const double* stage, int count, int len, double* out, std::size_t stride) {
  using namespace resize_detail;
  const std::size_t row = static_cast<std::size_t>(len);
  int j = 0;
  for (; j + 2 <= len; j += 2) {
    double* o0 = out + j * stride;
    double* o1 = o0 + stride;
    if (j + kPrefetchColumns + 1 < len) {
      // The cache lines the block fills kPrefetchColumns positions on.
      double* ahead = o0 + kPrefetchColumns * stride;
      __builtin_prefetch(ahead, 1);
      __builtin_prefetch(ahead + count - 1, 1);
      __builtin_prefetch(ahead + stride, 1);
      __builtin_prefetch(ahead + stride + count - 1, 1);
    }
    int i = 0;
    for (; i + 2 <= count; i += 2) {
      const v2d a = load(stage + i * row + j), b = load(stage + (i + 1) * row + j);
      store(o0 + i, lows(a, b));
      store(o1 + i, highs(a, b));
    }
    if (i < count) {
      o0[i] = stage[i * row + j];
      o1[i] = stage[i * row + j + 1];
    }
  }
  if (j < len) {
    for (int i = 0; i < count; ++i) out[j * stride + i] = stage[i * row + j];
  }
}

// Samples between gathered pairs of rows: 2w rounded up to an odd number of
// 64-byte cache lines, so the pairs of one gather never compete for the same
// sets.
template <class T>
std::size_t pair_stride(int w) {
  std::size_t lines = (2 * static_cast<std::size_t>(w) * sizeof(T) + 63) / 64;
  if (lines % 2 == 0) ++lines;
  return lines * 64 / sizeof(T);
}

// Copies rows g0 .. g0+count-1 of the column-major w x h plane px into pairs
// packed as dct_pack packs two lines: sample x of row g0 + 2p + i (i = 0, 1)
// goes to pairs[p*stride + 2*dct_slot(x, w) + i]. With an odd count the last
// pair has no second samples.
template <class T>
void gather_pairs(const T* px, int w, int h, int g0, int count, T* pairs, std::size_t stride) {
  for (int x = 0; x < w; ++x) {
    const T* column = px + static_cast<std::size_t>(x) * h + g0;
    if (x + kPrefetchColumns < w) {
      const T* ahead = column + static_cast<std::size_t>(kPrefetchColumns) * h;
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + count - 1);
    }
    T* to = pairs + 2 * static_cast<std::size_t>(dct_slot(x, w));
    int i = 0;
    for (; i + 1 < count; i += 2, to += stride) {
      to[0] = column[i];
      to[1] = column[i + 1];
    }
    if (i < count) to[0] = column[i];
  }
}

// Samples x of rows a and b (Step bytes apart) into a packed pair, as
// gather_pairs packs them: even x to slots 0, 1, ... and odd x to slots
// w-1, w-2, ... (dct_slot), row a's sample first. Four pixels a turn, each
// run of slots written as one 32-bit word (stores bound a byte-by-byte
// loop).
template <int Step>
void pack_row_pair(const unsigned char* a, const unsigned char* b, int w, unsigned char* to) {
  unsigned char* odd = to + 2 * static_cast<std::size_t>(w - 1);  // slot of x = 1
  int x = 0;
  for (; x + 4 <= w; x += 4, a += 4 * Step, b += 4 * Step, to += 4, odd -= 4) {
    const unsigned char even4[4] = {a[0], b[0], a[2 * Step], b[2 * Step]};       // x, x + 2
    const unsigned char odd4[4] = {a[3 * Step], b[3 * Step], a[Step], b[Step]};  // x + 3, x + 1
    std::memcpy(to, even4, 4);
    std::memcpy(odd - 2, odd4, 4);
  }
  for (; x < w; ++x, a += Step, b += Step) {
    unsigned char* slot = x % 2 == 0 ? to + (x % 4) : odd - 2 * (x % 4 / 2);
    slot[0] = a[0];
    slot[1] = b[0];
  }
}

// Packs rows 0 .. n-1 of a source's block p (row i at p + i*stride) into
// pairs as gather_pairs packs them, the source's channel of each; a null p
// (rows the source could not give, which it has recorded) packs zeros. A
// row without a partner is packed with itself.
void pack_source_rows(const RowSource& src, const unsigned char* p, std::ptrdiff_t row_stride,
                      int w, int n, unsigned char* pairs, std::size_t stride) {
  for (int i = 0; i < n; i += 2) {
    unsigned char* to = pairs + static_cast<std::size_t>(i / 2) * stride;
    if (p == nullptr) {
      std::memset(to, 0, 2 * static_cast<std::size_t>(w));
      continue;
    }
    const unsigned char* a = p + i * row_stride + src.offset;
    const unsigned char* b = i + 1 < n ? a + row_stride : a;
    if (src.step == 3) {
      pack_row_pair<3>(a, b, w, to);
    } else {
      for (int x = 0; x < w; ++x) {
        const int slot = 2 * dct_slot(x, w);
        to[slot] = a[x * src.step];
        to[slot + 1] = b[x * src.step];
      }
    }
  }
}

// Copies rows g0 .. g0+count-1 of a row source into pairs packed as
// gather_pairs packs them (count even but for the last gather), kSourceRows
// rows a call (16 rows of 6000 pixels of three bytes stay within a core's
// own cache for the packing right after).
void gather_source_pairs(const RowSource& src, int thread, int w, int g0, int count,
                         unsigned char* pairs, std::size_t stride) {
  for (int b0 = 0; b0 < count; b0 += kSourceRows) {
    const int n = std::min(kSourceRows, count - b0);
    std::ptrdiff_t row_stride = 0;
    const unsigned char* p = src.rows(src.context, thread, g0 + b0, n, &row_stride);
    pack_source_rows(src, p, row_stride, w, n, pairs + static_cast<std::size_t>(b0 / 2) * stride,
                     stride);
  }
}

// sRGB transfer functions on 0 .. 1.
double srgb_to_linear(double s) {
  return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
}
double linear_to_srgb(double l) {
  return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055;
}

template <class T>
constexpr double kMaxSample = static_cast<double>(std::numeric_limits<T>::max());

// The run's decoding table for samples of type T.
template <class T>
const double* srgb_table(const ResizeRun& r) {
  return r.srgb.get() + (sizeof(T) == 1 ? 0 : 256);
}

// The DCT-II of one pair of lines (their samples load_a(j), load_b(j); the
// second only when `pair`), C_a to out_a[0 .. keep) and C_b to out_b.
// The pair is packed into `work` before anything is written, so the
// outputs may overwrite the lines' own samples.
template <class LoadA, class LoadB>
void analyse_pair(const ResizeRun& r, const DctLines& d, const LoadA& load_a, const LoadB& load_b,
                  bool pair, double* work, double* out_a, double* out_b) {
  if (pair) {
    dct_pack(d.n, load_a, load_b, work);
  } else {
    dct_pack(
        d.n, load_a, [](int) { return 0.0; }, work);
  }
  dct_pair(d, work, out_a, pair ? out_b : nullptr, r.tables);
}

// The DCT-II of `count` rows packed in pairs (pair p at rows[p*ps], its
// alpha at arows[p*ps] when not null), their samples turned into values with
// value(colour, alpha) straight into the DFT work area: row i's C[k] to
// block[i*out_w + k].
template <class T, class Value>
void analyse_rows(const ResizeRun& r, const T* rows, const T* arows, std::size_t ps, int count,
                  const Value& value, double* work, double* block) {
  const int kx = r.out_w;
  const int packed = 2 * r.w;  // doubles of a packed pair
  for (int i = 0; i < count; i += 2) {
    const std::size_t at = static_cast<std::size_t>(i / 2) * ps;
    const T* xs = rows + at;
    const T* as = (arows != nullptr ? arows : rows) + at;  // ignored without alpha
    const bool pair = i + 1 < count;
    if (pair) {
      for (int m = 0; m < packed; ++m) work[m] = value(xs[m], as[m]);
    } else {
      for (int m = 0; m < packed; m += 2) {
        work[m] = value(xs[m], as[m]);
        work[m + 1] = 0.0;  // no line b
      }
    }
    double* out = block + static_cast<std::size_t>(i) * kx;
    dct_pair(r.dct_x, work, out, pair ? out + kx : nullptr, r.tables);
  }
}

// Step 1, Horizontal DFT (x shrinks): gather rows from the column-major
// plane (and its alpha plane), or from the row source when there is one,
// already packed in pairs, turn their samples
// into values with value(colour, alpha) straight into the DFT work area, and
// transform them into the stage, a block of rows at a time: row y0 + i's C[k]
// at stage[i*out_w + k]. done(scratch, stage, y0, count) takes each block.
template <class T, class Value, class Done>
void rows_forward(ResizeRun& r, const T* px, const T* alpha, const RowSource* source,
                  const Value& value, const Done& done) {
  const int w = r.w, h = r.h;
  const std::size_t ps = pair_stride<T>(w);
  for_chunks(r, h, [&](Scratch& s, int first, int last) {
    T* rows = reinterpret_cast<T*>(s.rows.get());
    T* arows = reinterpret_cast<T*>(s.alpha_rows.get());
    double* work = s.work.get();
    double* block = s.stage.get();
    for (int g0 = first; g0 < last; g0 += kGather) {
      const int gathered = std::min(kGather, last - g0);
      if constexpr (sizeof(T) == 1) {
        if (source != nullptr) {
          gather_source_pairs(*source, s.thread, w, g0, gathered, rows, ps);
        } else {
          gather_pairs(px, w, h, g0, gathered, rows, ps);
        }
      } else {
        gather_pairs(px, w, h, g0, gathered, rows, ps);
      }
      if (alpha != nullptr) gather_pairs(alpha, w, h, g0, gathered, arows, ps);
      for (int b0 = 0; b0 < gathered; b0 += kBlock) {
        const int count = std::min(kBlock, gathered - b0);
        const std::size_t at = static_cast<std::size_t>(b0 / 2) * ps;
        analyse_rows(r, rows + at, alpha != nullptr ? arows + at : nullptr, ps, count, value, work,
                     block);
        done(s, block, g0 + b0, count);
      }
    }
  });
}

// Step 2, Vertical DFT (y shrinks): the out_w columns, column(k, j) giving
// value j of column k, in pairs; C[l] of column k goes to at(scratch, k)[l],
// which may be over the column's own values, and done(scratch, k, ca, cb)
// takes each pair's coefficients once written (cb null without a column
// k + 1).
template <class Column, class At, class Done>
void columns_forward(ResizeRun& r, const Column& column, const At& at, const Done& done) {
  for_chunks(r, r.out_w, [&](Scratch& s, int first, int last) {
    double* work = s.work.get();
    for (int k = first; k < last; k += 2) {
      const bool pair = k + 1 < last;
      double* out_a = at(s, k);
      double* out_b = at(s, k + 1);
      analyse_pair(
          r, r.dct_y, [&](int j) { return column(k, j); }, [&](int j) { return column(k + 1, j); },
          pair, work, out_a, out_b);
      done(s, k, out_a, pair ? out_b : nullptr);
    }
  });
}

// Step 3, High frequency component removing: the coefficients beyond the new
// size were never kept; what remains is scaled by the inverse's 1/W for each
// axis that was transformed, line by line as the forward transforms leave
// the lines (still in cache).
void scale_line(const ResizeRun& r, double* c, std::size_t count) {
  const double scale = r.scale;
  for (std::size_t l = 0; l < count; ++l) c[l] *= scale;
}

// Step 4, horizontal IDFT, on `count` lines of out_w coefficients lying
// out_w apart from `block`, in pairs, each synthesised over itself.
void synthesise_rows(const ResizeRun& r, Scratch& s, double* block, int count) {
  const int nw = r.out_w;
  for (int i = 0; i < count; i += 2) {
    double* da = block + static_cast<std::size_t>(i) * nw;
    double* db = i + 1 < count ? da + nw : nullptr;
    synth_pair(r.syn_x, da, db, s.work.get(), da, db, r.tables);
  }
}

// Hands a block of `count` output rows y0 .. (row i's values at
// block[i*out_w]) to write, as pieces of columns: write(n, y0, count, u)
// with u[i] the value of row y0 + i, kBlock columns at a time through `tile`
// (kBlock * kBlock doubles).
template <class Write>
void write_rows(const ResizeRun& r, const double* block, int y0, int count, double* tile,
                const Write& write) {
  const int nw = r.out_w;
  for (int n0 = 0; n0 < nw; n0 += kBlock) {
    const int columns = std::min(kBlock, nw - n0);
    for (int i = 0; i < count; ++i) {
      const double* row = block + static_cast<std::size_t>(i) * nw + n0;
      for (int c = 0; c < columns; ++c) tile[c * count + i] = row[c];
    }
    for (int c = 0; c < columns; ++c) write(n0 + c, y0, count, tile + c * count);
  }
}

// Hands a block of synthesised output rows to write: whole rows at once
// when the writer takes them (write.rows, with the thread's synthesis line
// as its strip), else as pieces of columns through write_rows.
template <class T, class Write>
void write_block(const ResizeRun& r, Scratch& s, const double* block, int y0, int count,
                 const Write& write) {
  if constexpr (requires { write.rows(block, r.out_w, y0, count, static_cast<T*>(nullptr), 0); }) {
    write.rows(block, r.out_w, y0, count, reinterpret_cast<T*>(s.synth.get()), s.thread);
  } else {
    write_rows(r, block, y0, count, s.synth.get(), write);
  }
}

// Step 4 on the grid: row l's coefficients grid[k*G + l], k < out_w (each
// column already synthesised along y in step 2), a block of rows at a time
// through the stage; the block's values go straight to write_block.
template <class T, class Write>
void rows_synthesis(ResizeRun& r, const Write& write) {
  const int nw = r.out_w;
  const double* grid = r.grid.get();
  const std::size_t gs = r.column;
  for_chunks(r, r.out_h, [&](Scratch& s, int first, int last) {
    for (int l0 = first; l0 < last; l0 += kBlock) {
      const int count = std::min(kBlock, last - l0);
      double* block = s.stage.get();
      transpose_in(grid + l0, gs, count, nw, block);
      synthesise_rows(r, s, block, count);
      write_block<T>(r, s, block, l0, count, write);
    }
  });
}

// The five steps of one plane: value(colour, alpha) gives each source
// sample's value; write(n, m0, count, u) takes values u[0 .. count) of output
// column n, rows m0 onwards. The progress lines come out the same whichever
// steps an axis skips.
//
// An axis whose size does not change is the identity along that axis (the
// DCT-II and its DCT-III undo each other), so its two transforms are
// skipped. When both axes shrink, each step works in place on the grid of
// out_w columns of H (G apart):
//   step 1  row y's C[k]              -> grid[k*G + y], k < out_w
//   step 2  column k's C[l]           -> grid[k*G + l], l < out_h, over the
//           column it read
//   step 3  grid[k*G + l] *= 1/(W H), l < out_h, each column as step 2
//           leaves it; then, still in step 2, the column's DCT-III of
//           length out_h over itself (the syntheses along x and y commute,
//           and the column is still in cache)
//   step 4  row m's coefficients grid[k*G + m], k < out_w -> synthesised
//           and written out as whole rows, a block at a time
//   step 5  nothing left
// When only one axis shrinks its lines are independent: each block of rows
// (only x) or pair of columns (only y) is analysed, scaled and synthesised
// in the thread's own scratch during its step 1 or 2, with the same
// arithmetic as on the grid, and written out at once, so there is no grid
// and the later steps' lines follow with nothing left to do. When neither
// axis shrinks step 5 writes the plane's own values. With a row source
// (only when x shrinks) step 1 reads the samples from it and px is not read.
template <class T, class Value, class Write>
void run_steps(ResizeRun& r, const T* px, const T* alpha, const Value& value, const Write& write,
               const RowSource* source = nullptr) {
  const bool x_shrinks = r.out_w < r.w, y_shrinks = r.out_h < r.h;
  const T* apx = alpha != nullptr ? alpha : px;  // ignored without alpha
  const std::size_t h = static_cast<std::size_t>(r.h);
  double* grid = r.grid.get();
  const std::size_t gs = r.column;
  const int nw = r.out_w, nh = r.out_h;
  progress_step(kHorizontalDft, [&] {
    if (x_shrinks && y_shrinks) {
      rows_forward(r, px, alpha, source, value,
                   [&](Scratch&, const double* block, int y0, int count) {
                     transpose_out(block, count, nw, grid + y0, gs);
                   });
    } else if (x_shrinks) {
      rows_forward(r, px, alpha, source, value, [&](Scratch& s, double* block, int y0, int count) {
        scale_line(r, block, static_cast<std::size_t>(count) * nw);
        synthesise_rows(r, s, block, count);
        write_block<T>(r, s, block, y0, count, write);
      });
    }
  });
  progress_step(kVerticalDft, [&] {
    if (x_shrinks && y_shrinks) {
      columns_forward(
          r, [grid, gs](int k, int j) { return grid[k * gs + j]; },
          [grid, gs](Scratch&, int k) { return grid + k * gs; },
          [&](Scratch& s, int, double* ca, double* cb) {
            scale_line(r, ca, nh);
            if (cb != nullptr) scale_line(r, cb, nh);
            synth_pair(r.syn_y, ca, cb, s.work.get(), ca, cb, r.tables);
          });
    } else if (y_shrinks) {
      // Column k's coefficients in the stage (a pair of columns of out_h),
      // its values in the synthesis line.
      columns_forward(
          r, [&](int x, int j) { return value(px[x * h + j], apx[x * h + j]); },
          [nh](Scratch& s, int k) { return s.stage.get() + (k % 2) * nh; },
          [&](Scratch& s, int k, double* ca, double* cb) {
            scale_line(r, ca, nh);
            if (cb != nullptr) scale_line(r, cb, nh);
            double* ua = s.synth.get();
            double* ub = cb != nullptr ? ua + nh : nullptr;
            synth_pair(r.syn_y, ca, cb, s.work.get(), ua, ub, r.tables);
            write(k, 0, nh, ua);
            if (ub != nullptr) write(k + 1, 0, nh, ub);
          });
    }
  });
  progress_step(kScaling, [] {});  // done line by line in steps 1 and 2
  progress_step(kHorizontalIdft, [&] {
    if (x_shrinks && y_shrinks) rows_synthesis<T>(r, write);
  });
  progress_step(kVerticalIdft, [&] {
    if (!x_shrinks && !y_shrinks) {
      // Neither axis shrinks: the values are the samples' own.
      for_chunks(r, r.out_w, [&](Scratch& s, int first, int last) {
        double* u = s.synth.get();
        for (int n = first; n < last; ++n) {
          for (std::size_t m = 0; m < h; ++m) u[m] = value(px[n * h + m], apx[n * h + m]);
          write(n, 0, nh, u);
        }
      });
    }
  });
}
// The steps of a plane that neither axis shrinks, without alpha: every
// sample would come back as it went in (the sRGB round trip of linear light
// included, for every 8- and 16-bit value), so step 5 copies the plane (and
// a plane resized in its own memory is left as it is).
template <class T>
void copy_steps(ResizeRun& r, const T* px, T* out) {
  for (const Step s : {kHorizontalDft, kVerticalDft, kScaling, kHorizontalIdft}) {
    progress_step(s, [] {});
  }
  progress_step(kVerticalIdft, [&] {
    if (out == px) return;
    const std::size_t h = static_cast<std::size_t>(r.h);
    for_chunks(r, r.w, [&](Scratch&, int first, int last) {
      std::memcpy(out + first * h, px + first * h, (last - first) * h * sizeof(T));
    });
  });
}

}  // namespace

void resize_report_copy() {
  for (const Step s : {kHorizontalDft, kVerticalDft, kScaling, kHorizontalIdft, kVerticalIdft}) {
    progress_step(s, [] {});
  }
}

namespace {

template <class T>
void check_source(const ResizeRun& r, const Plane<T>& src) {
  if (src.w != r.w || src.h != r.h) bad_call("plane of another size", src.w, src.h, r.w, r.h);
}

template <class T>
void check_destination(const ResizeRun& r, const Plane<T>& dst) {
  if (dst.w != r.out_w || dst.h != r.out_h)
    bad_call("destination of another size", dst.w, dst.h, r.out_w, r.out_h);
}

// round_sample without branches, so that loops over a column vectorise; the
// same result for every v (NaN and v <= 0 give 0, v >= max gives max, and
// v + 0.5 stays below 2^31).
template <class T>
T sample_of(double v) {
  constexpr double max = kMaxSample<T>;
  v = v > 0.0 ? v : 0.0;
  v = v < max ? v : max;
  return static_cast<T>(static_cast<std::int32_t>(v + 0.5));
}

// sample_of of u[0 .. count) into out; 8-bit samples four at a time where
// SSE2 is at hand, with the same results: maxpd(v, 0) is v > 0 ? v : 0 (NaN
// included), minpd(v, max) is v < max ? v : max, and cvttpd2dq truncates.
template <class T>
void samples_of(const double* u, int count, T* out) {
  int m = 0;
#if defined(__SSE2__)
  if constexpr (sizeof(T) == 1) {
    const __m128d zero = _mm_setzero_pd(), top = _mm_set1_pd(kMaxSample<T>);
    const __m128d half = _mm_set1_pd(0.5);
    for (; m + 4 <= count; m += 4) {
      const __m128d a = _mm_min_pd(_mm_max_pd(_mm_loadu_pd(u + m), zero), top);
      const __m128d b = _mm_min_pd(_mm_max_pd(_mm_loadu_pd(u + m + 2), zero), top);
      const __m128i ints = _mm_unpacklo_epi64(_mm_cvttpd_epi32(_mm_add_pd(a, half)),
                                              _mm_cvttpd_epi32(_mm_add_pd(b, half)));
      const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(ints, ints), ints);
      const int four = _mm_cvtsi128_si32(bytes);
      std::memcpy(out + m, &four, 4);
    }
  }
#endif
  for (; m < count; ++m) out[m] = sample_of<T>(u[m]);
}

// A value of the steps as a stored sample: in sample units, or linear light
// of 0 .. 1 encoded back to sRGB.
template <class T>
T to_sample(double v, bool linear) {
  if (linear) v = linear_to_srgb(std::clamp(v, 0.0, 1.0)) * kMaxSample<T>;
  return sample_of<T>(v);
}

// `count` rows of nw values (row i at block[i*nw]) as samples (to_sample)
// into strip[i*nw ..].
template <class T>
void rows_to_samples(const double* block, int nw, int count, bool linear, T* strip) {
  for (int i = 0; i < count; ++i) {
    const double* u = block + static_cast<std::size_t>(i) * nw;
    T* row = strip + static_cast<std::size_t>(i) * nw;
    if (linear) {
      for (int m = 0; m < nw; ++m) row[m] = to_sample<T>(u[m], true);
    } else {
      samples_of(u, nw, row);
    }
  }
}

// Writes values into an output plane as samples (to_sample).
template <class T>
struct SampleWriter {
  T* out;  // the out_w x out_h plane
  int nh;  // out_h
  bool linear;
  const RowsFinal* final_rows = nullptr;  // told of each block of rows written

  // Values u[0 .. count) of column n, rows m0 onwards.
  void operator()(int n, int m0, int count, const double* u) const {
    T* column = out + static_cast<std::size_t>(n) * nh + m0;
    if (linear) {
      for (int m = 0; m < count; ++m) column[m] = to_sample<T>(u[m], true);
    } else {
      samples_of(u, count, column);
    }
  }

  // Whole rows y0 .. y0 + count - 1 of nw values (row i at block[i*nw]),
  // on the run's thread `thread`: each row becomes samples in `strip`
  // (count * nw samples), which then moves into the columns in tiles.
  void rows(const double* block, int nw, int y0, int count, T* strip, int thread) const {
    rows_to_samples(block, nw, count, linear, strip);
    T* const planes[1] = {out};
    const std::size_t h = static_cast<std::size_t>(nh);
    const std::size_t at = static_cast<std::size_t>(y0);
    if constexpr (sizeof(T) == 1) {
      rows_to_planes(strip, nw, count, nw, 1, planes, h, at);
    } else {
      rows_to_planes16(strip, nw, count, nw, 1, planes, h, at, false);
    }
    if (final_rows != nullptr) final_rows->fn(final_rows->context, thread, y0, count);
  }
};

// Resizes the run's W x H plane at px into the out_w x out_h plane at out,
// each sample weighted by alpha (a fraction of its maximum) when `alpha` is
// not null. out may be px when resize_in_place_possible(r) and there is no
// alpha.
template <class T>
void resize_colour(ResizeRun& r, const T* px, const T* alpha, T* out,
                   const RowsFinal* final_rows = nullptr, const RowSource* source = nullptr) {
  if (alpha == nullptr && r.out_w == r.w && r.out_h == r.h) {
    copy_steps(r, px, out);
    return;
  }
  constexpr double max = kMaxSample<T>;
  const bool linear = r.settings.linear;
  const int nh = r.out_h;
  const SampleWriter<T> write_plain{out, nh, linear, final_rows};
  // With alpha: the premultiplied value over the resized alpha (a fraction of
  // its maximum), clamped by to_sample; 0 where the alpha rounds to 0.
  const double* av = r.alpha_values.get();
  const auto write_divided = [&](int n, int m0, int count, const double* u) {
    const std::size_t base = static_cast<std::size_t>(n) * nh + m0;
    for (int m = 0; m < count; ++m) {
      const double a = av[base + m];
      out[base + m] = a < 0.5 ? T{0} : to_sample<T>(u[m] * max / a, linear);
    }
  };
  const double inv = 1.0 / max;
  if (linear) {
    const double* lut = srgb_table<T>(r);
    if (alpha == nullptr) {
      run_steps(
          r, px, alpha, [lut](T c, T) { return lut[c]; }, write_plain, source);
    } else {
      run_steps(
          r, px, alpha, [lut, inv](T c, T a) { return lut[c] * (a * inv); }, write_divided, source);
    }
  } else if (alpha == nullptr) {
    run_steps(
        r, px, alpha, [](T c, T) { return static_cast<double>(c); }, write_plain, source);
  } else {
    run_steps(
        r, px, alpha, [inv](T c, T a) { return static_cast<double>(c) * (a * inv); }, write_divided,
        source);
  }
}

// The steps of several colours read from the same rows when only x
// shrinks (resize_rows_colours), value(sample) giving each sample's value:
// each block of kSourceRows rows is read once and shrunk colour after
// colour, as step 1 shrinks a plane's rows, and handed to out.fn as
// samples. The lines of the first colour's step 1 come out around the work,
// the rest after it.
template <class Value>
void colours_steps(ResizeRun& r, const RowSource* colours, int n, const RowsOut& out,
                   const Value& value) {
  // A block of rows fills at most the stage, and four colours' packed pairs
  // (8-bit) at most the gather area, which holds kGather rows of 16 bits.
  static_assert(kSourceRows <= kBlock && 4 * kSourceRows <= kGather);
  const int w = r.w, nw = r.out_w;
  const std::size_t ps = pair_stride<unsigned char>(w);
  const auto shrink = [&] {
    for_chunks(r, r.h, [&](Scratch& s, int first, int last) {
      unsigned char* rows = s.rows.get();
      double* block = s.stage.get();
      auto* strip = reinterpret_cast<unsigned char*>(s.synth.get());
      for (int y0 = first; y0 < last; y0 += kSourceRows) {
        const int count = std::min(kSourceRows, last - y0);
        std::ptrdiff_t stride = 0;
        const unsigned char* p = colours[0].rows(colours[0].context, s.thread, y0, count, &stride);
        // Every colour packed while the rows are fresh in cache: each
        // colour's pairs after the one before.
        const std::size_t each = kSourceRows / 2 * ps;
        for (int c = 0; c < n; ++c)
          pack_source_rows(colours[c], p, stride, w, count, rows + c * each, ps);
        for (int c = 0; c < n; ++c) {
          analyse_rows(
              r, rows + c * each, static_cast<const unsigned char*>(nullptr), ps, count,
              [&](unsigned char v, unsigned char) { return value(v); }, s.work.get(), block);
          scale_line(r, block, static_cast<std::size_t>(count) * nw);
          synthesise_rows(r, s, block, count);
          rows_to_samples(block, nw, count, r.settings.linear, strip);
          out.fn(out.context, s.thread, c, y0, count, strip);
        }
      }
    });
  };
  for (int c = 0; c < n; ++c) {
    for (const Step step :
         {kHorizontalDft, kVerticalDft, kScaling, kHorizontalIdft, kVerticalIdft}) {
      progress_step(step, [&] {
        if (c == 0 && step == kHorizontalDft) shrink();
      });
    }
  }
}

}  // namespace

void resize_rows_colours(ResizeRun& run, const RowSource* colours, int count, const RowsOut& out) {
  if (run.out_w == run.w || run.out_h != run.h || count < 1 || count > 4) {
    bad_call("colours from rows unless only the width shrinks", run.w, run.h, run.w - run.out_w,
             run.h - run.out_h);
  }
  if (run.settings.linear) {
    const double* lut = srgb_table<unsigned char>(run);
    colours_steps(run, colours, count, out, [lut](unsigned char v) { return lut[v]; });
  } else {
    colours_steps(run, colours, count, out, [](unsigned char v) { return static_cast<double>(v); });
  }
}

ResizeRunPtr resize_run_begin(int w, int h, int a, int b, int threads,
                              const ResizeSettings& settings) {
  if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || a < 0 || a >= w || b < 0 || b >= h) {
    bad_call("cannot shrink", w, h, a, b);
  }
  ResizeRunPtr run(new ResizeRun);
  ResizeRun& r = *run;
  r.w = w;
  r.h = h;
  r.out_w = w - a;
  r.out_h = h - b;
  r.settings = settings;
  // The inverse's 1/W and 1/H, for the axes that are transformed.
  r.scale = 1.0 / ((a > 0 ? w : 1) * static_cast<double>(b > 0 ? h : 1));

  // FFT tables for the largest power-of-two transform, and the largest work
  // area, of the line kinds the shrinking axes use (an axis that keeps its
  // size is not transformed).
  int longest = 2, work = 4;
  for (const int n : {a > 0 ? w : 1, b > 0 ? h : 1, a > 0 ? r.out_w : 1, b > 0 ? r.out_h : 1}) {
    if (n < 2) continue;
    longest = std::max(longest, dft_fft_length(n, n));
    work = std::max(work, dft_work_doubles(n, n));
  }
  fft_tables_build(&r.tables, longest);

  // One plan per line length and direction.
  int built = 0;
  const auto plan_for = [&](int n, bool inverse) -> const DftPlan* {
    if (n < 2) return nullptr;
    for (int i = 0; i < built; ++i) {
      if (r.plans[i].length == n && r.plans[i].inverse == inverse) return &r.plans[i];
    }
    dft_plan_build(&r.plans[built], n, n, inverse, r.tables);
    return &r.plans[built++];
  };
  if (a > 0) {
    dct_lines_init(&r.dct_x, w, r.out_w, plan_for(w, false));
    cosine_synthesis_init(&r.syn_x, r.out_w, plan_for(r.out_w, true));
  }
  if (b > 0) {
    dct_lines_init(&r.dct_y, h, r.out_h, plan_for(h, false));
    cosine_synthesis_init(&r.syn_y, r.out_h, plan_for(r.out_h, true));
  }

  if (settings.linear) {
    r.srgb = named_buffer<double>(256 + 65536, "SRGB");
    for (int v = 0; v < 256; ++v) r.srgb[v] = srgb_to_linear(v / 255.0);
    for (int v = 0; v < 65536; ++v) r.srgb[256 + v] = srgb_to_linear(v / 65535.0);
  }

  // The grid (see run_steps): out_w columns of H doubles, when both axes
  // shrink.
  if (a > 0 && b > 0) {
    std::size_t lines = (static_cast<std::size_t>(h) * sizeof(double) + 63) / 64;
    if (lines % 2 == 0) ++lines;
    r.column = lines * 64 / sizeof(double);
    r.grid = named_large_buffer<double>(static_cast<std::size_t>(r.out_w) * r.column, "HDCT");
  }

  // Each thread's scratch, sized for the longest transform and the widest
  // samples; the stage holds a block of rows of out_w values (steps 1 and 4)
  // or a pair of columns of out_h (step 2 when only y shrinks), the
  // synthesis line a pair of columns, a tile of kBlock x kBlock values or a
  // block of output rows as samples of up to 2 bytes.
  threads = std::clamp(threads, 1, kMaxThreads);
  const std::size_t rows = kGather / 2 * pair_stride<std::uint16_t>(w) * sizeof(std::uint16_t);
  const std::size_t stage = kBlock * static_cast<std::size_t>(std::max(r.out_w, r.out_h));
  r.scratch = std::make_unique<Scratch[]>(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    Scratch& s = r.scratch[t];
    s.thread = t;
    s.work = named_buffer<double>(static_cast<std::size_t>(work), "DFTWORK");
    s.synth = named_buffer<double>(
        std::max<std::size_t>(
            {2 * static_cast<std::size_t>(std::max(r.out_w, r.out_h)), kBlock * kBlock,
             kBlock * 2 * static_cast<std::size_t>(r.out_w) / sizeof(double) + 1}),
        "SYNTH");
    s.stage = named_buffer<double>(stage, "STAGE");
    s.rows = named_buffer<unsigned char>(rows, "HROWS");
    s.alpha_rows = named_buffer<unsigned char>(rows, "ALPHAROWS");
  }
  pool_start(&r.pool, threads);
  return run;
}

template <class T>
void resize_plane(ResizeRun& run, const Plane<T>& src, Plane<T>& dst) {
  check_source(run, src);
  check_destination(run, dst);
  resize_colour<T>(run, src.px.get(), nullptr, dst.px.get());
}

void resize_plane(ResizeRun& run, const Plane<unsigned char>& src, Plane<unsigned char>& dst,
                  const RowsFinal& rows) {
  check_source(run, src);
  check_destination(run, dst);
  resize_colour<unsigned char>(run, src.px.get(), nullptr, dst.px.get(),
                               rows.fn != nullptr ? &rows : nullptr);
}

bool resize_in_place_possible(const ResizeRun& run) {
  return run.out_w < run.w || run.out_h == run.h;
}

template <class T>
void resize_plane_in_place(ResizeRun& run, T* px, const RowsFinal* rows) {
  if (!resize_in_place_possible(run))
    bad_call("in place with only the height shrinking", run.w, run.h, run.w - run.out_w,
             run.h - run.out_h);
  resize_colour<T>(run, px, nullptr, px, rows != nullptr && rows->fn != nullptr ? rows : nullptr);
}

void resize_rows(ResizeRun& run, const RowSource& src, Plane<unsigned char>& dst,
                 const RowsFinal* rows) {
  if (run.out_w == run.w) {
    bad_call("from rows without the width shrinking", run.w, run.h, 0, run.h - run.out_h);
  }
  check_destination(run, dst);
  resize_colour<unsigned char>(run, nullptr, nullptr, dst.px.get(),
                               rows != nullptr && rows->fn != nullptr ? rows : nullptr, &src);
}

int resize_run_threads(const ResizeRun& run) {
  return run.pool.threads;
}

template <class T>
void resize_planes_with_alpha(ResizeRun& run, const Plane<T>* const* colours, int count,
                              const Plane<T>& alpha, Plane<T>* const* out_colours,
                              Plane<T>& out_alpha) {
  ResizeRun& r = run;
  check_source(r, alpha);
  check_destination(r, out_alpha);
  const std::size_t cells = static_cast<std::size_t>(r.out_w) * r.out_h;
  if (!r.alpha_values) r.alpha_values = named_large_buffer<double>(cells, "ALPHAV");

  // The alpha plane, as its values (for the division) and as samples.
  const int nh = r.out_h;
  double* av = r.alpha_values.get();
  T* out = out_alpha.px.get();
  run_steps(
      r, alpha.px.get(), static_cast<const T*>(nullptr),
      [](T c, T) { return static_cast<double>(c); },
      [&](int n, int m0, int count, const double* u) {
        const std::size_t base = static_cast<std::size_t>(n) * nh + m0;
        for (int m = 0; m < count; ++m) {
          av[base + m] = u[m];
          out[base + m] = sample_of<T>(u[m]);
        }
      });
  for (int c = 0; c < count; ++c) {
    if (colours[c]->w != alpha.w || colours[c]->h != alpha.h)
      bad_call("colour and alpha of other sizes", colours[c]->w, colours[c]->h, alpha.w, alpha.h);
    check_destination(r, *out_colours[c]);
    resize_colour<T>(r, colours[c]->px.get(), alpha.px.get(), out_colours[c]->px.get());
  }
}

template void resize_plane(ResizeRun&, const Plane<unsigned char>&, Plane<unsigned char>&);
template void resize_plane(ResizeRun&, const Plane<std::uint16_t>&, Plane<std::uint16_t>&);
template void resize_plane_in_place(ResizeRun&, unsigned char*, const RowsFinal*);
template void resize_plane_in_place(ResizeRun&, std::uint16_t*, const RowsFinal*);
template void resize_planes_with_alpha(ResizeRun&, const Plane<unsigned char>* const*, int,
                                       const Plane<unsigned char>&, Plane<unsigned char>* const*,
                                       Plane<unsigned char>&);
template void resize_planes_with_alpha(ResizeRun&, const Plane<std::uint16_t>* const*, int,
                                       const Plane<std::uint16_t>&, Plane<std::uint16_t>* const*,
                                       Plane<std::uint16_t>&);

void resize_plane_values(ResizeRun& run, const ColorPlane& src, double* values) {
  const int nh = run.out_h;
  const auto write = [&](int n, int m0, int count, const double* u) {
    std::copy(u, u + count, values + static_cast<std::size_t>(n) * nh + m0);
  };
  check_source(run, src);
  if (run.settings.linear) {
    const double* lut = srgb_table<unsigned char>(run);
    run_steps(
        run, src.px.get(), static_cast<const unsigned char*>(nullptr),
        [lut](unsigned char c, unsigned char) { return lut[c]; }, write);
  } else {
    run_steps(
        run, src.px.get(), static_cast<const unsigned char*>(nullptr),
        [](unsigned char c, unsigned char) { return static_cast<double>(c); }, write);
  }
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
