// Writing three planes as a 24-bit uncompressed BMP file with a plain 54-byte
// header (40-byte information header, 3780 pixels per metre, image size and
// palette fields 0), rows stored bottom-up, each padded with zero bytes.
//
// The file itself is written by write_output_file (common/output_file.h):
// through a temporary file renamed into place, never a partial file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "bmp/bmp.h"
#include "common/named_alloc.h"
#include "common/output_file.h"
#include "common/row_planes.h"

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

// Writes all n bytes; 0 or the errno of the failed write.
int write_all(int fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t done = write(fd, p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  return 0;
}

// Bytes written between requests that the disk start writing them out.
constexpr std::size_t kWritebackBytes = std::size_t{8} << 20;

// Asks the kernel to start writing bytes [from, from + count) of fd to the
// disk without waiting, so that most of the file is on its way by the time
// the output is flushed. Only a hint: its failure changes nothing.
void start_writeback(int fd, std::size_t from, std::size_t count) {
#if defined(__linux__)
  sync_file_range(fd, static_cast<off_t>(from), static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
  (void)from;
  (void)count;
#endif
}

// Rows of the file built at once: a whole number of 16-row tiles of the
// transpose (common/row_planes.h), up to 64 rows or about 1 MB, so that no row
// falls back to the sample-by-sample copy.
int block_rows_for(std::size_t row_bytes) {
  const std::size_t fit = (std::size_t{1} << 20) / row_bytes;
  return static_cast<int>(std::clamp<std::size_t>(fit / 16 * 16, 16, 64));
}

// Writes the header and the rows (bottom row first), built block_rows at a
// time in `block` (block_rows rows of the file, pad bytes 0); 0 or the errno
// of the first failed write.
int write_image(int fd, const ColorPlane& red, const ColorPlane& green, const ColorPlane& blue,
                unsigned char* block, int block_rows) {
  unsigned char head[kBmpHeaderBytes];
  fill_header(head, red.w, red.h);
  if (int cause = write_all(fd, head, sizeof head); cause != 0) return cause;

  // The planes are stored column by column and the file row by row, so rows
  // are built a block at a time by the tile transpose.
  const std::size_t row_bytes = static_cast<std::size_t>(bmp_row_bytes(red.w));
  const std::size_t h = static_cast<std::size_t>(red.h);
  const unsigned char* const planes[3] = {blue.px.get(), green.px.get(), red.px.get()};
  std::size_t written = sizeof head, flushing = 0;
  for (int first = 0; first < red.h; first += block_rows) {
    const int rows = std::min(block_rows, red.h - first);
    // The block holds file rows first .. first + rows - 1, the bottom row of
    // the picture first: plane rows h - 1 - first down to h - first - rows.
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(row_bytes);
    planes_to_rows(planes, h, h - static_cast<std::size_t>(first + rows), rows, red.w, 3,
                   block + (rows - 1) * stride, -stride);
    if (int cause = write_all(fd, block, static_cast<std::size_t>(rows) * row_bytes); cause != 0) {
      return cause;
    }
    written += static_cast<std::size_t>(rows) * row_bytes;
    if (written - flushing >= kWritebackBytes) {
      start_writeback(fd, flushing, written - flushing);
      flushing = written;
    }
  }
  return 0;
}

// The planes of one write, for the output body.
struct Planes {
  const ColorPlane& red;
  const ColorPlane& green;
  const ColorPlane& blue;
  unsigned char* block;
  int block_rows;
};

int write_planes(int fd, const void* context) {
  const Planes& p = *static_cast<const Planes*>(context);
  return write_image(fd, p.red, p.green, p.blue, p.block, p.block_rows);
}

}  // namespace

std::string probe_bmp_output(const char* stem) {
  return probe_output_file((std::string(stem) + ".bmp").c_str());
}

std::string write_bmp(const char* stem, const ColorPlane& red, const ColorPlane& green,
                      const ColorPlane& blue) {
  return write_bmp_file((std::string(stem) + ".bmp").c_str(), red, green, blue);
}

std::string write_bmp_file(const char* path, const ColorPlane& red, const ColorPlane& green,
                           const ColorPlane& blue) {
  if (red.w < 1 || red.w > kMaxSide || red.h < 1 || red.h > kMaxSide || green.w != red.w ||
      green.h != red.h || blue.w != red.w || blue.h != red.h) {
    return std::string(path) + ": cannot write planes of " + std::to_string(red.w) + "x" +
           std::to_string(red.h) + ", " + std::to_string(green.w) + "x" + std::to_string(green.h) +
           " and " + std::to_string(blue.w) + "x" + std::to_string(blue.h) + " pixels";
  }
  // The row block is had before the output file is begun, so that a failed
  // allocation leaves no temporary file behind.
  const std::size_t row_bytes = static_cast<std::size_t>(bmp_row_bytes(red.w));
  const int block_rows = block_rows_for(row_bytes);
  Buffer<unsigned char> block =
      named_buffer<unsigned char>(static_cast<std::size_t>(block_rows) * row_bytes, "BMPOUTROWS");
  std::memset(block.get(), 0, static_cast<std::size_t>(block_rows) * row_bytes);
  const Planes planes{red, green, blue, block.get(), block_rows};
  return write_output_file(path, write_planes, &planes);
}

}  // namespace korvale
