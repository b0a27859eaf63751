// The program against the BMP suite corpus: every file it reads is shrunk
// (the uncompressed 24-bit ones exactly as the same pixels in a plain file),
// every file it refuses gets its one line and status 1 and leaves no output,
// and nothing crashes (this also runs under the sanitizers).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app_test_util.h"
#include "bmp_suite_list.h"

namespace {

namespace fs = std::filesystem;

// The suite's uncompressed 24-bit files, with assorted header sizes, unused
// palettes, colour profiles and pixel offsets.
const std::set<std::string> kPlain24 = {"g/rgb24.bmp",         "g/rgb24pal.bmp",
                                        "q/rgb24largepal.bmp", "q/rgb24prof.bmp",
                                        "q/rgb24prof2.bmp",    "q/rgb24lprof.bmp"};

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
      const auto listed = bmpsuite::refused().find(name);
      if (listed != bmpsuite::refused().end()) {
        ++refused;
        EXPECT_EQ(r.status, 1) << name;
        const std::string& line = listed->second;
        EXPECT_EQ(
            r.out,
            (line == "input file size err!!" ? line : entry.path().string() + ": " + line) + "\n");
        EXPECT_TRUE(got.empty()) << name << " left an output file";
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
  EXPECT_EQ(refused, static_cast<int>(bmpsuite::refused().size()));
  EXPECT_GT(readable, 50);
}

TEST_F(BmpSuiteTest, ZeroReductionReproducesTheReferencePixels) {
  // Decoded independently, the suite's picture comes back (or one lower).
  const std::string in_path = std::string(BMPSUITE_DIR) + "/q/rgb24lprof.bmp";
  apptest::RunResult r = apptest::run(KORVALE_BIN, {"-i", in_path, "-o", "same"}, dir_);
  ASSERT_EQ(r.status, 0) << r.out;
  apptest::Picture in = apptest::decode_bmp24(apptest::read_file(in_path));
  apptest::Picture out = apptest::decode_bmp24(apptest::read_file(dir_ + "/same.bmp"));
  ASSERT_EQ(out.w, in.w);
  ASSERT_EQ(out.h, in.h);
  int off = 0;
  for (size_t i = 0; i < in.rgb.size(); ++i) {
    const int d = in.rgb[i] - out.rgb[i];
    EXPECT_TRUE(d == 0 || d == 1) << "byte " << i << ": " << int(out.rgb[i]) << " for "
                                  << int(in.rgb[i]);
    off += d;
  }
  EXPECT_LT(off, static_cast<int>(in.rgb.size()) / 2) << "most pixels come back exactly";
}

}  // namespace
