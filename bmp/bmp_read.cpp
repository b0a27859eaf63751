// Reading 24-bit uncompressed BMP files.
//
// File layout (all fields little-endian):
//
//   offset size  field
//   ------ ----  -----------------------------------------------------------
//        0    2  signature "BM"
//        2    4  declared file size S (signed)
//        6    4  two reserved 16-bit words (ignored)
//       10    4  offset of the pixel data (54 for a plain 40-byte info
//                header; 122 or 138 for the 108- and 124-byte variants)
//       14    4  information header size (40, 64, 108 or 124; at least 40,
//                and the pixel data starts after it)
//       18    4  width W (signed, 1..4096)
//       22    4  height H (signed; > 0: rows bottom-up, < 0: rows top-down)
//       26    2  colour planes (must be 1)
//       28    2  bits per pixel (must be 24)
//       30    4  compression (must be 0, none)
//       34   20  image size, resolution, palette counts (ignored)
//   offset  ...  |H| rows of W pixels, each pixel blue, green, red, each row
//                padded with zero bytes to bmp_row_bytes(W)
//
// The declared size S decides how many bytes are read: S - offset from the
// pixel offset on. S must not exceed the real length of the file and must
// cover |H| padded rows after the offset.
//
// Planes come out column by column, top row first (px[x*h + y]). The rows are
// first de-interleaved in file order into B, G, R and then put top row first
// into BIN, GIN, RIN; the buffer names are the ones in the failure messages.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmp/bmp.h"

namespace korvale {

int image_width = 0;
int image_height = 0;

namespace {

std::uint32_t u16_at(const unsigned char* p) {
  return p[0] | (std::uint32_t{p[1]} << 8);
}

std::uint32_t u32_at(const unsigned char* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

std::int32_t s32_at(const unsigned char* p) {
  return static_cast<std::int32_t>(u32_at(p));
}

template <class... Args>
std::string format(const char* fmt, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, args...);
  return text;
}

// Splits the file-order rows at `pixels` into the planes b, g, r (row r of the
// file lands in plane row r).
void deinterleave(const unsigned char* pixels, const BmpHeader& h, const ColorPlane& b,
                  const ColorPlane& g, const ColorPlane& r) {
  const std::int64_t row_bytes = bmp_row_bytes(h.width);
  for (int row = 0; row < h.height; ++row) {
    const unsigned char* p = pixels + row * row_bytes;
    for (int x = 0; x < h.width; ++x, p += 3) {
      b.at(x, row) = p[0];
      g.at(x, row) = p[1];
      r.at(x, row) = p[2];
    }
  }
}

// Copies file-order planes into new planes with the top row first (flipping
// bottom-up files) and releases the file-order ones.
BmpPlanes top_row_first(const BmpHeader& h, ColorPlane* b, ColorPlane* g, ColorPlane* r) {
  ColorPlane bin = named_plane(h.width, h.height, "BIN");
  ColorPlane gin = named_plane(h.width, h.height, "GIN");
  ColorPlane rin = named_plane(h.width, h.height, "RIN");
  const std::size_t column = static_cast<std::size_t>(h.height);
  const std::size_t bytes = static_cast<std::size_t>(h.width) * column;
  if (h.top_down) {
    std::memcpy(bin.px.get(), b->px.get(), bytes);
    std::memcpy(gin.px.get(), g->px.get(), bytes);
    std::memcpy(rin.px.get(), r->px.get(), bytes);
  } else {
    for (int x = 0; x < h.width; ++x) {
      for (int y = 0; y < h.height; ++y) {
        const int from = h.height - 1 - y;
        bin.at(x, y) = b->at(x, from);
        gin.at(x, y) = g->at(x, from);
        rin.at(x, y) = r->at(x, from);
      }
    }
  }
  b->px.reset();
  g->px.reset();
  r->px.reset();
  return BmpPlanes{std::move(rin), std::move(gin), std::move(bin)};
}

// Ends the process for a failure with the file `name`: one line on standard
// output, status 1.
[[noreturn]] void fail(const char* name, const std::string& text) {
  if (text == kBmpSizeError) {
    std::printf("%s\n", kBmpSizeError);
  } else {
    std::printf("%s: %s\n", name, text.c_str());
  }
  std::fflush(stdout);
  std::exit(1);
}

}  // namespace

std::string check_bmp_header(const unsigned char* head, std::size_t file_len, BmpHeader* out) {
  if (file_len < kBmpHeaderBytes) {
    return format("too short for the BMP headers (%zu bytes; at least %zu needed)", file_len,
                  kBmpHeaderBytes);
  }
  const std::int64_t declared_size = s32_at(head + 2);
  const std::int64_t pixel_offset = u32_at(head + 10);
  const std::uint32_t info_size = u32_at(head + 14);
  const std::uint32_t planes = u16_at(head + 26);
  const std::int64_t width = s32_at(head + 18);
  const std::int64_t height = s32_at(head + 22);
  const std::uint32_t bits = u16_at(head + 28);
  const std::uint32_t compression = u32_at(head + 30);
  const std::int64_t rows = height < 0 ? -height : height;

  if (head[0] != 'B' || head[1] != 'M') return "not a BMP file (no \"BM\" signature)";
  if (info_size < 40) {
    return format("information header of %" PRIu32 " bytes; at least 40 expected", info_size);
  }
  if (planes != 1) {
    return format("%" PRIu32 " colour planes; only 1 is valid", planes);
  }
  if (bits != 24) {
    return format("%" PRIu32 " bits per pixel; only 24-bit files are read", bits);
  }
  if (compression != 0) {
    return format("compression method %" PRIu32 "; only uncompressed files are read", compression);
  }
  if (width < 1 || width > kMaxImageSide) {
    return format("width %" PRId64 " outside 1..%d", width, kMaxImageSide);
  }
  if (rows < 1 || rows > kMaxImageSide) {
    return format("height %" PRId64 " outside 1..%d (or -1..-%d for top-down rows)", height,
                  kMaxImageSide, kMaxImageSide);
  }
  if (pixel_offset < static_cast<std::int64_t>(kBmpHeaderBytes) ||
      static_cast<std::uint64_t>(pixel_offset) > file_len) {
    return format("pixel data offset %" PRId64 " outside the file (%zu..%zu)", pixel_offset,
                  kBmpHeaderBytes, file_len);
  }
  // Pixels that overlap the information header would be header bytes read as
  // colours.
  if (pixel_offset < 14 + std::int64_t{info_size}) {
    return format("pixel data offset %" PRId64 " inside the %" PRIu32
                  "-byte information header (it ends at byte %" PRId64 ")",
                  pixel_offset, info_size, 14 + std::int64_t{info_size});
  }
  if (declared_size > 0 && static_cast<std::uint64_t>(declared_size) > file_len) {
    return kBmpSizeError;
  }
  const std::int64_t needed = pixel_offset + rows * bmp_row_bytes(width);
  if (declared_size < needed) {
    return format("declared size %" PRId64 " too small for %" PRId64 "x%" PRId64
                  " pixels from offset %" PRId64 " (%" PRId64 " bytes needed)",
                  declared_size, width, rows, pixel_offset, needed);
  }

  out->declared_size = declared_size;
  out->pixel_offset = pixel_offset;
  out->width = static_cast<int>(width);
  out->height = static_cast<int>(rows);
  out->top_down = height < 0;
  return "";
}

std::string decode_bmp(const unsigned char* file, std::size_t len, BmpPlanes* out) {
  BmpHeader h;
  std::string error = check_bmp_header(file, len, &h);
  if (!error.empty()) return error;
  ColorPlane b = named_plane(h.width, h.height, "B");
  ColorPlane g = named_plane(h.width, h.height, "G");
  ColorPlane r = named_plane(h.width, h.height, "R");
  deinterleave(file + h.pixel_offset, h, b, g, r);
  *out = top_row_first(h, &b, &g, &r);
  return "";
}

BmpPlanes read_bmp(const char* name) {
  std::FILE* file = std::fopen(name, "rb");
  if (file == nullptr) fail(name, format("cannot open (%s)", std::strerror(errno)));

  // The real length, so that the declared size is checked before anything is
  // allocated for it.
  long len = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) len = std::ftell(file);
  if (len < 0 || std::fseek(file, 0, SEEK_SET) != 0) fail(name, "cannot find the file's length");

  unsigned char head[kBmpHeaderBytes];
  const std::size_t head_len = static_cast<std::size_t>(len) < kBmpHeaderBytes
                                   ? static_cast<std::size_t>(len)
                                   : kBmpHeaderBytes;
  if (std::fread(head, 1, head_len, file) != head_len)
    fail(name, format("read error (%s)", std::strerror(errno)));
  BmpHeader h;
  const std::string error = check_bmp_header(head, static_cast<std::size_t>(len), &h);
  if (!error.empty()) fail(name, error);

  const std::size_t raw_len = static_cast<std::size_t>(h.declared_size - h.pixel_offset);
  Buffer<unsigned char> vin = named_buffer<unsigned char>(raw_len, "vin");
  ColorPlane b = named_plane(h.width, h.height, "B");
  ColorPlane g = named_plane(h.width, h.height, "G");
  ColorPlane r = named_plane(h.width, h.height, "R");
  // A file that shrank since it was measured also ends up here.
  if (std::fseek(file, static_cast<long>(h.pixel_offset), SEEK_SET) != 0 ||
      std::fread(vin.get(), 1, raw_len, file) != raw_len) {
    fail(name, kBmpSizeError);
  }
  std::fclose(file);

  deinterleave(vin.get(), h, b, g, r);
  vin.reset();
  BmpPlanes planes = top_row_first(h, &b, &g, &r);
  image_width = h.width;
  image_height = h.height;
  return planes;
}

}  // namespace korvale
