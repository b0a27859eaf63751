// The whole program, run as a subprocess on pictures made here.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app_test_util.h"
#include "tests/usage_text.h"

namespace {

using apptest::Picture;
using apptest::RunResult;

const std::string kUsage = kUsageText;

const std::string kPlaneProgress =
    "Start Horizontal DFT\n"
    "End Horizontal DFT\n"
    "Start Vertical DFT\n"
    "End Vertical DFT\n"
    "Start High frequency component removing \n"
    "End High Frequency component removing\n"
    "Start horizontal IDFT\n"
    "End horizontal IDFT\n"
    "Start vertical IDFT\n"
    "End vertical IDFT\n";

// A picture with distinct, non-symmetric content in each channel.
Picture busy_picture(int w, int h) {
  Picture p{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      p.at(x, y, 0) = static_cast<uint8_t>((37 * x + 11 * y * y + 5) % 256);
      p.at(x, y, 1) = static_cast<uint8_t>((x * y * 7 + 3 * y) % 256);
      p.at(x, y, 2) = static_cast<uint8_t>(x < w / 2 ? 20 + 9 * y : 230 - 5 * x);
    }
  return p;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = apptest::scratch_dir("app"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string put_picture(Picture p, const std::string& name = "in.bmp") {
    apptest::write_file(dir_ + "/" + name, apptest::encode_bmp(p));
    return name;
  }
  RunResult korvale(const std::vector<std::string>& args) {
    return apptest::run(KORVALE_BIN, args, dir_);
  }
  RunResult seamed(const std::vector<std::string>& args, const std::string& fail) {
    return apptest::run(KORVALE_SEAMED_BIN, args, dir_, fail);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  // Nothing but the input and whatever the test put there itself.
  int file_count() const {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir_),
                                          std::filesystem::directory_iterator()));
  }

  std::string dir_;
};

TEST_F(ProgramTest, UsageRequestsSucceedAndUnknownKeysFail) {
  put_picture(busy_picture(4, 4));
  const std::vector<std::vector<std::string>> asked = {
      {}, {"-h"}, {"-help"}, {"--help"}, {"-i", "in.bmp", "-help", "-o", "x"}};
  for (const auto& args : asked) {
    RunResult r = korvale(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.status, 0) << joined;
    EXPECT_EQ(r.err, kUsage) << joined;
    EXPECT_EQ(r.out, "") << joined;
  }
  // A misspelt option next to a complete command: status 1 and no output, so a
  // script cannot take an older out.bmp for this run's.
  const std::vector<std::vector<std::string>> misspelt = {
      {"-H"},
      {"-i", "in.bmp", "-o", "out", "-sizeyminus", "1"},
      {"-i", "in.bmp", "-bogus", "-o", "out"}};
  for (const auto& args : misspelt) {
    RunResult r = korvale(args);
    EXPECT_EQ(r.status, 1) << args.size();
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out.rfind("unknown option -", 0), 0u) << r.out;
  }
  EXPECT_EQ(file_count(), 1);
}

TEST_F(ProgramTest, ZeroReductionKeepsEveryPixelOrOneLower) {
  Picture in = busy_picture(11, 7);
  put_picture(in);
  RunResult r = korvale({"-i", "in.bmp", "-o", "out", "-sizexminus", "0", "-sizexminusy", "0"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kPlaneProgress + kPlaneProgress + kPlaneProgress);

  Picture out = apptest::decode_bmp24(apptest::read_file(path("out.bmp")));
  ASSERT_EQ(out.w, 11);
  ASSERT_EQ(out.h, 7);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 11; ++x)
      for (int c = 0; c < 3; ++c) {
        const int got = out.at(x, y, c), want = in.at(x, y, c);
        EXPECT_TRUE(got == want || got == want - 1)
            << "x " << x << " y " << y << " channel " << c << ": " << got << " for " << want;
      }
}

TEST_F(ProgramTest, OutputHeaderAndSizeFollowTheReductions) {
  put_picture(busy_picture(13, 9));
  RunResult r =
      korvale({"-i", "in.bmp", "-o", "small.bmp", "-sizexminus", "6", "-sizexminusy", "4"});
  ASSERT_EQ(r.status, 0) << r.out;
  // The stem is used as given, so "small.bmp" becomes "small.bmp.bmp".
  const std::string s = apptest::read_file(path("small.bmp.bmp"));
  const size_t stride = apptest::row_bytes(7);  // 21 bytes of pixels + 3 of padding
  ASSERT_EQ(s.size(), 54 + 5 * stride);
  EXPECT_EQ(s.substr(0, 2), "BM");
  EXPECT_EQ(apptest::get_le(s, 2, 4), s.size());
  EXPECT_EQ(apptest::get_le(s, 10, 4), 54u);
  EXPECT_EQ(apptest::get_le(s, 14, 4), 40u);
  EXPECT_EQ(apptest::get_le(s, 18, 4), 7u);
  EXPECT_EQ(apptest::get_le(s, 22, 4), 5u);
  EXPECT_EQ(apptest::get_le(s, 28, 2), 24u);
  EXPECT_EQ(apptest::get_le(s, 34, 4), 0u);
  EXPECT_EQ(apptest::get_le(s, 38, 4), 3780u);
  for (int row = 0; row < 5; ++row)
    for (size_t pad = 21; pad < stride; ++pad) EXPECT_EQ(s[54 + row * stride + pad], '\0');
}

TEST_F(ProgramTest, ChannelsKeepTheirOwnLevels) {
  // Constant channels stay exactly constant, in the right slots.
  Picture in{9, 6, {}};
  for (int i = 0; i < 9 * 6; ++i) in.rgb.insert(in.rgb.end(), {200, 50, 120});
  put_picture(in);
  RunResult r = korvale({"-i", "in.bmp", "-o", "out", "-sizexminus", "4", "-sizexminusy", "3"});
  ASSERT_EQ(r.status, 0) << r.out;
  Picture out = apptest::decode_bmp24(apptest::read_file(path("out.bmp")));
  ASSERT_EQ(out.w, 5);
  ASSERT_EQ(out.h, 3);
  const int level[3] = {200, 50, 120};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x)
      for (int c = 0; c < 3; ++c) EXPECT_EQ(out.at(x, y, c), level[c]) << x << "," << y << "," << c;
}

TEST_F(ProgramTest, MissingNamesAreReportedWithUsage) {
  put_picture(busy_picture(4, 4));
  RunResult no_in = korvale({"-o", "out", "-sizexminus", "1"});
  EXPECT_EQ(no_in.status, 1);
  EXPECT_NE(no_in.out.find("-i"), std::string::npos) << no_in.out;
  EXPECT_EQ(no_in.err, kUsage);

  RunResult no_out = korvale({"-i", "in.bmp"});
  EXPECT_EQ(no_out.status, 1);
  EXPECT_NE(no_out.out.find("-o"), std::string::npos) << no_out.out;
  EXPECT_EQ(no_out.err, kUsage);
  EXPECT_EQ(file_count(), 1);
}

TEST_F(ProgramTest, ReductionsOutsideThePictureAreRefused) {
  put_picture(busy_picture(6, 5));
  // The message quotes the value as typed.
  const std::vector<std::pair<std::string, std::string>> cases = {{"-sizexminus", "6"},
                                                                  {"-sizexminus", "-1"},
                                                                  {"-sizexminusy", "5"},
                                                                  {"-sizexminusy", "-3"},
                                                                  {"-sizexminus", "+06"}};
  for (const auto& [key, value] : cases) {
    RunResult r = korvale({"-i", "in.bmp", "-o", "out", key, value});
    EXPECT_EQ(r.status, 1) << key << " " << value;
    EXPECT_EQ(r.out,
              key + " " + value + " is out of range: a picture of " +
                  (key == "-sizexminus" ? "6 columns allows 0 .. 5\n" : "5 rows allows 0 .. 4\n"));
    EXPECT_EQ(r.err, "") << "no plane may start before the check";
  }
  // The largest reductions leave one column and one row.
  RunResult r = korvale({"-i", "in.bmp", "-o", "dot", "-sizexminus", "5", "-sizexminusy", "4"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(apptest::read_file(path("dot.bmp")).size(), 58u);
  EXPECT_FALSE(apptest::exists(path("out.bmp")));
}

TEST_F(ProgramTest, InputMustBeARegularFile) {
  put_picture(busy_picture(5, 4));
  ASSERT_EQ(mkfifo(path("pipe").c_str(), 0644), 0);
  std::filesystem::create_directory(path("sub"));
  ASSERT_EQ(symlink("in.bmp", path("link.bmp").c_str()), 0);

  const std::vector<std::pair<std::string, std::string>> refused = {
      {"pipe", "pipe: is a FIFO, not a regular file"},
      {"/dev/zero", "/dev/zero: is a character device, not a regular file"},
      {"sub", "sub: is a folder, not a regular file"}};
  for (const auto& [name, message] : refused) {
    // A reader that blocks on the FIFO would hang: the alarm ends it instead.
    const RunResult r = apptest::finish(apptest::start(
        KORVALE_BIN, {"-i", name, "-o", "out", "-sizexminus", "1"}, dir_, {}, [] { alarm(20); }));
    EXPECT_EQ(r.status, 1) << name << ", ended by signal " << r.signal;
    EXPECT_EQ(r.out, message + "\n");
    EXPECT_EQ(r.err, "") << name;
  }
  // A link to a regular file is read through.
  RunResult r = korvale({"-i", "link.bmp", "-o", "out", "-sizexminus", "1"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(apptest::decode_bmp24(apptest::read_file(path("out.bmp"))).w, 4);
}

TEST_F(ProgramTest, UnreadableInputFailsWithStatusOne) {
  RunResult r = korvale({"-i", "absent.bmp", "-o", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("absent.bmp"), std::string::npos) << r.out;
  EXPECT_EQ(file_count(), 0);
}

TEST_F(ProgramTest, OutputPlaneAllocationFailuresAreNamed) {
  put_picture(busy_picture(5, 4));
  // The file's rows when both sides shrink, and when only the width does
  // (no output planes then).
  for (const char* rows : {"1", "0"}) {
    for (const std::string name : {"RUPOUT", "GUPOUT", "BUPOUT", "BMPINROWS", "BMPCOLOURS"}) {
      const bool planes = name != "BMPINROWS" && name != "BMPCOLOURS";
      if (rows[0] == '0' ? planes : name == "BMPCOLOURS") continue;
      RunResult r =
          seamed({"-i", "in.bmp", "-o", "out", "-sizexminus", "1", "-sizexminusy", rows}, name);
      EXPECT_EQ(r.status, 1) << name;
      EXPECT_EQ(r.out, name + " no memory!!\n");
      EXPECT_EQ(r.err, "") << name;
    }
  }
  // The BMP writer's row block is had before the output file is begun: no
  // file, not even a temporary one, is left.
  RunResult r = seamed({"-i", "in.bmp", "-o", "out", "-sizexminus", "1"}, "BMPOUTROWS");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "BMPOUTROWS no memory!!\n");
  EXPECT_EQ(file_count(), 1);
}

TEST_F(ProgramTest, FailureOfARunBufferLeavesNoOutputAndKeepsAnOldOne) {
  put_picture(busy_picture(6, 6));
  apptest::write_file(path("kept.bmp"), "an older picture");
  // The grid is allocated once, before the red plane starts.
  RunResult r =
      seamed({"-i", "in.bmp", "-o", "out", "-sizexminus", "2", "-sizexminusy", "1"}, "HDCT");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "HDCT no memory!!\n");
  EXPECT_EQ(r.err, "") << "no plane starts without its grid";
  EXPECT_FALSE(apptest::exists(path("out.bmp")));

  RunResult kept =
      seamed({"-i", "in.bmp", "-o", "kept", "-sizexminus", "2", "-sizexminusy", "1"}, "HDCT");
  EXPECT_EQ(kept.status, 1);
  EXPECT_EQ(kept.out, "HDCT no memory!!\n");
  EXPECT_EQ(apptest::read_file(path("kept.bmp")), "an older picture");
}

TEST_F(ProgramTest, SecondaryOptionsDoNotChangeTheResult) {
  put_picture(busy_picture(8, 6));
  RunResult plain =
      korvale({"-i", "in.bmp", "-o", "plain", "-sizexminus", "3", "-sizexminusy", "2"});
  RunResult extra = korvale({"-orgx",  "100",       "-orgy", "7",           "-x",    "5",
                             "-Fsc",   "2.5",       "-i2",   "other.bmp",   "stray", "-i",
                             "in.bmp", "-o",        "extra", "-sizexminus", "3",     "-sizexminusy",
                             "2",      "-tapnum_y", "9"});
  ASSERT_EQ(plain.status, 0) << plain.out;
  ASSERT_EQ(extra.status, 0) << extra.out;
  EXPECT_EQ(apptest::read_file(path("plain.bmp")), apptest::read_file(path("extra.bmp")));
}

}  // namespace
