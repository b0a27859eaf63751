// The korvale executable: the main flow's status is the process's.
#include "app/run.h"

int main(int argc, char** argv) {
  return korvale::run_resize(argc, argv);
}
