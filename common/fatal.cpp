// fail_exit: the failure line on standard output, then exit status 1.
#include "common/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace korvale {

void fail_exit(const char* line) {
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  std::exit(1);
}

}  // namespace korvale
