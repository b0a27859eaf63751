// The main flow of korvale: options, input file, three plane resizes (red,
// green, blue), output file. Returns 0 when the output was written or the
// usage was asked for. Every failure ends the process with status 1 after one
// line on standard output (through fail_exit): here for the options, an input
// that is not a regular file, an output that cannot be written and a
// reduction outside the picture; inside the reader and the allocation helper
// for an unreadable input and a buffer that cannot be had.
#pragma once

namespace korvale {

int run_resize(int argc, char** argv);

}  // namespace korvale
