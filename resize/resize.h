// Spectral plane resizer: shrinks one colour plane by cutting the high
// frequencies out of its two-dimensional discrete Fourier spectrum, and the
// line transforms that compute that spectrum one row or column at a time.
//
// Grids (SpectrumGrid) are pairs of double arrays, real and imaginary, stored
// column by column: element (column x, row y) of a grid of r rows is [x*r + y].
//
// Failure: these functions do not return errors. A buffer that cannot be
// allocated ends the process with "NAME no memory!!" on standard output and
// status 1; a line whose chirp-z plan is refused ends it with "failure!!!!".
// Progress lines go to standard error.
#pragma once

#include "common/color_plane.h"

namespace korvale {

// Longest line a line transform accepts (the staging buffers' size); a
// longer line aborts the process rather than overrun them.
inline constexpr int kMaxLine = 8192;

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
// with dst.px allocated. Requires 1 <= W, H <= 4096, 0 <= a < W, 0 <= b < H;
// other arguments would overrun the grids and abort the process instead.
// The spectrum is cropped to the 2W' x 2H' bins around zero frequency; the
// new Nyquist column gets its twin column added (frequencies -W' and +W'
// both alias onto it), then the new Nyquist row its twin row, so the cropped
// spectrum stays Hermitian and the reconstruction real. Each pixel is
// pixel_byte of its reconstructed value.
// Prints ten progress lines on standard error. Memory peak: 192*W*H bytes
// (six grids of 4WH doubles) plus the FFT tables "ww" and "ip".
void resize_plane(int a, int b, const ColorPlane& src, const ColorPlane& dst);

// The same pipeline without the final conversion to bytes: writes the
// (W - a) x (H - b) reconstructed values, column by column, into `values`,
// and their imaginary parts (rounding noise only) into `imag` when it is not
// null. Exposed so tests can compare against an independent reference.
void resize_plane_values(int a, int b, const ColorPlane& src, double* values,
                         double* imag = nullptr);

// Values closer than this below an integer count as that integer.
inline constexpr double kIntegerSnap = 1e-7;

// One reconstructed value as a pixel: a value within kIntegerSnap below an
// integer is taken as that integer (99.99999995 is 100, 99.9999 stays below
// 100), then truncated toward zero and clamped to 0..255 (254.99 gives 254).
unsigned char pixel_byte(double v);

}  // namespace korvale
