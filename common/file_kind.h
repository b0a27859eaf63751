// Names the kind of a file that is not a regular file, for failure lines such
// as "NAME: is a FIFO, not a regular file".
#pragma once

#include <sys/stat.h>

namespace korvale {

inline const char* file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "an unusual file";
}

}  // namespace korvale
