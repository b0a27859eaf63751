// The size a -resize GEOMETRY asks for, in ImageMagick's notation and with
// its rounding:
//   N%       both sides times N/100 (N may have decimals)
//   N%xM%    width times N/100, height times M/100
//   W, Wx    width W, height following the aspect ratio
//   xH       height H, width following the aspect ratio
//   WxH      the largest size inside W x H, aspect kept
//   WxH!     exactly W x H
//   WxH^     the smallest size covering W x H, aspect kept
//   N@       at most N pixels, aspect kept
// Each computed side is floor(f * side + 0.5) and at least 1, where f is the
// scale of that side; N@ truncates instead. A trailing '>' applies the
// geometry only to pictures larger than it (wider or taller than W x H, more
// than N pixels, a percentage below 100); others keep their size.
// Sizes in pixels are whole numbers of at least 1; nothing else (offsets,
// '<', exponents, spaces) is accepted.
#pragma once

#include <cstdint>
#include <string>

namespace korvale {

struct Geometry {
  enum class Kind { percent, width, height, fit, exact, cover, area };
  Kind kind = Kind::percent;
  double percent_x = 100.0;  // percent
  double percent_y = 100.0;
  std::int64_t width = 0;    // width, fit, exact, cover
  std::int64_t height = 0;   // height, fit, exact, cover
  std::int64_t area = 0;     // area
  bool only_larger = false;  // trailing '>'
};

// Parses `text` into *geometry. Returns "" or the one-line refusal naming it.
std::string parse_geometry(const std::string& text, Geometry* geometry);

// The size *geometry gives a picture of w x h pixels (both at least 1), in
// *out_w x *out_h. The result may be larger than the picture; the caller
// decides what to do with that.
void geometry_size(const Geometry& geometry, int w, int h, std::int64_t* out_w,
                   std::int64_t* out_h);

}  // namespace korvale
