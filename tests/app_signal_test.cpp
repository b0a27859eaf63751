// Signals that end a run while the output is being written (every one whose
// default action ends the process) remove the temporary file and end the
// process as the signal asks; an older output stays as it was. The seamed
// program stops itself once the temporary file exists, so the signal arrives
// at exactly that point. A file-size limit (SIGXFSZ) fails the write instead.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "app_test_util.h"

namespace {

namespace fs = std::filesystem;

class ProgramSignal : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = apptest::scratch_dir("signal");
    apptest::Picture in{24, 16, std::vector<uint8_t>(24 * 16 * 3, 60)};
    apptest::write_file(dir_ + "/in.bmp", apptest::encode_bmp(in));
    apptest::write_file(dir_ + "/out.bmp", "an older picture");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Starts the seamed program and waits until it has stopped with its
  // temporary file in place; then sends `sig` and lets it go on.
  apptest::RunResult signal_while_writing(int sig, const std::function<void()>& prepare = {}) {
    apptest::Started s = apptest::start(
        KORVALE_SEAMED_BIN, {"-i", "in.bmp", "-o", "out", "-sizexminus", "5"}, dir_,
        {"KORVALE_STOP_WHILE_WRITING=1"}, [&] {
          const rlimit no_core = {0, 0};  // SIGQUIT and SIGXCPU would leave a core file
          setrlimit(RLIMIT_CORE, &no_core);
          if (prepare) prepare();
        });
    int wstatus = 0;
    EXPECT_EQ(waitpid(s.pid, &wstatus, WUNTRACED), s.pid);
    EXPECT_TRUE(WIFSTOPPED(wstatus)) << "the program never reached the write";
    const std::vector<std::string> during = apptest::names_in(dir_);
    EXPECT_EQ(during.size(), 3u);
    EXPECT_TRUE(std::any_of(during.begin(), during.end(), [](const std::string& n) {
      return n.rfind("out.bmp.tmp", 0) == 0;
    })) << "no temporary file while writing";
    kill(s.pid, sig);
    kill(s.pid, SIGCONT);
    return apptest::finish(s);
  }

  std::string dir_;
};

TEST_F(ProgramSignal, EndingSignalsRemoveTheTemporaryFile) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGXCPU, SIGVTALRM}) {
    SCOPED_TRACE(strsignal(sig));
    const apptest::RunResult r = signal_while_writing(sig);
    EXPECT_EQ(r.signal, sig) << "status " << r.status << ", " << r.out;
    EXPECT_EQ(apptest::names_in(dir_), (std::vector<std::string>{"in.bmp", "out.bmp"}));
    EXPECT_EQ(apptest::read_file(dir_ + "/out.bmp"), "an older picture");
  }
}

TEST_F(ProgramSignal, BrokenPipeLeavesNoTemporaryFile) {
  // The program may ignore SIGPIPE for its progress lines; either way the
  // output is whole: the old one, or the new one after a finished run.
  const apptest::RunResult r = signal_while_writing(SIGPIPE);
  EXPECT_TRUE(r.signal == SIGPIPE || r.status == 0) << r.status << ", " << r.out;
  EXPECT_EQ(apptest::names_in(dir_), (std::vector<std::string>{"in.bmp", "out.bmp"}));
  const std::string out = apptest::read_file(dir_ + "/out.bmp");
  if (r.status == 0) {
    EXPECT_EQ(apptest::decode_bmp24(out).w, 19);
  } else {
    EXPECT_EQ(out, "an older picture");
  }
}

TEST_F(ProgramSignal, FileSizeLimitFailsTheWriteAndKeepsTheOldOutput) {
  // Under `ulimit -f 10` the 446 x 300 output (400 KB) cannot be written:
  // one line and status 1, not death by SIGXFSZ with the temporary file left.
  apptest::Picture in{451, 300, std::vector<uint8_t>(451 * 300 * 3, 77)};
  apptest::write_file(dir_ + "/in.bmp", apptest::encode_bmp(in));
  const apptest::RunResult r = apptest::finish(
      apptest::start(KORVALE_BIN, {"-i", "in.bmp", "-o", "out", "-sizexminus", "5"}, dir_, {}, [] {
        const rlimit ten_kb = {10240, 10240};
        setrlimit(RLIMIT_FSIZE, &ten_kb);
      }));
  EXPECT_EQ(r.status, 1) << "signal " << r.signal;
  EXPECT_EQ(r.out, "out.bmp: write failed (File too large)\n");
  EXPECT_EQ(apptest::names_in(dir_), (std::vector<std::string>{"in.bmp", "out.bmp"}));
  EXPECT_EQ(apptest::read_file(dir_ + "/out.bmp"), "an older picture");
}

TEST_F(ProgramSignal, IgnoredHangupDoesNotStopTheRun) {
  // As under nohup: SIGHUP stays ignored and the output is written.
  const apptest::RunResult r = signal_while_writing(SIGHUP, [] { std::signal(SIGHUP, SIG_IGN); });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(apptest::names_in(dir_), (std::vector<std::string>{"in.bmp", "out.bmp"}));
  EXPECT_EQ(apptest::decode_bmp24(apptest::read_file(dir_ + "/out.bmp")).w, 19);
}

}  // namespace
