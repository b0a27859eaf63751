// The BMP reader's pixel decoders: palette indices (plain or run-length
// encoded), 24-bit BGR and 16/32-bit pixels with colour masks, each into three
// planes with the top row first. The header check (bmp_header.cpp) has already
// made sure that every byte read here lies before layout.data_end. Rows that
// are not run-length encoded are decoded a strip at a time, from memory or
// read from the file into a reused buffer, and moved into the planes by the
// tile transpose (common/row_planes.h).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bmp/bmp.h"
#include "bmp/bmp_layout.h"
#include "common/named_alloc.h"
#include "common/row_planes.h"

namespace korvale::bmp_detail {
namespace {

// Blue, green, red for each of the 256 possible indices; indices beyond the
// file's palette are black.
struct Palette {
  unsigned char bgr[256][3] = {};
};

// The palette from its stored entries (l.palette_count of them at `p`).
Palette read_palette(const unsigned char* p, const BmpLayout& l) {
  Palette pal;
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

// How the stored rows of one strip reach the planes: straight from the
// stored rows (24-bit BGR), or first turned into BGR rows of a scratch strip
// by `expand` (indexed and masked codings), in either case moved into the
// planes by the tile transpose.
using ExpandRow = void (*)(const unsigned char* stored, int width, const void* context,
                           unsigned char* bgr);

// Rows decoded together: a multiple of the tile height, about 1 MB of
// stored rows, at most 64 rows. 64 rows fill each column's 64-byte cache
// line of the planes within one strip; with fewer, a plane whose columns lie
// a power of two apart (4096 rows) had every column's line evicted between
// strips, since such columns share cache sets.
int strip_rows(std::size_t row_bytes) {
  const std::size_t fit = (std::size_t{1} << 20) / std::max<std::size_t>(row_bytes, 1);
  return static_cast<int>(std::clamp<std::size_t>(fit / 16 * 16, 16, 64));
}

// Decodes every stored row into the planes, strip by strip: the strips are
// dealt to whichever of the pool's threads is free next (pool_run_chunks),
// each thread with its own scratch rows (every pixel is decoded on its own,
// so the planes do not depend on the thread count). The stored rows come
// from memory or, through each thread's buffer, from the file. Returns false
// when the file could not be read to the end of the pixel data.
bool decode_strips(const PixelSource& src, const BmpLayout& l, WorkerPool& pool,
                   const ColorPlane& b, const ColorPlane& g, const ColorPlane& r, ExpandRow expand,
                   const void* context) {
  const int width = l.width, height = l.height;
  const std::size_t row_bytes = l.row_bytes;
  const int block = strip_rows(row_bytes);
  unsigned char* const planes[3] = {b.px.get(), g.px.get(), r.px.get()};
  const std::size_t h = static_cast<std::size_t>(height);
  const std::size_t threads = static_cast<std::size_t>(pool.threads);
  std::vector<char> failed(threads, 0);
  // Each thread's scratch strips, allocated here so that a failed allocation
  // ends the process from the calling thread.
  const std::size_t bgr_bytes = 3 * static_cast<std::size_t>(width);
  const std::size_t strip = static_cast<std::size_t>(std::min(block, height));
  std::vector<Buffer<unsigned char>> stored_strips(threads), bgr_strips(threads);
  for (std::size_t t = 0; t < threads; ++t) {
    if (src.file == nullptr)
      stored_strips[t] = named_buffer<unsigned char>(row_bytes * strip, "BMPROWS");
    if (expand != nullptr) bgr_strips[t] = named_buffer<unsigned char>(bgr_bytes * strip, "BMPBGR");
  }
  pool_run_chunks(pool, height, block, [&](int t, int row0, int row_end) {
    const Buffer<unsigned char>& stored = stored_strips[static_cast<std::size_t>(t)];
    const Buffer<unsigned char>& bgr = bgr_strips[static_cast<std::size_t>(t)];
    const int rows = row_end - row0;
    const std::size_t offset = l.pixel_offset + static_cast<std::size_t>(row0) * row_bytes;
    const unsigned char* strip = stored.get();
    if (src.file != nullptr) {
      strip = src.file + offset;
    } else if (!read_exactly(src.fd, stored.get(), static_cast<std::size_t>(rows) * row_bytes,
                             offset)) {
      failed[static_cast<std::size_t>(t)] = 1;
      return;
    }
    std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(row_bytes);
    if (expand != nullptr) {
      for (int k = 0; k < rows; ++k)
        expand(strip + static_cast<std::size_t>(k) * row_bytes, width, context,
               bgr.get() + static_cast<std::size_t>(k) * bgr_bytes);
      strip = bgr.get();
      stride = static_cast<std::ptrdiff_t>(bgr_bytes);
    }
    // Stored rows row0 .. row0 + rows - 1 are plane rows row0 .. of a
    // top-down file, and H - 1 - row0 down to H - row0 - rows otherwise:
    // the last stored row of the strip is then the first plane row.
    if (l.top_down) {
      rows_to_planes(strip, stride, rows, width, 3, planes, h, static_cast<std::size_t>(row0));
    } else {
      rows_to_planes(strip + (rows - 1) * stride, -stride, rows, width, 3, planes, h,
                     static_cast<std::size_t>(height - row0 - rows));
    }
  });
  return std::find(failed.begin(), failed.end(), 1) == failed.end();
}

// Palette indices of `bits` bits, packed from the most significant bit of
// each byte down, into BGR.
struct IndexedRows {
  const Palette* pal;
  unsigned bits;
};

void expand_indexed(const unsigned char* p, int width, const void* context, unsigned char* bgr) {
  const IndexedRows& in = *static_cast<const IndexedRows*>(context);
  const unsigned bits = in.bits;
  const unsigned index_mask = (1u << bits) - 1;
  for (int x = 0; x < width; ++x, bgr += 3) {
    const std::size_t bit = static_cast<std::size_t>(x) * bits;
    const unsigned shift = 8 - bits - static_cast<unsigned>(bit % 8);
    const unsigned char* c = in.pal->bgr[(p[bit / 8] >> shift) & index_mask];
    bgr[0] = c[0];
    bgr[1] = c[1];
    bgr[2] = c[2];
  }
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

void expand_masked(const unsigned char* p, int width, const void* context, unsigned char* bgr) {
  const BmpLayout& l = *static_cast<const BmpLayout*>(context);
  const int bytes = l.bits / 8;
  for (int x = 0; x < width; ++x, p += bytes, bgr += 3) {
    std::uint32_t pixel = p[0] | (std::uint32_t{p[1]} << 8);
    if (bytes == 4) pixel |= (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
    bgr[0] = channel(pixel, l.blue);
    bgr[1] = channel(pixel, l.green);
    bgr[2] = channel(pixel, l.red);
  }
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

bool read_exactly(int fd, unsigned char* dst, std::size_t n, std::size_t offset) {
  while (n > 0) {
    errno = 0;
    const ssize_t got = pread(fd, dst, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    dst += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::size_t>(got);
  }
  return true;
}

std::string decode_pixels(const PixelSource& src, const BmpLayout& l, const ColorPlane& b,
                          const ColorPlane& g, const ColorPlane& r, WorkerPool& pool) {
  bool complete = true;
  switch (l.coding) {
    case PixelCoding::kBgr24:
      complete = decode_strips(src, l, pool, b, g, r, nullptr, nullptr);
      break;
    case PixelCoding::kMasked:
      complete = decode_strips(src, l, pool, b, g, r, expand_masked, &l);
      break;
    case PixelCoding::kIndexed: {
      // At most 256 entries of at most 4 bytes.
      unsigned char stored[256 * 4];
      const unsigned char* entries = stored;
      if (src.file != nullptr) {
        entries = src.file + l.palette_offset;
      } else {
        const std::size_t n = static_cast<std::size_t>(l.palette_count) * l.palette_entry_bytes;
        if (!read_exactly(src.fd, stored, n, l.palette_offset)) return kBmpSizeError;
      }
      const Palette pal = read_palette(entries, l);
      const IndexedRows rows{&pal, static_cast<unsigned>(l.bits)};
      complete = decode_strips(src, l, pool, b, g, r, expand_indexed, &rows);
      break;
    }
    case PixelCoding::kRle8:
    case PixelCoding::kRle4: {
      if (src.file == nullptr) return "run-length data must be read into memory first";
      const unsigned char* file = src.file;
      // Pixels the codes skip stay black.
      const std::size_t bytes = static_cast<std::size_t>(l.width) * l.height;
      std::memset(b.px.get(), 0, bytes);
      std::memset(g.px.get(), 0, bytes);
      std::memset(r.px.get(), 0, bytes);
      const Palette pal = read_palette(file + l.palette_offset, l);
      return decode_rle(file, l, PlaneWriter{l, b, g, r, pal});
    }
  }
  return complete ? "" : kBmpSizeError;
}

}  // namespace korvale::bmp_detail
