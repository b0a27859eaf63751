// Shared by the resizer's tests: standard error silenced while many planes
// print their progress lines.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace korvale::test {

// Standard error sent to /dev/null while it lives.
struct QuietStderr {
  int saved = dup(STDERR_FILENO);
  QuietStderr() {
    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    close(null);
  }
  ~QuietStderr() {
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;
};

}  // namespace korvale::test
