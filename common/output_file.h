// Output files written safely, whatever their format: the bytes go to a new
// temporary file beside the target, are flushed to the disk and only then
// renamed over the target, so a failed or interrupted run never leaves a
// partial file nor harms an older one.
//
// What may be replaced: nothing at the path, a symbolic link (replaced by the
// new file; its target is not touched), or a regular file that the caller may
// write, that has at least one write permission bit, that is not append-only
// or immutable, and that is not another user's file in a sticky folder.
// Folders, FIFOs, devices and sockets are never replaced.
//
// Both functions return "" on success or one failure line that starts with
// the path ("PATH: why"); neither prints nor ends the process. Paths of any
// length are taken; a path the system refuses gets the system's reason
// ("PATH: cannot create (File name too long)").
#pragma once

#include <string>

namespace korvale {

// The checks made before any work, so that a large picture is not computed in
// vain: whatever lies at `path` (looked at without following a link) may be
// replaced, and a temporary file can be created beside it (it is removed
// again). Returns "" or the line write_output_file would fail with.
std::string probe_output_file(const char* path);

// Writes the file's bytes to the open descriptor `fd` (positioned at 0).
// Returns 0, or the errno of the first write that failed.
using OutputBody = int (*)(int fd, const void* context);

// The whole safe write of `path`: the probe's checks; a temporary file
// "PATH.tmpXXXXXXXX" (eight hex digits) created private (0600), filled by
// body(fd, context), given the replaced file's owner, group and mode (owner
// and group where the process may set them) just before it is flushed and
// renamed, or the usual 0666 less the umask for a new file; the folder synced
// after the rename.
//
// While the temporary file exists, SIGXFSZ is ignored (a file-size limit
// makes the write fail with EFBIG, reported as "write failed"), and every
// signal whose default action ends the process (SIGKILL aside) removes the
// temporary file first, then ends the process as it would have; a signal the
// process ignores or handles itself is left as it is.
//
// Failure lines: "PATH: cannot create (...)", "PATH: write failed (...)",
// "PATH: cannot replace (...)" and the probe's refusals. Not thread-safe: one
// output at a time per process.
std::string write_output_file(const char* path, OutputBody body, const void* context);

// Test seam: when set, write_output_file calls hook(temporary name) right
// after creating the temporary file, before body runs. nullptr clears it.
void set_output_write_hook(void (*hook)(const char* temporary));

}  // namespace korvale
