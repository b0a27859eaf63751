// korvale with test seams reachable from outside through the environment;
// built for the tests only (the shipped program reads only KORVALE_THREADS).
//   KORVALE_FAIL_ALLOC=NAME or NAME:K   the K-th allocation (default 1) of the
//                                       buffer NAME fails;
//   KORVALE_STOP_WHILE_WRITING=1        the process stops itself (SIGSTOP) once
//                                       the output's temporary file exists, so
//                                       a test can signal it at that point.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/run.h"
#include "common/named_alloc.h"
#include "common/output_file.h"

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
  if (std::getenv("KORVALE_STOP_WHILE_WRITING") != nullptr) {
    korvale::set_output_write_hook([](const char*) { std::raise(SIGSTOP); });
  }
  return korvale::run_resize(argc, argv);
}
