// What a successful run leaves at the output path: a new file gets the usual
// mode (0666 less the umask); a replaced file keeps its mode, and its owner
// and group where the run may set them; a symbolic link is replaced by the
// new file and its target left alone. Runs as root and as an unprivileged
// user.
#include <gtest/gtest.h>
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

enum class Before { nothing, file, link };

struct Replace {
  const char* what;
  bool unprivileged;      // run as the unprivileged account
  mode_t umask;           // the run's umask
  mode_t folder_mode;     // the output's folder
  bool folder_of_runner;  // the folder belongs to the one who runs
  Before before;          // what lies at out.bmp before the run
  bool file_of_runner;    // ... a file of the one who runs (else root's)
  mode_t file_mode;       // ... with this mode
  mode_t want_mode;       // out.bmp afterwards
  bool want_runner;       // ... owned by the one who runs (else root)
};

TEST(ProgramReplace, ModeOwnerAndLinksOfTheOutput) {
  apptest::Account nobody;
  if (!apptest::unprivileged_account(&nobody)) {
    GTEST_SKIP() << "needs root and the account nobody: the cases set owners of files";
  }
  const apptest::Account root{0, 0};
  const std::string dir = apptest::scratch_dir("replace");
  const std::string korvale = apptest::reachable_copy(KORVALE_BIN, dir);
  apptest::Picture in{7, 5, std::vector<uint8_t>(7 * 5 * 3, 140)};
  apptest::write_file(dir + "/in.bmp", apptest::encode_bmp(in));
  ASSERT_EQ(chmod((dir + "/in.bmp").c_str(), 0644), 0);

  const std::vector<Replace> cases = {
      {"new file", false, 022, 0755, true, Before::nothing, true, 0, 0644, true},
      {"root replaces a user's private file", false, 022, 0755, true, Before::file, false, 0600,
       0600, false},
      {"odd mode kept, not the umask's", false, 0, 0755, true, Before::file, true, 0604, 0604,
       true},
      {"user replaces its private file", true, 022, 0755, true, Before::file, true, 0600, 0600,
       true},
      {"user replaces its file in a sticky folder", true, 022, 01777, false, Before::file, true,
       0640, 0640, true},
      {"user replaces root's writable file: owner cannot be kept", true, 022, 0777, false,
       Before::file, false, 0666, 0666, true},
      {"link replaced, target untouched", false, 022, 0755, true, Before::link, true, 0600, 0644,
       true},
  };

  int index = 0;
  for (const Replace& c : cases) {
    SCOPED_TRACE(c.what);
    const apptest::Account runner = c.unprivileged ? nobody : root;
    const apptest::Account other = c.unprivileged ? root : nobody;
    const std::string folder = dir + "/case" + std::to_string(index++);
    fs::create_directory(folder);
    const apptest::Account folder_owner = c.folder_of_runner ? runner : root;
    ASSERT_EQ(chown(folder.c_str(), folder_owner.uid, folder_owner.gid), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    const std::string out = folder + "/out.bmp";
    const std::string target = folder + "/target.bmp";
    const apptest::Account file_owner = c.file_of_runner ? runner : other;
    if (c.before == Before::file) {
      apptest::write_file(out, "an older picture");
      ASSERT_EQ(chown(out.c_str(), file_owner.uid, file_owner.gid), 0);
      ASSERT_EQ(chmod(out.c_str(), c.file_mode), 0);
    } else if (c.before == Before::link) {
      apptest::write_file(target, "the link's target");
      ASSERT_EQ(chmod(target.c_str(), c.file_mode), 0);
      ASSERT_EQ(symlink("target.bmp", out.c_str()), 0);
    }

    const apptest::RunResult r = apptest::finish(
        apptest::start(korvale, {"-i", "../in.bmp", "-o", "out", "-sizexminus", "3"}, folder, {},
                       apptest::as_account(runner, c.umask)));
    ASSERT_EQ(r.status, 0) << r.out;
    struct stat st;
    ASSERT_EQ(lstat(out.c_str(), &st), 0);
    ASSERT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, c.want_mode);
    const apptest::Account want_owner = c.want_runner ? runner : other;
    EXPECT_EQ(st.st_uid, want_owner.uid);
    EXPECT_EQ(st.st_gid, want_owner.gid);
    EXPECT_EQ(apptest::decode_bmp24(apptest::read_file(out)).w, 4);
    if (c.before == Before::link) {
      EXPECT_EQ(apptest::read_file(target), "the link's target");
      EXPECT_EQ(apptest::names_in(folder), (std::vector<std::string>{"out.bmp", "target.bmp"}));
    } else {
      EXPECT_EQ(apptest::names_in(folder), std::vector<std::string>{"out.bmp"});
    }
  }
  fs::remove_all(dir);
}

}  // namespace
