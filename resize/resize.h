// Spectral plane resizer: shrinks planes of samples by cutting the high
// frequencies out of their two-dimensional spectrum.
//
// What it computes, for a plane of W x H samples shrunk to out_w = W - a
// columns and out_h = H - b rows: the plane mirrored into an even 2W x 2H
// grid is band-limited to the frequencies the new size can carry, and that
// band-limited picture is sampled at the centres of the new pixels: output
// column n lies at input position (n + 1/2) W / out_w - 1/2 (input pixel
// centres at integers), and likewise for rows, so the new picture covers the
// same field of view as the old one. Each value is then rounded to the
// nearest sample value (halves up) and clamped to 0 .. max (255 or 65535).
//
// How: the mirrored grid is separable and even, so its spectrum is a phase
// factor times the 2-D DCT-II of the plane, and the band-limited picture at
// the centred positions is, along each axis, the DCT-III of length out_w of
// the first out_w DCT-II coefficients, scaled by 1/W (the new Nyquist
// frequency's cosine vanishes at every centred position, so it drops out).
// Five steps, each printing its start and end line:
//   Horizontal DFT   DCT-II of every row, keeping out_w coefficients;
//   Vertical DFT     DCT-II of those out_w columns, keeping out_h;
//   High frequency component removing: the 1/(W H) scale (applied to each
//                    line as the forward transforms leave it, so its own
//                    lines come out with nothing left to do);
//   horizontal IDFT  DCT-III of length out_w of each of the out_h rows;
//   vertical IDFT    DCT-III of length out_h of each of the out_w columns.
// The two syntheses commute, so when both axes shrink each column is
// synthesised along y as soon as Vertical DFT has analysed and scaled it
// (still in cache), and horizontal IDFT then writes whole rows straight into
// the destination; vertical IDFT's lines follow with nothing left to do.
// An axis that keeps its size (a = 0 or b = 0) is the identity along it, so
// its two transforms are skipped (their progress lines still come out); a
// 0 x 0 run copies the samples (resize_planes_with_alpha and
// resize_plane_values convert them to values and back). When only one axis
// shrinks, its lines are independent: each is analysed, scaled and
// synthesised in one go during the first step that has work (the other
// steps' lines follow with nothing left to do), with the same arithmetic.
// resize/line_transform.h has the line transforms; each pair of real lines
// shares one complex DFT plan (chirpz/chirpz.h). The values agree with the
// full 2-D DFT of the mirrored grid, shifted to the centred positions, to
// about 1e-12 (the tests hold them to 1e-9). A 0 x 0 reduction returns every
// sample exactly.
//
// Linear light (ResizeSettings::linear): each sample is decoded from sRGB to
// linear light with the exact sRGB transfer function at its scale, the
// picture is resized in double precision, clamped to 0 .. 1, encoded back to
// sRGB and rounded. A one-pixel black and white checkerboard then halves to
// about 188 (half the light of white), not 128.
//
// Alpha (resize_planes_with_alpha): colours are premultiplied by alpha (in
// linear light when linear), resized, and divided by the resized alpha, so a
// white shape on transparent black keeps white edges; the alpha plane is
// resized like any plane, as plain values (coverage is never sRGB-encoded).
//
// A run (ResizeRun) is built once for a size and reduction and serves every
// plane of that size, one after the other: the DFT plans (one per line length
// and direction), the FFT tables, the grids and each thread's scratch are
// allocated and computed once, and the threads started once. Each line's
// arithmetic depends only on its index (lines are paired by index, and the
// threads take chunks of whole blocks as they come free), so the bytes never
// depend on the thread count.
//
// Memory per run: when both axes shrink, one grid of out_w*H doubles, which
// every step rewrites in place (at most 8 bytes per input pixel, 4 when the
// width is halved; 2 MB-aligned, offered to the kernel as huge pages); the
// plans, the FFT tables, and per thread a DFT work area, a synthesis line,
// 64 gathered rows and 16 staged rows. Destination planes are the caller's;
// resize_plane_in_place needs none.
//
// Failure: allocations happen when the run is built; one that fails ends the
// process with "NAME no memory!!" on standard output and status 1 (names: ww,
// ip, czchirp, czfilter, mrtw, dcttw, syntw, SRGB, HDCT (the grid, when both axes shrink), DFTWORK,
// SYNTH, HROWS, ALPHAROWS, STAGE; resize_planes_with_alpha adds ALPHAV on its
// first call). Nothing fails and nothing is allocated once the run is built (the
// first resize_planes_with_alpha call aside). Sizes or reductions out of
// range, or planes not of the run's sizes, are programming errors and abort.
// Progress lines go to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/color_plane.h"
#include "common/limits.h"

namespace korvale {

// Most threads a run starts; larger requests use this many.
inline constexpr int kMaxThreads = 64;

struct ResizeSettings {
  bool linear = false;  // resize in linear light (see above)
};

struct ResizeRun;
struct ResizeRunDeleter {
  void operator()(ResizeRun* run) const;
};
using ResizeRunPtr = std::unique_ptr<ResizeRun, ResizeRunDeleter>;

// Builds a run for planes of w x h shrunk by a x b (1 <= w, h <= kMaxSide,
// 0 <= a < w, 0 <= b < h) on `threads` threads (1 .. kMaxThreads; 1 runs
// everything on the calling thread).
ResizeRunPtr resize_run_begin(int w, int h, int a, int b, int threads,
                              const ResizeSettings& settings = {});

// Shrinks src (the run's W x H) into dst, which the caller has made
// out_w x out_h with dst.px allocated. T is unsigned char (0..255) or
// std::uint16_t (0..65535). Prints the ten progress lines on standard error,
// each when its step starts or ends.
template <class T>
void resize_plane(ResizeRun& run, const Plane<T>& src, Plane<T>& dst);

// Rows of the destination reported as they become final, so that a writer
// can put them out while the rest is computed: fn(context, thread, y0, count)
// says rows y0 .. y0 + count - 1 of dst hold their samples. It is called on
// the run's thread `thread` (0 .. resize_run_threads - 1), on several threads
// at once, each row at most once. Only steps that write whole rows report
// (both axes shrink, or only x); rows not reported are final when
// resize_plane returns.
struct RowsFinal {
  void (*fn)(void* context, int thread, int y0, int count) = nullptr;
  void* context = nullptr;
};

// resize_plane of 8-bit samples, reporting final rows to `rows`.
void resize_plane(ResizeRun& run, const Plane<unsigned char>& src, Plane<unsigned char>& dst,
                  const RowsFinal& rows);

// Whether planes can be shrunk in their own memory on this run: yes when the
// width shrinks (each row is read before any sample of it is written, and row
// y's result lands where row y's leading samples were; when the height shrinks
// too, the whole plane is read before anything is written) or when nothing
// shrinks; no when only the height does.
bool resize_in_place_possible(const ResizeRun& run);

// resize_plane within the plane's own memory, so that no destination needs
// allocating: px holds the run's W x H plane and is left holding the
// out_w x out_h result in its first out_w*out_h samples (column by column);
// the same samples and progress lines as resize_plane. `rows`, when not
// null, is told of final rows as above. Only when resize_in_place_possible.
template <class T>
void resize_plane_in_place(ResizeRun& run, T* px, const RowsFinal* rows = nullptr);

// 8-bit samples of one channel read a block of rows at a time from
// elsewhere (a file's stored rows) instead of from a plane.
// rows(context, thread, y0, count, &stride), for rows y0 .. y0 + count - 1
// (count <= kSourceRows), on the run's thread `thread` (as RowsFinal's), gives
// p with sample x of row y0 + i at p[i * stride + offset + x * step], valid
// until that thread's next call; or null when the rows cannot be had (the
// source keeps the failure for its caller; the run goes on with zeros).
struct RowSource {
  const unsigned char* (*rows)(void* context, int thread, int y0, int count,
                               std::ptrdiff_t* stride) = nullptr;
  void* context = nullptr;
  int offset = 0;  // the channel's first byte in a row
  int step = 1;    // bytes from one sample of the channel to the next
};
inline constexpr int kSourceRows = 16;

// resize_plane from a row source, each row read once; the same samples and
// progress lines as resize_plane of the source's plane. Only when the width
// shrinks (step 1 is then the one that reads samples).
void resize_rows(ResizeRun& run, const RowSource& src, Plane<unsigned char>& dst,
                 const RowsFinal* rows = nullptr);

// Samples of several colours handed out a block of rows at a time
// (resize_rows_colours): fn(context, thread, colour, y0, count, samples)
// gets rows y0 .. y0 + count - 1 of colour `colour`, out_w samples each (row
// i at samples + i * out_w), valid during the call; it is called on the
// run's thread `thread`, on several threads at once, each thread handing out
// a block's colours in order before its next block.
struct RowsOut {
  void (*fn)(void* context, int thread, int colour, int y0, int count,
             const unsigned char* samples) = nullptr;
  void* context = nullptr;
};

// resize_rows of `count` colours (1 .. 4) read from the same rows, only when the
// width shrinks and the height does not: colours[0].rows is called once for
// each block of kSourceRows rows, and each colour takes its samples from
// that block at its own offset and step (the other colours' rows functions
// are not called). Each row block is shrunk colour after colour and handed
// to `out`, so no plane is needed at either end. The same samples as
// resize_rows of each colour; the same progress lines, the first colour's
// step 1 around all the work.
void resize_rows_colours(ResizeRun& run, const RowSource* colours, int count, const RowsOut& out);

// The threads a run works on.
int resize_run_threads(const ResizeRun& run);

// The ten progress lines of a plane that neither axis shrinks, for a caller
// that copies the samples itself (a 24-bit BMP copied as it is).
void resize_report_copy();

// Premultiplied alpha: each of the `count` colour planes times alpha (as a
// fraction of its maximum; in linear light when the run is linear) is
// resized, then divided by the resized alpha and clamped (colour 0 where the
// resized alpha rounds to 0); the alpha plane is resized as plain values into
// out_alpha. Prints the ten progress lines for every plane, alpha first.
template <class T>
void resize_planes_with_alpha(ResizeRun& run, const Plane<T>* const* colours, int count,
                              const Plane<T>& alpha, Plane<T>* const* out_colours,
                              Plane<T>& out_alpha);

// The same steps as resize_plane without the conversion to samples: writes
// the out_w x out_h values, column by column, into `values` (in sample units,
// or linear light 0 .. 1 when the run is linear).
void resize_plane_values(ResizeRun& run, const ColorPlane& src, double* values);

// One value as a sample of 0 .. max: rounded to nearest, halves up, and
// clamped (a NaN gives 0).
inline double round_sample(double v, double max) {
  if (!(v > 0.0)) return 0.0;
  if (v >= max) return max;
  return static_cast<double>(static_cast<std::int64_t>(v + 0.5));
}

// The thread count from the text of KORVALE_THREADS: null (unset) gives
// every hardware thread; otherwise the text must be a positive decimal
// integer (values above kMaxThreads use kMaxThreads). Returns "" and sets
// *threads, or the one-line error text.
std::string thread_count_from(const char* text, int* threads);

}  // namespace korvale
