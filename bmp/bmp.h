// BMP files in and out.
//
// Reading: read_bmp loads a file into three ColorPlanes (red, green, blue;
// column by column, top row first); each plane carries the width and height. It
// reads palette files of 1, 2, 4 and 8 bits (plain, RLE8, RLE4), 16- and
// 32-bit files (5-5-5 / 8-8-8 or any contiguous colour masks; alpha is
// dropped) and 24-bit files, with 12-, 16-, 40-, 52-, 56-, 64-, 108- or
// 124-byte information headers. It returns "" on success or the one-line
// failure text; the one exception is a plane that cannot be allocated, which
// ends the process with "NAME no memory!!" (common/named_alloc.h). decode_bmp is
// the pure core over the file's bytes (no I/O, no printing).
//
// Writing: write_bmp_file writes the planes as a bottom-up 24-bit file with a
// fixed 54-byte header, through common/output_file.h's safe write; write_bmp
// writes "<stem>.bmp"; write_bmp_file_streamed writes the same file while a
// producer is still filling the planes. They return "" on success or the
// one-line error text.
//
// Copying: a 24-bit uncompressed file that is to be written out unchanged
// goes from file to file strip by strip (BmpCopy), the same bytes as
// through read_bmp and write_bmp_file without the planes; one that is to be
// resized can be read a block of rows at a time (bmp_copy_rows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/color_plane.h"
#include "common/limits.h"

namespace korvale {

// Both headers together: the 14-byte file header and the smallest (40-byte)
// information header. Pixel data never starts before this.
inline constexpr std::size_t kBmpHeaderBytes = 54;

// The one error text that names no file: a file shorter than the size its
// header declares.
inline constexpr const char kBmpSizeError[] = "input file size err!!";

// Bytes in one stored row of `width` 24-bit pixels: three per pixel, padded
// with zero bytes to a multiple of 4.
inline std::int64_t bmp_row_bytes(std::int64_t width) {
  return (3 * width + 3) / 4 * 4;
}

struct BmpPlanes {
  ColorPlane red;
  ColorPlane green;
  ColorPlane blue;
};

// Leading bytes of a file that bmp_bytes_needed looks at: the 14-byte file
// header and the largest (124-byte) information header.
inline constexpr std::size_t kBmpProbeBytes = 14 + 124;

// How many leading bytes of a file of file_len bytes decoding needs (headers,
// palette and pixel data; nothing after them), judged from its first head_len
// bytes, head_len = min(file_len, kBmpProbeBytes). Checks every header field against
// the others and against file_len. Returns "" and sets *needed, or the error
// text.
std::string bmp_bytes_needed(const unsigned char* head, std::size_t head_len, std::size_t file_len,
                             std::size_t* needed);

// Decodes a file of file_len bytes of which the first `have` are at `file`
// (have >= what bmp_bytes_needed gives): checks every header field the same
// way and, when the file is sound, decodes its pixels into *out. A picture of
// more than max_pixels pixels is refused right after the header ("WxH is N
// pixels, more than the limit of M (-maxpixels N raises it)"). Returns "" or
// the error text. Planes are allocated as named buffers (a failed allocation
// ends the process); nothing is allocated for a file whose header fields are
// refused. Uncompressed rows are decoded on `threads` threads (blocks of rows,
// each pixel on its own: the planes are the same for any count); run-length
// data on the calling thread.
std::string decode_bmp(const unsigned char* file, std::size_t have, std::size_t file_len,
                       BmpPlanes* out, int threads = 1,
                       std::int64_t max_pixels = kDefaultMaxPixels);

// The same over a whole file image file[0 .. len-1].
inline std::string decode_bmp(const unsigned char* file, std::size_t len, BmpPlanes* out,
                              int threads = 1, std::int64_t max_pixels = kDefaultMaxPixels) {
  return decode_bmp(file, len, len, out, threads, max_pixels);
}

// Opens `name` for reading without blocking and refuses anything but a
// regular file ("NAME: is a FIFO, not a regular file", likewise a folder,
// device or socket) or a name that cannot be opened ("NAME: cannot open
// (...)"). Returns "" and the open descriptor in *fd (the caller closes it),
// or the error text with *fd = -1.
std::string open_bmp_input(const char* name, int* fd);

// The same check before any work, the descriptor closed again.
std::string probe_bmp_input(const char* name);

// Reads the file `name` into three planes of the picture's width and height,
// decoding on `threads` threads. A picture of more than max_pixels pixels is
// refused right after the header, before anything is allocated for it.
// Returns "" and fills *out, or the one-line failure text ("NAME: why", or
// kBmpSizeError alone).
std::string read_bmp(const char* name, std::int64_t max_pixels, int threads, BmpPlanes* out);

// A 24-bit uncompressed file used from its stored rows, without planes:
// copied as it is (read_bmp and write_bmp_file would give the same file: the
// fixed header, the rows bottom-up, the padding zeroed), which bmp_copy_write
// writes strip by strip from one file to the other, or read a block of rows
// at a time (bmp_copy_rows). The record owns the open input.
struct BmpCopy {
  int fd = -1;                // the input, open; closed with the record
  std::size_t file_len = 0;   // its length when checked
  int width = 0, height = 0;  // the picture's sides
  bool top_down = false;      // the first stored row is the top one
  std::size_t pixel_offset = 0;
  BmpCopy() = default;
  BmpCopy(const BmpCopy&) = delete;
  BmpCopy& operator=(const BmpCopy&) = delete;
  ~BmpCopy();
};

// Opens `name` as read_bmp does and checks its header the same way: true with
// *copy ready (copy->fd < 0 before the call) when it is a 24-bit
// uncompressed file of at most max_pixels pixels; false for anything else,
// including anything read_bmp would refuse (read_bmp then says why).
bool bmp_copy_open(const char* name, std::int64_t max_pixels, BmpCopy* copy);

// Writes the copy to exactly `path` through write_output_file, as
// write_bmp_file writes planes. Returns "" or the one-line failure: the
// output's (as write_bmp_file gives them), or kBmpSizeError when the input
// can no longer be read to the end of its pixels.
std::string bmp_copy_write(const BmpCopy& copy, const char* path);

// Reads the copy's picture rows y0 .. y0 + count - 1 (row 0 the top one) as
// stored (three bytes a pixel, blue first) into `to`, which holds count
// stored rows (bmp_row_bytes(width) each): returns where row y0 lies and sets
// *stride to the bytes from one row to the next (negative for a bottom-up
// file); null when the file can no longer be read to the end of them. Any
// number of threads may read at once, each into its own `to`.
const unsigned char* bmp_copy_rows(const BmpCopy& copy, int y0, int count, unsigned char* to,
                                   std::ptrdiff_t* stride);
// Checks, before any work, that write_bmp(stem, ...) may create stem + ".bmp":
// probe_output_file on that path (common/output_file.h). Returns "" or the
// error text write_bmp would give.
std::string probe_bmp_output(const char* stem);

// Writes red/green/blue (all of the same size, 1..kMaxSide each way) to
// stem + ".bmp" (always appended: a stem "a.bmp" writes "a.bmp.bmp").
std::string write_bmp(const char* stem, const ColorPlane& red, const ColorPlane& green,
                      const ColorPlane& blue);

// The same to exactly `path`, through write_output_file (common/output_file.h):
// a temporary file renamed into place, never a partial file nor a harmed older
// one; what must not be replaced is refused. Returns "" or the one-line error
// text ("PATH: why"); it never ends the process.
std::string write_bmp_file(const char* path, const ColorPlane& red, const ColorPlane& green,
                           const ColorPlane& blue);

// The same write begun before the planes are filled, so that the file fills
// (and goes to the disk) while the last of them is computed: once the
// temporary file exists and holds the header, produce(context, sink) fills
// the planes (their sizes are set before the call), returns false when it
// could not read its own input (the write then fails with kBmpSizeError,
// leaving no file), and may call
// bmp_rows_final(sink, thread, y0, count) when plane rows y0 .. y0 + count - 1
// are final, from up to `threads` threads at once (thread 0 .. threads - 1,
// 1 .. kMaxSinkThreads, one call at a time per thread); those rows are
// written at once, each where it lies in the file. Every row not reported
// is written after produce returns, so the file is the same whatever is
// reported. produce is not called when the file cannot be begun.
struct BmpRowSink;
using BmpProduce = bool (*)(void* context, BmpRowSink* sink);
inline constexpr int kMaxSinkThreads = 64;
std::string write_bmp_file_streamed(const char* path, const ColorPlane& red,
                                    const ColorPlane& green, const ColorPlane& blue, int threads,
                                    BmpProduce produce, void* context);
void bmp_rows_final(BmpRowSink* sink, int thread, int y0, int count);

// The same write without planes: produce builds the file's rows itself, a
// block at a time, in its thread's block (bmp_rows_block: at least
// kBmpSinkRows stored rows of bmp_row_bytes(w) bytes, the padding zero, file
// order: the block's first row is the last picture row), and hands rows
// y0 .. y0 + count - 1 (count <= kBmpSinkRows) over with bmp_rows_built,
// which writes them at once. Every row must be handed over (any that is not
// is written as zeros).
inline constexpr int kBmpSinkRows = 16;
std::string write_bmp_rows_streamed(const char* path, int w, int h, int threads, BmpProduce produce,
                                    void* context);
unsigned char* bmp_rows_block(BmpRowSink* sink, int thread);
void bmp_rows_built(BmpRowSink* sink, int thread, int y0, int count);

}  // namespace korvale
