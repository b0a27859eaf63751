// An independent BMP encoder for tests, written from the file format: any
// information header size, palettes, run-length encoded indices and 16/32-bit
// pixels under colour masks. Standard library only, for the program tests too.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace bmptest {

struct Header {
  std::uint32_t info_size = 40;  // 12, 16, 40, 52, 56, 64, 108 or 124
  int width = 1;
  int height = 1;  // negative: rows stored top-down
  int bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t colours_used = 0;  // where the header has the field
  // Red, green, blue[, alpha] masks: in the header, or after a 40-byte one.
  std::vector<std::uint32_t> masks = {};
  std::vector<std::uint32_t> palette = {};  // 0xRRGGBB entries
};

inline void put_le(std::string& s, std::size_t at, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// Headers, masks and palette, then `pixels` right after them.
inline std::string assemble(const Header& h, const std::string& pixels) {
  const std::size_t masks_end = 14 + h.info_size + (h.info_size == 40 ? 4 * h.masks.size() : 0);
  const std::size_t entry = h.info_size == 12 ? 3 : 4;
  const std::size_t offset = masks_end + entry * h.palette.size();
  std::string s(offset, '\0');
  s[0] = 'B';
  s[1] = 'M';
  put_le(s, 2, static_cast<std::uint32_t>(offset + pixels.size()), 4);
  put_le(s, 10, static_cast<std::uint32_t>(offset), 4);
  put_le(s, 14, h.info_size, 4);
  const int field = h.info_size == 12 ? 2 : 4;  // OS/2 1.x: 16-bit fields
  put_le(s, 18, h.width, field);
  put_le(s, 18 + field, h.height, field);
  put_le(s, 18 + 2 * field, 1, 2);
  put_le(s, 20 + 2 * field, h.bits, 2);
  if (h.info_size >= 40) {
    put_le(s, 30, h.compression, 4);
    put_le(s, 46, h.colours_used, 4);
  }
  for (std::size_t i = 0; i < h.masks.size() && 58 + 4 * i <= masks_end; ++i)
    put_le(s, 54 + 4 * i, h.masks[i], 4);
  for (std::size_t i = 0; i < h.palette.size(); ++i)
    put_le(s, masks_end + entry * i, h.palette[i], static_cast<int>(entry));
  return s + pixels;
}

// Stored rows of `bits`-bit pixels value(x, y) (y = 0 the top row), packed
// from each byte's top bit down, rows padded to 4 bytes.
template <class Value>
std::string pack_rows(int w, int h, int bits, bool top_down, Value value) {
  const std::size_t stride = (static_cast<std::size_t>(w) * bits + 31) / 32 * 4;
  std::string s(stride * h, '\0');
  for (int i = 0; i < h; ++i) {
    for (int x = 0; x < w; ++x) {
      const auto v = static_cast<std::uint32_t>(value(x, top_down ? i : h - 1 - i));
      const std::size_t bit = static_cast<std::size_t>(x) * bits;
      if (bits >= 8)
        put_le(s, i * stride + bit / 8, v, bits / 8);
      else
        s[i * stride + bit / 8] |= static_cast<char>(v << (8 - bits - bit % 8));
    }
  }
  return s;
}

// Run-length encodes index(x, y) (-1: never written) bottom-up, for pictures
// under 256 pixels each way: encoded runs (RLE4: of two alternating indices),
// literal runs, moves along a row and up across rows, end of line, and an end
// of picture that leaves the rows above unwritten.
template <class Index>
std::string rle_encode(int w, int h, bool four, Index index) {
  std::string s;
  auto put = [&](std::initializer_list<int> bytes) {
    for (int b : bytes) s += static_cast<char>(b);
  };
  auto next_written = [&](int y, int x) {
    while (x < w && index(x, y) < 0) ++x;
    return x;
  };
  for (int y = h - 1, x = 0; y >= 0;) {
    if (next_written(y, x) == w) {
      int up = y - 1;
      while (up >= 0 && next_written(up, 0) == w) --up;
      if (up < 0) break;
      const int to = next_written(up, 0);
      if (to >= x) {
        put({0, 2, to - x, y - up});
        x = to, y = up;
      } else {
        put({0, 0});
        x = 0, --y;
      }
    } else if (index(x, y) < 0) {
      const int to = next_written(y, x);
      put({0, 2, to - x, 0});
      x = to;
    } else {
      const int a = index(x, y), b = x + 1 < w ? index(x + 1, y) : 0;
      int n = 1, m = 1;
      while (x + n < w && index(x + n, y) >= 0 && index(x + n, y) == (four && n % 2 ? b : a)) ++n;
      while (x + m < w && index(x + m, y) >= 0) ++m;
      if (n >= 3 || m < 3) {
        put({n, four ? a << 4 | (n > 1 ? b : 0) : a});
        x += n;
        continue;
      }
      std::string bytes(four ? (m + 1) / 2 : m, '\0');
      for (int i = 0; i < m; ++i) {
        const int v = index(x + i, y);
        bytes[four ? i / 2 : i] |= static_cast<char>(four && i % 2 == 0 ? v << 4 : v);
      }
      put({0, m});
      s += bytes + std::string(bytes.size() % 2, '\0');
      x += m;
    }
  }
  put({0, 1});
  return s;
}

}  // namespace bmptest
