// The program against the BMP suite corpus: every file it reads is shrunk
// (the uncompressed 24-bit ones exactly as the same pixels in a plain file),
// every file it refuses gets its one line and status 1 and leaves no output,
// and nothing crashes (this also runs under the sanitizers).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app_test_util.h"

namespace {

namespace fs = std::filesystem;

// The suite's uncompressed 24-bit files, with assorted header sizes, unused
// palettes, colour profiles and pixel offsets.
const std::set<std::string> kPlain24 = {"g/rgb24.bmp",         "g/rgb24pal.bmp",
                                        "q/rgb24largepal.bmp", "q/rgb24prof.bmp",
                                        "q/rgb24prof2.bmp",    "q/rgb24lprof.bmp"};

// The files korvale refuses, with the line it prints (after "NAME: ", except
// the size error, which stands alone). It reads every other file: the b/
// files read are pal8badindex (black where an index has no colour), rgb16-880
// (a blue mask of 0 bits reads as 0), badbitssize, baddens1 and baddens2
// (their broken fields, image size and resolution, are not used).
const std::map<std::string, std::string> kRefused = {
    {"b/badbitcount.bmp", "30000 bits per pixel; only 1, 2, 4, 8, 16, 24 and 32 are read"},
    {"b/badfilesize.bmp", "input file size err!!"},
    {"b/badheadersize.bmp",
     "information header of 66 bytes; the known sizes are 12, 16, 40, 52, 56, 64, 108 and 124"},
    {"b/badpalettesize.bmp", "palette of 305402420 colours runs past the end of the file"},
    {"b/badplanes.bmp", "30000 colour planes; only 1 is valid"},
    {"b/badrle.bmp", "run-length data: a run at byte 1154 leaves the 127x64 picture"},
    {"b/badrle4.bmp", "run-length data: a run at byte 140 leaves the 127x64 picture"},
    {"b/badrle4bis.bmp", "run-length data: a move at byte 1304 leaves the 127x64 picture"},
    {"b/badrle4ter.bmp", "run-length data: a move at byte 1304 leaves the 127x64 picture"},
    {"b/badrlebis.bmp", "run-length data: a move at byte 3668 leaves the 127x64 picture"},
    {"b/badrleter.bmp", "run-length data: a move at byte 3668 leaves the 127x64 picture"},
    {"b/badwidth.bmp", "width -127 outside 1..32768"},
    {"b/reallybig.bmp", "width 3000000 outside 1..32768"},
    {"b/rletopdown.bmp", "run-length encoded rows cannot be stored top-down"},
    {"b/shortfile.bmp", "input file size err!!"},
    {"q/pal1huffmsb.bmp", "OS/2 Huffman 1D compression is not read"},
    {"q/rgb24jpeg.bmp", "JPEG data inside a BMP file is not read"},
    {"q/rgb24png.bmp", "PNG data inside a BMP file is not read"},
    {"q/rgb24rle24.bmp", "OS/2 RLE24 compression is not read"},
    {"q/rgba64.bmp", "64 bits per pixel; only 1, 2, 4, 8, 16, 24 and 32 are read"},
};

class BmpSuiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(BMPSUITE_DIR)) GTEST_SKIP() << "no BMP suite at " << BMPSUITE_DIR;
    dir_ = apptest::scratch_dir("suite");
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(BmpSuiteTest, EveryFileIsReadCorrectlyOrRefused) {
  // A file that is read gives a 24-bit output; a plain 24-bit one gives
  // exactly what the same pixels give when stored as a plain bottom-up file
  // with a 54-byte header, made here.
  const std::string suite = BMPSUITE_DIR;
  const std::vector<std::string> shrink = {"-sizexminus", "27", "-sizexminusy", "14"};
  auto shrunk = [&](const std::string& input) {
    std::vector<std::string> args = {"-i", input, "-o", "out"};
    args.insert(args.end(), shrink.begin(), shrink.end());
    return apptest::run(KORVALE_BIN, args, dir_);
  };

  int plain = 0, readable = 0, refused = 0;
  for (const char* folder : {"g", "q", "b"}) {
    for (const auto& entry : fs::directory_iterator(suite + "/" + folder)) {
      const std::string name = std::string(folder) + "/" + entry.path().filename().string();
      apptest::RunResult r = shrunk(entry.path().string());
      const std::string got = apptest::read_file(dir_ + "/out.bmp");
      fs::remove(dir_ + "/out.bmp");
      const auto listed = kRefused.find(name);
      if (listed != kRefused.end()) {
        ++refused;
        const std::string& line = listed->second;
        const std::string expected =
            (line == "input file size err!!" ? line : entry.path().string() + ": " + line) + "\n";
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, expected);
        EXPECT_TRUE(got.empty()) << name << " left an output file";
        // Header faults are found before the file's bytes get a buffer ("vin").
        const bool in_pixels = line.rfind("run-length data", 0) == 0;
        r = apptest::run(KORVALE_SEAMED_BIN, {"-i", entry.path().string(), "-o", "out"}, dir_,
                         "vin");
        EXPECT_EQ(r.out, in_pixels ? "vin no memory!!\n" : expected) << name;
        continue;
      }
      ++readable;
      ASSERT_EQ(r.status, 0) << name << ": " << r.out;
      EXPECT_EQ(r.out, "") << name;
      EXPECT_EQ(got.size() % 4, 54 % 4) << name;  // a 24-bit file, rows padded to 4 bytes
      EXPECT_GT(got.size(), 54u) << name;
      if (!kPlain24.count(name)) continue;
      ++plain;
      apptest::write_file(
          dir_ + "/plain.bmp",
          apptest::encode_bmp(apptest::decode_bmp24(apptest::read_file(entry.path()))));
      ASSERT_EQ(shrunk("plain.bmp").status, 0);
      EXPECT_TRUE(got == apptest::read_file(dir_ + "/out.bmp"))
          << name << " differs from its plain copy";
      EXPECT_EQ(apptest::get_le(got, 18, 4), 100u) << name;
      EXPECT_EQ(apptest::get_le(got, 22, 4), 50u) << name;
      fs::remove(dir_ + "/out.bmp");
    }
  }
  EXPECT_EQ(plain, static_cast<int>(kPlain24.size()));
  EXPECT_EQ(refused, static_cast<int>(kRefused.size()));
  EXPECT_GT(readable, 50);
}

TEST_F(BmpSuiteTest, ZeroReductionReproducesTheReferencePixels) {
  // Decoded independently, the suite's picture comes back exactly.
  const std::string in_path = std::string(BMPSUITE_DIR) + "/q/rgb24lprof.bmp";
  apptest::RunResult r = apptest::run(KORVALE_BIN, {"-i", in_path, "-o", "same"}, dir_);
  ASSERT_EQ(r.status, 0) << r.out;
  apptest::Picture in = apptest::decode_bmp24(apptest::read_file(in_path));
  apptest::Picture out = apptest::decode_bmp24(apptest::read_file(dir_ + "/same.bmp"));
  ASSERT_EQ(out.w, in.w);
  ASSERT_EQ(out.h, in.h);
  for (size_t i = 0; i < in.rgb.size(); ++i) {
    ASSERT_EQ(out.rgb[i], in.rgb[i]) << "byte " << i;
  }
}

}  // namespace
