// Writing three planes as a 24-bit uncompressed BMP file with a plain 54-byte
// header (40-byte information header, 3780 pixels per metre, image size and
// palette fields 0), rows stored bottom-up, each padded with zero bytes.
//
// The bytes go to a fresh temporary file next to the target, which is renamed
// over the target only once every write and the close have succeeded. A failed
// write therefore leaves neither a truncated file nor a damaged older one. An
// existing file without any write permission bit is refused rather than
// replaced.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

#include "bmp/bmp.h"

namespace korvale {
namespace {

constexpr std::uint32_t kPixelsPerMetre = 3780;

void put_u16(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put_u32(unsigned char* p, std::uint32_t v) {
  put_u16(p, v);
  put_u16(p + 2, v >> 16);
}

void fill_header(unsigned char* head, int width, int height) {
  const std::uint32_t file_size =
      static_cast<std::uint32_t>(kBmpHeaderBytes + height * bmp_row_bytes(width));
  std::memset(head, 0, kBmpHeaderBytes);
  head[0] = 'B';
  head[1] = 'M';
  put_u32(head + 2, file_size);
  put_u32(head + 10, kBmpHeaderBytes);
  put_u32(head + 14, 40);
  put_u32(head + 18, static_cast<std::uint32_t>(width));
  put_u32(head + 22, static_cast<std::uint32_t>(height));
  put_u16(head + 26, 1);
  put_u16(head + 28, 24);
  put_u32(head + 38, kPixelsPerMetre);
  put_u32(head + 42, kPixelsPerMetre);
}

// Creates a temporary file beside `path` that did not exist before; its name
// goes to *tmp_path. nullptr (with errno set) when none can be created.
std::FILE* create_temporary(const char* path, std::string* tmp_path) {
  std::random_device seed;
  std::minstd_rand next(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%08x", static_cast<unsigned>(next()));
    *tmp_path = std::string(path) + suffix;
    std::FILE* file = std::fopen(tmp_path->c_str(), "wbx");
    if (file != nullptr || errno != EEXIST) return file;
  }
  return nullptr;
}

// Writes the header and the rows (bottom row first). False on any failed write.
bool write_image(std::FILE* file, const ColorPlane& red, const ColorPlane& green,
                 const ColorPlane& blue) {
  unsigned char head[kBmpHeaderBytes];
  fill_header(head, red.w, red.h);
  if (std::fwrite(head, 1, sizeof head, file) != sizeof head) return false;

  unsigned char row[3 * kMaxImageSide + 3] = {};  // the pad bytes stay 0
  const std::size_t row_bytes = static_cast<std::size_t>(bmp_row_bytes(red.w));
  for (int y = red.h - 1; y >= 0; --y) {
    unsigned char* p = row;
    for (int x = 0; x < red.w; ++x, p += 3) {
      p[0] = blue.at(x, y);
      p[1] = green.at(x, y);
      p[2] = red.at(x, y);
    }
    if (std::fwrite(row, 1, row_bytes, file) != row_bytes) return false;
  }
  return std::fflush(file) == 0;
}

// Builds stem + ".bmp" into path[128] and refuses what write_bmp must not
// touch: a path that does not fit, or an existing file that is read-only (the
// rename would replace it as easily as any other, and root writes regardless
// of the bits, so the bits are honoured here). Returns "" or the error text.
std::string output_path(const char* stem, char (&path)[128]) {
  const int path_len = std::snprintf(path, sizeof path, "%s.bmp", stem);
  if (path_len < 0 || path_len >= static_cast<int>(sizeof path)) {
    return std::string(stem) + ".bmp: output path too long (" + std::to_string(path_len) +
           " characters; at most 127)";
  }
  struct stat existing;
  if (stat(path, &existing) == 0 && S_ISREG(existing.st_mode) && (existing.st_mode & 0222) == 0) {
    return std::string(path) + ": existing file is read-only; not replaced";
  }
  return "";
}

std::string cannot_create(const char* path) {
  return std::string(path) + ": cannot create (" + std::strerror(errno) + ")";
}

}  // namespace

std::string probe_bmp_output(const char* stem) {
  char path[128];
  std::string error = output_path(stem, path);
  if (!error.empty()) return error;
  std::string tmp_path;
  std::FILE* file = create_temporary(path, &tmp_path);
  if (file == nullptr) return cannot_create(path);
  std::fclose(file);
  std::remove(tmp_path.c_str());
  return "";
}

std::string write_bmp(const char* stem, const ColorPlane& red, const ColorPlane& green,
                      const ColorPlane& blue) {
  char path[128];
  std::string error = output_path(stem, path);
  if (!error.empty()) return error;
  if (red.w < 1 || red.w > kMaxImageSide || red.h < 1 || red.h > kMaxImageSide ||
      green.w != red.w || green.h != red.h || blue.w != red.w || blue.h != red.h) {
    return std::string(path) + ": cannot write planes of " + std::to_string(red.w) + "x" +
           std::to_string(red.h) + ", " + std::to_string(green.w) + "x" + std::to_string(green.h) +
           " and " + std::to_string(blue.w) + "x" + std::to_string(blue.h) + " pixels";
  }
  image_width = red.w;
  image_height = red.h;

  std::string tmp_path;
  std::FILE* file = create_temporary(path, &tmp_path);
  if (file == nullptr) return cannot_create(path);
  errno = 0;
  const bool written = write_image(file, red, green, blue);
  const int write_errno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    const int cause = written ? errno : write_errno;
    std::remove(tmp_path.c_str());
    return std::string(path) + ": write failed (" +
           (cause != 0 ? std::strerror(cause) : "unknown error") + ")";
  }
  if (std::rename(tmp_path.c_str(), path) != 0) {
    const int cause = errno;
    std::remove(tmp_path.c_str());
    return std::string(path) + ": cannot replace (" + std::strerror(cause) + ")";
  }
  return "";
}

}  // namespace korvale
