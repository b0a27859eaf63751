// ColorPlane: one colour channel of w x h pixels, one byte each, stored
// column by column: the byte of column x, row y is px[x*h + y], and row 0 is
// the top row of the picture. The plane owns its bytes.
#pragma once

#include "common/named_alloc.h"

namespace korvale {

struct ColorPlane {
  int w = 0;
  int h = 0;
  Buffer<unsigned char> px;

  unsigned char& at(int x, int y) const { return px[static_cast<std::size_t>(x) * h + y]; }
};

// A plane of w x h bytes for the buffer `name`; ends the process with
// "NAME no memory!!" when it cannot be had. The bytes are not initialised.
inline ColorPlane named_plane(int w, int h, const char* name) {
  ColorPlane plane;
  plane.w = w;
  plane.h = h;
  plane.px = named_large_buffer<unsigned char>(static_cast<std::size_t>(w) * h, name);
  return plane;
}

}  // namespace korvale
