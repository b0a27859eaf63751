// The straightforward resizer the tests hold the product against: the full
// 2-D DFT of the mirrored plane, shifted to the centred output positions,
// cropped, and transformed back on the new grid.
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <utility>

#include "common/named_alloc.h"
#include "tests/reference/reference.h"

namespace korvale::reference {
namespace {

// Size of each FFT work table: serves transforms of up to 131072 points,
// what a chirp-z line of kMaxLine points needs.
constexpr std::size_t kFftTableSize = 65536;

void progress(const char* line) {
  std::fputs(line, stderr);
}

// The reductions must leave at least one pixel on each axis and every line
// must fit the line transforms; anything else would overrun the grids.
void check_arguments(int a, int b, int w, int h) {
  const int max_side = kMaxLine / 2;
  if (w < 1 || h < 1 || w > max_side || h > max_side || a < 0 || a >= w || b < 0 || b >= h) {
    std::fprintf(stderr, "resize_plane: cannot shrink %d x %d by %d x %d\n", w, h, a, b);
    std::abort();
  }
}

// Multiplies grid element (column c, row r) of the 2W x 2H spectrum by
// exp(2 pi i (fx sx / 2W + fy sy / 2H)), fx and fy the signed frequencies of
// column c and row r: by the shift theorem the picture moves by -sx, -sy
// pixels, so that sample n of the new grid (at input position n W / W')
// lands on (n + 1/2) W / W' - 1/2 = n W / W' + sx.
void shift_spectrum(std::size_t w, std::size_t h, double sx, double sy, double* re, double* im) {
  const std::size_t w2 = 2 * w, h2 = 2 * h;
  for (std::size_t c = 0; c < w2; ++c) {
    const double fx = c < w ? static_cast<double>(c) : static_cast<double>(c) - w2;
    for (std::size_t r = 0; r < h2; ++r) {
      const double fy = r < h ? static_cast<double>(r) : static_cast<double>(r) - h2;
      const long double angle = 2 * std::numbers::pi_v<long double> * (fx * sx / w2 + fy * sy / h2);
      const double cr = static_cast<double>(std::cos(angle));
      const double ci = static_cast<double>(std::sin(angle));
      const double xr = re[c * h2 + r], xi = im[c * h2 + r];
      re[c * h2 + r] = xr * cr - xi * ci;
      im[c * h2 + r] = xr * ci + xi * cr;
    }
  }
}

// Copies `count` elements of both halves of a grid.
void copy_grid(std::size_t count, const double* from_re, const double* from_im, double* to_re,
               double* to_im) {
  for (std::size_t k = 0; k < count; ++k) {
    to_re[k] = from_re[k];
    to_im[k] = from_im[k];
  }
}

// The reconstructed 2W' x 2H' grid (columns of 2H' elements); callers read
// its top-left W' x H' quadrant.
struct Reconstruction {
  Buffer<double> re;
  Buffer<double> im;
};

// Runs the whole spectral pipeline on src. Every other buffer is released here.
Reconstruction reconstruct(int a, int b, int src_w, int src_h, const double* px) {
  check_arguments(a, b, src_w, src_h);
  const std::size_t w = static_cast<std::size_t>(src_w);
  const std::size_t h = static_cast<std::size_t>(src_h);
  const std::size_t w2 = 2 * w, h2 = 2 * h;
  const std::size_t nw = w - a, nh = h - b;  // W', H'
  const std::size_t nw2 = 2 * nw, nh2 = 2 * nh;
  const std::size_t cells = 4 * w * h;

  Buffer<double> kari_r = named_buffer<double>(cells, "kariR");
  Buffer<double> kari_i = named_buffer<double>(cells, "kariI");
  Buffer<double> vin_r = named_buffer<double>(cells, "VINR");
  Buffer<double> vin_i = named_buffer<double>(cells, "VINI");
  Buffer<double> vout_r = named_buffer<double>(cells, "VOUTR");
  Buffer<double> vout_i = named_buffer<double>(cells, "VOUTI");

  // Even extension: mirror right and down so the 2W x 2H grid has no jumps
  // at its borders (edge pixels appear twice).
  for (std::size_t x = 0; x < w2; ++x) {
    const std::size_t sx = x < w ? x : w2 - 1 - x;
    for (std::size_t y = 0; y < h2; ++y) {
      const std::size_t sy = y < h ? y : h2 - 1 - y;
      vin_r[x * h2 + y] = px[sx * h + sy];
      vin_i[x * h2 + y] = 0.0;
    }
  }

  progress("Start Horizontal DFT\n");
  Buffer<double> ww = named_buffer<double>(kFftTableSize, "ww");
  Buffer<int> ip = named_buffer<int>(kFftTableSize, "ip");

  // Forward pass over the 2H rows (length 2W, stride 2H).
  ip[0] = 0;
  for (std::size_t y = 0; y < h2; ++y) {
    row_dft_forward(static_cast<int>(w2), static_cast<int>(h2), vin_r.get() + y, vin_i.get() + y,
                    vout_r.get() + y, vout_i.get() + y, ip.get(), ww.get());
  }
  progress("End Horizontal DFT\n");
  copy_grid(cells, vout_r.get(), vout_i.get(), vin_r.get(), vin_i.get());

  // Forward pass over the 2W contiguous columns (length 2H).
  progress("Start Vertical DFT\n");
  ip[0] = 0;
  for (std::size_t x = 0; x < w2; ++x) {
    column_dft_forward(static_cast<int>(h2), vin_r.get() + x * h2, vin_i.get() + x * h2,
                       vout_r.get() + x * h2, vout_i.get() + x * h2, ip.get(), ww.get());
  }
  vin_r.reset();
  vin_i.reset();
  progress("End Vertical DFT\n");

  Buffer<double> fourie_r = named_buffer<double>(cells, "fourieR");
  Buffer<double> fourie_i = named_buffer<double>(cells, "fourieI");
  progress("Start High frequency component removing \n");

  // Centred samples: shift by half an output pixel less half an input pixel
  // along each axis, (W / W' - 1) / 2 input pixels.
  shift_spectrum(w, h, (static_cast<double>(w) / nw - 1) / 2, (static_cast<double>(h) / nh - 1) / 2,
                 vout_r.get(), vout_i.get());

  // Horizontal fold: frequencies -W' and +W' both alias onto the new Nyquist
  // column, so column W + a (frequency -W') gets column W' of the same row
  // added. Adding the twin, rather than doubling the real part, keeps the
  // 2-D spectrum Hermitian and the reconstruction real. With a = 0 the old
  // Nyquist column is its own twin and stays as it is.
  if (a > 0) {
    const std::size_t fold_x = (w + a) * h2, twin_x = nw * h2;
    for (std::size_t y = 0; y < h2; ++y) {
      vout_r[fold_x + y] += vout_r[twin_x + y];
      vout_i[fold_x + y] += vout_i[twin_x + y];
    }
  }

  // Horizontal crop: the lowest W' columns and the highest W' columns
  // (starting with the folded one) make the 2W' columns of fourie.
  for (std::size_t k = 0; k < nw; ++k) {
    copy_grid(h2, vout_r.get() + k * h2, vout_i.get() + k * h2, fourie_r.get() + k * h2,
              fourie_i.get() + k * h2);
    copy_grid(h2, vout_r.get() + (w + a + k) * h2, vout_i.get() + (w + a + k) * h2,
              fourie_r.get() + (nw + k) * h2, fourie_i.get() + (nw + k) * h2);
  }

  // Vertical fold: in every kept column, row H + b (frequency -H') gets row
  // H' (frequency +H') of the same column added; none when b = 0.
  if (b > 0) {
    for (std::size_t c = 0; c < nw2; ++c) {
      fourie_r[c * h2 + h + b] += fourie_r[c * h2 + nh];
      fourie_i[c * h2 + h + b] += fourie_i[c * h2 + nh];
    }
  }

  // Vertical crop into kari (columns of 2H'), then back into fourie.
  for (std::size_t c = 0; c < nw2; ++c) {
    copy_grid(nh, fourie_r.get() + c * h2, fourie_i.get() + c * h2, kari_r.get() + c * nh2,
              kari_i.get() + c * nh2);
    copy_grid(nh, fourie_r.get() + c * h2 + h + b, fourie_i.get() + c * h2 + h + b,
              kari_r.get() + c * nh2 + nh, kari_i.get() + c * nh2 + nh);
  }
  copy_grid(nw2 * nh2, kari_r.get(), kari_i.get(), fourie_r.get(), fourie_i.get());
  kari_r.reset();
  kari_i.reset();
  progress("End High Frequency component removing\n");

  // Inverse pass over the 2H' rows (length 2W', stride 2H').
  progress("Start horizontal IDFT\n");
  ip[0] = 0;
  for (std::size_t y = 0; y < nh2; ++y) {
    row_dft_inverse(static_cast<int>(nw2), static_cast<int>(nh2), fourie_r.get() + y,
                    fourie_i.get() + y, vout_r.get() + y, vout_i.get() + y, ip.get(), ww.get());
  }
  progress("End horizontal IDFT\n");

  // Inverse pass over the 2W' columns (length 2H').
  progress("Start vertical IDFT\n");
  ip[0] = 0;
  for (std::size_t c = 0; c < nw2; ++c) {
    column_dft_inverse(static_cast<int>(nh2), vout_r.get() + c * nh2, vout_i.get() + c * nh2,
                       fourie_r.get() + c * nh2, fourie_i.get() + c * nh2, ip.get(), ww.get());
  }
  vout_r.reset();
  vout_i.reset();
  progress("End vertical IDFT\n");
  return Reconstruction{std::move(fourie_r), std::move(fourie_i)};
}

double srgb_to_linear(double s) {
  return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
}

double linear_to_srgb(double l) {
  return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055;
}

double nearest_sample(double v, double max) {
  if (!(v > 0.0)) return 0.0;
  if (v >= max) return max;
  return std::floor(v + 0.5);
}

}  // namespace

template <class T>
void resize_plane(int a, int b, const Plane<T>& src, Plane<T>& dst, bool linear) {
  if (dst.w != src.w - a || dst.h != src.h - b) {
    std::fprintf(stderr, "resize_plane: destination is %d x %d, expected %d x %d\n", dst.w, dst.h,
                 src.w - a, src.h - b);
    std::abort();
  }
  const double max = sizeof(T) == 1 ? 255.0 : 65535.0;
  const std::size_t cells = static_cast<std::size_t>(src.w) * src.h;
  Buffer<double> in = named_buffer<double>(cells, "REFIN");
  for (std::size_t i = 0; i < cells; ++i) {
    in[i] = linear ? srgb_to_linear(src.px[i] / max) : static_cast<double>(src.px[i]);
  }
  const Reconstruction result = reconstruct(a, b, src.w, src.h, in.get());
  const std::size_t nh = static_cast<std::size_t>(dst.h);
  for (std::size_t x = 0; x < static_cast<std::size_t>(dst.w); ++x) {
    for (std::size_t y = 0; y < nh; ++y) {
      double v = result.re[x * 2 * nh + y];
      if (linear) v = linear_to_srgb(v < 0 ? 0 : v > 1 ? 1 : v) * max;
      dst.px[x * nh + y] = static_cast<T>(nearest_sample(v, max));
    }
  }
}

template void resize_plane(int, int, const Plane<unsigned char>&, Plane<unsigned char>&, bool);
template void resize_plane(int, int, const Plane<std::uint16_t>&, Plane<std::uint16_t>&, bool);

void resize_plane_values(int a, int b, const ColorPlane& src, double* values, double* imag) {
  const std::size_t cells = static_cast<std::size_t>(src.w) * src.h;
  Buffer<double> in = named_buffer<double>(cells, "REFIN");
  for (std::size_t i = 0; i < cells; ++i) in[i] = src.px[i];
  const Reconstruction result = reconstruct(a, b, src.w, src.h, in.get());
  const std::size_t nw = static_cast<std::size_t>(src.w - a);
  const std::size_t nh = static_cast<std::size_t>(src.h - b);
  for (std::size_t x = 0; x < nw; ++x) {
    for (std::size_t y = 0; y < nh; ++y) {
      values[x * nh + y] = result.re[x * 2 * nh + y];
      if (imag != nullptr) imag[x * nh + y] = result.im[x * 2 * nh + y];
    }
  }
}

}  // namespace korvale::reference
