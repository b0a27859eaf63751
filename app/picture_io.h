// One picture in and one picture out, for the main flow: the input loaded
// into planes, the output's path and format worked out from the options, and
// the planes saved there. Every failure is returned as a one-line text ("" is
// success); nothing here prints or ends the process, except that a buffer
// that cannot be allocated ends it with "NAME no memory!!".
#pragma once

#include <cstdint>
#include <string>

#include "bmp/bmp.h"
#include "common/color_plane.h"

namespace korvale {

enum class PictureFormat { bmp, png, jpeg, tiff, webp };

// Where and how one output is written.
struct OutputTarget {
  std::string path;  // the file written
  PictureFormat format = PictureFormat::bmp;
};

// The format an output path asks for by its extension (.bmp, .png, .jpg,
// .jpeg, .tif, .tiff, .webp, in any case). Returns "" or the refusal.
std::string format_from_extension(const std::string& path, PictureFormat* format);

// The -out pattern for one input: "%s" becomes the input's name without
// folder and extension, "%%" a percent sign. Returns "" and sets *path, or
// the refusal of a '%' followed by anything else.
std::string expand_output_pattern(const std::string& pattern, const std::string& input,
                                  std::string* path);

// The target for -o STEM, or for the -out path (already expanded).
OutputTarget stem_target(const std::string& stem);
std::string path_target(const std::string& path, OutputTarget* target);

// Reads the picture `name` into planes, refusing one of more than max_pixels
// pixels before its pixels are allocated; decodes on `threads` threads.
std::string load_picture(const std::string& name, std::int64_t max_pixels, int threads,
                         BmpPlanes* out);

// Checks before any work that the target can be written and whatever lies at
// its path may be replaced.
std::string probe_output(const OutputTarget& target);

// Writes the three planes (of one size) to the target.
std::string save_picture(const OutputTarget& target, const ColorPlane& red, const ColorPlane& green,
                         const ColorPlane& blue);

}  // namespace korvale
