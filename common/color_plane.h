// Planes: one channel of w x h samples stored column by column: the sample of
// column x, row y is px[x*h + y], and row 0 is the top row of the picture.
// The plane owns its samples. ColorPlane holds 8-bit samples (0..255),
// WidePlane 16-bit ones (0..65535).
#pragma once

#include <cstdint>

#include "common/named_alloc.h"

namespace korvale {

template <class T>
struct Plane {
  int w = 0;
  int h = 0;
  Buffer<T> px;

  T& at(int x, int y) const { return px[static_cast<std::size_t>(x) * h + y]; }
};

using ColorPlane = Plane<unsigned char>;
using WidePlane = Plane<std::uint16_t>;

// A plane of w x h samples for the buffer `name`; ends the process with
// "NAME no memory!!" when it cannot be had. The samples are not initialised.
template <class T = unsigned char>
Plane<T> named_plane(int w, int h, const char* name) {
  Plane<T> plane;
  plane.w = w;
  plane.h = h;
  plane.px = named_large_buffer<T>(static_cast<std::size_t>(w) * h, name);
  return plane;
}

}  // namespace korvale
