// Every kind of BMP the reader takes, written by an independent encoder from
// pictures made here: palettes of each depth under each header kind, colour
// masks of several layouts, run-length data with every code; and the
// refusals that the suite files do not show.
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

// "" when `p` holds want(x, y) (0xRRGGBB, y = 0 the top row), else the first
// pixel that differs.
std::string mismatch(const BmpPlanes& p, int w, int h,
                     const std::function<std::uint32_t(int, int)>& want) {
  if (p.red.w != w || p.red.h != h) return "wrong size";
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) {
      const std::uint32_t got = p.red.at(x, y) << 16 | p.green.at(x, y) << 8 | p.blue.at(x, y);
      if (got != want(x, y)) {
        char text[80];
        std::snprintf(text, sizeof text, "(%d,%d): %06x, not %06x", x, y, got, want(x, y));
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

TEST(BmpVariants, TallPicturesDecodeAlikeOnAnyThreadCount) {
  // Blocks of rows are shared out among threads: 24-bit, 32-bit masked and
  // 8-bit palette pictures, bottom-up and top-down, several blocks tall
  // (with a short last block), decode to their pixels whatever the count.
  const int w = 37, h = 301;
  std::vector<std::uint32_t> palette(256);
  for (int i = 0; i < 256; ++i) palette[i] = colour(i);
  auto rgb = [](int x, int y) { return colour(x * 7 + y * 13); };
  auto index = [](int x, int y) { return (x * 5 + y * 11) % 256; };
  for (bool top_down : {false, true}) {
    const int sh = top_down ? -h : h;
    const std::string files[] = {
        bmptest::assemble(Header{40, w, sh, 24}, bmptest::pack_rows(w, h, 24, top_down, rgb)),
        bmptest::assemble(Header{108, w, sh, 32, 3, 0, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}},
                          bmptest::pack_rows(w, h, 32, top_down, rgb)),
        bmptest::assemble(Header{40, w, sh, 8, 0, 256, {}, palette},
                          bmptest::pack_rows(w, h, 8, top_down, index))};
    for (int f = 0; f < 3; ++f) {
      for (int threads : {1, 2, 3, 7}) {
        BmpPlanes planes;
        ASSERT_EQ(decode_bmp(reinterpret_cast<const unsigned char*>(files[f].data()),
                             files[f].size(), &planes, threads),
                  "");
        EXPECT_EQ(mismatch(planes, w, h,
                           [&](int x, int y) { return f == 2 ? colour(index(x, y)) : rgb(x, y); }),
                  "")
            << "file " << f << (top_down ? " top-down" : " bottom-up") << ", " << threads
            << " threads";
      }
    }
  }
}

TEST(BmpVariants, PalettesOfEveryDepthUnderEveryHeader) {
  // Indices take all 2^bits values; the palette has one entry fewer (those
  // indices read as black), exactly 2^bits, or 3 more (which do not count).
  for (int bits : {1, 2, 4, 8}) {
    const int full = 1 << bits, w = 9 + bits, h = 5;
    auto index = [&](int x, int y) { return (x * 5 + y * 3 + x * y) % full; };
    for (std::uint32_t info : {12u, 16u, 40u, 64u, 124u}) {
      for (int entries : {full - 1, full, full + 3}) {
        for (bool top_down : {false, info != 12}) {
          Header hd{info, w, top_down ? -h : h, bits};
          for (int i = 0; i < entries; ++i) hd.palette.push_back(colour(i + bits));
          if (entries != full) hd.colours_used = static_cast<std::uint32_t>(entries);
          std::string file = bmptest::assemble(hd, bmptest::pack_rows(w, h, bits, top_down, index));
          // OS/2 writers may declare the headers' size instead of the file's.
          if (info == 12 || info == 64) bmptest::put_le(file, 2, 14 + info, 4);
          BmpPlanes planes;
          const std::string what = std::to_string(bits) + " bits, header " + std::to_string(info) +
                                   ", " + std::to_string(entries) + " entries";
          ASSERT_EQ(decode(file, &planes), "") << what;
          EXPECT_EQ(mismatch(planes, w, h,
                             [&](int x, int y) {
                               return index(x, y) < std::min(entries, full)
                                          ? colour(index(x, y) + bits)
                                          : 0;
                             }),
                    "")
              << what;
        }
      }
    }
  }
}

TEST(BmpVariants, ColourMasksOfSeveralLayouts) {
  // A channel of n bits holding v must read as round(v * 255 / (2^n - 1));
  // bits outside the three masks (alpha, unused) hold junk that must not show.
  struct Layout {
    int bits;
    std::uint32_t compression, info;
    std::vector<std::uint32_t> masks;  // what the header carries
    std::uint32_t in_force[3];         // red, green, blue
  };
  const Layout layouts[] = {
      {16, 0, 40, {}, {0x7C00, 0x03E0, 0x001F}},
      {16, 3, 40, {0xF800, 0x07E0, 0x001F}, {0xF800, 0x07E0, 0x001F}},
      {16, 3, 124, {0x0F00, 0x00F0, 0x000F, 0xF000}, {0x0F00, 0x00F0, 0x000F}},
      {16, 3, 52, {0x0001, 0xFFF0, 0x000E}, {0x0001, 0xFFF0, 0x000E}},
      {32, 0, 108, {0xFF, 0xFF00, 0xFF0000, 0}, {0xFF0000, 0xFF00, 0xFF}},  // masks unused
      {32, 3, 40, {0x3FF00000, 0xFFC00, 0x3FF}, {0x3FF00000, 0xFFC00, 0x3FF}},
      {32, 3, 56, {0xFF, 0xFF00, 0xFF0000, 0xFF000000}, {0xFF, 0xFF00, 0xFF0000}},
      {32, 3, 124, {0xFFFE0000, 0x1FFFF, 0}, {0xFFFE0000, 0x1FFFF, 0}},
      {32, 6, 40, {0xFF000000, 0xFF00, 0xFF, 0xFF0000}, {0xFF000000, 0xFF00, 0xFF}},
  };
  for (const Layout& l : layouts) {
    const std::uint32_t* m = l.in_force;
    const int w = 7, h = 4;
    auto value = [&](int x, int y, int c) {  // an n-bit value for channel c
      const std::uint32_t run = m[c] == 0 ? 0 : m[c] >> std::countr_zero(m[c]);
      return static_cast<std::uint32_t>(x * 977 + y * 331 + c * 97) * 2654435761u & run;
    };
    auto pixel = [&](int x, int y) {
      std::uint32_t p = static_cast<std::uint32_t>(x * 0x1234567 + y * 0x7654321);
      for (int c = 0; c < 3; ++c)
        if (m[c] != 0) p = (p & ~m[c]) | value(x, y, c) << std::countr_zero(m[c]);
      return p;
    };
    Header hd{l.info, w, -h, l.bits, l.compression, 0, l.masks};
    BmpPlanes planes;
    const std::string what = std::to_string(l.bits) + " bits, header " + std::to_string(l.info);
    ASSERT_EQ(decode(bmptest::assemble(hd, bmptest::pack_rows(w, h, l.bits, true, pixel)), &planes),
              "")
        << what;
    EXPECT_EQ(mismatch(planes, w, h,
                       [&](int x, int y) {
                         std::uint32_t rgb = 0;
                         for (int c = 0; c < 3; ++c) {
                           const long double top = std::ldexp(1.0L, std::popcount(m[c])) - 1;
                           rgb =
                               rgb << 8 | (m[c] == 0 ? 0 : std::lround(value(x, y, c) * 255 / top));
                         }
                         return rgb;
                       }),
              "")
        << what;
  }
}

TEST(BmpVariants, RunLengthDataWithEveryCode) {
  // Runs, literal runs of odd and even lengths, moves along a row and up
  // across one and two rows, ends of line, and an end of picture before the
  // top two rows: pixels never reached are black.
  const int w = 23, h = 9;
  for (bool four : {false, true}) {
    const int colours = four ? 16 : 200;
    auto index = [&](int x, int y) {
      if (y <= 1 || (y == 2 && x == 16) || (y == 3 && x < 10) || (y == 4 && x > 5) ||
          (y == 5 && x >= 8 && x < 15) || (y == 6 && x < 14) || y == 7 || (y == 8 && x >= 12))
        return -1;
      if (x < 9) return (x / 4 + y) % colours;       // runs
      if (x < 17) return (x * 7 + y * 3) % colours;  // literal runs
      return four ? (x % 2 ? 3 : 12) : 5;            // RLE4: an alternating pair
    };
    for (std::uint32_t info : {40u, 64u, 108u}) {
      Header hd{info, w, h, four ? 4 : 8, four ? 2u : 1u, static_cast<std::uint32_t>(colours)};
      for (int i = 0; i < colours; ++i) hd.palette.push_back(colour(i + 7));
      BmpPlanes planes;
      const std::string what = (four ? "RLE4, header " : "RLE8, header ") + std::to_string(info);
      ASSERT_EQ(decode(bmptest::assemble(hd, bmptest::rle_encode(w, h, four, index)), &planes), "")
          << what;
      EXPECT_EQ(
          mismatch(planes, w, h,
                   [&](int x, int y) { return index(x, y) < 0 ? 0 : colour(index(x, y) + 7); }),
          "")
          << what;
    }
  }
}

TEST(BmpVariants, RefusalsComeWithOneLineAndHeaderOnesBeforeAnyAllocation) {
  using std::string_literals::operator""s;
  auto rle8 = [](const std::string& stream) {
    return bmptest::assemble(Header{40, 4, 2, 8, 1, 2, {}, {0x102030, 0x405060}}, stream);
  };
  auto pixels = [](const Header& hd) { return bmptest::assemble(hd, std::string(64, '\0')); };
  std::string cut_os2 =
      bmptest::assemble(Header{12, 4, 2, 1, 0, 0, {}, {0, 0xFFFFFF}}, std::string(7, '\0'));
  bmptest::put_le(cut_os2, 2, 26, 4);  // the headers' size: the file's length counts
  const struct {
    std::string file;
    const char* message;
  } cases[] = {
      {rle8("\0\0\0\0\1\1\0\1"s), "run-length data: a run at byte 66 leaves the 4x2 picture"},
      {rle8("\4\1\0\0"s), "run-length data ends at byte 66 without an end-of-picture code"},
      {rle8("\0\4\1\1"s), "run-length data ends at byte 66 without an end-of-picture code"},
      // Header refusals from here on.
      {pixels(Header{40, 4, 2, 8, 2}), "RLE4 compression with 8 bits per pixel; it needs 4"},
      {pixels(Header{40, 4, 2, 24, 3, 0, {0xFF, 0xFF00, 0xFF0000}}),
       "colour masks (compression 3) with 24 bits per pixel; they need 16 or 32"},
      {pixels(Header{40, 4, 2, 16, 3, 0, {0xF00F, 0xF0, 0}}),
       "red mask 0xf00f is not one run of bits"},
      {pixels(Header{124, 4, 2, 16, 3, 0, {0x1F, 0x3E0, 0x1FC00}}),
       "blue mask 0x1fc00 reaches past the 16-bit pixel"},
      {pixels(Header{40, 4, 2, 4, 0, 1u << 30}),
       "palette of 1073741824 colours runs past the end of the file"},
      {cut_os2, kBmpSizeError},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string& file = cases[i].file;
    BmpPlanes planes;
    EXPECT_EQ(decode(file, &planes), cases[i].message) << "case " << i;
    if (i < 3) continue;
    const test::ChildResult r = test::run_in_child([&] {
      fail_named_allocation(nullptr, 1);  // any allocation would end the child with a message
      BmpPlanes p;
      std::exit(decode(file, &p) == cases[i].message ? 3 : 4);
    });
    EXPECT_EQ(r.status, 3) << "case " << i << ": " << r.out;
  }
}

}  // namespace
}  // namespace korvale
