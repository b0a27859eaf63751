// The main flow of korvale: options, input file, three plane resizes (red,
// green, blue), output file. Returns the process's exit status (0 success or
// usage; 1 on any failure, after one line on standard output); failures deep
// inside (a buffer that cannot be allocated) end the process themselves.
#pragma once

namespace korvale {

int run_resize(int argc, char** argv);

}  // namespace korvale
