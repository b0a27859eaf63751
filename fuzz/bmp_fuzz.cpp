// libFuzzer target: the BMP reader's path over arbitrary bytes, as read_bmp
// takes it: the header check sizes the read from the first bytes, then the
// decoder runs over exactly those bytes of the file. Any input must be either
// refused with a one-line error text or decoded into three planes of the
// width and height its header gives, without reading outside the input. The
// whole input is also decoded in one call, which must agree. Pictures are
// held to 2^24 pixels (a smaller limit than the program's, so that each input
// stays quick), which refuses the rest with the pixel-limit line.
//
// The copy of a 24-bit file that keeps its size, from a file: whatever
// bmp_copy_open takes must decode, bmp_copy_write must give the bytes
// write_bmp_file gives for the decoded planes, and bmp_copy_rows must give
// the planes' samples, row block by row block. Its files live in a folder
// made once, in /dev/shm when there is one (flushes cost nothing there).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bmp/bmp.h"

namespace {

constexpr std::int64_t kMaxPixels = std::int64_t{1} << 24;

std::uint32_t le(const uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint32_t{p[i]} << (8 * i);
  return v;
}

// The width and height the header gives: 16-bit fields in a 12-byte
// information header, else 32-bit ones with the height's sign the row order.
void header_size(const uint8_t* data, std::int64_t* w, std::int64_t* h) {
  if (le(data + 14, 4) == 12) {
    *w = le(data + 18, 2);
    *h = le(data + 20, 2);
    return;
  }
  *w = static_cast<std::int32_t>(le(data + 18, 4));
  *h = static_cast<std::int32_t>(le(data + 22, 4));
  if (*h < 0) *h = -*h;
}

void check(const std::string& error, const korvale::BmpPlanes& planes, const uint8_t* data) {
  if (!error.empty()) {
    if (error.find('\n') != std::string::npos) std::abort();  // failures are one line
    return;
  }
  std::int64_t w = 0, h = 0;
  header_size(data, &w, &h);
  const korvale::ColorPlane* all[] = {&planes.red, &planes.green, &planes.blue};
  for (const korvale::ColorPlane* p : all) {
    if (p->w != w || p->h != h || w * h > kMaxPixels) std::abort();
    // Touch the first and last byte so a short plane shows up under ASan.
    volatile unsigned char first = p->px[0];
    volatile unsigned char last = p->px[static_cast<size_t>(p->w) * p->h - 1];
    (void)first;
    (void)last;
  }
}

// The folder of the copy's files, removed with them when the fuzzer ends.
const std::string& work_dir() {
  static const std::string dir = [] {
    std::string pattern =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/bmpfuzzXXXXXX" : "/tmp/bmpfuzzXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  static const bool cleaned = [] {
    return std::atexit([] {
             for (const char* name : {"/in.bmp", "/copy.bmp", "/planes.bmp"})
               unlink((dir + name).c_str());
             rmdir(dir.c_str());
           }) == 0;
  }();
  (void)cleaned;
  return dir;
}

std::vector<char> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// The copy of the input, when bmp_copy_open takes it, against the planes
// decode_bmp gave (decoded: its failure text, "" when it decoded).
void check_copy(const uint8_t* data, size_t size, const std::string& decoded,
                const korvale::BmpPlanes& planes) {
  const std::string in = work_dir() + "/in.bmp";
  const int fd = open(in.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
  korvale::BmpCopy copy;
  if (!korvale::bmp_copy_open(in.c_str(), kMaxPixels, &copy)) return;
  if (!decoded.empty() || copy.width != planes.red.w || copy.height != planes.red.h) std::abort();
  const std::string copied = work_dir() + "/copy.bmp", written = work_dir() + "/planes.bmp";
  if (!korvale::bmp_copy_write(copy, copied.c_str()).empty()) std::abort();
  if (!korvale::write_bmp_file(written.c_str(), planes.red, planes.green, planes.blue).empty())
    std::abort();
  if (file_bytes(copied) != file_bytes(written)) std::abort();

  // Blocks of 7 rows (the last one shorter), each sample against the planes.
  const int w = copy.width, h = copy.height;
  std::vector<unsigned char> block(7 * static_cast<std::size_t>(korvale::bmp_row_bytes(w)));
  for (int y0 = 0; y0 < h; y0 += 7) {
    const int count = std::min(7, h - y0);
    std::ptrdiff_t stride = 0;
    const unsigned char* rows = korvale::bmp_copy_rows(copy, y0, count, block.data(), &stride);
    if (rows == nullptr) std::abort();
    for (int i = 0; i < count; ++i) {
      for (int x = 0; x < w; ++x) {
        const unsigned char* px = rows + i * stride + 3 * x;
        const std::size_t at = static_cast<std::size_t>(x) * h + y0 + i;
        if (px[0] != planes.blue.px[at] || px[1] != planes.green.px[at] ||
            px[2] != planes.red.px[at]) {
          std::abort();
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader's way: only the bytes the header says the picture needs.
  std::size_t needed = 0;
  std::string error =
      korvale::bmp_bytes_needed(data, std::min(size, korvale::kBmpProbeBytes), size, &needed);
  korvale::BmpPlanes planes;
  if (error.empty()) {
    if (needed > size) std::abort();
    // A buffer of exactly that length, so a read past it shows up under ASan.
    const std::vector<uint8_t> read(data, data + needed);
    error = korvale::decode_bmp(read.data(), needed, size, &planes, 1, kMaxPixels);
  }
  check(error, planes, data);
  // Only files whose header says 24 bits a pixel can be copied (the field
  // lies at 24 in a 12-byte information header, else at 28).
  if (size >= 30 && le(data + (le(data + 14, 4) == 12 ? 24 : 28), 2) == 24) {
    check_copy(data, size, error, planes);
  }

  korvale::BmpPlanes whole;
  const std::string whole_error = korvale::decode_bmp(data, size, &whole, 1, kMaxPixels);
  check(whole_error, whole, data);
  if (whole_error != error) std::abort();
  return 0;
}
