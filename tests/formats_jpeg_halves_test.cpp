// A sequential JPEG read with two threads is split between two decoders, the
// second skipping the upper rows: the picture must be one decoder's bit for
// bit, on every chroma layout, gray, CMYK and restart markers, from memory
// and from the file; damage in either part gives one decoder's refusal.
#include <cstdio>
#include <cstring>

#include "formats_test_util.h"

#if KORVALE_TEST_HAVE_LIBJPEG
// clang-format off
#include <jpeglib.h>
// clang-format on
#endif

namespace korvale {
namespace {

using namespace formats_test;

// 613 x 457: 280141 pixels, above the quarter megapixel from which two
// threads split the decode; neither side a multiple of a block.
constexpr int kW = 613, kH = 457;

#if KORVALE_TEST_HAVE_LIBJPEG
// A 4:2:0 file with a restart marker every two rows of blocks, written with
// libjpeg (ImageMagick writes none).
bool write_with_restarts(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = kW;
  c.image_height = kH;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  c.restart_in_rows = 2;
  jpeg_start_compress(&c, TRUE);
  std::vector<unsigned char> row(3 * kW);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      for (int k = 0; k < 3; ++k)
        row[3 * x + k] = static_cast<unsigned char>((x * (k + 3) + y * y / 7 + (x ^ y) * k) & 255);
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return std::fclose(f) == 0;
}
#endif

bool same_planes(const Picture& a, const Picture& b) {
  if (a.w != b.w || a.h != b.h || a.colors != b.colors || a.planes.size() != b.planes.size())
    return false;
  const std::size_t n = static_cast<std::size_t>(a.w) * a.h;
  for (std::size_t c = 0; c < a.planes.size(); ++c) {
    if (std::memcmp(a.planes[c].px.get(), b.planes[c].px.get(), n) != 0) return false;
  }
  return true;
}

std::string decode_with(const std::vector<unsigned char>& bytes, int threads, Picture* p) {
  ReadSettings s;
  s.threads = threads;
  return decode_picture(bytes.data(), bytes.size(), s, p);
}

TEST(FormatsJpegHalves, TwoDecodersGiveOneDecodersPictureAndRefusals) {
  if (!format_available(ImageFormat::jpeg)) GTEST_SKIP() << "libjpeg left out";
  ScratchDir d;
  const std::string base = d / "base.png";
  ASSERT_TRUE(sh(std::string(kConvert) + " -seed 5 -size " + std::to_string(kW) + "x" +
                 std::to_string(kH) + " plasma: " + base));
  std::vector<std::string> files;
  const char* const kMade[][2] = {
      {"s420.jpg", "-sampling-factor 2x2"}, {"s422.jpg", "-sampling-factor 2x1"},
      {"s440.jpg", "-sampling-factor 1x2"}, {"s444.jpg", "-sampling-factor 1x1"},
      {"s411.jpg", "-sampling-factor 4x1"}, {"s414.jpg", "-sampling-factor 1x4"},
      {"gray.jpg", "-colorspace gray"},     {"cmyk.jpg", "-colorspace CMYK"},
      {"prog.jpg", "-interlace JPEG"},
  };
  for (const auto& m : kMade) {
    files.push_back(d / m[0]);
    ASSERT_TRUE(sh(std::string(kConvert) + " " + base + " " + m[1] + " " + files.back()));
  }
#if KORVALE_TEST_HAVE_LIBJPEG
  files.push_back(d / "restarts.jpg");
  ASSERT_TRUE(write_with_restarts(files.back()));
#endif
  for (const std::string& path : files) {
    const std::vector<unsigned char> bytes = file_bytes(path);
    Picture one, two, from_file;
    ASSERT_EQ(decode_with(bytes, 1, &one), "") << path;
    ASSERT_EQ(decode_with(bytes, 2, &two), "") << path;
    EXPECT_TRUE(same_planes(one, two)) << path;
    ReadSettings s;
    s.threads = 2;
    ASSERT_EQ(read_picture(path.c_str(), s, &from_file), "") << path;
    EXPECT_TRUE(same_planes(one, from_file)) << path;
    EXPECT_LE(worst_level_diff(rgba16(two), im_rgba16(path)), 1.0) << path;
  }
  // Damage above and below the split (about three fifths down): cut short,
  // or a byte flipped in the entropy-coded data. Either both decodes refuse
  // with the same line, or both give the same picture.
  const std::vector<unsigned char> whole = file_bytes(files[0]);
  int refused = 0;
  for (const int percent : {25, 45, 75, 95}) {
    const std::size_t at = whole.size() * percent / 100;
    std::vector<unsigned char> cut(whole.begin(), whole.begin() + static_cast<long>(at));
    std::vector<unsigned char> flipped = whole;
    flipped[at] ^= 0x5a;
    for (const auto* b : {&cut, &flipped}) {
      Picture one, two;
      const std::string e1 = decode_with(*b, 1, &one), e2 = decode_with(*b, 2, &two);
      EXPECT_EQ(e1, e2) << percent << "%";
      if (e1.empty() && e2.empty()) {
        EXPECT_TRUE(same_planes(one, two)) << percent << "%";
      }
      refused += !e1.empty();
    }
  }
  EXPECT_GE(refused, 4);  // every cut at least
}

}  // namespace
}  // namespace korvale
