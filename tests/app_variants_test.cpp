// The whole program on the BMP variants that everyday tools write for
// grayscale pictures and pictures with transparency: each is shrunk to exactly
// the file that the same pixels give from a plain 24-bit input.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app_test_util.h"
#include "bmp_encode.h"

namespace {

TEST(ProgramVariants, PaletteAndThirtyTwoBitFilesShrinkLikeTheir24BitPixels) {
  const std::string dir = apptest::scratch_dir("variants");
  const int w = 41, h = 30;
  std::vector<std::uint32_t> palette;  // 256 colours, no two alike
  for (std::uint32_t i = 0; i < 256; ++i) palette.push_back((i * 0x9E3779B1u >> 8) & 0xFFFFFF);
  auto index = [&](int x, int y) { return (x / 3 * 7 + y / 2 * 5 + (x * y) % 9) % 256; };
  apptest::Picture picture{w, h, std::vector<uint8_t>(w * h * 3)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        picture.at(x, y, c) = static_cast<uint8_t>(palette[index(x, y)] >> (16 - 8 * c));
  auto rgb = [&](int x, int y) { return palette[index(x, y)]; };
  auto alpha = [&](int x, int y) { return static_cast<std::uint32_t>(x * 11 + y) << 24; };

  struct Variant {
    const char* what;
    bmptest::Header header;
    std::string pixels;
  };
  bmptest::Header pal8{40, w, h, 8}, rle8{108, w, h, 8, 1}, rgba{124, w, h, 32, 3},
      rgbx{40, w, -h, 32};
  pal8.palette = rle8.palette = palette;
  rgba.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
  const Variant variants[] = {
      {"8-bit palette", pal8, bmptest::pack_rows(w, h, 8, false, index)},
      {"RLE8, 108-byte header", rle8, bmptest::rle_encode(w, h, false, index)},
      {"32-bit with alpha masks, 124-byte header", rgba,
       bmptest::pack_rows(w, h, 32, false, [&](int x, int y) { return rgb(x, y) | alpha(x, y); })},
      {"32-bit BI_RGB with alpha bytes, top-down", rgbx,
       bmptest::pack_rows(w, h, 32, true, [&](int x, int y) { return rgb(x, y) | alpha(x, y); })},
  };

  auto shrink = [&](const std::string& input, const std::string& bytes) {
    apptest::write_file(dir + "/" + input, bytes);
    const apptest::RunResult r = apptest::run(
        KORVALE_BIN, {"-i", input, "-o", "out", "-sizexminus", "7", "-sizexminusy", "5"}, dir);
    EXPECT_EQ(r.status, 0) << input << ": " << r.out;
    std::string out = apptest::read_file(dir + "/out.bmp");
    std::filesystem::remove(dir + "/out.bmp");
    return out;
  };
  const std::string expected = shrink("plain.bmp", apptest::encode_bmp(picture));
  ASSERT_EQ(apptest::get_le(expected, 18, 4), 34u);
  for (const Variant& v : variants) {
    EXPECT_TRUE(shrink("variant.bmp", bmptest::assemble(v.header, v.pixels)) == expected)
        << v.what << ": the output differs from the plain file's";
  }
  std::filesystem::remove_all(dir);
}

TEST(ProgramVariants, TinyFileDeclaringAHugePictureIsRefusedBeforeAnyBuffer) {
  // 1 KB of RLE8 declaring 32768 x 32768 (end of picture at once): refused on
  // its header, before even the file's bytes get their buffer ("vin").
  const std::string dir = apptest::scratch_dir("huge");
  bmptest::Header hd{40, 32768, 32768, 8, 1, 2};
  hd.palette = {0, 0xFFFFFF};
  apptest::write_file(dir + "/huge.bmp",
                      bmptest::assemble(hd, std::string("\0\1", 2) + std::string(1000, '\0')));
  const apptest::RunResult r =
      apptest::run(KORVALE_SEAMED_BIN, {"-i", "huge.bmp", "-o", "out"}, dir, "vin");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "huge.bmp: 32768x32768 is 1073741824 pixels, more than the limit of 268435456 "
            "(-maxpixels N raises it)\n");
  EXPECT_FALSE(apptest::exists(dir + "/out.bmp"));
  std::filesystem::remove_all(dir);
}

}  // namespace
