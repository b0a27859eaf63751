// The BMP reader's pixel decoders: palette indices (plain or run-length
// encoded), 24-bit BGR and 16/32-bit pixels with colour masks, each into three
// planes with the top row first. The header check (bmp_header.cpp) has already
// made sure that every byte read here lies before layout.data_end.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "bmp/bmp_layout.h"

namespace korvale::bmp_detail {
namespace {

// Blue, green, red for each of the 256 possible indices; indices beyond the
// file's palette are black.
struct Palette {
  unsigned char bgr[256][3] = {};
};

Palette read_palette(const unsigned char* file, const BmpLayout& l) {
  Palette pal;
  const unsigned char* p = file + l.palette_offset;
  for (int i = 0; i < l.palette_count; ++i, p += l.palette_entry_bytes) {
    pal.bgr[i][0] = p[0];
    pal.bgr[i][1] = p[1];
    pal.bgr[i][2] = p[2];
  }
  return pal;
}

// The plane row of stored row `row`: the planes hold the top row first,
// while most files store the bottom row first.
int plane_row(const BmpLayout& l, int row) {
  return l.top_down ? row : l.height - 1 - row;
}

// Writes one pixel of colour index `index` at column x of stored row `row`.
struct PlaneWriter {
  const BmpLayout& l;
  const ColorPlane& b;
  const ColorPlane& g;
  const ColorPlane& r;
  const Palette& pal;
  void put(int x, int row, unsigned index) const {
    const unsigned char* c = pal.bgr[index];
    const int y = plane_row(l, row);
    b.at(x, y) = c[0];
    g.at(x, y) = c[1];
    r.at(x, y) = c[2];
  }
};

// Rows decoded together. The planes are stored column by column, so one row
// of the file scatters over W columns; taking a block of rows at a time, one
// column after another, writes each plane in contiguous runs of this many
// bytes while reading kRowBlock rows of the file side by side.
constexpr int kRowBlock = 64;

// Calls pixel(x, y, p) for every pixel, y its plane row and p pointing at its
// stored row, in blocks of kRowBlock stored rows taken column by column; the
// pool's threads take contiguous ranges of whole blocks (every pixel is
// decoded on its own, so the planes do not depend on the thread count). Each
// thread copies the layout's fields and the pixel functor into locals: byte
// stores may alias anything, so the compiler would otherwise reload them (and
// the functor's plane pointers) for every pixel.
template <class Pixel>
void for_each_pixel(const unsigned char* file, const BmpLayout& l, WorkerPool& pool,
                    const Pixel& each) {
  pool_run(pool, [&](int t) {
    const Pixel pixel = each;
    const int width = l.width, height = l.height;
    const std::size_t row_bytes = l.row_bytes;
    const unsigned char* const first = file + l.pixel_offset;
    // Plane row of stored row `row`: y0 + step * row.
    const int y0 = l.top_down ? 0 : height - 1;
    const int step = l.top_down ? 1 : -1;
    const BlockRange range = block_range(height, kRowBlock, pool.threads, t);
    const int begin = range.first, end = range.last;
    for (int row0 = begin; row0 < end; row0 += kRowBlock) {
      const int rows = std::min(kRowBlock, height - row0);
      const unsigned char* rowp[kRowBlock];
      for (int k = 0; k < rows; ++k)
        rowp[k] = first + static_cast<std::size_t>(row0 + k) * row_bytes;
      const int ytop = y0 + step * row0;
      for (int x = 0; x < width; ++x) {
        for (int k = 0; k < rows; ++k) pixel(x, ytop + step * k, rowp[k]);
      }
    }
  });
}

void decode_indexed(const unsigned char* file, const BmpLayout& l, WorkerPool& pool,
                    const PlaneWriter& out) {
  const unsigned bits = static_cast<unsigned>(l.bits);
  const unsigned index_mask = (1u << bits) - 1;
  for_each_pixel(file, l, pool, [&](int x, int y, const unsigned char* p) {
    // Pixels are packed from the most significant bit of each byte down.
    const std::size_t bit = static_cast<std::size_t>(x) * bits;
    const unsigned shift = 8 - bits - static_cast<unsigned>(bit % 8);
    const unsigned char* c = out.pal.bgr[(p[bit / 8] >> shift) & index_mask];
    out.b.at(x, y) = c[0];
    out.g.at(x, y) = c[1];
    out.r.at(x, y) = c[2];
  });
}

void decode_bgr24(const unsigned char* file, const BmpLayout& l, WorkerPool& pool,
                  const ColorPlane& b, const ColorPlane& g, const ColorPlane& r) {
  // Raw pointers and the column length by value: byte stores may alias
  // anything, so reading them through the planes would reload them each time.
  unsigned char* const bp = b.px.get();
  unsigned char* const gp = g.px.get();
  unsigned char* const rp = r.px.get();
  const std::size_t h = static_cast<std::size_t>(l.height);
  for_each_pixel(file, l, pool, [=](int x, int y, const unsigned char* p) {
    p += 3 * static_cast<std::size_t>(x);
    const std::size_t at = static_cast<std::size_t>(x) * h + static_cast<std::size_t>(y);
    bp[at] = p[0];
    gp[at] = p[1];
    rp[at] = p[2];
  });
}

// The channel of `pixel` under m, scaled from 0..2^bits-1 to 0..255:
// round(v * 255 / (2^bits - 1)).
unsigned char channel(std::uint32_t pixel, const ChannelMask& m) {
  if (m.bits == 0) return 0;
  const std::uint64_t v = (pixel & m.mask) >> m.shift;
  if (m.bits == 8) return static_cast<unsigned char>(v);
  const std::uint64_t top = (std::uint64_t{1} << m.bits) - 1;
  return static_cast<unsigned char>((v * 510 + top) / (2 * top));
}

void decode_masked(const unsigned char* file, const BmpLayout& l, WorkerPool& pool,
                   const ColorPlane& b, const ColorPlane& g, const ColorPlane& r) {
  const int bytes = l.bits / 8;
  for_each_pixel(file, l, pool, [&](int x, int y, const unsigned char* p) {
    p += static_cast<std::size_t>(x) * bytes;
    std::uint32_t pixel = p[0] | (std::uint32_t{p[1]} << 8);
    if (bytes == 4) pixel |= (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
    b.at(x, y) = channel(pixel, l.blue);
    g.at(x, y) = channel(pixel, l.green);
    r.at(x, y) = channel(pixel, l.red);
  });
}

// Run-length data, two bytes at a time:
//   n c      (n > 0) n pixels: index c (RLE8), or the high and low nibble of c
//            in turn (RLE4);
//   0 0      end of line: the next row, from column 0;
//   0 1      end of picture;
//   0 2 x y  move x columns right and y rows up (toward the top);
//   0 n ...  (n > 2) n literal indices (RLE8: n bytes; RLE4: n nibbles), padded
//            to an even number of bytes.
// Rows may be coded as wide as their padded length (the width rounded up to
// whole 4-byte words, as ImageMagick writes odd widths): runs, literal runs
// and moves may reach that far, and what lies past the width is dropped, as
// ImageMagick, Pillow and libvips read such files. The cursor may rest on the
// padded edge or above the last row; anything reaching further is refused.
std::string decode_rle(const unsigned char* file, const BmpLayout& l, const PlaneWriter& out) {
  const bool four = l.coding == PixelCoding::kRle4;
  const int w = l.width, h = l.height;
  // The padded row, in pixels.
  const int row_end =
      static_cast<int>((static_cast<std::int64_t>(w) * l.bits + 31) / 32 * 32 / l.bits);
  std::size_t pos = l.pixel_offset;
  const std::size_t end = l.data_end;
  int x = 0, row = 0;
  auto leaves = [&](const char* what, std::size_t at) {
    return format("run-length data: %s at byte %zu leaves the %dx%d picture", what, at, w, h);
  };
  while (end - pos >= 2) {
    const std::size_t at = pos;
    const unsigned count = file[pos], code = file[pos + 1];
    pos += 2;
    if (count > 0) {
      // An encoded run.
      if (row >= h || static_cast<int>(count) > row_end - x) return leaves("a run", at);
      for (unsigned i = 0; i < count; ++i, ++x) {
        if (x < w) out.put(x, row, four ? (i % 2 == 0 ? code >> 4 : code & 15) : code);
      }
    } else if (code == 0) {
      x = 0;
      if (row < h) ++row;
    } else if (code == 1) {
      return "";
    } else if (code == 2) {
      if (end - pos < 2) break;
      const int dx = file[pos], dy = file[pos + 1];
      pos += 2;
      if (dx > row_end - x || dy > h - row) return leaves("a move", at);
      x += dx;
      row += dy;
    } else {
      // A literal run of `code` indices.
      const std::size_t bytes = four ? (code + 1) / 2 : code;
      if (end - pos < bytes) break;
      if (row >= h || static_cast<int>(code) > row_end - x) return leaves("a literal run", at);
      for (unsigned i = 0; i < code; ++i, ++x) {
        const unsigned char byte = file[pos + (four ? i / 2 : i)];
        if (x < w) out.put(x, row, four ? (i % 2 == 0 ? byte >> 4 : byte & 15) : byte);
      }
      const std::size_t padded = bytes + bytes % 2;
      pos = end - pos < padded ? end : pos + padded;
    }
  }
  return format("run-length data ends at byte %zu without an end-of-picture code", end);
}

}  // namespace

std::string decode_pixels(const unsigned char* file, const BmpLayout& l, const ColorPlane& b,
                          const ColorPlane& g, const ColorPlane& r, WorkerPool& pool) {
  switch (l.coding) {
    case PixelCoding::kBgr24:
      decode_bgr24(file, l, pool, b, g, r);
      return "";
    case PixelCoding::kMasked:
      decode_masked(file, l, pool, b, g, r);
      return "";
    case PixelCoding::kIndexed: {
      const Palette pal = read_palette(file, l);
      decode_indexed(file, l, pool, PlaneWriter{l, b, g, r, pal});
      return "";
    }
    case PixelCoding::kRle8:
    case PixelCoding::kRle4: {
      // Pixels the codes skip stay black.
      const std::size_t bytes = static_cast<std::size_t>(l.width) * l.height;
      std::memset(b.px.get(), 0, bytes);
      std::memset(g.px.get(), 0, bytes);
      std::memset(r.px.get(), 0, bytes);
      const Palette pal = read_palette(file, l);
      return decode_rle(file, l, PlaneWriter{l, b, g, r, pal});
    }
  }
  return "unknown pixel coding";
}

}  // namespace korvale::bmp_detail
