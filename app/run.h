// The main flow of korvale: options, then for each input its output file
// (input loaded, three plane resizes, output saved). Returns the exit status:
// 0 when every output was written or the usage was asked for, 1 after any
// failure. This is the one place that prints failure lines (on standard
// output, one per failure) and the usage and notices (on standard error);
// the libraries it calls return their failures to it. A failing input in a
// run of several is reported and the others go on. The exception is a named
// buffer that cannot be allocated, which ends the process on the spot with
// "NAME no memory!!" and status 1.
#pragma once

namespace korvale {

int run_resize(int argc, char** argv);

}  // namespace korvale
