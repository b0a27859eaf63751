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

TEST(ProgramVariants, TwentyFourBitFilesReadRowByRowShrinkLikeTheir32BitTwins) {
  // A 24-bit file whose width shrinks is read a block of rows at a time from
  // the file (when only the width shrinks, all colours at once straight into
  // the output's rows); its 32-bit twin goes through planes. Bottom-up and
  // top-down, 0 to 3 padding bytes of garbage, a gap before the pixels and
  // junk after them, row blocks cut short at the end; a row or a column
  // less, linear light, geometries; one and three threads.
  const std::string dir = apptest::scratch_dir("rows");
  struct Case {
    int w, h;
    bool top_down;
    std::size_t gap, junk;
  };
  const std::vector<std::vector<std::string>> reductions = {
      {"-sizexminus", "13", "-sizexminusy", "9"},
      {"-sizexminus", "1", "-sizexminusy", "1"},
      {"-sizexminus", "40", "-sizexminusy", "1", "-linear"},
      {"-resize", "50%"},
      {"-sizexminus", "1"},
      {"-sizexminus", "40", "-linear"},
      {"-resize", "50%x100%"}};
  for (const Case c :
       {Case{61, 70, false, 0, 0}, Case{62, 129, true, 7, 5}, Case{63, 10, false, 0, 9},
        Case{64, 65, true, 0, 0}, Case{45, 11, false, 3, 0}}) {
    auto rgb = [&](int x, int y) {
      return static_cast<std::uint32_t>((x * 2654435761u) ^ (y * 40503u) ^ (x * y * 97u)) &
             0xFFFFFF;
    };
    const int height = c.top_down ? -c.h : c.h;
    std::string rows = bmptest::pack_rows(c.w, c.h, 24, c.top_down, rgb);
    const std::size_t row = (3 * static_cast<std::size_t>(c.w) + 3) / 4 * 4;
    for (std::size_t i = 0; i < rows.size(); ++i)
      if (i % row >= 3 * static_cast<std::size_t>(c.w)) rows[i] = static_cast<char>(0xA5 + i);
    std::string file = bmptest::assemble(bmptest::Header{40, c.w, height, 24}, "");
    file += std::string(c.gap, '\x5A') + rows + std::string(c.junk, '\x33');
    bmptest::put_le(file, 2, static_cast<std::uint32_t>(file.size()), 4);
    bmptest::put_le(file, 10, static_cast<std::uint32_t>(54 + c.gap), 4);
    apptest::write_file(dir + "/rows.bmp", file);
    apptest::write_file(dir + "/twin.bmp",
                        bmptest::assemble(bmptest::Header{40, c.w, height, 32},
                                          bmptest::pack_rows(c.w, c.h, 32, c.top_down, rgb)));
    for (const auto& reduction : reductions) {
      for (const char* threads : {"KORVALE_THREADS=1", "KORVALE_THREADS=3"}) {
        std::string what = std::to_string(c.w) + " x " + std::to_string(height) + " " + threads;
        for (const std::string& a : reduction) what += " " + a;
        std::string out[2];
        std::string err[2];
        for (int i = 0; i < 2; ++i) {
          std::vector<std::string> args = {"-i", i == 0 ? "rows.bmp" : "twin.bmp", "-o", "out"};
          args.insert(args.end(), reduction.begin(), reduction.end());
          const apptest::RunResult r =
              apptest::finish(apptest::start(KORVALE_BIN, args, dir, {threads}));
          EXPECT_EQ(r.status, 0) << what << ": " << r.out;
          out[i] = apptest::read_file(dir + "/out.bmp");
          err[i] = r.err;
          std::filesystem::remove(dir + "/out.bmp");
        }
        EXPECT_FALSE(out[0].empty()) << what;
        EXPECT_TRUE(out[0] == out[1]) << what << ": the output differs from the twin's";
        EXPECT_EQ(err[0], err[1]) << what;
      }
    }
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
