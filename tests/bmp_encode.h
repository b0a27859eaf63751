// An independent BMP encoder for tests, written from the file format: any
// information header size, palettes of 1..8 bits, run-length encoded indices
// (RLE8, RLE4) and 16/32-bit pixels under colour masks, for pictures made in
// code. Standard library only, so the program tests can use it too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bmptest {

struct Header {
  std::uint32_t info_size = 40;  // 12, 16, 40, 52, 56, 64, 108 or 124
  int width = 1;
  int height = 1;  // negative: rows stored top-down
  int bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t colours_used = 0;  // written where the header has the field
  // Red, green, blue[, alpha] masks: in the header, or after a 40-byte one.
  std::vector<std::uint32_t> masks = {};
  std::vector<std::uint32_t> palette = {};  // 0xRRGGBB entries
};

inline void put_le(std::string& s, std::size_t at, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// Headers, masks and palette, then `pixels` right after them.
inline std::string assemble(const Header& h, const std::string& pixels) {
  const std::size_t info_end = 14 + h.info_size;
  const std::size_t masks_end = info_end + (h.info_size == 40 ? 4 * h.masks.size() : 0);
  const std::size_t entry = h.info_size == 12 ? 3 : 4;
  const std::size_t offset = masks_end + entry * h.palette.size();
  std::string s(offset, '\0');
  s[0] = 'B';
  s[1] = 'M';
  put_le(s, 2, static_cast<std::uint32_t>(offset + pixels.size()), 4);
  put_le(s, 10, static_cast<std::uint32_t>(offset), 4);
  put_le(s, 14, h.info_size, 4);
  if (h.info_size == 12) {
    put_le(s, 18, h.width, 2);
    put_le(s, 20, h.height, 2);
    put_le(s, 22, 1, 2);
    put_le(s, 24, h.bits, 2);
  } else {
    put_le(s, 18, h.width, 4);
    put_le(s, 22, h.height, 4);
    put_le(s, 26, 1, 2);
    put_le(s, 28, h.bits, 2);
  }
  if (h.info_size >= 40) {
    put_le(s, 30, h.compression, 4);
    put_le(s, 46, h.colours_used, 4);
  }
  for (std::size_t i = 0; i < h.masks.size() && 54 + 4 * i + 4 <= masks_end; ++i)
    put_le(s, 54 + 4 * i, h.masks[i], 4);
  for (std::size_t i = 0; i < h.palette.size(); ++i)
    put_le(s, masks_end + entry * i, h.palette[i], static_cast<int>(entry));
  return s + pixels;
}

// Stored rows of `bits`-bit pixels, value(x, y) with y = 0 the top row,
// packed from each byte's top bit down and padded to 4 bytes.
template <class Value>
std::string pack_rows(int w, int h, int bits, bool top_down, Value value) {
  const std::size_t stride = (static_cast<std::size_t>(w) * bits + 31) / 32 * 4;
  std::string s(stride * h, '\0');
  for (int i = 0; i < h; ++i) {
    const int y = top_down ? i : h - 1 - i;
    for (int x = 0; x < w; ++x) {
      const std::uint64_t v = value(x, y);
      const std::size_t bit = static_cast<std::size_t>(x) * bits;
      if (bits >= 8) {
        put_le(s, i * stride + bit / 8, static_cast<std::uint32_t>(v), bits / 8);
      } else {
        s[i * stride + bit / 8] |= static_cast<char>(v << (8 - bits - bit % 8));
      }
    }
  }
  return s;
}

// Run-length encodes index(x, y) (y = 0 the top row; -1: a pixel left
// unwritten) bottom-up with 8- or 4-bit indices: encoded runs (in RLE4 of two
// alternating indices), literal runs of 3 or more, moves over unwritten
// pixels (also up into the next row), end of line and an end of picture that
// may leave the rows above unwritten.
template <class Index>
std::string rle_encode(int w, int h, bool four, Index index) {
  std::string s;
  auto code = [&](int a, int b) {
    s += static_cast<char>(a);
    s += static_cast<char>(b);
  };
  auto first_written = [&](int y, int from) {
    while (from < w && index(from, y) < 0) ++from;
    return from;
  };
  int x = 0;
  for (int y = h - 1; y >= 0;) {
    if (first_written(y, x) == w) {
      // Nothing more in this row: move up, or end the picture.
      int up = y - 1;
      while (up >= 0 && first_written(up, 0) == w) --up;
      if (up < 0) break;
      const int to = first_written(up, 0);
      if (to >= x && y - up <= 255) {
        code(0, 2), code(to - x, y - up);
        x = to;
        y = up;
      } else {
        code(0, 0);
        x = 0;
        --y;
      }
      continue;
    }
    if (index(x, y) < 0) {
      const int to = first_written(y, x);
      code(0, 2), code(to - x, 0);
      x = to;
      continue;
    }
    // Longest encoded run from x: one index (RLE8) or two alternating (RLE4).
    const int a = index(x, y), b = x + 1 < w ? index(x + 1, y) : a;
    int n = 1;
    while (x + n < w && n < 255 && index(x + n, y) == (four && n % 2 ? b : a) &&
           index(x + n, y) >= 0)
      ++n;
    if (n >= 3 || n == w - x) {
      code(n, four ? (a << 4) | (n > 1 ? b : 0) : a);
      x += n;
      continue;
    }
    // Otherwise a literal run, up to the next unwritten pixel.
    int m = 0;
    while (x + m < w && m < 255 && index(x + m, y) >= 0) ++m;
    if (m < 3) {
      code(1, four ? a << 4 : a);
      ++x;
      continue;
    }
    code(0, m);
    std::string bytes((four ? (m + 1) / 2 : m), '\0');
    for (int i = 0; i < m; ++i) {
      const int v = index(x + i, y);
      if (four)
        bytes[i / 2] |= static_cast<char>(i % 2 ? v : v << 4);
      else
        bytes[i] = static_cast<char>(v);
    }
    if (bytes.size() % 2) bytes += '\0';
    s += bytes;
    x += m;
  }
  code(0, 1);
  return s;
}

}  // namespace bmptest
