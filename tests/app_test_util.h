// Helpers for tests that run korvale as a subprocess: a runner capturing the
// exit status and both streams, a scratch folder, and an independent 24-bit
// BMP encoder/decoder (written from the file format, not from korvale's code).
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tests/child_process.h"

namespace apptest {

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  int signal = 0;   // the signal that ended the process, or 0
  std::string out;
  std::string err;
};

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A started process whose standard output and error go to unnamed files.
struct Started {
  pid_t pid = -1;
  std::FILE* out = nullptr;
  std::FILE* err = nullptr;
};

// Starts `binary` with `args` in folder `dir`, with the variables `env`
// ("NAME=value") added; `prepare` runs in the child just before the program
// (to change the user, the umask, signal dispositions, ...).
inline Started start(const std::string& binary, const std::vector<std::string>& args,
                     const std::string& dir, const std::vector<std::string>& env = {},
                     const std::function<void()>& prepare = {}) {
  Started s;
  s.out = std::tmpfile();
  s.err = std::tmpfile();
  if (s.out == nullptr || s.err == nullptr) return s;
  s.pid = fork();
  if (s.pid == 0) {
    dup2(fileno(s.out), 1);
    dup2(fileno(s.err), 2);
    if (chdir(dir.c_str()) != 0) _exit(127);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    if (prepare) prepare();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  return s;
}

// Waits for a started process to end and collects what it wrote.
inline RunResult finish(Started s) {
  RunResult r;
  int wstatus = 0;
  if (s.pid > 0 && waitpid(s.pid, &wstatus, 0) == s.pid) {
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
  }
  if (s.out != nullptr) r.out = korvale::test::read_all(s.out);
  if (s.err != nullptr) r.err = korvale::test::read_all(s.err);
  return r;
}

// Runs `binary` with `args` in folder `dir`; `fail_alloc`, when not empty, is
// passed as KORVALE_FAIL_ALLOC (the seamed binary reads it).
inline RunResult run(const std::string& binary, const std::vector<std::string>& args,
                     const std::string& dir, const std::string& fail_alloc = "") {
  std::vector<std::string> env;
  if (!fail_alloc.empty()) env.push_back("KORVALE_FAIL_ALLOC=" + fail_alloc);
  return finish(start(binary, args, dir, env));
}

// A fresh empty folder for one test.
inline std::string scratch_dir(const std::string& tag) {
  std::string templ =
      std::filesystem::temp_directory_path().string() + "/korvale_" + tag + "_XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  return std::string(mkdtemp(buf.data()));
}

// An unprivileged account for the permission cases, which mean nothing to
// root: found when the tests run as root and "nobody" exists.
struct Account {
  uid_t uid = 0;
  gid_t gid = 0;
};

inline bool unprivileged_account(Account* account) {
  if (geteuid() != 0) return false;
  const passwd* pw = getpwnam("nobody");
  if (pw == nullptr || pw->pw_uid == 0) return false;
  account->uid = pw->pw_uid;
  account->gid = pw->pw_gid;
  return true;
}

// For start(): the child drops to `account` (no supplementary groups) and
// sets `mask` as its umask.
inline std::function<void()> as_account(Account account, mode_t mask = 022) {
  return [account, mask] {
    umask(mask);
    if (setgroups(0, nullptr) != 0 || setgid(account.gid) != 0 || setuid(account.uid) != 0)
      _exit(126);
  };
}

// A folder any user can reach, holding a copy of `binary` any user can run
// (the build tree may be closed to others); returns the copy's path.
inline std::string reachable_copy(const std::string& binary, const std::string& folder) {
  chmod(folder.c_str(), 0755);
  const std::string copy = folder + "/" + std::filesystem::path(binary).filename().string();
  std::filesystem::copy_file(binary, copy, std::filesystem::copy_options::overwrite_existing);
  chmod(copy.c_str(), 0755);
  return copy;
}

// Pixels of a picture, row 0 at the top: rgb[(y * w + x) * 3 + c], c = 0 red.
struct Picture {
  int w = 0;
  int h = 0;
  std::vector<uint8_t> rgb;
  uint8_t& at(int x, int y, int c) { return rgb[(static_cast<size_t>(y) * w + x) * 3 + c]; }
  uint8_t at(int x, int y, int c) const { return rgb[(static_cast<size_t>(y) * w + x) * 3 + c]; }
};

inline void put_le(std::string& s, size_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

inline uint32_t get_le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i)
    v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
  return v;
}

inline size_t row_bytes(int w) {
  return (static_cast<size_t>(w) * 3 + 3) / 4 * 4;
}

// Encodes a bottom-up 24-bit file with a 40-byte information header.
inline std::string encode_bmp(const Picture& p) {
  const size_t stride = row_bytes(p.w);
  std::string s(54 + stride * p.h, '\0');
  s[0] = 'B';
  s[1] = 'M';
  put_le(s, 2, static_cast<uint32_t>(s.size()), 4);
  put_le(s, 10, 54, 4);
  put_le(s, 14, 40, 4);
  put_le(s, 18, static_cast<uint32_t>(p.w), 4);
  put_le(s, 22, static_cast<uint32_t>(p.h), 4);
  put_le(s, 26, 1, 2);
  put_le(s, 28, 24, 2);
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x)
      for (int c = 0; c < 3; ++c)
        s[54 + (p.h - 1 - y) * stride + 3 * x + (2 - c)] = static_cast<char>(p.at(x, y, c));
  return s;
}

// Decodes any uncompressed 24-bit file (either row order, any pixel offset).
inline Picture decode_bmp24(const std::string& s) {
  Picture p;
  const int32_t h_signed = static_cast<int32_t>(get_le(s, 22, 4));
  p.w = static_cast<int32_t>(get_le(s, 18, 4));
  p.h = h_signed < 0 ? -h_signed : h_signed;
  p.rgb.assign(static_cast<size_t>(p.w) * p.h * 3, 0);
  const size_t offset = get_le(s, 10, 4), stride = row_bytes(p.w);
  for (int y = 0; y < p.h; ++y) {
    const size_t row = h_signed < 0 ? y : p.h - 1 - y;
    for (int x = 0; x < p.w; ++x)
      for (int c = 0; c < 3; ++c)
        p.at(x, y, c) = static_cast<uint8_t>(s[offset + row * stride + 3 * x + (2 - c)]);
  }
  return p;
}

// Names of the entries of `dir`, sorted.
inline std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

inline bool exists(const std::string& path) {
  return std::filesystem::exists(path);
}

}  // namespace apptest
