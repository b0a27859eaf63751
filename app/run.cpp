#include "app/run.h"

namespace korvale {
int run_resize(int, char**) { return 0; }
}  // namespace korvale
