// The one way korvale ends the process on a failure: the line goes to
// standard output, the stream is flushed, and the process exits with status 1.
// Libraries call it only where the program's design ends the run on the spot
// (a named buffer that cannot be allocated); everything else reports failure
// to its caller and lets the app layer decide.
#pragma once

namespace korvale {

// Writes `line` and a line end on standard output, flushes it, exits with 1.
[[noreturn]] void fail_exit(const char* line);

}  // namespace korvale
