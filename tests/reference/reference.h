// The straightforward spectral plane resizer, kept as the reference that the
// tests hold the product's fast pipeline against (only tests link it): the
// plane mirrored into a 2W x 2H complex grid, a full 2-D DFT by rows and
// columns (a chirp-z plan built per line), the spectrum shifted so that the
// new grid's samples land on the centres of the new pixels, the crop with the
// Nyquist folds, the inverse 2-D DFT, and the real part of its top-left
// W' x H' quadrant, rounded to the nearest sample.
//
// Grids are pairs of double arrays, real and imaginary, stored column by
// column: element (column x, row y) of a grid of r rows is [x*r + y].
//
// Failure: these functions do not return errors. A buffer that cannot be
// allocated ends the process with "NAME no memory!!" on standard output and
// status 1; a line whose chirp-z plan is refused aborts.
// Progress lines go to standard error.
#pragma once

#include "common/color_plane.h"
#include "resize/resize.h"

namespace korvale::reference {

// Longest line a line transform accepts (the staging buffers' size, twice the
// largest picture side); a longer line aborts the process rather than overrun
// them.
inline constexpr int kMaxLine = 65536;

// Line transforms. N is the line length (2 .. kMaxLine). Forward transforms
// write X[k] = (1/N) sum_n x[n] exp(-2 pi i n k / N); inverse transforms write
// y[n] = sum_k x[k] exp(+2 pi i n k / N), unscaled. Columns are contiguous;
// rows have their points `stride` elements apart. The input is never written;
// exactly the N output points are written; output and input must not overlap.
// ip/ww are the caller's FFT tables (set ip[0] = 0 to force a rebuild).
void column_dft_forward(int n, const double* in_re, const double* in_im, double* out_re,
                        double* out_im, int* ip, double* ww);
void column_dft_inverse(int n, const double* in_re, const double* in_im, double* out_re,
                        double* out_im, int* ip, double* ww);
void row_dft_forward(int n, int stride, const double* in_re, const double* in_im, double* out_re,
                     double* out_im, int* ip, double* ww);
void row_dft_inverse(int n, int stride, const double* in_re, const double* in_im, double* out_re,
                     double* out_im, int* ip, double* ww);

// Shrinks src (W x H) into dst, which the caller has made (W - a) x (H - b)
// with dst.px allocated. Requires 1 <= W, H <= kMaxLine / 2, 0 <= a < W, 0 <= b < H;
// other arguments would overrun the grids and abort the process instead.
// Output sample n along x stands for input position (n + 1/2) W / W' - 1/2
// (pixel centres at integers), and likewise along y: the spectrum is
// multiplied by the phase of that shift, then cropped to the 2W' x 2H' bins
// around zero frequency; the new Nyquist column gets its twin column added
// (frequencies -W' and +W' both alias onto it), then the new Nyquist row its
// twin row, so the cropped spectrum stays Hermitian and the reconstruction
// real. Each value is rounded to the nearest sample (halves up) and clamped
// to 0 .. max. With `linear`, samples are decoded from sRGB to linear light
// first, and the values clamped to 0 .. 1 and encoded back before rounding.
// Prints ten progress lines on standard error. Memory peak: 192*W*H bytes
// (six grids of 4WH doubles) plus the FFT tables "ww" and "ip".
template <class T>
void resize_plane(int a, int b, const Plane<T>& src, Plane<T>& dst, bool linear = false);

// The same pipeline without the final conversion to bytes: writes the
// (W - a) x (H - b) reconstructed values, column by column, into `values`,
// and their imaginary parts (rounding noise only) into `imag` when it is not
// null. Exposed so tests can compare against an independent reference.
void resize_plane_values(int a, int b, const ColorPlane& src, double* values,
                         double* imag = nullptr);

}  // namespace korvale::reference
