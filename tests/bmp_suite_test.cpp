// The files of the BMP suite (../shared/bmpsuite) that the reader reads, and
// ImageMagick's own palette (RLE8) files of odd widths, against ImageMagick's
// `convert` as an independent decoder. Which suite files are read or refused,
// and with what line, is checked in app_bmpsuite_test.cpp.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "bmp/bmp.h"
#include "tests/app_test_util.h"

namespace korvale {
namespace {

namespace fs = std::filesystem;

// How a file is compared where ImageMagick does not read it byte for byte
// the same way.
struct Reference {
  std::string magick_file;  // what ImageMagick decodes instead ("": nothing can serve)
  // Channel widths in 16/32-bit files. The reader makes a field v of n bits
  // round(v * 255 / (2^n - 1)). For n < 8 ImageMagick's value gives back v:
  // its top n bits in 16-bit files (it repeats them below for 5 and 6 bits),
  // rounded up in 32-bit files (it comes out up to 1 below v * 2^(8-n)).
  // Fields wider than 8 bits ImageMagick narrows its own way: up to 2 apart.
  int bits[3] = {0, 0, 0};
  bool pixel_32 = false;
  bool holes = false;  // black where nothing was written or the index has no colour
};

const std::map<std::string, Reference> kReferences = {
    {"g/rgb16.bmp", {"g/rgb16.bmp", {5, 5, 5}}},
    {"g/rgb16bfdef.bmp", {"g/rgb16bfdef.bmp", {5, 5, 5}}},
    {"g/rgb16-565.bmp", {"g/rgb16-565.bmp", {5, 6, 5}}},
    {"g/rgb16-565pal.bmp", {"g/rgb16-565pal.bmp", {5, 6, 5}}},
    {"q/rgb16faketrns.bmp", {"q/rgb16faketrns.bmp", {5, 5, 5}}},
    {"q/rgba16-5551.bmp", {"q/rgba16-5551.bmp", {5, 5, 5}}},
    {"q/rgb16-231.bmp", {"q/rgb16-231.bmp", {2, 3, 1}}},
    {"q/rgb16-3103.bmp", {"q/rgb16-3103.bmp", {3, 10, 3}}},
    {"q/rgba16-1924.bmp", {"q/rgba16-1924.bmp", {1, 9, 2}}},
    {"q/rgba16-4444.bmp", {"q/rgba16-4444.bmp", {4, 4, 4}}},
    {"q/rgb32-111110.bmp", {"q/rgb32-111110.bmp", {11, 11, 10}}},
    {"q/rgb32-7187.bmp", {"q/rgb32-7187.bmp", {7, 18, 7}, true}},
    {"q/rgba32-1010102.bmp", {"q/rgba32-1010102.bmp", {10, 10, 10}}},
    {"q/rgba32-61754.bmp", {"q/rgba32-61754.bmp", {6, 17, 5}, true}},
    {"q/rgba32-81284.bmp", {"q/rgba32-81284.bmp", {8, 12, 8}}},
    // ImageMagick misreads the 4-byte palette of a 64-byte OS/2 header and
    // refuses a size field holding the headers' size or a palette of 300
    // colours; each of these holds the picture of g/pal8.bmp.
    {"q/pal8os2v2.bmp", {"g/pal8.bmp"}},
    {"q/pal8os2v2-sz.bmp", {"g/pal8.bmp"}},
    {"q/pal8os2v2-40sz.bmp", {"g/pal8.bmp"}},
    {"q/pal8os2-sz.bmp", {"g/pal8.bmp"}},
    {"q/pal8os2-hs.bmp", {"g/pal8.bmp"}},
    {"q/pal8oversizepal.bmp", {"g/pal8.bmp"}},
    // ImageMagick knows no BI_ALPHABITFIELDS: the same masks in a 56-byte header.
    {"q/rgba32abf.bmp", {"q/rgba32h56.bmp"}},
    // ImageMagick paints unwritten pixels with palette entry 0, or refuses.
    {"q/pal4rlecut.bmp", {"g/pal4.bmp", {}, false, true}},
    {"q/pal4rletrns.bmp", {"g/pal4.bmp", {}, false, true}},
    {"q/pal8rlecut.bmp", {"g/pal8.bmp", {}, false, true}},
    {"q/pal8rletrns.bmp", {"g/pal8.bmp", {}, false, true}},
    {"b/pal8badindex.bmp", {"g/pal8.bmp", {}, false, true}},
    // ImageMagick reads no 2-bit files (bmp_variants_test.cpp checks them).
    {"q/pal2.bmp", {""}},
    {"q/pal2color.bmp", {""}},
};

bool channel_agrees(int got, int magick, int bits, bool pixel_32) {
  if (bits == 0 || bits == 8) return got == magick;
  if (bits > 8) return std::abs(got - magick) <= 2;
  const int v = (magick + (pixel_32 ? (1 << (8 - bits)) - 1 : 0)) >> (8 - bits);
  const int top = (1 << bits) - 1;
  return got == (v * 255 * 2 + top) / (2 * top);
}

TEST(BmpSuite, ReadFilesMatchImageMagick) {
  if (!fs::is_directory(BMPSUITE_DIR)) GTEST_SKIP() << "no BMP suite at " << BMPSUITE_DIR;
  // Debian's ImageMagick, called by its path (not through any wrapper in PATH).
  const std::string convert = "/usr/bin/convert";
  if (access(convert.c_str(), X_OK) != 0) GTEST_SKIP() << "ImageMagick is not installed";
  const std::string dir = apptest::scratch_dir("magick"), suite = BMPSUITE_DIR;
  int compared = 0;
  for (const char* folder : {"g", "q", "b"}) {
    for (const auto& entry : fs::directory_iterator(suite + "/" + folder)) {
      const std::string name = std::string(folder) + "/" + entry.path().filename().string();
      const std::string bytes = apptest::read_file(entry.path());
      BmpPlanes ours;
      if (!decode_bmp(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &ours)
               .empty())
        continue;
      const auto ref = kReferences.find(name);
      const Reference r = ref == kReferences.end() ? Reference{name} : ref->second;
      if (r.magick_file.empty()) continue;
      const apptest::RunResult run = apptest::run(
          convert,
          {suite + "/" + r.magick_file, "-alpha", "off", "-type", "TrueColor", "BMP3:magick.bmp"},
          dir);
      ASSERT_EQ(run.status, 0) << r.magick_file << ": " << run.err;
      const apptest::Picture im = apptest::decode_bmp24(apptest::read_file(dir + "/magick.bmp"));
      ASSERT_TRUE(im.w == ours.red.w && im.h == ours.red.h) << name;
      int same = 0, bad = 0;
      char first[96] = "";
      for (int y = 0; y < im.h; ++y) {
        for (int x = 0; x < im.w; ++x) {
          const int got[3] = {ours.red.at(x, y), ours.green.at(x, y), ours.blue.at(x, y)};
          bool agrees = true;
          for (int c = 0; c < 3; ++c)
            agrees = agrees && channel_agrees(got[c], im.at(x, y, c), r.bits[c], r.pixel_32);
          same += agrees;
          if (agrees || (r.holes && got[0] == 0 && got[1] == 0 && got[2] == 0) || bad++ > 0)
            continue;
          std::snprintf(first, sizeof first, "(%d,%d): %d,%d,%d; ImageMagick %d,%d,%d", x, y,
                        got[0], got[1], got[2], im.at(x, y, 0), im.at(x, y, 1), im.at(x, y, 2));
        }
      }
      EXPECT_EQ(bad, 0) << name << ": " << bad << " pixels differ, first " << first;
      EXPECT_GT(same, im.w * im.h / 3) << name << ": too little of the picture";
      ++compared;
    }
  }
  fs::remove_all(dir);
  EXPECT_GT(compared, 50);
}

TEST(BmpSuite, ImageMagickRle8OfOddWidthsReadsAsImageMagickDecodesIt) {
  // ImageMagick codes each row as wide as its padding (a multiple of 4
  // pixels), so runs of widths that are not a multiple of 4 reach past the
  // width; what lies past it is dropped.
  const std::string convert = "/usr/bin/convert";
  if (access(convert.c_str(), X_OK) != 0) GTEST_SKIP() << "ImageMagick is not installed";
  const std::string dir = apptest::scratch_dir("rle8");
  for (int w = 445; w <= 451; ++w) {
    SCOPED_TRACE(w);
    // Flat stretches (runs, some ending at the right edge) beside busy ones
    // (literal runs), in more colours than a palette holds.
    const int h = 24;
    apptest::Picture in{w, h, std::vector<uint8_t>(static_cast<std::size_t>(w) * h * 3)};
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          in.at(x, y, c) = static_cast<uint8_t>(
              x > w - 9 - y % 5 || (x / 16 + y) % 3 == 0 ? 40 * c + y : (x * 7 + y * 3) * (c + 1));
    apptest::write_file(dir + "/in.bmp", apptest::encode_bmp(in));
    ASSERT_EQ(apptest::run(convert, {"in.bmp", "-type", "palette", "BMP3:pal8.bmp"}, dir).status,
              0);
    ASSERT_EQ(
        apptest::run(convert, {"pal8.bmp", "-type", "TrueColor", "BMP3:magick.bmp"}, dir).status,
        0);
    const std::string file = apptest::read_file(dir + "/pal8.bmp");
    ASSERT_EQ(apptest::get_le(file, 30, 4), 1u) << "not RLE8";
    BmpPlanes ours;
    ASSERT_EQ(decode_bmp(reinterpret_cast<const unsigned char*>(file.data()), file.size(), &ours),
              "");
    const apptest::Picture im = apptest::decode_bmp24(apptest::read_file(dir + "/magick.bmp"));
    ASSERT_TRUE(im.w == w && im.h == h && ours.red.w == w && ours.red.h == h);
    int bad = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        bad += ours.red.at(x, y) != im.at(x, y, 0) || ours.green.at(x, y) != im.at(x, y, 1) ||
               ours.blue.at(x, y) != im.at(x, y, 2);
    EXPECT_EQ(bad, 0) << "pixels differ";
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvale
