// Writes a test picture that shows what spectral down-sizing does:
//   red   a zone plate, cos(pi r^2 / (2 R)), whose rings reach the Nyquist
//         frequency at the corners (R: centre-to-corner distance);
//   green a left-to-right ramp with a white box of sharp edges in the middle;
//   blue  a top-to-bottom ramp with a checkerboard of 16-pixel squares in the
//         lower left quarter.
// Usage: make_picture WIDTH HEIGHT STEM   (writes STEM.bmp)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>

#include "bmp/bmp.h"
#include "common/color_plane.h"

namespace {

unsigned char to_byte(double v) {
  if (v <= 0.0) return 0;
  if (v >= 255.0) return 255;
  return static_cast<unsigned char>(std::lround(v));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_picture WIDTH HEIGHT STEM\n");
    return 2;
  }
  const int w = std::atoi(argv[1]);
  const int h = std::atoi(argv[2]);
  if (w < 1 || h < 1 || w > korvale::kMaxSide || h > korvale::kMaxSide) {
    std::fprintf(stderr, "make_picture: sizes must lie in 1 .. %d\n", korvale::kMaxSide);
    return 2;
  }
  using korvale::named_plane;
  korvale::ColorPlane red = named_plane(w, h, "R");
  korvale::ColorPlane green = named_plane(w, h, "G");
  korvale::ColorPlane blue = named_plane(w, h, "B");

  const double cx = 0.5 * (w - 1), cy = 0.5 * (h - 1);
  const double corner = std::max(1.0, std::hypot(cx, cy));
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
      red.at(x, y) = to_byte(127.5 + 127.5 * std::cos(std::numbers::pi * r2 / (2.0 * corner)));

      const bool in_box = 3 * x >= w && 3 * x < 2 * w && 3 * y >= h && 3 * y < 2 * h;
      green.at(x, y) = in_box ? 255 : to_byte(255.0 * x / std::max(1, w - 1));

      const bool in_board = 2 * x < w && 2 * y >= h;
      const bool dark = ((x / 16) + (y / 16)) % 2 == 0;
      blue.at(x, y) = in_board ? (dark ? 0 : 255) : to_byte(255.0 * y / std::max(1, h - 1));
    }
  }

  std::string error = korvale::write_bmp(argv[3], red, green, blue);
  if (!error.empty()) {
    std::fprintf(stderr, "make_picture: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
