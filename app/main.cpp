#include "app/run.h"

int main(int argc, char** argv) {
  return korvale::run_resize(argc, argv);
}
