// Reading BMP files: read_bmp checks the header and then decodes uncompressed
// rows strip by strip from the file; run-length data is read whole (only the
// bytes the picture needs) and handed to decode_bmp, the decoding path over
// bytes in memory (also the fuzzers' target). Both run the same decoders.
//
// Planes come out column by column, top row first (px[x*h + y]): the stored
// rows are decoded straight into their place in the planes B, G, R (the
// buffer names of the failure messages), bottom-up files flipped on the way. The header check and
// the pixel decoders are in bmp_header.cpp and bmp_decode.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bmp/bmp.h"
#include "bmp/bmp_layout.h"
#include "common/file_kind.h"

namespace korvale {

namespace {

using bmp_detail::BmpLayout;

// The failure line for the file `name`: the file named first (the size
// error stands alone).
std::string failure(const char* name, const std::string& text) {
  if (text == kBmpSizeError) return kBmpSizeError;
  return std::string(name) + ": " + text;
}

std::string not_regular(const char* name, mode_t mode) {
  return std::string(name) + ": is " + file_kind(mode) + ", not a regular file";
}

}  // namespace

std::string bmp_bytes_needed(const unsigned char* head, std::size_t head_len, std::size_t file_len,
                             std::size_t* needed) {
  BmpLayout l;
  std::string error = bmp_detail::check_bmp_layout(head, head_len, file_len, &l);
  if (error.empty()) *needed = l.data_end;
  return error;
}

std::string decode_bmp(const unsigned char* file, std::size_t have, std::size_t file_len,
                       BmpPlanes* out, int threads, std::int64_t max_pixels) {
  BmpLayout l;
  std::string error = bmp_detail::check_bmp_layout(file, have, file_len, &l);
  if (error.empty()) error = pixel_limit_refusal(l.width, l.height, max_pixels);
  if (!error.empty()) return error;
  if (have < l.data_end) return kBmpSizeError;
  ColorPlane b = named_plane(l.width, l.height, "B");
  ColorPlane g = named_plane(l.width, l.height, "G");
  ColorPlane r = named_plane(l.width, l.height, "R");
  WorkerPool pool;
  pool_start(&pool, threads);
  error = bmp_detail::decode_pixels(bmp_detail::PixelSource{file, -1}, l, b, g, r, pool);
  if (!error.empty()) return error;
  *out = BmpPlanes{std::move(r), std::move(g), std::move(b)};
  return "";
}

std::string open_bmp_input(const char* name, int* fd) {
  // Opened without blocking and checked on the open file itself: a FIFO would
  // block the reader for ever and a device has no size to check. A socket
  // cannot be opened at all, so a failed open looks at the name once more to
  // say what it is.
  struct stat st;
  *fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (*fd < 0) {
    const int cause = errno;
    if (stat(name, &st) == 0 && !S_ISREG(st.st_mode)) return not_regular(name, st.st_mode);
    return std::string(name) + ": cannot open (" + std::strerror(cause) + ")";
  }
  std::string error;
  if (fstat(*fd, &st) != 0) {
    error = std::string(name) + ": cannot open (" + std::strerror(errno) + ")";
  } else if (!S_ISREG(st.st_mode)) {
    error = not_regular(name, st.st_mode);
  }
  if (!error.empty()) {
    close(*fd);
    *fd = -1;
  }
  return error;
}

std::string probe_bmp_input(const char* name) {
  int fd = -1;
  std::string error = open_bmp_input(name, &fd);
  if (fd >= 0) close(fd);
  return error;
}

namespace {

// Opens `name` (open_bmp_input) and checks its header against the file's
// real length and the pixel limit, before anything is allocated for it: ""
// with *fd open (the caller closes it), *file_len and *l, or read_bmp's
// failure line with *fd = -1.
std::string open_checked(const char* name, std::int64_t max_pixels, int* fd, std::size_t* file_len,
                         BmpLayout* l) {
  if (std::string error = open_bmp_input(name, fd); !error.empty()) return error;
  const auto fail = [&](const std::string& text) {
    close(*fd);
    *fd = -1;
    return failure(name, text);
  };
  struct stat st;
  if (fstat(*fd, &st) != 0 || st.st_size < 0) return fail("cannot find the file's length");
  *file_len = static_cast<std::size_t>(st.st_size);
  unsigned char head[kBmpProbeBytes];
  const std::size_t head_len = std::min(*file_len, sizeof head);
  if (!bmp_detail::read_exactly(*fd, head, head_len, 0)) {
    if (errno != 0) return fail(std::string("read error (") + std::strerror(errno) + ")");
    return fail(kBmpSizeError);
  }
  std::string error = bmp_detail::check_bmp_layout(head, head_len, *file_len, l);
  if (error.empty()) error = pixel_limit_refusal(l->width, l->height, max_pixels);
  if (!error.empty()) return fail(error);
  return "";
}

}  // namespace

BmpCopy::~BmpCopy() {
  if (fd >= 0) close(fd);
}

bool bmp_copy_open(const char* name, std::int64_t max_pixels, BmpCopy* copy) {
  std::size_t file_len = 0;
  BmpLayout l;
  if (!open_checked(name, max_pixels, &copy->fd, &file_len, &l).empty()) return false;
  // From here the record owns the file, whatever follows. A 24-bit file's
  // stored rows are padded as the written file's are (bmp_row_bytes).
  if (l.coding != bmp_detail::PixelCoding::kBgr24) return false;
  copy->file_len = file_len;
  copy->width = l.width;
  copy->height = l.height;
  copy->top_down = l.top_down;
  copy->pixel_offset = l.pixel_offset;
  return true;
}

const unsigned char* bmp_copy_rows(const BmpCopy& copy, int y0, int count, unsigned char* to,
                                   std::ptrdiff_t* stride) {
  if (copy.fd < 0 || y0 < 0 || count < 1 || y0 + count > copy.height) std::abort();
  const std::size_t row = static_cast<std::size_t>(bmp_row_bytes(copy.width));
  // Picture row y is stored row y of a top-down file, h - 1 - y of a
  // bottom-up one, so the block is stored in one piece either way.
  const int first_stored = copy.top_down ? y0 : copy.height - y0 - count;
  if (!bmp_detail::read_exactly(copy.fd, to, count * row, copy.pixel_offset + first_stored * row)) {
    return nullptr;
  }
  *stride = copy.top_down ? static_cast<std::ptrdiff_t>(row) : -static_cast<std::ptrdiff_t>(row);
  return copy.top_down ? to : to + (count - 1) * row;
}

std::string read_bmp(const char* name, std::int64_t max_pixels, int threads, BmpPlanes* out) {
  int fd = -1;
  std::size_t file_len = 0;
  BmpLayout l;
  std::string error = open_checked(name, max_pixels, &fd, &file_len, &l);
  if (!error.empty()) return error;
  // Closes the file on every path out.
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};

  if (l.coding == bmp_detail::PixelCoding::kRle8 || l.coding == bmp_detail::PixelCoding::kRle4) {
    // Run-length data is decoded from memory: only the headers, palette and
    // pixels are read; whatever follows them stays unread.
    const std::size_t needed = l.data_end;
    Buffer<unsigned char> vin = named_large_buffer<unsigned char>(needed, "vin");
    // A file that shrank since it was measured also ends up here.
    if (!bmp_detail::read_exactly(fd, vin.get(), needed, 0)) return failure(name, kBmpSizeError);
    error = decode_bmp(vin.get(), needed, file_len, out, threads, max_pixels);
    if (!error.empty()) return failure(name, error);
    return "";
  }

  // Uncompressed rows are read strip by strip straight into the planes'
  // decoder: the file is never held whole in memory.
  ColorPlane b = named_plane(l.width, l.height, "B");
  ColorPlane g = named_plane(l.width, l.height, "G");
  ColorPlane r = named_plane(l.width, l.height, "R");
  WorkerPool pool;
  pool_start(&pool, threads);
  error = bmp_detail::decode_pixels(bmp_detail::PixelSource{nullptr, fd}, l, b, g, r, pool);
  if (!error.empty()) return failure(name, error);
  *out = BmpPlanes{std::move(r), std::move(g), std::move(b)};
  return "";
}

}  // namespace korvale
