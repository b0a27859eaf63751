// Runs a piece of code in a forked child with standard output and standard
// error captured, for tests of code that prints and ends the process.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace korvale::test {

struct ChildResult {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  int signal = 0;   // the signal that ended the child, or 0
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

inline std::string read_all(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  std::fclose(file);
  return text;
}

// Calls body() in a child process. A body that returns ends the child with
// status 0; one that calls exit() ends it with its own status.
template <class Body>
ChildResult run_in_child(Body body) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ChildResult result;
  if (out == nullptr || err == nullptr) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
  }
  int wait_status = 0;
  if (pid > 0 && waitpid(pid, &wait_status, 0) == pid) {
    if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  }
  result.out = read_all(out);
  result.err = read_all(err);
  return result;
}

}  // namespace korvale::test
