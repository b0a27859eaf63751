// The BMP suite (../shared/bmpsuite) through the decoder: every file is either
// refused with its listed line or read, and what is read matches ImageMagick's
// `convert`, run as an independent decoder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "bmp/bmp.h"
#include "tests/app_test_util.h"
#include "tests/bmp_suite_list.h"

namespace korvale {
namespace {

namespace fs = std::filesystem;

// Names such as "g/pal8.bmp" of every file of the suite.
std::vector<std::string> suite_files() {
  std::vector<std::string> names;
  for (const char* folder : {"g", "q", "b"})
    for (const auto& entry : fs::directory_iterator(std::string(BMPSUITE_DIR) + "/" + folder))
      names.push_back(std::string(folder) + "/" + entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string decode_suite_file(const std::string& name, BmpPlanes* out) {
  const std::string bytes = apptest::read_file(std::string(BMPSUITE_DIR) + "/" + name);
  return decode_bmp(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
}

TEST(BmpSuite, EachFileIsReadOrRefusedWithItsLine) {
  if (!fs::is_directory(BMPSUITE_DIR)) GTEST_SKIP() << "no BMP suite at " << BMPSUITE_DIR;
  std::size_t refused = 0;
  for (const std::string& name : suite_files()) {
    BmpPlanes planes;
    const auto listed = bmpsuite::refused().find(name);
    const std::string error = decode_suite_file(name, &planes);
    if (listed == bmpsuite::refused().end()) {
      EXPECT_EQ(error, "") << name;
    } else {
      EXPECT_EQ(error, listed->second) << name;
      ++refused;
    }
  }
  EXPECT_EQ(refused, bmpsuite::refused().size()) << "the list names files the suite lacks";
}

// How a read file is compared with ImageMagick where the two do not simply
// agree byte for byte.
struct Reference {
  // The file ImageMagick decodes for the comparison ("": none can serve).
  std::string magick_file;
  // Channel widths of 16/32-bit files. The reader scales a field of n bits
  // as round(v * 255 / (2^n - 1)); ImageMagick does not. Where n < 8, the
  // field's value v is recovered from ImageMagick's value and the reader's
  // rounding checked: in 16-bit files ImageMagick puts v in the top n bits
  // (repeating them below for 5 and 6 bits), in 32-bit files it comes out up
  // to 1 below v * 2^(8-n), so v is the top n bits rounded up. Fields wider
  // than 8 bits ImageMagick narrows its own way: up to 2 apart.
  int bits[3] = {0, 0, 0};
  bool pixel_32 = false;
  // Run-length files with pixels never written, and indices beyond the
  // palette: those pixels are black, the rest is the full picture.
  bool holes = false;
};

const std::map<std::string, Reference>& references() {
  static const std::map<std::string, Reference> refs = {
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
      // ImageMagick misreads the 4-byte palette of a 64-byte OS/2 header,
      // refuses a size field holding the headers' size and a palette of 300
      // colours; all hold the picture of g/pal8.bmp.
      {"q/pal8os2v2.bmp", {"g/pal8.bmp"}},
      {"q/pal8os2v2-sz.bmp", {"g/pal8.bmp"}},
      {"q/pal8os2v2-40sz.bmp", {"g/pal8.bmp"}},
      {"q/pal8os2-sz.bmp", {"g/pal8.bmp"}},
      {"q/pal8os2-hs.bmp", {"g/pal8.bmp"}},
      {"q/pal8oversizepal.bmp", {"g/pal8.bmp"}},
      // ImageMagick knows no BI_ALPHABITFIELDS; the same masks in a 56-byte header.
      {"q/rgba32abf.bmp", {"q/rgba32h56.bmp"}},
      // ImageMagick fills unwritten pixels with palette entry 0 (or refuses a
      // cut stream, or an index beyond the palette).
      {"q/pal4rlecut.bmp", {"g/pal4.bmp", {}, false, true}},
      {"q/pal4rletrns.bmp", {"g/pal4.bmp", {}, false, true}},
      {"q/pal8rlecut.bmp", {"g/pal8.bmp", {}, false, true}},
      {"q/pal8rletrns.bmp", {"g/pal8.bmp", {}, false, true}},
      {"b/pal8badindex.bmp", {"g/pal8.bmp", {}, false, true}},
      // ImageMagick reads no 2-bit files (2-bit decoding is checked in
      // bmp_variants_test.cpp).
      {"q/pal2.bmp", {""}},
      {"q/pal2color.bmp", {""}},
  };
  return refs;
}

// ImageMagick's convert, or "" when it is not installed. /usr/bin comes
// first: the real program, not a wrapper that may sit earlier in PATH.
std::string find_convert() {
  if (access("/usr/bin/convert", X_OK) == 0) return "/usr/bin/convert";
  const char* path = std::getenv("PATH");
  std::string dirs = path == nullptr ? "" : path;
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(at, end - at) + "/convert";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

// Whether our decoding `got` of a channel of `bits` bits agrees with
// ImageMagick's value `magick` (see Reference::bits).
bool channel_agrees(int got, int magick, int bits, bool pixel_32) {
  if (bits == 0 || bits == 8) return got == magick;
  if (bits > 8) return std::abs(got - magick) <= 2;
  const int v = (magick + (pixel_32 ? (1 << (8 - bits)) - 1 : 0)) >> (8 - bits);
  const int top = (1 << bits) - 1;
  return got == (v * 255 * 2 + top) / (2 * top);
}

TEST(BmpSuite, ReadFilesMatchImageMagick) {
  if (!fs::is_directory(BMPSUITE_DIR)) GTEST_SKIP() << "no BMP suite at " << BMPSUITE_DIR;
  const std::string convert = find_convert();
  if (convert.empty()) GTEST_SKIP() << "ImageMagick's convert is not installed";
  const std::string dir = apptest::scratch_dir("magick");
  int compared = 0;
  for (const std::string& name : suite_files()) {
    if (bmpsuite::refused().count(name)) continue;
    const auto ref = references().find(name);
    const Reference r = ref == references().end() ? Reference{name} : ref->second;
    if (r.magick_file.empty()) continue;
    BmpPlanes ours;
    ASSERT_EQ(decode_suite_file(name, &ours), "") << name;
    const apptest::RunResult run =
        apptest::run(convert,
                     {std::string(BMPSUITE_DIR) + "/" + r.magick_file, "-alpha", "off", "-type",
                      "TrueColor", "BMP3:magick.bmp"},
                     dir);
    ASSERT_EQ(run.status, 0) << r.magick_file << ": " << run.err;
    const apptest::Picture magick = apptest::decode_bmp24(apptest::read_file(dir + "/magick.bmp"));
    ASSERT_EQ(magick.w, ours.red.w) << name;
    ASSERT_EQ(magick.h, ours.red.h) << name;
    int same = 0, bad = 0;
    std::string first;
    for (int y = 0; y < magick.h; ++y) {
      for (int x = 0; x < magick.w; ++x) {
        const int got[3] = {ours.red.at(x, y), ours.green.at(x, y), ours.blue.at(x, y)};
        bool agrees = true;
        for (int c = 0; c < 3; ++c)
          agrees &= channel_agrees(got[c], magick.at(x, y, c), r.bits[c], r.pixel_32);
        const bool black = got[0] == 0 && got[1] == 0 && got[2] == 0;
        same += agrees;
        if (agrees || (r.holes && black)) continue;
        if (bad++ == 0) {
          char text[128];
          std::snprintf(text, sizeof text, "(%d,%d): ours %d,%d,%d, ImageMagick %d,%d,%d", x, y,
                        got[0], got[1], got[2], magick.at(x, y, 0), magick.at(x, y, 1),
                        magick.at(x, y, 2));
          first = text;
        }
      }
    }
    EXPECT_EQ(bad, 0) << name << ": " << bad << " pixels differ, first " << first;
    EXPECT_GT(same, magick.w * magick.h / 3) << name << ": too few pixels of the picture";
    ++compared;
  }
  fs::remove_all(dir);
  EXPECT_GT(compared, 50);
}

}  // namespace
}  // namespace korvale
