// libFuzzer target: the BMP reader's path over arbitrary bytes, as read_bmp
// takes it: the header check sizes the read from the first bytes, then the
// decoder runs over exactly those bytes of the file. Any input must be either
// refused with a one-line error text or decoded into planes of the size its
// header gives, without reading outside the input. The whole input is also
// decoded in one call, which must agree.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bmp/bmp.h"

namespace {

void check(const std::string& error, const korvale::BmpPlanes& planes) {
  if (!error.empty()) {
    if (error.find('\n') != std::string::npos) std::abort();  // failures are one line
    return;
  }
  const korvale::ColorPlane* all[] = {&planes.red, &planes.green, &planes.blue};
  for (const korvale::ColorPlane* p : all) {
    if (p->w < 1 || p->h < 1 || p->w > korvale::kMaxSide || p->h > korvale::kMaxSide)
      std::abort();
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
    error = korvale::decode_bmp(read.data(), needed, size, &planes);
  }
  check(error, planes);

  korvale::BmpPlanes whole;
  const std::string whole_error = korvale::decode_bmp(data, size, &whole);
  check(whole_error, whole);
  if (whole_error != error) std::abort();
  return 0;
}
