// The safe write of output files: every signal that would end the process
// while the temporary file exists removes it first (and still ends the
// process); an ignored or handled signal is left alone; the temporary file is
// private while written and takes the old file's owner and mode only at the
// end; append-only and immutable outputs are refused by the probe; a failed
// body leaves the old file as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/output_file.h"
#include "tests/app_test_util.h"

namespace korvale {
namespace {

namespace fs = std::filesystem;

// Writes "new picture" in two halves; with a signal number as context, raises
// it between them (the handler runs at once: the signal is sent to ourselves).
int halves(int fd, const void* context) {
  if (write(fd, "new ", 4) != 4) return errno;
  if (context != nullptr) raise(*static_cast<const int*>(context));
  return write(fd, "picture", 7) == 7 ? 0 : errno;
}

// What the temporary file looked like while written.
struct Seen {
  struct stat st = {};
};
int record_and_write(int fd, const void* context) {
  fstat(fd, &const_cast<Seen*>(static_cast<const Seen*>(context))->st);
  return halves(fd, nullptr);
}

class OutputFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvale_output_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    out_ = dir_ + "/out.bin";
    apptest::write_file(out_, "an older picture");
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_, out_;
};

TEST_F(OutputFile, EverySignalThatEndsTheProcessRemovesTheTemporaryFile) {
  const int signals[] = {SIGHUP,  SIGINT,   SIGQUIT,  SIGTERM,   SIGPIPE, SIGUSR1,
                         SIGUSR2, SIGALRM,  SIGXCPU,  SIGVTALRM, SIGPROF, SIGPWR,
                         SIGSYS,  SIGRTMIN, SIGRTMAX, SIGABRT};
  for (int sig : signals) {
    SCOPED_TRACE(strsignal(sig));
    const test::ChildResult r = test::run_in_child([&] {
      const rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      std::signal(sig, SIG_DFL);
      std::puts(write_output_file(out_.c_str(), halves, &sig).c_str());
    });
    EXPECT_EQ(r.signal, sig) << "status " << r.status << ": " << r.out;
    EXPECT_EQ(apptest::names_in(dir_), std::vector<std::string>{"out.bin"});
    EXPECT_EQ(apptest::read_file(out_), "an older picture");
  }
}

TEST_F(OutputFile, IgnoredAndHandledSignalsAreLeftAlone) {
  static volatile std::sig_atomic_t handled = 0;
  const test::ChildResult r = test::run_in_child([&] {
    std::signal(SIGUSR1, SIG_IGN);  // as the caller left it: stays ignored
    std::signal(SIGUSR2, [](int) { handled = 1; });
    int sig = SIGUSR1;
    std::string error = write_output_file(out_.c_str(), halves, &sig);
    sig = SIGUSR2;
    error += write_output_file(out_.c_str(), halves, &sig);
    std::printf("%s|%d", error.c_str(), static_cast<int>(handled));
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "|1");
  EXPECT_EQ(apptest::read_file(out_), "new picture");
  EXPECT_EQ(apptest::names_in(dir_), std::vector<std::string>{"out.bin"});
  // The handlers of the write are gone again: SIGUSR1 ends the process.
  const test::ChildResult after = test::run_in_child([&] {
    write_output_file(out_.c_str(), halves, nullptr);
    raise(SIGUSR1);
  });
  EXPECT_EQ(after.signal, SIGUSR1);
}

TEST_F(OutputFile, TemporaryIsPrivateUntilTheOldOwnerAndModeCarryOver) {
  // As root the old file belongs to another user, whose ownership must not
  // reach the temporary file before it is complete.
  const bool root = geteuid() == 0;
  const uid_t other = 65534;
  ASSERT_EQ(chmod(out_.c_str(), 0664), 0);
  if (root) {
    ASSERT_EQ(chown(out_.c_str(), other, other), 0);
  }
  const mode_t old_mask = umask(0);
  Seen seen;
  const std::string error = write_output_file(out_.c_str(), record_and_write, &seen);
  umask(old_mask);
  ASSERT_EQ(error, "");
  EXPECT_EQ(seen.st.st_mode & 07777, 0600u);
  EXPECT_EQ(seen.st.st_uid, geteuid());
  struct stat now;
  ASSERT_EQ(stat(out_.c_str(), &now), 0);
  EXPECT_EQ(now.st_mode & 07777, 0664u);
  if (root) {
    EXPECT_EQ(now.st_uid, other);
  }
  EXPECT_EQ(apptest::read_file(out_), "new picture");

  // A new file is made with the usual mode from the start.
  const std::string fresh = dir_ + "/fresh.bin";
  ASSERT_EQ(write_output_file(fresh.c_str(), record_and_write, &seen), "");
  EXPECT_EQ(seen.st.st_mode & 07777, 0666u & ~old_mask);
}

TEST_F(OutputFile, FailedBodyKeepsTheOldFile) {
  const std::string error = write_output_file(
      out_.c_str(), [](int, const void*) { return ENOSPC; }, nullptr);
  EXPECT_EQ(error, out_ + ": write failed (No space left on device)");
  EXPECT_EQ(apptest::read_file(out_), "an older picture");
  EXPECT_EQ(apptest::names_in(dir_), std::vector<std::string>{"out.bin"});
}

// Sets or clears inode flags; false where the file system or the process
// cannot (then the case is skipped).
bool set_flags(const std::string& path, int flags) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return ok;
}

TEST_F(OutputFile, AppendOnlyAndImmutableOutputsAreRefusedBeforeAnyWork) {
  for (auto [flag, word] :
       {std::pair{FS_APPEND_FL, "append-only"}, std::pair{FS_IMMUTABLE_FL, "immutable"}}) {
    if (!set_flags(out_, flag)) GTEST_SKIP() << "cannot set inode flags here";
    const std::string probed = probe_output_file(out_.c_str());
    const std::string written = write_output_file(
        out_.c_str(), [](int, const void*) { return EINVAL; }, nullptr);
    ASSERT_TRUE(set_flags(out_, 0));
    const std::string line = out_ + ": existing file is " + word + "; not replaced";
    EXPECT_EQ(probed, line);
    EXPECT_EQ(written, line);  // refused before the body: not "write failed"
    EXPECT_EQ(apptest::names_in(dir_), std::vector<std::string>{"out.bin"});
  }
}

}  // namespace
}  // namespace korvale
