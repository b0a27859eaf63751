// The whole program on several threads (KORVALE_THREADS) and the buffers of
// its plane resizer, run as a subprocess.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app_test_util.h"

namespace {

using apptest::Picture;
using apptest::RunResult;

class ThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = apptest::scratch_dir("threads");
    Picture p{157, 91, std::vector<uint8_t>(157 * 91 * 3)};
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x)
        for (int c = 0; c < 3; ++c)
          p.at(x, y, c) = static_cast<uint8_t>((x * x * (c + 3) + 7 * y * (x + c)) % 256);
    apptest::write_file(dir_ + "/in.bmp", apptest::encode_bmp(p));
  }
  void TearDown() override {
    unsetenv("KORVALE_THREADS");
    std::filesystem::remove_all(dir_);
  }
  // Runs the shipped program with KORVALE_THREADS set to `threads`.
  RunResult korvale(const std::string& threads, const std::string& stem) {
    setenv("KORVALE_THREADS", threads.c_str(), 1);
    RunResult r = apptest::run(
        KORVALE_BIN, {"-i", "in.bmp", "-o", stem, "-sizexminus", "60", "-sizexminusy", "33"}, dir_);
    unsetenv("KORVALE_THREADS");
    return r;
  }
  std::string dir_;
};

TEST_F(ThreadsTest, EveryThreadCountWritesTheSameFile) {
  std::string first;
  for (const std::string threads : {"1", "2", "3", "7"}) {
    RunResult r = korvale(threads, "out" + threads);
    ASSERT_EQ(r.status, 0) << threads << ": " << r.out;
    const std::string file = apptest::read_file(dir_ + "/out" + threads + ".bmp");
    ASSERT_EQ(file.size(), 54 + apptest::row_bytes(97) * 58) << threads;
    if (first.empty()) {
      first = file;
    } else {
      EXPECT_TRUE(file == first) << threads << " threads wrote other bytes than 1 thread";
    }
  }
}

TEST_F(ThreadsTest, ACountThatIsNotAPositiveIntegerIsRefused) {
  for (const std::string bad : {"0", "-1", "two", "", "4 "}) {
    RunResult r = korvale(bad, "bad");
    EXPECT_EQ(r.status, 1) << "'" << bad << "'";
    EXPECT_EQ(r.out, "KORVALE_THREADS=" + bad + ": the thread count must be a positive integer\n");
    EXPECT_EQ(r.err, "") << "no plane may start";
    EXPECT_FALSE(apptest::exists(dir_ + "/bad.bmp"));
  }
}

TEST_F(ThreadsTest, EveryBufferOfTheResizerReportsItsName) {
  // 157 x 91 to 107 x 82: the rows' synthesis of 107 points runs a chirp-z.
  for (const std::string name : {"ww", "ip", "czchirp", "czfilter", "dcttw", "syntw", "HDCT",
                                 "DFTWORK", "SYNTH", "HROWS", "ALPHAROWS", "STAGE"}) {
    RunResult r = apptest::run(
        KORVALE_SEAMED_BIN, {"-i", "in.bmp", "-o", "out", "-sizexminus", "50", "-sizexminusy", "9"},
        dir_, name);
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out, name + " no memory!!\n");
    EXPECT_EQ(r.err, "") << name;
    EXPECT_FALSE(apptest::exists(dir_ + "/out.bmp")) << name;
  }
}

}  // namespace
