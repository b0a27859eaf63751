// The safe write of an output file: the checks on what lies at the path, the
// temporary file beside it with its signal handlers, and the flush and rename
// that put it in place.
//
// The temporary file's name lives in memory allocated before any handler is
// installed and freed after they are all restored, so that a handler for a
// signal that ends the process can remove the file. Creating and renaming the
// file happen with those signals blocked, so the handler never sees a name
// that is not (or no longer) ours.
#include "common/output_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

#include "common/file_kind.h"

namespace korvale {
namespace {

// The temporary file that exists right now, for the signal handler: its name
// (set before the handlers go in) and whether it exists.
const char* volatile g_temporary_name = nullptr;
volatile std::sig_atomic_t g_temporary_exists = 0;

void (*g_write_hook)(const char*) = nullptr;

// Signals whose default action ends the process and that can be caught:
// SIGKILL cannot, and SIGXFSZ is ignored while the file is written instead.
// The real-time signals (all of whose default action is to end the process)
// are added at run time.
constexpr int kEndingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                                  SIGFPE,    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                                  SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};

sigset_t ending_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndingSignals) sigaddset(&set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
  return set;
}

// Async-signal-safe: removes the temporary file, restores the default action
// and raises the signal again; the signal is blocked while the handler runs,
// so it ends the process as soon as the handler returns.
void remove_temporary_and_reraise(int sig) {
  if (g_temporary_exists) unlink(g_temporary_name);
  g_temporary_exists = 0;
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(sig, &default_action, nullptr);
  raise(sig);
}

// Blocks the ending signals while it lives, so that creating or renaming the
// temporary file and recording it in g_temporary_exists are one step.
struct SignalsHeld {
  sigset_t old;
  SignalsHeld() {
    const sigset_t set = ending_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, &old);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// Owns the temporary file beside `path` from its creation to its rename (or
// removal): its name, the signal handlers of that time and SIGXFSZ ignored.
// Signals the process ignores or handles itself are left alone.
class Temporary {
 public:
  explicit Temporary(const char* path) : path_(path) {
    // Room for "PATH.tmpXXXXXXXX"; never reallocated, so the handler may read it.
    name_.assign(path_.size() + 16, '\0');
    g_temporary_name = name_.c_str();
    struct sigaction action = {};
    action.sa_handler = remove_temporary_and_reraise;
    action.sa_mask = ending_signal_set();
    for (int sig = 1; sig < NSIG; ++sig) {
      if (!sigismember(&action.sa_mask, sig)) continue;
      if (sigaction(sig, nullptr, &saved_[sig]) != 0 || saved_[sig].sa_handler != SIG_DFL) continue;
      replaced_[sig] = sigaction(sig, &action, nullptr) == 0;
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    file_size_ignored_ = sigaction(SIGXFSZ, &ignore, &saved_[SIGXFSZ]) == 0;
  }
  ~Temporary() {
    discard();
    if (file_size_ignored_) sigaction(SIGXFSZ, &saved_[SIGXFSZ], nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
      if (replaced_[sig]) sigaction(sig, &saved_[sig], nullptr);
    }
    g_temporary_name = nullptr;
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  int fd() const { return fd_; }
  const char* name() const { return name_.c_str(); }

  // Creates a file beside the path that did not exist before, with
  // permission bits `mode` (less the umask). 0 or the errno of the failure.
  int create(mode_t mode) {
    std::random_device seed;
    std::minstd_rand next(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::snprintf(name_.data(), name_.size(), "%s.tmp%08x", path_.c_str(),
                    static_cast<unsigned>(next()));
      const SignalsHeld held;
      fd_ = open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd_ >= 0) {
        g_temporary_exists = 1;
        return 0;
      }
      if (errno != EEXIST) return errno;
    }
    return EEXIST;
  }

  // Closes the file; 0 or the errno of a failed close.
  int close_file() {
    if (fd_ < 0) return 0;
    const int result = close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

  // Renames the file to the path; 0 or the errno of the failed rename.
  int commit() {
    const SignalsHeld held;
    if (rename(name_.c_str(), path_.c_str()) != 0) return errno;
    g_temporary_exists = 0;
    return 0;
  }

  // Closes and removes the file unless it has been renamed.
  void discard() {
    close_file();
    const SignalsHeld held;
    if (g_temporary_exists) unlink(name_.c_str());
    g_temporary_exists = 0;
  }

 private:
  std::string path_;
  std::string name_;
  int fd_ = -1;
  struct sigaction saved_[NSIG] = {};
  bool replaced_[NSIG] = {};
  bool file_size_ignored_ = false;
};

// What lies at the output path before the run.
struct Existing {
  bool regular_file = false;  // a regular file whose mode and owner carry over
  struct stat st = {};
};

// The folder holding `path`.
std::string folder_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return std::string(path, slash);
}

// The append-only or immutable flag of the regular file at `path`, as a
// refusal, or "" (also where the file system keeps no such flags).
const char* locked_flag(const char* path) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "";
  int flags = 0;
  const bool known = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  close(fd);
  if (known && (flags & FS_IMMUTABLE_FL) != 0) return "immutable";
  if (known && (flags & FS_APPEND_FL) != 0) return "append-only";
  return "";
}

// Refuses what must not be replaced, looking at the path itself (a symbolic
// link is replaced, never followed). Root may write any file, so the write
// bits are honoured as well: a file nobody may write is left alone. A path
// that cannot be looked at is left to the creation of the temporary file to
// report. Returns "" and fills *existing, or the refusal.
std::string check_target(const char* path, Existing* existing) {
  struct stat st;
  if (lstat(path, &st) != 0) return "";
  const std::string name(path);
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    return name + ": is " + file_kind(st.st_mode) + ", not a regular file; not replaced";
  }
  if (S_ISREG(st.st_mode)) {
    if ((st.st_mode & 0222) == 0) return name + ": existing file is read-only; not replaced";
    // Such a file cannot be renamed over, even by root; the rename would
    // fail after all the work.
    if (const std::string flag = locked_flag(path); !flag.empty()) {
      return name + ": existing file is " + flag + "; not replaced";
    }
    if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) {
      return name + ": existing file is not writable (" + std::strerror(errno) + "); not replaced";
    }
  }
  // In a sticky folder only the entry's owner, the folder's owner or root may
  // replace an entry; the rename would fail after all the work.
  const uid_t me = geteuid();
  struct stat folder;
  if (me != 0 && st.st_uid != me && stat(folder_of(path).c_str(), &folder) == 0 &&
      (folder.st_mode & S_ISVTX) != 0 && folder.st_uid != me) {
    return name + ": belongs to another user in a sticky folder; not replaced";
  }
  existing->regular_file = S_ISREG(st.st_mode);
  existing->st = st;
  return "";
}

// Gives the new file the owner, group and mode of the one it replaces: owner
// and group where the process may set them (else the group alone, else
// neither), then the mode, which a change of owner could have cleared bits of.
void carry_over_owner_and_mode(int fd, const struct stat& old) {
  if (fchown(fd, old.st_uid, old.st_gid) != 0 &&
      fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    // Neither could be set: the file stays the caller's.
  }
  if (fchmod(fd, old.st_mode & 07777) != 0) {
    // The file keeps the private mode it was created with.
  }
}

// Makes the rename itself durable; not every file system can sync a folder,
// and the file is complete either way, so failures are ignored.
void sync_folder(const char* path) {
  const int fd = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

std::string failure(const char* path, const char* what, int cause) {
  return std::string(path) + ": " + what + " (" + std::strerror(cause) + ")";
}

}  // namespace

void set_output_write_hook(void (*hook)(const char* temporary)) {
  g_write_hook = hook;
}

std::string probe_output_file(const char* path) {
  Existing existing;
  if (std::string error = check_target(path, &existing); !error.empty()) return error;
  Temporary temp(path);
  if (const int cause = temp.create(0600); cause != 0) return failure(path, "cannot create", cause);
  return "";
}

std::string write_output_file(const char* path, OutputBody body, const void* context) {
  Existing existing;
  if (std::string error = check_target(path, &existing); !error.empty()) return error;

  // 1. A new temporary file: private while it replaces an existing file; a
  //    new output gets the usual default.
  Temporary temp(path);
  if (const int cause = temp.create(existing.regular_file ? 0600 : 0666); cause != 0) {
    return failure(path, "cannot create", cause);
  }
  if (g_write_hook != nullptr) g_write_hook(temp.name());

  // 2. The bytes; then the old file's owner and mode, and the whole file
  //    flushed to the disk before it may take the name.
  int cause = body(temp.fd(), context);
  if (cause == 0 && existing.regular_file) carry_over_owner_and_mode(temp.fd(), existing.st);
  if (cause == 0 && fsync(temp.fd()) != 0) cause = errno;
  if (const int close_cause = temp.close_file(); cause == 0) cause = close_cause;
  if (cause != 0) return failure(path, "write failed", cause);

  // 3. The rename, and the folder entry made durable.
  if (const int rename_cause = temp.commit(); rename_cause != 0) {
    return failure(path, "cannot replace", rename_cause);
  }
  sync_folder(path);
  return "";
}

}  // namespace korvale
