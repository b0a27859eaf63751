// Writing three planes as a 24-bit uncompressed BMP file with a plain 54-byte
// header (40-byte information header, 3780 pixels per metre, image size and
// palette fields 0), rows stored bottom-up, each padded with zero bytes.
//
// The bytes go to a fresh temporary file next to the target, which is flushed
// to the disk and renamed over the target only once every write has
// succeeded. A failed write therefore leaves neither a truncated file nor a
// damaged older one. Before anything is written, whatever lies at the target
// is checked (without following a link): only a regular file the caller may
// write, or a symbolic link, is replaced.
//
// The temporary file's name is kept in a static buffer while the file exists,
// so that a handler for the signals that end a run (SIGINT, SIGTERM, SIGHUP)
// can remove it. Creating and renaming the file happen with those signals
// blocked, so the handler never sees a name that is not (or no longer) ours.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

#include "bmp/bmp.h"
#include "common/file_kind.h"

namespace korvale {
namespace {

constexpr std::uint32_t kPixelsPerMetre = 3780;

// The temporary file is named <path>.tmpXXXXXXXX (eight hex digits).
constexpr int kTemporaryBytes = kOutputPathBytes + 12;

// The temporary file that exists right now, for the signal handler.
char g_temporary[kTemporaryBytes];
volatile std::sig_atomic_t g_temporary_exists = 0;

void (*g_write_hook)(const char*) = nullptr;

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kEndingSignalCount = sizeof(kEndingSignals) / sizeof(kEndingSignals[0]);

// Async-signal-safe: removes the temporary file, restores the default action
// and raises the signal again; the signal is blocked while the handler runs,
// so it ends the process as soon as the handler returns.
void remove_temporary_and_reraise(int sig) {
  if (g_temporary_exists) unlink(g_temporary);
  g_temporary_exists = 0;
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(sig, &default_action, nullptr);
  raise(sig);
}

sigset_t ending_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndingSignals) sigaddset(&set, sig);
  return set;
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

// Owns the temporary file beside the output from its creation to its rename
// (or removal), with the signal handlers installed for that time. Signals the
// process ignores stay ignored.
struct Temporary {
  int fd = -1;
  struct sigaction saved[kEndingSignalCount] = {};
  bool replaced[kEndingSignalCount] = {};

  Temporary() {
    struct sigaction action = {};
    action.sa_handler = remove_temporary_and_reraise;
    action.sa_mask = ending_signal_set();
    for (int i = 0; i < kEndingSignalCount; ++i) {
      if (sigaction(kEndingSignals[i], nullptr, &saved[i]) != 0) continue;
      if (saved[i].sa_handler == SIG_IGN) continue;
      replaced[i] = sigaction(kEndingSignals[i], &action, nullptr) == 0;
    }
  }
  ~Temporary() {
    discard();
    for (int i = 0; i < kEndingSignalCount; ++i) {
      if (replaced[i]) sigaction(kEndingSignals[i], &saved[i], nullptr);
    }
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  // Creates a file beside `path` that did not exist before, with permission
  // bits `mode` (less the umask). False (errno set) when none can be created.
  bool create(const char* path, mode_t mode) {
    std::random_device seed;
    std::minstd_rand next(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
      const SignalsHeld held;
      std::snprintf(g_temporary, sizeof g_temporary, "%s.tmp%08x", path,
                    static_cast<unsigned>(next()));
      fd = open(g_temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd >= 0) {
        g_temporary_exists = 1;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  // Closes the file; 0 or the errno of a failed close.
  int close_file() {
    if (fd < 0) return 0;
    const int result = close(fd);
    fd = -1;
    return result == 0 ? 0 : errno;
  }

  // Renames the file to `path`; 0 or the errno of the failed rename.
  int commit(const char* path) {
    const SignalsHeld held;
    if (rename(g_temporary, path) != 0) return errno;
    g_temporary_exists = 0;
    return 0;
  }

  // Closes and removes the file unless it has been renamed.
  void discard() {
    close_file();
    const SignalsHeld held;
    if (g_temporary_exists) unlink(g_temporary);
    g_temporary_exists = 0;
  }
};

void put_u16(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put_u32(unsigned char* p, std::uint32_t v) {
  put_u16(p, v);
  put_u16(p + 2, v >> 16);
}

void fill_header(unsigned char* head, int width, int height) {
  const std::uint32_t file_size =
      static_cast<std::uint32_t>(kBmpHeaderBytes + height * bmp_row_bytes(width));
  std::memset(head, 0, kBmpHeaderBytes);
  head[0] = 'B';
  head[1] = 'M';
  put_u32(head + 2, file_size);
  put_u32(head + 10, kBmpHeaderBytes);
  put_u32(head + 14, 40);
  put_u32(head + 18, static_cast<std::uint32_t>(width));
  put_u32(head + 22, static_cast<std::uint32_t>(height));
  put_u16(head + 26, 1);
  put_u16(head + 28, 24);
  put_u32(head + 38, kPixelsPerMetre);
  put_u32(head + 42, kPixelsPerMetre);
}

// Writes all n bytes; 0 or the errno of the failed write.
int write_all(int fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t done = write(fd, p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  return 0;
}

// Writes the header and the rows (bottom row first); 0 or the errno of the
// first failed write.
int write_image(int fd, const ColorPlane& red, const ColorPlane& green, const ColorPlane& blue) {
  unsigned char head[kBmpHeaderBytes];
  fill_header(head, red.w, red.h);
  if (int cause = write_all(fd, head, sizeof head); cause != 0) return cause;

  // The planes are stored column by column and the file row by row, so rows
  // are built a block at a time, column after column: each column gives one
  // contiguous run of the block's rows. 256 KB holds at least two rows of the
  // widest picture; the pad bytes stay 0.
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 18;
  static_assert(kBlockBytes >= 2 * (3 * static_cast<std::size_t>(kMaxSide) + 3));
  static constexpr int kMostRows = 32;
  unsigned char block[kBlockBytes] = {};
  const std::size_t row_bytes = static_cast<std::size_t>(bmp_row_bytes(red.w));
  const int block_rows =
      static_cast<int>(std::min<std::size_t>(kMostRows, kBlockBytes / row_bytes));
  const std::size_t h = static_cast<std::size_t>(red.h);
  const unsigned char* const r = red.px.get();
  const unsigned char* const g = green.px.get();
  const unsigned char* const b = blue.px.get();
  for (int first = 0; first < red.h; first += block_rows) {
    const int rows = std::min(block_rows, red.h - first);
    const std::size_t top = h - 1 - static_cast<std::size_t>(first);  // y of the block's first row
    for (std::size_t x = 0; x < static_cast<std::size_t>(red.w); ++x) {
      const std::size_t column = x * h;
      unsigned char* p = block + 3 * x;
      for (int k = 0; k < rows; ++k, p += row_bytes) {
        const std::size_t at = column + top - static_cast<std::size_t>(k);
        p[0] = b[at];
        p[1] = g[at];
        p[2] = r[at];
      }
    }
    if (int cause = write_all(fd, block, static_cast<std::size_t>(rows) * row_bytes); cause != 0) {
      return cause;
    }
  }
  return 0;
}

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

// Builds stem + ".bmp" into `path` and refuses what write_bmp must not
// replace, looking at the path itself (a symbolic link is replaced, never
// followed). Root may write any file, so the write bits are honoured as well:
// a file nobody may write is left alone. A path that cannot be looked at is
// left to the creation of the temporary file to report. Returns "" or the
// error text.
std::string check_output(const char* stem, char (&path)[kOutputPathBytes], Existing* existing) {
  const int path_len = std::snprintf(path, sizeof path, "%s.bmp", stem);
  if (path_len < 0 || path_len >= kOutputPathBytes) {
    return std::string(stem) + ".bmp: output path too long (" + std::to_string(path_len) +
           " characters; at most " + std::to_string(kOutputPathBytes - 1) + ")";
  }
  struct stat st;
  if (lstat(path, &st) != 0) return "";
  const std::string name(path);
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    return name + ": is " + file_kind(st.st_mode) + ", not a regular file; not replaced";
  }
  if (S_ISREG(st.st_mode)) {
    if ((st.st_mode & 0222) == 0) return name + ": existing file is read-only; not replaced";
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

std::string cannot_create(const char* path, int cause) {
  return std::string(path) + ": cannot create (" + std::strerror(cause) + ")";
}

}  // namespace

void set_bmp_write_hook(void (*hook)(const char* temporary)) {
  g_write_hook = hook;
}

std::string probe_bmp_output(const char* stem) {
  char path[kOutputPathBytes];
  Existing existing;
  std::string error = check_output(stem, path, &existing);
  if (!error.empty()) return error;
  Temporary temp;
  if (!temp.create(path, 0600)) return cannot_create(path, errno);
  return "";
}

std::string write_bmp(const char* stem, const ColorPlane& red, const ColorPlane& green,
                      const ColorPlane& blue) {
  char path[kOutputPathBytes];
  Existing existing;
  std::string error = check_output(stem, path, &existing);
  if (!error.empty()) return error;
  if (red.w < 1 || red.w > kMaxSide || red.h < 1 || red.h > kMaxSide ||
      green.w != red.w || green.h != red.h || blue.w != red.w || blue.h != red.h) {
    return std::string(path) + ": cannot write planes of " + std::to_string(red.w) + "x" +
           std::to_string(red.h) + ", " + std::to_string(green.w) + "x" + std::to_string(green.h) +
           " and " + std::to_string(blue.w) + "x" + std::to_string(blue.h) + " pixels";
  }

  // 1. A new temporary file: private while it replaces an existing file, then
  //    given that file's owner and mode; a new output gets the usual default.
  Temporary temp;
  if (!temp.create(path, existing.regular_file ? 0600 : 0666)) return cannot_create(path, errno);
  if (existing.regular_file) carry_over_owner_and_mode(temp.fd, existing.st);
  if (g_write_hook != nullptr) g_write_hook(g_temporary);

  // 2. The bytes, flushed to the disk before the file may take the name.
  int cause = write_image(temp.fd, red, green, blue);
  if (cause == 0 && fsync(temp.fd) != 0) cause = errno;
  if (const int close_cause = temp.close_file(); cause == 0) cause = close_cause;
  if (cause != 0) return std::string(path) + ": write failed (" + std::strerror(cause) + ")";

  // 3. The rename, and the folder entry made durable.
  if (const int rename_cause = temp.commit(path); rename_cause != 0) {
    return std::string(path) + ": cannot replace (" + std::strerror(rename_cause) + ")";
  }
  sync_folder(path);
  return "";
}

}  // namespace korvale
