// One picture in and one picture out, for the main flow: the input loaded as
// a Picture (formats/formats.h: the format from the file's content), the
// output's path and format worked out from the options, and the resized
// picture saved there. Every failure is returned as a one-line text ("" is
// success); nothing here prints or ends the process, except that a buffer
// that cannot be allocated ends it with "NAME no memory!!".
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "resize/resize.h"

namespace korvale {

// Where and how one output is written.
struct OutputTarget {
  std::string path;  // the file written
  ImageFormat format = ImageFormat::bmp;
  // -o STEM: always the 24-bit BMP with the 54-byte header, whatever the
  // picture holds (gray spread over three channels, 16 bits rounded to 8,
  // alpha dropped).
  bool plain_bmp = false;
};

// The -out pattern for one input: "%s" becomes the input's name without
// folder and extension, "%%" a percent sign. Returns "" and sets *path, or
// the refusal of a '%' followed by anything else.
std::string expand_output_pattern(const std::string& pattern, const std::string& input,
                                  std::string* path);

// The target for -o STEM (STEM.bmp), or for the -out path (already
// expanded), whose format follows its extension in any case (.bmp, .png,
// .jpg, .jpeg, .tif, .tiff, .webp); path_target refuses an unknown extension
// and a format whose library this build lacks.
OutputTarget stem_target(const std::string& stem);
std::string path_target(const std::string& path, OutputTarget* target);

// Reads the picture `name` as shown (orientation applied unless the settings
// say not), refusing one of more than s.max_pixels pixels before its pixels
// are allocated. Returns "" or "NAME: why".
std::string load_picture(const std::string& name, const ReadSettings& s, Picture* out);

// Checks before any work that the target can be written and whatever lies at
// its path may be replaced.
std::string probe_output(const OutputTarget& target);

// The file's bytes for the target, encoded into memory (no file is touched,
// so this may run while other outputs are written): left empty for BMP
// without alpha and for every -o STEM output, which the BMP writer writes
// straight from the planes.
std::string encode_output(const OutputTarget& target, const Picture& picture,
                          const WriteSettings& s, std::vector<unsigned char>* bytes);

// Writes the output through the safe temporary-and-rename writer: `bytes`
// from encode_output, or the picture through the BMP writer when they are
// empty.
std::string save_picture(const OutputTarget& target, const Picture& picture,
                         const std::vector<unsigned char>& bytes);

// Whether the target is written by the BMP writer straight from the
// picture's planes as they are (encode_output leaves the bytes empty, and
// nothing is narrowed or dropped): a BMP target, 8-bit gray or colour
// samples, no alpha.
bool writes_plain_bmp(const OutputTarget& target, const Picture& picture);

// Resizes `last` (the picture's last colour) into out's last plane while
// writing the BMP file: the file is begun first, and each block of rows goes
// to it as soon as the resize has finished it, so the file is on its way to
// the disk by the time the last row is computed. With `last` null, out's last
// plane holds the source (the run's W x H samples, in a buffer of that size)
// and is shrunk in its own memory (resize_plane_in_place). The other planes
// of `out` must be final. The same file as save_picture writes; "" or the
// failure. SIGPIPE is ignored while the plane is resized, as for the others.
std::string save_bmp_streamed(const OutputTarget& target, ResizeRun& run, const ColorPlane* last,
                              Picture* out);

// A 24-bit BMP whose colours are read a block of rows at a time from its
// file (bmp_copy_rows) by the resize's first step, once per colour, instead
// of through planes (resize_rows: only when the width shrinks); the same
// samples and progress lines. Each of the run's threads has its block of
// rows; `failed` says a read came short (the file shrank or cannot be read).
struct BmpRowsSource {
  const BmpCopy* file = nullptr;
  Buffer<unsigned char> blocks;  // "BMPINROWS": kSourceRows stored rows a thread
  std::size_t block_bytes = 0;
  std::atomic<bool> failed{false};
};

// Readies `src` to read `file` (which must outlive it) on the run's threads.
void bmp_rows_source_begin(BmpRowsSource* src, const BmpCopy& file, const ResizeRun& run);

// Resizes colour c (0 red, 1 green) of the source into *dst (out_w x out_h);
// false when the file could not be read to the end of its rows.
bool shrink_bmp_colour(ResizeRun& run, BmpRowsSource& src, int c, ColorPlane* dst);

// save_bmp_streamed with out's last plane (blue) resized from the source
// while the file is written; out's red and green planes must be final.
// kBmpSizeError, and no file, when the source could not be read.
std::string save_bmp_rows_streamed(const OutputTarget& target, ResizeRun& run, BmpRowsSource& src,
                                   Picture* out);

// Shrinks the source (which shrinks only in width, to out_w x out_h) while
// the BMP file is written, all three colours a block of rows at a time
// straight into the file's rows (resize_rows_colours): no plane at either
// end. The same file and progress lines as through planes; "" or the
// failure (kBmpSizeError, and no file, when the source could not be read).
std::string save_bmp_colours_streamed(const OutputTarget& target, ResizeRun& run,
                                      BmpRowsSource& src, int out_w, int out_h);

}  // namespace korvale
