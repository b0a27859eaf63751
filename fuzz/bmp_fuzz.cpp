// libFuzzer target: the BMP reader's path over arbitrary bytes, as read_bmp
// takes it: the header check sizes the read from the first bytes, then the
// decoder runs over exactly those bytes of the file. Any input must be either
// refused with a one-line error text or decoded into three planes of the
// width and height its header gives, without reading outside the input. The
// whole input is also decoded in one call, which must agree. Pictures are
// held to 2^24 pixels (a smaller limit than the program's, so that each input
// stays quick), which refuses the rest with the pixel-limit line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bmp/bmp.h"

namespace {

constexpr std::int64_t kMaxPixels = std::int64_t{1} << 24;

std::uint32_t le(const uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint32_t{p[i]} << (8 * i);
  return v;
}

// The width and height the header gives: 16-bit fields in a 12-byte
// information header, else 32-bit ones with the height's sign the row order.
void header_size(const uint8_t* data, std::int64_t* w, std::int64_t* h) {
  if (le(data + 14, 4) == 12) {
    *w = le(data + 18, 2);
    *h = le(data + 20, 2);
    return;
  }
  *w = static_cast<std::int32_t>(le(data + 18, 4));
  *h = static_cast<std::int32_t>(le(data + 22, 4));
  if (*h < 0) *h = -*h;
}

void check(const std::string& error, const korvale::BmpPlanes& planes, const uint8_t* data) {
  if (!error.empty()) {
    if (error.find('\n') != std::string::npos) std::abort();  // failures are one line
    return;
  }
  std::int64_t w = 0, h = 0;
  header_size(data, &w, &h);
  const korvale::ColorPlane* all[] = {&planes.red, &planes.green, &planes.blue};
  for (const korvale::ColorPlane* p : all) {
    if (p->w != w || p->h != h || w * h > kMaxPixels) std::abort();
    // Touch the first and last byte so a short plane shows up under ASan.
    volatile unsigned char first = p->px[0];
    volatile unsigned char last = p->px[static_cast<size_t>(p->w) * p->h - 1];
    (void)first;
    (void)last;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader's way: only the bytes the header says the picture needs.
  std::size_t needed = 0;
  std::string error =
      korvale::bmp_bytes_needed(data, std::min(size, korvale::kBmpProbeBytes), size, &needed);
  korvale::BmpPlanes planes;
  if (error.empty()) {
    if (needed > size) std::abort();
    // A buffer of exactly that length, so a read past it shows up under ASan.
    const std::vector<uint8_t> read(data, data + needed);
    error = korvale::decode_bmp(read.data(), needed, size, &planes, 1, kMaxPixels);
  }
  check(error, planes, data);

  korvale::BmpPlanes whole;
  const std::string whole_error = korvale::decode_bmp(data, size, &whole, 1, kMaxPixels);
  check(whole_error, whole, data);
  if (whole_error != error) std::abort();
  return 0;
}
