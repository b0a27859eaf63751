// The one way korvale ends the process on a failure: the line goes to
// standard output, the stream is flushed, and the process exits with status 1.
// app/ calls it once a library has returned its failure text. Library code
// calls it in one place only: a named buffer that cannot be allocated
// (common/named_alloc.h, "NAME no memory!!"); everything else in the
// libraries returns its failure to the caller.
#pragma once

namespace korvale {

// Writes `line` and a line end on standard output, flushes it, exits with 1.
[[noreturn]] void fail_exit(const char* line);

}  // namespace korvale
