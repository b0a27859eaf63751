// Spectral plane resizer: shrinks colour planes by cutting the high
// frequencies out of their two-dimensional spectrum.
//
// What it computes, for a plane of W x H pixels shrunk to W' = W - a columns
// and H' = H - b rows: the plane mirrored into an even 2W x 2H grid, its 2-D
// DFT cropped to the 2W' x 2H' bins around zero frequency (the new Nyquist
// column gets its twin column added, since frequencies -W' and +W' both alias
// onto it, then the new Nyquist row its twin row, so the crop stays Hermitian
// and the reconstruction real), the inverse 2-D DFT, and its top-left
// W' x H' quadrant, each value made a pixel by pixel_byte.
//
// How: the mirrored grid is separable and even, so its spectrum is a phase
// factor times the 2-D DCT-II of the plane, and every step is linear. Five
// steps, each printing its start and end line; the four line passes read
// contiguous lines and write their results transposed in blocks:
//   Horizontal DFT   DCT-II of every row, keeping Kx = min(W'+1, W) terms;
//   Vertical DFT     DCT-II of those Kx columns, keeping Ky = min(H'+1, H);
//   High frequency component removing: the 1/(W H) scale and the fold
//                    weights 2 cos(pi W' / 2W), 2 cos(pi H' / 2H);
//   horizontal IDFT  synthesis of W' samples along x for each of Ky rows
//                    (a DCT-III when a = 0);
//   vertical IDFT    synthesis of H' samples along y for each of W' columns
//                    (a DCT-III when b = 0), straight into the destination.
// resize/line_transform.h has the line transforms; each pair of real lines
// shares one complex DFT plan (chirpz/chirpz.h).
// The reconstructed values agree with the full 2-D DFT pipeline to about
// 1e-12 (the tests hold them to 1e-9).
//
// A run (ResizeRun) is built once for a size and reduction and serves every
// plane of that size, one after the other: the DFT plans (one per line length
// and direction), the FFT tables and the grids are allocated and computed
// once, and the threads started once. Each line's arithmetic depends only on
// its index (lines are paired by index, and every thread gets a contiguous
// chunk of whole blocks), so the bytes never depend on the thread count.
//
// Memory per run: Kx*H + Ky*Kx doubles of grids (at most 16 bytes per input
// pixel, 4 + 2 when both sides are halved; 2 MB-aligned, offered to the
// kernel as huge pages), the plans, the FFT tables, and per thread a DFT work
// area, 64 gathered byte rows and 16 staged lines.
//
// Failure: allocations happen when the run is built; one that fails ends the
// process with "NAME no memory!!" on standard output and status 1 (names: ww,
// ip, czchirp, czfilter, dcttw, syntw, FOLD, HDCT, VDCT, czwork, HROWS,
// STAGE). Nothing fails once the run is built. Sizes or reductions out of range, or a
// plane not of the run's size, abort. Progress lines go to standard error.
#pragma once

#include <memory>
#include <string>

#include "common/color_plane.h"
#include "common/limits.h"

namespace korvale {

// Most threads a run starts; larger requests use this many.
inline constexpr int kMaxThreads = 64;

struct ResizeRun;
struct ResizeRunDeleter {
  void operator()(ResizeRun* run) const;
};
using ResizeRunPtr = std::unique_ptr<ResizeRun, ResizeRunDeleter>;

// Builds a run for planes of w x h shrunk by a x b (1 <= w, h <= kMaxSide,
// 0 <= a < w, 0 <= b < h) on `threads` threads (1 .. kMaxThreads; 1 runs
// everything on the calling thread).
ResizeRunPtr resize_run_begin(int w, int h, int a, int b, int threads);

// Shrinks src (the run's W x H) into dst, which the caller has made W' x H'
// with dst.px allocated. Prints the ten progress lines on standard error, each
// when its pass starts or ends.
void resize_plane(ResizeRun& run, const ColorPlane& src, ColorPlane& dst);

// The same passes without the conversion to bytes: writes the W' x H'
// reconstructed values, column by column, into `values`.
void resize_plane_values(ResizeRun& run, const ColorPlane& src, double* values);

// Values closer than this below an integer count as that integer.
inline constexpr double kIntegerSnap = 1e-7;

// One reconstructed value as a pixel: a value within kIntegerSnap below an
// integer is taken as that integer (99.99999995 is 100, 99.9999 stays below
// 100), then truncated toward zero and clamped to 0..255 (254.99 gives 254).
unsigned char pixel_byte(double v);

// The thread count from the text of KORVALE_THREADS: null (unset) gives
// every hardware thread; otherwise the text must be a positive decimal
// integer (values above kMaxThreads use kMaxThreads). Returns "" and sets
// *threads, or the one-line error text.
std::string thread_count_from(const char* text, int* threads);

}  // namespace korvale
