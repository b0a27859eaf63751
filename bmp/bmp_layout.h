// Private to the BMP reader: what the header check learns about a file, and
// the pixel decoders that work from it. Nothing here allocates or prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/color_plane.h"
#include "common/worker_pool.h"

namespace korvale::bmp_detail {

// printf-style formatting of a one-line refusal.
template <class... Args>
std::string format(const char* fmt, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, args...);
  return text;
}

// How the stored pixels turn into colours.
enum class PixelCoding {
  kIndexed,  // 1, 2, 4 or 8 bits per pixel into the palette, rows padded to 4 bytes
  kRle8,     // run-length encoded 8-bit palette indices
  kRle4,     // run-length encoded 4-bit palette indices
  kBgr24,    // three bytes blue, green, red
  kMasked,   // 16 or 32 bits per pixel, each colour a run of bits (BI_RGB or bitfields)
};

// One colour channel inside a 16- or 32-bit pixel: (pixel & mask) >> shift,
// a value of `bits` bits, scaled to 0..255. bits == 0 reads as 0.
struct ChannelMask {
  std::uint32_t mask = 0;
  int shift = 0;
  int bits = 0;
};

struct BmpLayout {
  int width = 0;          // 1..kMaxSide
  int height = 0;         // rows, 1..kMaxSide
  bool top_down = false;  // the first stored row is the top one
  int bits = 0;           // bits per pixel
  PixelCoding coding = PixelCoding::kBgr24;
  std::size_t pixel_offset = 0;  // first byte of the pixel data
  std::size_t data_end = 0;      // one past the last byte the pixel data may use
  std::size_t row_bytes = 0;     // one stored row (uncompressed codings), padded to 4 bytes
  // Palette (indexed and run-length codings): `palette_count` entries of
  // `palette_entry_bytes` bytes (blue, green, red[, unused]) from
  // palette_offset, all before pixel_offset.
  std::size_t palette_offset = 0;
  int palette_count = 0;
  int palette_entry_bytes = 4;
  ChannelMask red, green, blue;  // kMasked only
};

// Checks every header field of a file of file_len bytes whose first head_len
// bytes (at least min(file_len, kBmpProbeBytes); colour masks after a
// 40-byte header end at byte 70, within that) are at `head`, against each
// other and against file_len: sizes, codings, masks, palette extent, pixel
// offset, declared size. Returns "" and fills *out when decoding can proceed
// reading only file[0 .. out->data_end - 1]; otherwise the refusal (one line,
// without the file's name).
std::string check_bmp_layout(const unsigned char* head, std::size_t head_len, std::size_t file_len,
                             BmpLayout* out);

// Where the palette and the stored rows are read from: the file's bytes in
// memory (`file`, at least layout.data_end bytes), or, when file is nullptr,
// the open file `fd` with pread (not for run-length data, which is decoded
// from memory only).
struct PixelSource {
  const unsigned char* file = nullptr;
  int fd = -1;
};

// Decodes the pixels into the planes b, g, r of layout.width x
// layout.height, top row first: stored row i lands in plane row i of a
// top-down file and H - 1 - i otherwise. Pixels that run-length data never
// reaches are black. Returns "" or the refusal for run-length data that
// leaves the picture or ends without its end-of-picture code, or
// kBmpSizeError when the file cannot be read to layout.data_end (it shrank
// or a read failed). Uncompressed rows are decoded on the pool's threads;
// run-length data on the calling thread.
std::string decode_pixels(const PixelSource& src, const BmpLayout& layout, const ColorPlane& b,
                          const ColorPlane& g, const ColorPlane& r, WorkerPool& pool);

// Reads n bytes at `offset` of fd; false when the file ends first (errno 0)
// or a read fails (errno set): a file that shrank while it was read.
bool read_exactly(int fd, unsigned char* dst, std::size_t n, std::size_t offset);

}  // namespace korvale::bmp_detail
