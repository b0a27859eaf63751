// korvale with the allocation test seam reachable from outside: when
// KORVALE_FAIL_ALLOC is "NAME" or "NAME:K", the K-th allocation (default 1) of
// the buffer NAME fails. Built for the tests only; the shipped program reads
// no environment.
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/run.h"
#include "common/named_alloc.h"

int main(int argc, char** argv) {
  static std::string name;
  if (const char* request = std::getenv("KORVALE_FAIL_ALLOC")) {
    name = request;
    int occurrence = 1;
    if (std::size_t colon = name.find(':'); colon != std::string::npos) {
      occurrence = std::atoi(name.c_str() + colon + 1);
      name.resize(colon);
    }
    korvale::fail_named_allocation(name.c_str(), occurrence);
  }
  return korvale::run_resize(argc, argv);
}
