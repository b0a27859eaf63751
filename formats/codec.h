// Private to the formats library: the per-format decoders and encoders, and
// the helpers they share (limits, plane allocation, sample access, EXIF
// Orientation, growing output buffers). Nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/formats.h"

namespace korvale::formats_detail {

// printf-style formatting of a one-line failure, of any length (paths may be
// long).
template <class... Args>
std::string format(const char* fmt, Args... args) {
  const int n = std::snprintf(nullptr, 0, fmt, args...);
  if (n <= 0) return fmt;
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(text.data(), text.size(), fmt, args...);
  text.pop_back();
  return text;
}

// A file as the decoders read it: a whole file image in memory (`data`), or,
// when data is nullptr, the open file `fd` read as needed with pread. `len`
// is the file's length when it was measured: nothing past it is read, and a
// file that has shrunk since simply ends early.
struct Source {
  const unsigned char* data = nullptr;
  int fd = -1;
  std::size_t len = 0;
};

// Reading a Source at increasing offsets through a window of its bytes (a
// file image is read in place). Plain memory, so a C library may longjmp
// over it; window_free releases it.
struct SourceWindow {
  const Source* src = nullptr;
  unsigned char* buffer = nullptr;  // malloc'd on first use (files only)
  std::size_t start = 0;            // the window holds bytes [start, end)
  std::size_t end = 0;
};

// Copies the n bytes at `offset` to dst. False when the file ends first (or
// a read fails, or the window cannot be allocated).
bool window_read(SourceWindow* w, std::size_t offset, void* dst, std::size_t n);
void window_free(SourceWindow* w);

// Up to n bytes at `offset` (fewer at the end; never past src.len); -1 when
// a read fails.
long long source_read(const Source& src, std::size_t offset, void* dst, std::size_t n);

// "" when a w x h picture is within kMaxSide and max_pixels, else the refusal
// (naming the limit and the -maxpixels option).
std::string check_size(std::int64_t w, std::int64_t h, std::int64_t max_pixels);

// Bytes of the largest picture within max_pixels (8 a pixel: 16-bit RGBA)
// plus `extra`, saturating: the cap on a file's size and on libtiff's largest
// single allocation.
std::int64_t limit_bytes(std::int64_t max_pixels, std::int64_t extra);

// Sets out's shape and allocates its planes (named buffers: failure ends the
// process). The samples are not initialised.
void allocate_planes(Picture* out, int w, int h, int bits, int colors, bool alpha);

// Stores `rows` rows of interleaved samples (channels() per pixel; 8-bit
// bytes, or 16-bit values big-endian when big_endian, else native) as rows
// y0 .. y0 + rows - 1; row k starts at first + k * stride bytes (for 16-bit
// samples first and stride are even). Tiles of rows and columns move at a
// time (common/row_planes.h), so a strip of rows is far faster than row by row.
void store_rows(Picture* p, int y0, int rows, const unsigned char* first, std::size_t stride,
                bool big_endian);
inline void store_row(Picture* p, int y, const unsigned char* row, bool big_endian) {
  store_rows(p, y, 1, row, 0, big_endian);
}

// Fills `rows` rows from y0 on (row k at first + k * stride) with the
// picture's rows interleaved as 8-bit samples (16-bit pictures rounded to 8
// bits), `channels` per pixel: gray as 1 or 2 (gray, alpha), anything as 3
// (RGB, alpha dropped) or 4 (RGBA); gray is spread over RGB and a missing
// alpha is 255.
void load_rows8(const Picture& p, int y0, int rows, int channels, unsigned char* first,
                std::size_t stride);
inline void load_row8(const Picture& p, int y, int channels, unsigned char* row) {
  load_rows8(p, y, 1, channels, row, 0);
}

// The same at the picture's own depth and channels: bytes, or 16-bit values
// in native order.
void load_rows(const Picture& p, int y0, int rows, unsigned char* first, std::size_t stride);
inline void load_row(const Picture& p, int y, unsigned char* row) {
  load_rows(p, y, 1, row, 0);
}

// Rows moved through a strip at a time by the coders.
inline constexpr int kStripRows = 16;

// 16 to 8 bits, to nearest: round(v * 255 / 65535).
inline unsigned char narrow16(std::uint16_t v) {
  return static_cast<unsigned char>((v * 255u + 32767u) / 65535u);
}

// EXIF held as a TIFF structure: the Orientation tag (1..8; 1 when absent or
// unreadable), and resetting it to 1 in place where it exists.
int exif_orientation(const std::vector<unsigned char>& exif);
void exif_reset_orientation(std::vector<unsigned char>* exif);

// Turns the planes as EXIF orientation o (1..8) says the stored picture is
// to be shown (2 mirrored, 3 turned half round, 6 turned a quarter
// clockwise, ...). 1 changes nothing.
void apply_orientation(Picture* p, int orientation);

// Drops a leading "Exif\0\0" (as JPEG's APP1 and some WebP writers have it).
void strip_exif_prefix(std::vector<unsigned char>* exif);

// A growing output buffer for the libraries' write callbacks: plain memory,
// so a C library may longjmp over it; a failed growth ends the process with
// "OUT no memory!!".
struct ByteSink {
  unsigned char* data = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;
};
void sink_append(ByteSink* sink, const void* bytes, std::size_t n);
// Moves the bytes into *out and frees the sink.
void sink_finish(ByteSink* sink, std::vector<unsigned char>* out);
void sink_free(ByteSink* sink);

// Width and height a BMP header declares (the 12-byte core header holds
// 16-bit sizes, the others 32-bit; a negative height means top-down). False
// when the header is too short to say; the BMP reader refuses that itself.
bool bmp_declared_size(const unsigned char* d, std::size_t n, std::int64_t* w, std::int64_t* h);

// The decoders, format already recognised: BMP and WebP over whole file
// images, the others over a Source (a file image or the open file). Each fills
// *out with the stored picture (orientation not applied; the caller does it
// from out->exif or *orientation).
std::string decode_bmp_picture(const unsigned char* data, std::size_t len, const ReadSettings& s,
                               Picture* out);
std::string decode_png(const Source& src, const ReadSettings& s, Picture* out);
std::string decode_jpeg(const Source& src, const ReadSettings& s, Picture* out);
std::string decode_tiff(const Source& src, const ReadSettings& s, Picture* out, int* orientation);
std::string decode_webp(const unsigned char* data, std::size_t len, const ReadSettings& s,
                        Picture* out);

std::string encode_bmp(const Picture& p, std::vector<unsigned char>* bytes);
std::string encode_png(const Picture& p, const WriteSettings& s, std::vector<unsigned char>* bytes);
std::string encode_jpeg(const Picture& p, const WriteSettings& s,
                        std::vector<unsigned char>* bytes);
std::string encode_tiff(const Picture& p, const WriteSettings& s,
                        std::vector<unsigned char>* bytes);
std::string encode_webp(const Picture& p, const WriteSettings& s,
                        std::vector<unsigned char>* bytes);

}  // namespace korvale::formats_detail
