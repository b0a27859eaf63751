// libFuzzer target: the BMP header check and de-interleave over arbitrary
// bytes. Any input must be either refused with an error text or decoded into
// planes of the size its header gives, without reading outside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bmp/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvale::BmpPlanes planes;
  std::string error = korvale::decode_bmp(data, size, &planes);
  if (error.empty()) {
    const korvale::ColorPlane* all[] = {&planes.red, &planes.green, &planes.blue};
    for (const korvale::ColorPlane* p : all) {
      if (p->w < 1 || p->h < 1 || p->w > korvale::kMaxImageSide || p->h > korvale::kMaxImageSide)
        std::abort();
      // Touch the first and last byte so a short plane shows up under ASan.
      volatile unsigned char first = p->px[0];
      volatile unsigned char last = p->px[static_cast<size_t>(p->w) * p->h - 1];
      (void)first;
      (void)last;
    }
  } else if (error.find('\n') != std::string::npos) {
    std::abort();  // failures are one line
  }
  return 0;
}
