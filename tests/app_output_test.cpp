// Output paths the program cannot or must not write: each run fails with
// status 1 and one line naming the path, leaves no temporary file behind and
// keeps an existing file as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app_test_util.h"

namespace {

namespace fs = std::filesystem;

struct Unwritable {
  const char* what;
  std::string stem;     // -o value, relative to the run's folder unless absolute
  std::string message;  // the whole line on standard output
};

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ProgramOutput, UnwritablePathsFailWithOneLineAndKeepWhatIsThere) {
  const std::string dir = apptest::scratch_dir("output");
  apptest::Picture in{6, 5, std::vector<uint8_t>(6 * 5 * 3, 90)};
  apptest::write_file(dir + "/in.bmp", apptest::encode_bmp(in));
  // A regular file where a folder is expected, and a read-only older picture.
  apptest::write_file(dir + "/plain", "not a folder");
  apptest::write_file(dir + "/old.bmp", "an older picture");
  ASSERT_EQ(chmod((dir + "/old.bmp").c_str(), 0444), 0);
  fs::create_directory(dir + "/locked");
  ASSERT_EQ(chmod((dir + "/locked").c_str(), 0555), 0);

  std::vector<Unwritable> cases = {
      {"missing folder", "nowhere/out",
       "nowhere/out.bmp: cannot create (No such file or directory)"},
      {"parent is a file", "plain/out", "plain/out.bmp: cannot create (Not a directory)"},
      // Nothing can be created here, not even by root.
      {"folder closed to everyone", "/proc/self/out",
       "/proc/self/out.bmp: cannot create (No such file or directory)"},
      {"read-only file", "old", "old.bmp: existing file is read-only; not replaced"},
  };
  // Root writes into a folder without write permission, so only others can
  // see this refusal.
  if (geteuid() != 0)
    cases.push_back(
        {"read-only folder", "locked/out", "locked/out.bmp: cannot create (Permission denied)"});

  const std::vector<std::string> before = entries(dir);
  for (const Unwritable& c : cases) {
    SCOPED_TRACE(c.what);
    const apptest::RunResult r = apptest::run(
        KORVALE_BIN, {"-i", "in.bmp", "-o", c.stem, "-sizexminus", "2", "-sizexminusy", "1"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.message + "\n");
    EXPECT_EQ(r.err, "") << "refused before any plane is resized";
    EXPECT_EQ(entries(dir), before);
  }
  EXPECT_EQ(apptest::read_file(dir + "/old.bmp"), "an older picture");
  struct stat st;
  ASSERT_EQ(stat((dir + "/old.bmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);

  // Once writable again, the same file is replaced.
  ASSERT_EQ(chmod((dir + "/old.bmp").c_str(), 0644), 0);
  const apptest::RunResult ok = apptest::run(KORVALE_BIN, {"-i", "in.bmp", "-o", "old"}, dir);
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_EQ(apptest::decode_bmp24(apptest::read_file(dir + "/old.bmp")).w, 6);
  fs::remove_all(dir);
}

}  // namespace
