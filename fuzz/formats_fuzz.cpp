// libFuzzer target: the format-detecting reader over arbitrary bytes. Any
// input must be refused with a one-line text or decoded into planes of the
// size the picture says (all channels, one depth), without reading outside
// the input. A small decoded picture must also survive PNG and back exactly,
// metadata included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "formats/formats.h"

namespace {

template <class T>
void check_planes(const std::vector<korvale::Plane<T>>& planes, const korvale::Picture& p) {
  if (planes.size() != static_cast<std::size_t>(p.channels())) std::abort();
  for (const korvale::Plane<T>& plane : planes) {
    if (plane.w != p.w || plane.h != p.h) std::abort();
    // Touch the first and last sample so a short plane shows up under ASan.
    volatile T first = plane.px[0];
    volatile T last = plane.px[static_cast<std::size_t>(p.w) * p.h - 1];
    (void)first;
    (void)last;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's length, so a read past it shows up.
  const std::vector<uint8_t> bytes(data, data + size);
  korvale::ReadSettings s;
  s.max_pixels = 1 << 22;  // keeps each run small; the limit itself is checked first
  korvale::Picture p;
  const std::string error = korvale::decode_picture(bytes.data(), bytes.size(), s, &p);
  if (!error.empty()) {
    if (error.find('\n') != std::string::npos) std::abort();  // failures are one line
    return 0;
  }
  if (p.w < 1 || p.h < 1 || p.w > korvale::kMaxSide || p.h > korvale::kMaxSide) std::abort();
  if (static_cast<std::int64_t>(p.w) * p.h > s.max_pixels) std::abort();
  if ((p.colors != 1 && p.colors != 3) || (p.bits != 8 && p.bits != 16)) std::abort();
  if (p.bits == 16) {
    if (!p.planes.empty()) std::abort();
    check_planes(p.wide, p);
  } else {
    if (!p.wide.empty()) std::abort();
    check_planes(p.planes, p);
  }

  if (static_cast<std::int64_t>(p.w) * p.h > 4096) return 0;
  std::vector<unsigned char> png;
  if (!korvale::encode_picture(korvale::ImageFormat::png, p, korvale::WriteSettings{}, &png)
           .empty())
    return 0;  // e.g. a profile libpng will not take is dropped, not an error
  korvale::Picture back;
  if (!korvale::decode_picture(png.data(), png.size(), s, &back).empty()) std::abort();
  if (back.w != p.w || back.h != p.h || back.bits != p.bits || back.channels() != p.channels())
    std::abort();
  for (int c = 0; c < p.channels(); ++c) {
    for (int x = 0; x < p.w; ++x) {
      for (int y = 0; y < p.h; ++y) {
        const bool same = p.bits == 16 ? back.wide[c].at(x, y) == p.wide[c].at(x, y)
                                       : back.planes[c].at(x, y) == p.planes[c].at(x, y);
        if (!same) std::abort();
      }
    }
  }
  return 0;
}
