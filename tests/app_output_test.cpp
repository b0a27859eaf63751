// Output paths the program cannot or must not write: each run fails with
// status 1 and one line naming the path before any plane is resized, leaves
// no temporary file behind and keeps what is there as it was. The permission
// cases run as an unprivileged user (root may write anything).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app_test_util.h"

namespace {

namespace fs = std::filesystem;

struct Unwritable {
  const char* what;
  bool unprivileged;    // run as the unprivileged account
  bool others_files;    // needs files of another user (made by root)
  std::string stem;     // -o value, relative to the run's folder unless absolute
  std::string message;  // the whole line on standard output
};

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  return names;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(ProgramOutput, UnwritablePathsFailWithOneLineAndKeepWhatIsThere) {
  const std::string dir = apptest::scratch_dir("output");
  const std::string korvale = apptest::reachable_copy(KORVALE_BIN, dir);
  apptest::Account nobody;
  const bool have_account = apptest::unprivileged_account(&nobody);
  if (!have_account) {
    std::cout << "not root: the cases that need another user's files are skipped; the others "
                 "run as this user\n";
  }

  apptest::Picture in{6, 5, std::vector<uint8_t>(6 * 5 * 3, 90)};
  apptest::write_file(dir + "/in.bmp", apptest::encode_bmp(in));
  // A regular file where a folder is expected, a read-only older picture, a
  // folder and a FIFO of the output's name, a folder closed to writes.
  apptest::write_file(dir + "/plain", "not a folder");
  apptest::write_file(dir + "/old.bmp", "an older picture");
  ASSERT_EQ(chmod((dir + "/old.bmp").c_str(), 0444), 0);
  fs::create_directory(dir + "/taken.bmp");
  ASSERT_EQ(mkfifo((dir + "/fifo.bmp").c_str(), 0666), 0);
  fs::create_directory(dir + "/locked");
  ASSERT_EQ(chmod((dir + "/locked").c_str(), 0555), 0);
  // Root's files in a folder open to all, and in a sticky folder open to all.
  fs::create_directory(dir + "/open");
  ASSERT_EQ(chmod((dir + "/open").c_str(), 0777), 0);
  apptest::write_file(dir + "/open/others.bmp", "root's picture");
  ASSERT_EQ(chmod((dir + "/open/others.bmp").c_str(), 0644), 0);
  fs::create_directory(dir + "/sticky");
  ASSERT_EQ(chmod((dir + "/sticky").c_str(), 01777), 0);
  apptest::write_file(dir + "/sticky/others.bmp", "root's shared picture");
  ASSERT_EQ(chmod((dir + "/sticky/others.bmp").c_str(), 0666), 0);

  const std::vector<Unwritable> cases = {
      {"missing folder", false, false, "nowhere/out",
       "nowhere/out.bmp: cannot create (No such file or directory)"},
      {"parent is a file", false, false, "plain/out",
       "plain/out.bmp: cannot create (Not a directory)"},
      // Nothing can be created here, not even by root.
      {"folder closed to everyone", false, false, "/proc/self/out",
       "/proc/self/out.bmp: cannot create (No such file or directory)"},
      {"read-only file", false, false, "old", "old.bmp: existing file is read-only; not replaced"},
      {"folder of the output's name", false, false, "taken",
       "taken.bmp: is a folder, not a regular file; not replaced"},
      {"FIFO of the output's name", false, false, "fifo",
       "fifo.bmp: is a FIFO, not a regular file; not replaced"},
      {"read-only folder", true, false, "locked/out",
       "locked/out.bmp: cannot create (Permission denied)"},
      {"another user's file", true, true, "open/others",
       "open/others.bmp: existing file is not writable (Permission denied); not replaced"},
      {"another user's file in a sticky folder", true, true, "sticky/others",
       "sticky/others.bmp: belongs to another user in a sticky folder; not replaced"},
  };

  const std::vector<std::string> before = entries(dir);
  for (const Unwritable& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.others_files && !have_account) continue;
    if (c.unprivileged && !have_account && geteuid() == 0) continue;
    std::function<void()> prepare;
    if (c.unprivileged && have_account) prepare = apptest::as_account(nobody);
    const apptest::RunResult r = apptest::finish(apptest::start(
        korvale, {"-i", "in.bmp", "-o", c.stem, "-sizexminus", "2", "-sizexminusy", "1"}, dir, {},
        prepare));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.message + "\n");
    EXPECT_EQ(r.err, "") << "refused before any plane is resized";
    EXPECT_EQ(entries(dir), before);
  }
  EXPECT_EQ(apptest::read_file(dir + "/old.bmp"), "an older picture");
  EXPECT_EQ(apptest::read_file(dir + "/open/others.bmp"), "root's picture");
  EXPECT_EQ(apptest::read_file(dir + "/sticky/others.bmp"), "root's shared picture");
  EXPECT_EQ(mode_of(dir + "/old.bmp"), 0444u);
  EXPECT_EQ(mode_of(dir + "/open/others.bmp"), 0644u);
  EXPECT_EQ(mode_of(dir + "/sticky/others.bmp"), 0666u);
  EXPECT_TRUE(fs::is_directory(dir + "/taken.bmp"));
  EXPECT_TRUE(fs::is_fifo(dir + "/fifo.bmp"));

  // Once writable again, the same file is replaced.
  ASSERT_EQ(chmod((dir + "/old.bmp").c_str(), 0644), 0);
  const apptest::RunResult ok = apptest::run(korvale, {"-i", "in.bmp", "-o", "old"}, dir);
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_EQ(apptest::decode_bmp24(apptest::read_file(dir + "/old.bmp")).w, 6);
  fs::remove_all(dir);
}

TEST(ProgramOutput, AppendOnlyOutputIsRefusedBeforeTheWork) {
  // Such a file cannot be renamed over, even by root: the run must not find
  // that out only after shrinking the picture.
  const std::string dir = apptest::scratch_dir("append");
  apptest::Picture in{6, 5, std::vector<uint8_t>(6 * 5 * 3, 90)};
  apptest::write_file(dir + "/in.bmp", apptest::encode_bmp(in));
  apptest::write_file(dir + "/out.bmp", "an older picture");
  auto set_flags = [&](int flags) {
    const int fd = open((dir + "/out.bmp").c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return ok;
  };
  if (!set_flags(FS_APPEND_FL)) {
    fs::remove_all(dir);
    GTEST_SKIP() << "cannot make a file append-only here";
  }
  const apptest::RunResult r =
      apptest::run(KORVALE_BIN, {"-i", "in.bmp", "-o", "out", "-sizexminus", "2"}, dir);
  EXPECT_TRUE(set_flags(0));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "out.bmp: existing file is append-only; not replaced\n");
  EXPECT_EQ(r.err, "") << "refused before any plane is resized";
  EXPECT_EQ(apptest::read_file(dir + "/out.bmp"), "an older picture");
  fs::remove_all(dir);
}

}  // namespace
