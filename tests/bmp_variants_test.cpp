// Every kind of BMP the reader takes, written here by an independent encoder
// from pictures made in code: palettes of each depth under each header kind,
// colour masks of several layouts, run-length data with every code; and the
// refusals of each kind, before anything is allocated where the header alone
// decides.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>

#include "bmp/bmp.h"
#include "tests/bmp_encode.h"
#include "tests/child_process.h"

namespace korvale {
namespace {

using bmptest::Header;

// The first pixel where `p` differs from want(x, y) (0xRRGGBB, y = 0 the top
// row), or "".
std::string mismatch(const BmpPlanes& p, int w, int h,
                     const std::function<std::uint32_t(int, int)>& want) {
  if (p.red.w != w || p.red.h != h)
    return "size " + std::to_string(p.red.w) + "x" + std::to_string(p.red.h);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) {
      const std::uint32_t got = p.red.at(x, y) << 16 | p.green.at(x, y) << 8 | p.blue.at(x, y);
      if (got != want(x, y)) {
        char text[96];
        std::snprintf(text, sizeof text, "pixel (%d,%d): %06x, expected %06x", x, y, got,
                      want(x, y));
        return text;
      }
    }
  return "";
}

std::string decode(const std::string& file, BmpPlanes* out) {
  return decode_bmp(reinterpret_cast<const unsigned char*>(file.data()), file.size(), out);
}

std::uint32_t colour(int i) {
  return (static_cast<std::uint32_t>(i) * 0x9E3779B1u >> 5) & 0xFFFFFF;
}

TEST(BmpVariants, PalettesOfEveryDepthUnderEveryHeader) {
  // Indices run over all 2^bits values; the palette has fewer, exactly as
  // many, or more entries than that (written in full; only 2^bits count).
  // Indices beyond the palette read as black.
  for (int bits : {1, 2, 4, 8}) {
    const int full = 1 << bits;
    for (std::uint32_t info : {12u, 16u, 40u, 64u, 124u}) {
      for (int entries : {full - 1, full, full + 3}) {
        for (bool top_down : {false, true}) {
          if (info == 12 && top_down) continue;  // 16-bit unsigned height
          const int w = 9 + bits, h = 5;
          auto index = [&](int x, int y) { return (x * 5 + y * 3 + x * y) % full; };
          Header hd{info, w, top_down ? -h : h, bits};
          for (int i = 0; i < entries; ++i) hd.palette.push_back(colour(i + bits));
          if (entries != full) hd.colours_used = static_cast<std::uint32_t>(entries);
          std::string file = bmptest::assemble(hd, bmptest::pack_rows(w, h, bits, top_down, index));
          // OS/2 writers may declare the headers' size instead of the file's.
          if (info == 12 || info == 64) bmptest::put_le(file, 2, 14 + info, 4);
          const int used = std::min(entries, full);
          BmpPlanes planes;
          const std::string what = std::to_string(bits) + " bits, header " + std::to_string(info) +
                                   ", " + std::to_string(entries) + " entries" +
                                   (top_down ? ", top-down" : "");
          ASSERT_EQ(decode(file, &planes), "") << what;
          EXPECT_EQ(mismatch(planes, w, h,
                             [&](int x, int y) {
                               const int i = index(x, y);
                               return i < used ? colour(i + bits) : 0u;
                             }),
                    "")
              << what;
        }
      }
    }
  }
}

TEST(BmpVariants, ColourMasksOfSeveralLayouts) {
  // Each channel holds an n-bit value that must come out as
  // round(v * 255 / (2^n - 1)); bits outside the three masks (alpha, unused)
  // hold junk that must not show.
  struct Layout {
    int bits;
    std::uint32_t compression, info;
    std::vector<std::uint32_t> masks;  // what the header carries
    std::uint32_t r, g, b;             // the masks in force
  };
  const Layout layouts[] = {
      {16, 0, 40, {}, 0x7C00, 0x03E0, 0x001F},
      {16, 3, 40, {0xF800, 0x07E0, 0x001F}, 0xF800, 0x07E0, 0x001F},
      {16, 3, 124, {0x0F00, 0x00F0, 0x000F, 0xF000}, 0x0F00, 0x00F0, 0x000F},
      {16, 3, 52, {0x0001, 0xFFF0, 0x000E}, 0x0001, 0xFFF0, 0x000E},
      {32, 0, 40, {}, 0xFF0000, 0xFF00, 0xFF},
      {32, 0, 108, {0xFF, 0xFF00, 0xFF0000, 0}, 0xFF0000, 0xFF00, 0xFF},  // BI_RGB: masks ignored
      {32, 3, 40, {0x3FF00000, 0x000FFC00, 0x000003FF}, 0x3FF00000, 0x000FFC00, 0x000003FF},
      {32, 3, 56, {0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000}, 0xFF, 0xFF00, 0xFF0000},
      {32, 3, 124, {0xFFFE0000, 0x0001FFFF, 0}, 0xFFFE0000, 0x0001FFFF, 0},
      {32, 6, 40, {0xFF000000, 0xFF00, 0xFF, 0xFF0000}, 0xFF000000, 0xFF00, 0xFF},
  };
  for (const Layout& l : layouts) {
    for (bool top_down : {false, true}) {
      const int w = 7, h = 4;
      const std::uint32_t m[3] = {l.r, l.g, l.b};
      auto value = [&](int x, int y, int c) {  // an n-bit value for channel c
        return (static_cast<std::uint32_t>(x * 977 + y * 331 + c * 97) * 2654435761u) &
               (m[c] == 0 ? 0 : m[c] >> std::countr_zero(m[c]));
      };
      auto pixel = [&](int x, int y) -> std::uint64_t {
        std::uint32_t p =
            static_cast<std::uint32_t>(x * 0x1234567 + y * 0x7654321) & ~(l.r | l.g | l.b);  // junk
        for (int c = 0; c < 3; ++c)
          if (m[c] != 0) p |= value(x, y, c) << std::countr_zero(m[c]);
        return l.bits == 16 ? p & 0xFFFF : p;
      };
      Header hd{l.info, w, top_down ? -h : h, l.bits, l.compression};
      hd.masks = l.masks;
      BmpPlanes planes;
      const std::string what = std::to_string(l.bits) + " bits, masks " + std::to_string(l.r) +
                               "/" + std::to_string(l.g) + "/" + std::to_string(l.b);
      ASSERT_EQ(
          decode(bmptest::assemble(hd, bmptest::pack_rows(w, h, l.bits, top_down, pixel)), &planes),
          "")
          << what;
      EXPECT_EQ(mismatch(planes, w, h,
                         [&](int x, int y) {
                           std::uint32_t rgb = 0;
                           for (int c = 0; c < 3; ++c) {
                             const int n = std::popcount(m[c]);
                             const long double top = std::ldexp(1.0L, n) - 1;
                             rgb = rgb << 8 |
                                   (n == 0 ? 0 : std::lround(value(x, y, c) * 255.0L / top));
                           }
                           return rgb;
                         }),
                "")
          << what;
    }
  }
}

TEST(BmpVariants, RunLengthDataWithEveryCode) {
  // Runs, literal runs of odd and even lengths, moves within a row and up
  // across rows, ends of line, and an end of picture before the top rows:
  // pixels never reached are black.
  const int w = 23, h = 9;
  for (bool four : {false, true}) {
    const int colours = four ? 16 : 200;
    auto index = [&](int x, int y) {
      const bool unwritten = y <= 1 || (y == 2 && x == 14) || (y == 3 && x < 10) ||
                             (y == 4 && x > 5) || (y == 5 && x >= 8 && x < 15) || y == 7 ||
                             (y == 6 && x < 14) || (y == 8 && x >= 12);
      if (unwritten) return -1;
      if (x < 9) return (x / 4 + y) % colours;       // runs
      if (x < 17) return (x * 7 + y * 3) % colours;  // literal runs
      return four ? (x % 2 ? 3 : 12) : 5;            // RLE4: an alternating pair
    };
    for (std::uint32_t info : {40u, 64u, 108u}) {
      Header hd{info, w, h, four ? 4 : 8, four ? 2u : 1u};
      for (int i = 0; i < colours; ++i) hd.palette.push_back(colour(i + 7));
      hd.colours_used = static_cast<std::uint32_t>(colours);
      const std::string file = bmptest::assemble(hd, bmptest::rle_encode(w, h, four, index));
      BmpPlanes planes;
      const std::string what = (four ? "RLE4, header " : "RLE8, header ") + std::to_string(info);
      ASSERT_EQ(decode(file, &planes), "") << what;
      EXPECT_EQ(
          mismatch(planes, w, h,
                   [&](int x, int y) { return index(x, y) < 0 ? 0u : colour(index(x, y) + 7); }),
          "")
          << what;
    }
  }
}

struct Refused {
  const char* what;
  std::string file;
  const char* message;
  bool before_allocation;  // decided by the header alone
};

std::string rle8(int w, int h, const std::string& stream) {
  Header hd{40, w, h, 8, 1, 2};
  hd.palette = {0x102030, 0x405060};
  return bmptest::assemble(hd, stream);
}

std::string with_header(Header hd, const std::string& pixels = std::string(64, '\0')) {
  return bmptest::assemble(hd, pixels);
}

std::string declaring(std::string file, std::uint32_t size) {
  bmptest::put_le(file, 2, size, 4);
  return file;
}

TEST(BmpVariants, EachBrokenOrUnreadableVariantIsRefusedWithOneLine) {
  using std::string_literals::operator""s;
  Header pal4{40, 4, 2, 4, 0, 1u << 30};
  Header os2{12, 4, 2, 1, 0, 0, {}, {0x000000, 0xFFFFFF}};
  const Refused cases[] = {
      {"run past the right edge", rle8(4, 2, "\2\1\3\1"s + "\0\1"s),
       "run-length data: a run at byte 64 leaves the 4x2 picture", false},
      {"literal run past the right edge", rle8(4, 2, "\1\1\0\4\1\1\1\1\0\1"s),
       "run-length data: a literal run at byte 64 leaves the 4x2 picture", false},
      {"move past the right edge", rle8(4, 2, "\0\2\5\0\0\1"s),
       "run-length data: a move at byte 62 leaves the 4x2 picture", false},
      {"move past the top", rle8(4, 2, "\0\2\0\3\0\1"s),
       "run-length data: a move at byte 62 leaves the 4x2 picture", false},
      {"run above the top row", rle8(4, 2, "\0\0\0\0\1\1\0\1"s),
       "run-length data: a run at byte 66 leaves the 4x2 picture", false},
      {"no end of picture", rle8(4, 2, "\4\1\0\0"s),
       "run-length data ends at byte 66 without an end-of-picture code", false},
      {"literal run cut short", rle8(4, 2, "\0\4\1\1"s),
       "run-length data ends at byte 66 without an end-of-picture code", false},
      {"top-down RLE", rle8(4, -2, "\0\1"s), "run-length encoded rows cannot be stored top-down",
       true},
      {"RLE4 with 8 bits", with_header(Header{40, 4, 2, 8, 2}),
       "RLE4 compression with 8 bits per pixel; it needs 4", true},
      {"masks with 24 bits", with_header(Header{40, 4, 2, 24, 3, 0, {0xFF, 0xFF00, 0xFF0000}}),
       "colour masks (compression 3) with 24 bits per pixel; they need 16 or 32", true},
      {"mask with a gap", with_header(Header{40, 4, 2, 16, 3, 0, {0xF00F, 0x0F0, 0}}),
       "red mask 0xf00f is not one run of bits", true},
      {"mask past 16 bits", with_header(Header{124, 4, 2, 16, 3, 0, {0x1F, 0x3E0, 0x1FC00}}),
       "blue mask 0x1fc00 reaches past the 16-bit pixel", true},
      {"palette past the end", with_header(pal4),
       "palette of 1073741824 colours runs past the end of the file", true},
      {"64 bits", with_header(Header{40, 4, 2, 64}),
       "64 bits per pixel; only 1, 2, 4, 8, 16, 24 and 32 are read", true},
      {"OS/2 Huffman", with_header(Header{64, 4, 2, 1, 3}),
       "OS/2 Huffman 1D compression is not read", true},
      {"OS/2 RLE24", with_header(Header{64, 4, 2, 24, 4}), "OS/2 RLE24 compression is not read",
       true},
      {"header of 66 bytes", with_header(Header{66, 4, 2, 24}),
       "information header of 66 bytes; the known sizes are 12, 16, 40, 52, 56, 64, 108 and 124",
       true},
      {"headers' size declared, pixels cut", declaring(with_header(os2, std::string(7, '\0')), 26),
       kBmpSizeError, true},
  };
  for (const Refused& c : cases) {
    const std::string& file = c.file;
    BmpPlanes planes;
    EXPECT_EQ(decode(file, &planes), c.message) << c.what;
    if (!c.before_allocation) continue;
    const test::ChildResult r = test::run_in_child([&] {
      fail_named_allocation(nullptr, 1);  // any allocation would end the child with a message
      BmpPlanes p;
      std::exit(decode(file, &p) == c.message ? 3 : 4);
    });
    EXPECT_EQ(r.status, 3) << c.what << ": " << r.out;
  }
}

}  // namespace
}  // namespace korvale
