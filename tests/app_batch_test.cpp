// Many pictures in one run (inputs after "--", -out patterns): each output
// equals a one-file run's, a failing input does not stop the others, and
// outputs that would collide are refused before any work.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app_test_util.h"

namespace {

using apptest::Picture;
using apptest::RunResult;

Picture pattern_picture(int w, int h, int seed) {
  Picture p{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        p.at(x, y, c) = static_cast<uint8_t>((seed * 31 + x * (c + 3) + y * y * (seed + c)) % 256);
  return p;
}

class BatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = apptest::scratch_dir("batch");
    std::filesystem::create_directory(path("sub"));
    std::filesystem::create_directory(path("small"));
    // Two of one size (they share a resize run), others of their own sizes.
    put("a.bmp", pattern_picture(40, 30, 1));
    put("b.bmp", pattern_picture(33, 17, 2));
    put("sub/c.bmp", pattern_picture(40, 30, 3));
    put("sub/a.bmp", pattern_picture(9, 64, 4));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void put(const std::string& name, const Picture& p) {
    apptest::write_file(path(name), apptest::encode_bmp(p));
  }
  RunResult korvale(const std::vector<std::string>& args, const std::string& threads = "2") {
    return apptest::finish(apptest::start(KORVALE_BIN, args, dir_, {"KORVALE_THREADS=" + threads}));
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  int files_in(const std::string& folder) const {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(path(folder)),
                                          std::filesystem::directory_iterator()));
  }

  std::string dir_;
};

TEST_F(BatchTest, EachOutputEqualsAOneFileRun) {
  for (const std::string geometry : {"50%", "20x20"}) {
    const RunResult all = korvale({"-resize", geometry, "-out", "small/%s_%%.bmp", "-quiet", "--",
                                   "a.bmp", "b.bmp", "sub/c.bmp"});
    ASSERT_EQ(all.status, 0) << all.out;
    EXPECT_EQ(all.out, "");
    EXPECT_EQ(all.err, "");
    for (const std::string name : {"a", "b", "c"}) {
      const std::string input = name == "c" ? "sub/c.bmp" : name + ".bmp";
      const RunResult one =
          korvale({"-i", input, "-out", "one.bmp", "-resize", geometry, "-quiet"}, "1");
      ASSERT_EQ(one.status, 0) << one.out;
      const std::string batch_bytes = apptest::read_file(path("small/" + name + "_%.bmp"));
      EXPECT_FALSE(batch_bytes.empty()) << name;
      EXPECT_EQ(batch_bytes, apptest::read_file(path("one.bmp"))) << geometry << " " << name;
    }
  }
  // Without -quiet each picture prints its thirty progress lines.
  const RunResult loud =
      korvale({"-sizexminus", "1", "-out", "small/%s.bmp", "--", "a.bmp", "b.bmp"});
  ASSERT_EQ(loud.status, 0) << loud.out;
  EXPECT_EQ(std::count(loud.err.begin(), loud.err.end(), '\n'), 60);
}

TEST_F(BatchTest, AFailingInputIsReportedAndTheOthersGoOn) {
  apptest::write_file(path("broken.bmp"), "not a picture at all, just some text");
  put("tiny.bmp", pattern_picture(3, 2, 5));
  const RunResult r = korvale({"-resize", "10x10", "-out", "small/%s.bmp", "-quiet", "--", "a.bmp",
                               "missing.bmp", "broken.bmp", "tiny.bmp", "b.bmp"});
  EXPECT_EQ(r.status, 1);
  // One line per failure, each naming its input (pictures may be worked on
  // at once, so in any order); the others are written.
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(r.out.substr(at, end - at));
  std::sort(lines.begin(), lines.end());
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0].rfind("broken.bmp: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("missing.bmp: cannot open", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2],
            "tiny.bmp: -resize 10x10 asks for 10x7, larger than the picture's 3x2: "
            "korvale only shrinks");
  EXPECT_TRUE(apptest::exists(path("small/a.bmp")));
  EXPECT_TRUE(apptest::exists(path("small/b.bmp")));
  EXPECT_EQ(files_in("small"), 2);
}

TEST_F(BatchTest, OutputsThatCannotBeNamedOrWouldCollideStopTheRunBeforeAnyWork) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"-out", "small/x.bmp", "--", "a.bmp", "b.bmp"},
       "inputs a.bmp and b.bmp would both be written to small/x.bmp; nothing was done"},
      {{"-out", "small/%s.bmp", "--", "a.bmp", "sub/a.bmp"},
       "inputs a.bmp and sub/a.bmp would both be written to small/a.bmp; nothing was done"},
      {{"-out", "small/%s.bmp", "--", "b.bmp", "./b.bmp"},
       "inputs b.bmp and ./b.bmp would both be written to small/b.bmp; nothing was done"},
      {{"-o", "small/out", "--", "a.bmp", "b.bmp"},
       "inputs a.bmp and b.bmp would both be written to small/out.bmp; nothing was done"},
      {{"-out", "%s.bmp", "--", "sub/a.bmp", "a.bmp"},
       "the output of sub/a.bmp, a.bmp, is the input a.bmp; nothing was done"},
      {{"-out", "small/%d.bmp", "--", "a.bmp"},
       "-out small/%d.bmp: a % must be followed by s (the input's name) or % (a percent sign)"},
      {{"-out", "small/%s.xyz", "--", "a.bmp"},
       "small/a.xyz: unknown output extension \".xyz\" (korvale writes .bmp, .png, .jpg, .jpeg, "
       ".tif, .tiff, .webp)"},
      {{"-out", "small/%s", "--", "a.bmp"},
       "small/a: no extension to choose the output format by (korvale writes .bmp, .png, .jpg, "
       ".jpeg, .tif, .tiff, .webp)"},
      {{"-o", "out", "--"}, "no input file given: use -i NAME or -- NAME..."}};
  for (const auto& [args, message] : refused) {
    std::vector<std::string> full = {"-resize", "50%"};
    full.insert(full.end(), args.begin(), args.end());
    const RunResult r = korvale(full);
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.out, message + "\n");
  }
  EXPECT_EQ(files_in("small"), 0);
  EXPECT_EQ(files_in("."), 4);  // a.bmp, b.bmp, sub, small
}

}  // namespace
