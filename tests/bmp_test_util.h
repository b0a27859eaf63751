// Builds BMP file images in memory for tests: a sound 24-bit file by default,
// with every header field open to override so that hostile variants are one
// assignment away.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bmp/bmp.h"
#include "common/color_plane.h"
#include "tests/child_process.h"

namespace korvale::test {

// Header fields and layout of the file to build. Rows come out bottom-up for
// a positive height and top-down for a negative one.
struct BmpFields {
  char signature[2] = {'B', 'M'};
  std::int64_t declared_size = -1;  // -1: the real length of the built file
  std::uint32_t pixel_offset = 54;
  std::uint32_t info_size = 40;
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint16_t planes = 1;
  std::uint16_t bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t image_size = 0;
  std::uint32_t ppm = 3780;     // both resolution fields
  unsigned char gap_byte = 0;   // fills the bytes between the headers and the pixels
  unsigned seed = 0;            // varies the picture (see sample)
  std::size_t extra_bytes = 0;  // junk after the pixel rows
};

// The test picture: a byte for column x, row y (0 = top) and channel c
// (0 red, 1 green, 2 blue) that differs between neighbours in every direction.
inline unsigned char sample(int x, int y, int c, unsigned seed = 0) {
  return static_cast<unsigned char>(x * 37 + y * 101 + c * 59 + seed * 13 + 1);
}

inline void put_le(std::vector<unsigned char>& bytes, std::size_t at, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) bytes[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// The fields of a sound w x h file with `change` applied on top.
inline BmpFields fields_with(int w, int h, void (*change)(BmpFields&)) {
  BmpFields f;
  f.width = w;
  f.height = h;
  change(f);
  return f;
}

// The file image described by f, carrying the sample picture. Pixel rows are
// laid out only for widths and heights the format allows.
inline std::vector<unsigned char> build_bmp(const BmpFields& f) {
  const std::int64_t w = f.width > 0 ? f.width : 0;
  const std::int64_t rows = f.height < 0 ? -std::int64_t{f.height} : f.height;
  const std::int64_t row_bytes = (3 * w + 3) / 4 * 4;
  const bool laid_out = w <= 4096 && rows <= 4096;
  const std::size_t pixel_bytes = laid_out ? static_cast<std::size_t>(rows * row_bytes) : 0;
  std::vector<unsigned char> bytes(
      std::max<std::size_t>(f.pixel_offset, 54) + pixel_bytes + f.extra_bytes, f.gap_byte);
  std::fill(bytes.begin(), bytes.begin() + 54, 0);
  bytes[0] = static_cast<unsigned char>(f.signature[0]);
  bytes[1] = static_cast<unsigned char>(f.signature[1]);
  put_le(bytes, 2, f.declared_size < 0 ? bytes.size() : f.declared_size, 4);
  put_le(bytes, 10, f.pixel_offset, 4);
  put_le(bytes, 14, f.info_size, 4);
  put_le(bytes, 18, static_cast<std::uint32_t>(f.width), 4);
  put_le(bytes, 22, static_cast<std::uint32_t>(f.height), 4);
  put_le(bytes, 26, f.planes, 2);
  put_le(bytes, 28, f.bits, 2);
  put_le(bytes, 30, f.compression, 4);
  put_le(bytes, 34, f.image_size, 4);
  put_le(bytes, 38, f.ppm, 4);
  put_le(bytes, 42, f.ppm, 4);
  if (pixel_bytes == 0) return bytes;
  const std::size_t start = std::max<std::size_t>(f.pixel_offset, 54);
  for (std::int64_t i = 0; i < rows; ++i) {
    const int y = static_cast<int>(f.height < 0 ? i : rows - 1 - i);
    std::size_t p = start + i * row_bytes;
    for (int x = 0; x < w; ++x) {
      bytes[p++] = sample(x, y, 2, f.seed);
      bytes[p++] = sample(x, y, 1, f.seed);
      bytes[p++] = sample(x, y, 0, f.seed);
    }
    for (std::int64_t pad = 3 * w; pad < row_bytes; ++pad) bytes[p++] = 0;
  }
  return bytes;
}

// A plane of w x h holding channel c of the sample picture.
inline ColorPlane sample_plane(int w, int h, int c, unsigned seed = 0) {
  ColorPlane plane = named_plane(w, h, "test");
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) plane.at(x, y) = sample(x, y, c, seed);
  return plane;
}

// Whether `plane` is w x h and holds channel c of the sample picture.
inline bool holds_sample(const ColorPlane& plane, int w, int h, int c, unsigned seed = 0) {
  if (plane.w != w || plane.h != h || !plane.px) return false;
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y)
      if (plane.at(x, y) != sample(x, y, c, seed)) return false;
  return true;
}

inline void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

inline std::vector<unsigned char> read_file(const std::string& path) {
  std::vector<unsigned char> bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  int c;
  while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<unsigned char>(c));
  std::fclose(file);
  return bytes;
}

// A fresh empty folder under the system's temporary folder.
inline std::string make_temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvale_bmp_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return "";
  return pattern;
}

// Names of the entries of `dir`, sorted.
inline std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// read_bmp with the default pixel limit on one thread: "" and *out, or the
// failure line.
inline std::string read_path(const std::string& path, BmpPlanes* out) {
  return read_bmp(path.c_str(), kDefaultMaxPixels, 1, out);
}

// read_bmp of `path` in a child process that prints the failure line (a
// success prints an empty line). With fail_at > 0 the fail_at-th named
// allocation fails, ending the child with "NAME no memory!!" and status 1:
// a refusal printed with status 0 shows that nothing was allocated before it.
inline ChildResult read_in_child(const std::string& path, int fail_at = 0,
                                 std::int64_t max_pixels = kDefaultMaxPixels) {
  return run_in_child([&] {
    if (fail_at > 0) fail_named_allocation(nullptr, fail_at);
    BmpPlanes planes;
    std::puts(read_bmp(path.c_str(), max_pixels, 1, &planes).c_str());
  });
}

}  // namespace korvale::test
