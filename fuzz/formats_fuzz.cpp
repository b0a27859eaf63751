// libFuzzer target: the format-detecting reader over arbitrary bytes. Any
// input must be refused with a one-line text or decoded into planes of the
// size the picture says (all channels, one depth), without reading outside
// the input. The same bytes read as a file (through the readers that decode
// straight from the file: BMP strips, libjpeg's source refilled from the
// file, PNG's window, libtiff's callbacks), and on two threads (BMP rows in
// blocks, a large JPEG in two parts), must be refused too, or give the same
// picture. A small decoded picture must also survive PNG and back
// exactly, metadata included.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/formats.h"

namespace {

// Whether two decoded pictures are the same, metadata included.
bool same_picture(const korvale::Picture& a, const korvale::Picture& b) {
  if (a.w != b.w || a.h != b.h || a.bits != b.bits || a.colors != b.colors || a.alpha != b.alpha ||
      a.icc != b.icc || a.exif != b.exif || a.xmp != b.xmp || a.planes.size() != b.planes.size() ||
      a.wide.size() != b.wide.size()) {
    return false;
  }
  const std::size_t n = static_cast<std::size_t>(a.w) * a.h;
  for (std::size_t c = 0; c < a.planes.size(); ++c) {
    for (std::size_t i = 0; i < n; ++i) {
      if (a.planes[c].px[i] != b.planes[c].px[i]) return false;
    }
  }
  for (std::size_t c = 0; c < a.wide.size(); ++c) {
    for (std::size_t i = 0; i < n; ++i) {
      if (a.wide[c].px[i] != b.wide[c].px[i]) return false;
    }
  }
  return true;
}

// Reads the bytes as a file (an anonymous in-memory one) into *out; the
// reader's result, or "" with *out untouched when no such file can be made.
std::string read_as_file(const uint8_t* data, size_t size, const korvale::ReadSettings& s,
                         korvale::Picture* out, bool* made) {
  *made = false;
  const int fd = memfd_create("formats_fuzz", 0);
  if (fd < 0) return "";
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  std::string error;
  if (done == size) {
    *made = true;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    error = korvale::read_picture(path.c_str(), s, out);
  }
  close(fd);
  return error;
}

template <class T>
void check_planes(const std::vector<korvale::Plane<T>>& planes, const korvale::Picture& p) {
  if (planes.size() != static_cast<std::size_t>(p.channels())) std::abort();
  for (const korvale::Plane<T>& plane : planes) {
    if (plane.w != p.w || plane.h != p.h) std::abort();
    // Touch the first and last sample so a short plane shows up under ASan.
    volatile T first = plane.px[0];
    volatile T last = plane.px[static_cast<std::size_t>(p.w) * p.h - 1];
    (void)first;
    (void)last;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's length, so a read past it shows up.
  const std::vector<uint8_t> bytes(data, data + size);
  korvale::ReadSettings s;
  s.max_pixels = 1 << 22;  // keeps each run small; the limit itself is checked first
  korvale::Picture p;
  const std::string error = korvale::decode_picture(bytes.data(), bytes.size(), s, &p);
  korvale::Picture from_file;
  bool made = false;
  korvale::ReadSettings two = s;
  two.threads = 2;
  const std::string file_error = read_as_file(data, size, two, &from_file, &made);
  if (made) {
    if (error.empty() != file_error.empty()) std::abort();
    if (file_error.find('\n') != std::string::npos) std::abort();
    if (error.empty() && !same_picture(p, from_file)) std::abort();
  }
  if (!error.empty()) {
    if (error.find('\n') != std::string::npos) std::abort();  // failures are one line
    return 0;
  }
  if (p.w < 1 || p.h < 1 || p.w > korvale::kMaxSide || p.h > korvale::kMaxSide) std::abort();
  if (static_cast<std::int64_t>(p.w) * p.h > s.max_pixels) std::abort();
  if ((p.colors != 1 && p.colors != 3) || (p.bits != 8 && p.bits != 16)) std::abort();
  if (p.bits == 16) {
    if (!p.planes.empty()) std::abort();
    check_planes(p.wide, p);
  } else {
    if (!p.wide.empty()) std::abort();
    check_planes(p.planes, p);
  }

  if (static_cast<std::int64_t>(p.w) * p.h > 4096) return 0;
  std::vector<unsigned char> png;
  if (!korvale::encode_picture(korvale::ImageFormat::png, p, korvale::WriteSettings{}, &png)
           .empty())
    return 0;  // e.g. a profile libpng will not take is dropped, not an error
  korvale::Picture back;
  if (!korvale::decode_picture(png.data(), png.size(), s, &back).empty()) std::abort();
  if (back.w != p.w || back.h != p.h || back.bits != p.bits || back.channels() != p.channels())
    std::abort();
  for (int c = 0; c < p.channels(); ++c) {
    for (int x = 0; x < p.w; ++x) {
      for (int y = 0; y < p.h; ++y) {
        const bool same = p.bits == 16 ? back.wide[c].at(x, y) == p.wide[c].at(x, y)
                                       : back.planes[c].at(x, y) == p.planes[c].at(x, y);
        if (!same) std::abort();
      }
    }
  }
  return 0;
}
