// Runs a piece of code in a forked child with its standard output and
// standard error captured, so tests can check exact messages and the exit
// status of code that ends the process.
#pragma once

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "common/named_alloc.h"

namespace korvale::testing {

struct ChildRun {
  int status = -1;  // exit status; -1 when the child did not exit normally
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// Runs body() in a child. A body that returns exits with status 0.
template <class Body>
ChildRun run_in_child(Body&& body) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    std::forward<Body>(body)();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  ChildRun run;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  clear_named_allocation_failure();
  return run;
}

}  // namespace korvale::testing
