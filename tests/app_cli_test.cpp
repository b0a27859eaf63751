// The command line as a user meets it, through the built program: -resize,
// strict numbers, ignored keys, -quiet, -maxpixels, long names, a closed
// progress pipe, and the installed binary.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app_test_util.h"
#include "tests/usage_text.h"

namespace {

using apptest::Picture;
using apptest::RunResult;

Picture ramp_picture(int w, int h) {
  Picture p{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      p.at(x, y, 0) = static_cast<uint8_t>(3 * x + y);
      p.at(x, y, 1) = static_cast<uint8_t>(x * y);
      p.at(x, y, 2) = static_cast<uint8_t>(200 - 2 * y);
    }
  return p;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = apptest::scratch_dir("cli"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void put(const std::string& name, int w, int h) {
    apptest::write_file(path(name), apptest::encode_bmp(ramp_picture(w, h)));
  }
  RunResult korvale(const std::vector<std::string>& args) {
    return apptest::run(KORVALE_BIN, args, dir_);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  int file_count() const {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir_),
                                          std::filesystem::directory_iterator()));
  }
  // Width x height of a written BMP.
  std::string size_of(const std::string& name) const {
    const Picture p = apptest::decode_bmp24(apptest::read_file(path(name)));
    return std::to_string(p.w) + "x" + std::to_string(p.h);
  }

  std::string dir_;
};

TEST_F(CliTest, ResizeWritesTheGeometrysSizeAndRefusesWhatItCannotDo) {
  put("in.bmp", 120, 80);
  const std::vector<std::pair<std::string, std::string>> sizes = {
      {"50%", "60x40"},       {"33.3%x10%", "40x8"}, {"100x", "100x67"},  {"x30", "45x30"},
      {"50x50", "50x33"},     {"50x50!", "50x50"},   {"50x50^", "75x50"}, {"600@", "30x20"},
      {"200x200>", "120x80"}, {"60x60>", "60x40"},   {"120x80", "120x80"}};
  for (const auto& [geometry, size] : sizes) {
    const RunResult r = korvale({"-i", "in.bmp", "-out", "out.bmp", "-resize", geometry, "-quiet"});
    ASSERT_EQ(r.status, 0) << geometry << ": " << r.out;
    EXPECT_EQ(size_of("out.bmp"), size) << geometry;
  }
  // A geometry that would enlarge is refused with both sizes, before any work.
  std::filesystem::remove(path("out.bmp"));
  for (const auto& [geometry, asked] : std::vector<std::pair<std::string, std::string>>{
           {"200%", "240x160"}, {"130x", "130x87"}, {"130x10!", "130x10"}}) {
    const RunResult r = korvale({"-i", "in.bmp", "-out", "out.bmp", "-resize", geometry});
    EXPECT_EQ(r.status, 1) << geometry;
    EXPECT_EQ(r.out, "-resize " + geometry + " asks for " + asked +
                         ", larger than the picture's 120x80: korvale only shrinks\n");
    EXPECT_EQ(r.err, "") << geometry;
  }
  // Malformed geometries, and -resize with a reduction, are refused by name.
  for (const std::string geometry : {"abc", "0x0", "-50%", "50%%"}) {
    const RunResult r = korvale({"-i", "in.bmp", "-out", "out.bmp", "-resize", geometry});
    EXPECT_EQ(r.status, 1) << geometry;
    EXPECT_EQ(r.out.rfind("-resize " + geometry + " is not a geometry", 0), 0u) << r.out;
  }
  for (const std::string key : {"-sizexminus", "-sizexminusy"}) {
    const RunResult r = korvale({"-i", "in.bmp", "-o", "out", "-resize", "50%", key, "1"});
    EXPECT_EQ(r.status, 1) << key;
    EXPECT_NE(r.out.find("-resize cannot be used with -sizexminus"), std::string::npos);
  }
  EXPECT_EQ(file_count(), 1);
}

TEST_F(CliTest, IntegerValuesAreStrictAndIgnoredKeysSaySo) {
  put("in.bmp", 12, 8);
  for (const std::string text : {"50%", "abc", "1e2", "12abc", " 5", "", "0x10", "5 "}) {
    const RunResult r = korvale({"-i", "in.bmp", "-o", "out", "-sizexminus", text});
    EXPECT_EQ(r.status, 1) << "\"" << text << "\"";
    EXPECT_EQ(r.out, "-sizexminus \"" + text + "\" is not a whole decimal number\n");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(file_count(), 1);

  // Each ignored key given prints one line; the result is the same.
  RunResult plain = korvale({"-i", "in.bmp", "-o", "plain", "-sizexminus", "3", "-quiet"});
  RunResult extra = korvale({"-orgx", "100", "-x", "5", "-Fsc", "2.5", "-i2", "o.bmp", "-x", "abc",
                             "-i", "in.bmp", "-o", "extra", "-sizexminus", "3", "-tapnum_y", "9"});
  ASSERT_EQ(plain.status, 0) << plain.out;
  ASSERT_EQ(extra.status, 0) << extra.out;
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(extra.err.substr(0, extra.err.find("Start")),
            "-orgx has no effect (accepted and ignored)\n"
            "-x has no effect (accepted and ignored)\n"
            "-Fsc has no effect (accepted and ignored)\n"
            "-i2 has no effect (accepted and ignored)\n"
            "-x has no effect (accepted and ignored)\n"
            "-tapnum_y has no effect (accepted and ignored)\n");
  EXPECT_EQ(apptest::read_file(path("plain.bmp")), apptest::read_file(path("extra.bmp")));

  // --help, with the new options in the usage.
  const RunResult help = korvale({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, kUsageText);
  EXPECT_NE(help.err.find("-resize"), std::string::npos);
}

TEST_F(CliTest, MaxPixelsLimitsThePicture) {
  put("in.bmp", 100, 50);
  RunResult r = korvale({"-i", "in.bmp", "-o", "out", "-maxpixels", "4999", "-quiet"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("in.bmp"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("-maxpixels"), std::string::npos) << r.out;
  EXPECT_FALSE(apptest::exists(path("out.bmp")));
  r = korvale({"-i", "in.bmp", "-o", "out", "-maxpixels", "5000", "-quiet"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(size_of("out.bmp"), "100x50");
}

TEST_F(CliTest, NamesOfAnyLength) {
  // A 400-byte input path through deep folders.
  std::string folder = dir_;
  while (folder.size() < 380) {
    folder += "/" + std::string(40, 'd');
    std::filesystem::create_directory(folder);
  }
  const std::string input = folder + "/" + std::string(400 - folder.size() - 5, 'n') + ".bmp";
  ASSERT_EQ(input.size(), 400u);
  apptest::write_file(input, apptest::encode_bmp(ramp_picture(16, 8)));
  RunResult r = korvale({"-i", input, "-o", "out", "-resize", "50%", "-quiet"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(size_of("out.bmp"), "8x4");

  // A 500-byte output stem in folders; each name stays within the system's
  // limit of 255 bytes per name, the temporary's suffix included.
  std::string stem;
  for (int i = 0; i < 3; ++i) {
    stem += std::string(120, static_cast<char>('a' + i)) + "/";
    std::filesystem::create_directory(path(stem));
  }
  stem += std::string(500 - stem.size(), 't');
  ASSERT_EQ(stem.size(), 500u);
  r = korvale({"-i", input, "-o", stem, "-resize", "50%", "-quiet"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(size_of(stem + ".bmp"), "8x4");
}

TEST_F(CliTest, ProgressIntoAPipeClosedAfterOneLine) {
  put("in.bmp", 512, 512);
  // head leaves after the first line; the progress lines after it meet a
  // closed pipe, which must not end the run.
  const std::string command = "cd '" + dir_ + "' && " + KORVALE_BIN +
                              " -i in.bmp -o out -sizexminus 256 2>&1 | head -1 >first;"
                              " exit \\${PIPESTATUS[0]}";
  const int status = std::system(("bash -c \"" + command + "\"").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(apptest::read_file(path("first")), "Start Horizontal DFT\n");
  EXPECT_EQ(size_of("out.bmp"), "256x512");
}

TEST_F(CliTest, InstallGivesAWorkingProgram) {
  // KORVALE_BIN is BUILD/app/korvale.
  const std::filesystem::path build =
      std::filesystem::path(KORVALE_BIN).parent_path().parent_path();
  const std::string prefix = path("prefix");
  const std::string command =
      "cmake --install '" + build.string() + "' --prefix '" + prefix + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  put("in.bmp", 10, 6);
  const RunResult r = apptest::run(prefix + "/bin/korvale",
                                   {"-i", "in.bmp", "-out", "small.bmp", "-resize", "50%"}, dir_);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(size_of("small.bmp"), "5x3");
}

}  // namespace
