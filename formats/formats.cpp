// The formats library's shared part: recognising a file by its signature,
// reading a file into memory, choosing the output format by extension, the
// dispatch to each format's coder, and the helpers they share (limits, plane
// allocation and rows, EXIF Orientation, output buffers).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "bmp/bmp.h"
#include "common/named_alloc.h"
#include "common/row_planes.h"
#include "formats/codec.h"

namespace korvale {

using namespace formats_detail;

namespace {

// Plane names for the named-buffer failure message, by channel count.
const char* plane_name(int colors, int c) {
  static const char* const kRgb[] = {"R", "G", "B", "A"};
  static const char* const kGray[] = {"Y", "A"};
  return colors == 1 ? kGray[c] : kRgb[c];
}

// The format whose signature starts data, or false.
bool sniff(const unsigned char* d, std::size_t n, ImageFormat* f) {
  static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (n >= 8 && std::memcmp(d, kPng, 8) == 0)
    *f = ImageFormat::png;
  else if (n >= 3 && d[0] == 0xff && d[1] == 0xd8 && d[2] == 0xff)
    *f = ImageFormat::jpeg;
  else if (n >= 4 && ((d[0] == 'I' && d[1] == 'I' && (d[2] == 42 || d[2] == 43) && d[3] == 0) ||
                      (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && (d[3] == 42 || d[3] == 43))))
    *f = ImageFormat::tiff;
  else if (n >= 12 && std::memcmp(d, "RIFF", 4) == 0 && std::memcmp(d + 8, "WEBP", 4) == 0)
    *f = ImageFormat::webp;
  else if (n >= 2 && d[0] == 'B' && d[1] == 'M')
    *f = ImageFormat::bmp;
  else
    return false;
  return true;
}

const char kUnknownKind[] =
    "not a picture korvale reads (no BMP, PNG, JPEG, TIFF or WebP signature)";

std::string missing_library(ImageFormat f) {
  return format("a %s file, but korvale was built without %s", format_name(f), format_library(f));
}

template <class T>
void rotate_planes(std::vector<Plane<T>>* planes, int colors, int o) {
  for (std::size_t c = 0; c < planes->size(); ++c) {
    const Plane<T>& src = (*planes)[c];
    const int w = src.w, h = src.h;
    const bool swap = o >= 5;
    Plane<T> dst =
        named_plane<T>(swap ? h : w, swap ? w : h, plane_name(colors, static_cast<int>(c)));
    // Displayed pixel (x, y) comes from stored pixel (sx, sy).
    for (int x = 0; x < dst.w; ++x) {
      for (int y = 0; y < dst.h; ++y) {
        int sx = x, sy = y;
        switch (o) {
          case 2:  // mirrored left to right
            sx = w - 1 - x;
            break;
          case 3:  // turned half round
            sx = w - 1 - x;
            sy = h - 1 - y;
            break;
          case 4:  // mirrored top to bottom
            sy = h - 1 - y;
            break;
          case 5:  // transposed
            sx = y;
            sy = x;
            break;
          case 6:  // turned a quarter clockwise
            sx = y;
            sy = h - 1 - x;
            break;
          case 7:  // transversed
            sx = w - 1 - y;
            sy = h - 1 - x;
            break;
          case 8:  // turned a quarter anticlockwise
            sx = w - 1 - y;
            sy = x;
            break;
          default:
            break;
        }
        dst.at(x, y) = src.at(sx, sy);
      }
    }
    (*planes)[c] = std::move(dst);
  }
}

// The EXIF structure's byte order and the offset of IFD0's Orientation value
// (a SHORT), or false.
bool find_orientation(const std::vector<unsigned char>& e, bool* big, std::size_t* at) {
  const std::size_t n = e.size();
  if (n < 8) return false;
  if (e[0] == 'I' && e[1] == 'I')
    *big = false;
  else if (e[0] == 'M' && e[1] == 'M')
    *big = true;
  else
    return false;
  auto u16 = [&](std::size_t i) -> unsigned {
    return *big ? (e[i] << 8 | e[i + 1]) : (e[i] | e[i + 1] << 8);
  };
  auto u32 = [&](std::size_t i) -> std::uint32_t {
    return *big ? (std::uint32_t{u16(i)} << 16 | u16(i + 2))
                : (u16(i) | std::uint32_t{u16(i + 2)} << 16);
  };
  if (u16(2) != 42) return false;
  const std::uint32_t ifd = u32(4);
  if (ifd > n || n - ifd < 2) return false;
  const unsigned count = u16(ifd);
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t entry = ifd + 2 + std::size_t{12} * i;
    if (entry + 12 > n) return false;
    if (u16(entry) == 0x0112 && u16(entry + 2) == 3 && u32(entry + 4) == 1) {
      *at = entry + 8;
      return true;
    }
  }
  return false;
}

}  // namespace

const char* format_name(ImageFormat f) {
  switch (f) {
    case ImageFormat::bmp:
      return "BMP";
    case ImageFormat::png:
      return "PNG";
    case ImageFormat::jpeg:
      return "JPEG";
    case ImageFormat::tiff:
      return "TIFF";
    case ImageFormat::webp:
      return "WebP";
  }
  return "?";
}

const char* format_library(ImageFormat f) {
  switch (f) {
    case ImageFormat::bmp:
      return "";
    case ImageFormat::png:
      return "libpng";
    case ImageFormat::jpeg:
      return "libjpeg";
    case ImageFormat::tiff:
      return "libtiff";
    case ImageFormat::webp:
      return "libwebp";
  }
  return "";
}

bool format_available(ImageFormat f) {
  switch (f) {
    case ImageFormat::bmp:
      return true;
#ifdef KORVALE_HAVE_PNG
    case ImageFormat::png:
      return true;
#endif
#ifdef KORVALE_HAVE_JPEG
    case ImageFormat::jpeg:
      return true;
#endif
#ifdef KORVALE_HAVE_TIFF
    case ImageFormat::tiff:
      return true;
#endif
#ifdef KORVALE_HAVE_WEBP
    case ImageFormat::webp:
      return true;
#endif
    default:
      return false;
  }
}

namespace {

// Decodes a picture of the recognised format f from src (a file image for
// BMP and WebP) and turns it upright as the settings say.
std::string decode_format(ImageFormat f, const Source& src, const ReadSettings& s, Picture* out) {
  if (!format_available(f)) return missing_library(f);
  Picture p;
  int tiff_orientation = 1;
  std::string error;
  switch (f) {
    case ImageFormat::bmp:
      error = decode_bmp_picture(src.data, src.len, s, &p);
      break;
#ifdef KORVALE_HAVE_PNG
    case ImageFormat::png:
      error = decode_png(src, s, &p);
      break;
#endif
#ifdef KORVALE_HAVE_JPEG
    case ImageFormat::jpeg:
      error = decode_jpeg(src, s, &p);
      break;
#endif
#ifdef KORVALE_HAVE_TIFF
    case ImageFormat::tiff:
      error = decode_tiff(src, s, &p, &tiff_orientation);
      break;
#endif
#ifdef KORVALE_HAVE_WEBP
    case ImageFormat::webp:
      error = decode_webp(src.data, src.len, s, &p);
      break;
#endif
    default:
      return missing_library(f);
  }
  if (!error.empty()) return error;
  if (s.apply_orientation) {
    const int o = f == ImageFormat::tiff ? tiff_orientation : exif_orientation(p.exif);
    apply_orientation(&p, o);
    exif_reset_orientation(&p.exif);
  }
  *out = std::move(p);
  return "";
}

}  // namespace

std::string decode_picture(const unsigned char* data, std::size_t len, const ReadSettings& s,
                           Picture* out) {
  ImageFormat f;
  if (!sniff(data, len, &f)) return kUnknownKind;
  return decode_format(f, Source{data, -1, len}, s, out);
}

namespace {

// The largest file read for pictures of at most max_pixels pixels: none
// needs more than 8 bytes a pixel (16-bit RGBA, uncompressed) plus room for
// metadata and further pages.
std::int64_t file_cap(std::int64_t max_pixels) {
  return limit_bytes(max_pixels, std::int64_t{256} << 20);
}

}  // namespace

bool open_bmp_copy(const char* path, const ReadSettings& s, BmpCopy* copy) {
  return bmp_copy_open(path, s.max_pixels, copy) &&
         copy->file_len <= static_cast<std::uint64_t>(file_cap(s.max_pixels)) &&
         copy->file_len <= SIZE_MAX / 2;
}

std::string read_picture(const char* path, const ReadSettings& s, Picture* out) {
  int fd = -1;
  if (std::string e = open_bmp_input(path, &fd); !e.empty()) return e;
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  auto fail = [&](const std::string& why) { return std::string(path) + ": " + why; };

  struct stat st;
  if (fstat(fd, &st) != 0) return fail(std::string("cannot open (") + std::strerror(errno) + ")");
  const std::int64_t cap = file_cap(s.max_pixels);
  if (st.st_size > cap || static_cast<std::uint64_t>(st.st_size) > SIZE_MAX / 2) {
    return fail(
        format("a file of %lld bytes is larger than any picture of at most %lld pixels "
               "needs (see -maxpixels N)",
               static_cast<long long>(st.st_size), static_cast<long long>(s.max_pixels)));
  }
  const std::size_t len = static_cast<std::size_t>(st.st_size);

  unsigned char head[kBmpProbeBytes];
  const ssize_t got = pread(fd, head, sizeof head, 0);
  if (got < 0) return fail(std::string("read error (") + std::strerror(errno) + ")");
  ImageFormat f;
  if (!sniff(head, static_cast<std::size_t>(got), &f)) return fail(kUnknownKind);
  if (!format_available(f)) return fail(missing_library(f));
  if (f == ImageFormat::bmp) {
    // read_bmp checks the sides and the pixel limit from the header before
    // allocating, with the BMP reader's own messages.
    BmpPlanes planes;
    if (std::string e = read_bmp(path, s.max_pixels, s.threads, &planes); !e.empty()) return e;
    Picture p;
    p.w = planes.red.w;
    p.h = planes.red.h;
    p.planes.push_back(std::move(planes.red));
    p.planes.push_back(std::move(planes.green));
    p.planes.push_back(std::move(planes.blue));
    *out = std::move(p);
    return "";
  }
  if (f != ImageFormat::webp) {
    // PNG, JPEG and TIFF are read from the file as their decoders go: the
    // file is never held whole in memory.
    if (std::string e = decode_format(f, Source{nullptr, fd, len}, s, out); !e.empty())
      return fail(e);
    return "";
  }

  Buffer<unsigned char> bytes = named_large_buffer<unsigned char>(len, "vin");
  std::size_t have = 0;
  while (have < len) {
    const ssize_t n = pread(fd, bytes.get() + have, len - have, static_cast<off_t>(have));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(std::string("read error (") + std::strerror(errno) + ")");
    if (n == 0) return fail("the file shrank while it was read");
    have += static_cast<std::size_t>(n);
  }
  if (std::string e = decode_format(f, Source{bytes.get(), -1, len}, s, out); !e.empty())
    return fail(e);
  return "";
}

std::string output_format_for_path(const char* path, ImageFormat* out) {
  static const char kKnown[] = "(korvale writes .bmp, .png, .jpg, .jpeg, .tif, .tiff, .webp)";
  const char* slash = std::strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  const char* dot = std::strrchr(base, '.');
  if (dot == nullptr || dot[1] == '\0')
    return std::string(path) + ": no extension to choose the output format by " + kKnown;
  std::string ext(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ImageFormat f;
  if (ext == "bmp")
    f = ImageFormat::bmp;
  else if (ext == "png")
    f = ImageFormat::png;
  else if (ext == "jpg" || ext == "jpeg")
    f = ImageFormat::jpeg;
  else if (ext == "tif" || ext == "tiff")
    f = ImageFormat::tiff;
  else if (ext == "webp")
    f = ImageFormat::webp;
  else
    return std::string(path) + ": unknown output extension \"" + dot + "\" " + kKnown;
  if (!format_available(f)) {
    return format("%s: %s output needs %s, which korvale was built without", path, format_name(f),
                  format_library(f));
  }
  *out = f;
  return "";
}

std::string encode_picture(ImageFormat f, const Picture& p, const WriteSettings& s,
                           std::vector<unsigned char>* bytes) {
  // Programming errors in the record are refused rather than trusted.
  const std::size_t n = static_cast<std::size_t>(p.channels());
  const bool wide = p.bits == 16;
  if ((p.bits != 8 && !wide) || (p.colors != 1 && p.colors != 3) || p.w < 1 || p.h < 1 ||
      (wide ? p.wide.size() : p.planes.size()) != n)
    return "the picture to write is malformed (planes, depth or channels)";
  for (std::size_t c = 0; c < n; ++c) {
    const int w = wide ? p.wide[c].w : p.planes[c].w, h = wide ? p.wide[c].h : p.planes[c].h;
    if (w != p.w || h != p.h) return "the picture to write has planes of different sizes";
  }
  if (s.quality < 1 || s.quality > 100) return format("quality %d is not within 1..100", s.quality);
  if (!format_available(f)) {
    return format("%s output needs %s, which korvale was built without", format_name(f),
                  format_library(f));
  }
  bytes->clear();
  switch (f) {
    case ImageFormat::bmp:
      return encode_bmp(p, bytes);
#ifdef KORVALE_HAVE_PNG
    case ImageFormat::png:
      return encode_png(p, s, bytes);
#endif
#ifdef KORVALE_HAVE_JPEG
    case ImageFormat::jpeg:
      return encode_jpeg(p, s, bytes);
#endif
#ifdef KORVALE_HAVE_TIFF
    case ImageFormat::tiff:
      return encode_tiff(p, s, bytes);
#endif
#ifdef KORVALE_HAVE_WEBP
    case ImageFormat::webp:
      return encode_webp(p, s, bytes);
#endif
    default:
      return "unreachable";
  }
}

namespace formats_detail {

long long source_read(const Source& src, std::size_t offset, void* dst, std::size_t n) {
  if (offset >= src.len) return 0;
  n = std::min(n, src.len - offset);
  if (src.data != nullptr) {
    std::memcpy(dst, src.data + offset, n);
    return static_cast<long long>(n);
  }
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = pread(src.fd, static_cast<unsigned char*>(dst) + done, n - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;  // the file has shrunk
    done += static_cast<std::size_t>(got);
  }
  return static_cast<long long>(done);
}

bool window_read(SourceWindow* w, std::size_t offset, void* dst, std::size_t n) {
  const Source& src = *w->src;
  if (offset > src.len || n > src.len - offset) return false;
  if (src.data != nullptr) {
    std::memcpy(dst, src.data + offset, n);
    return true;
  }
  constexpr std::size_t kWindow = std::size_t{1} << 16;
  if (n >= kWindow) {
    return source_read(src, offset, dst, n) == static_cast<long long>(n);
  }
  if (offset < w->start || offset + n > w->end) {
    if (w->buffer == nullptr) {
      w->buffer = static_cast<unsigned char*>(std::malloc(kWindow));
      if (w->buffer == nullptr) return false;
    }
    const long long got = source_read(src, offset, w->buffer, kWindow);
    if (got < 0) return false;
    w->start = offset;
    w->end = offset + static_cast<std::size_t>(got);
    if (offset + n > w->end) return false;
  }
  std::memcpy(dst, w->buffer + (offset - w->start), n);
  return true;
}

void window_free(SourceWindow* w) {
  std::free(w->buffer);
  w->buffer = nullptr;
  w->start = w->end = 0;
}

std::string check_size(std::int64_t w, std::int64_t h, std::int64_t max_pixels) {
  if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide) {
    return format("a %lld x %lld picture: each side must be 1..%d", static_cast<long long>(w),
                  static_cast<long long>(h), kMaxSide);
  }
  return pixel_limit_refusal(w, h, max_pixels);
}

std::int64_t limit_bytes(std::int64_t max_pixels, std::int64_t extra) {
  const std::int64_t top = std::numeric_limits<std::int64_t>::max();
  const std::int64_t pixels = std::max<std::int64_t>(max_pixels, 1);
  return pixels > (top - extra) / 8 ? top : pixels * 8 + extra;
}

void allocate_planes(Picture* out, int w, int h, int bits, int colors, bool alpha) {
  out->w = w;
  out->h = h;
  out->bits = bits;
  out->colors = colors;
  out->alpha = alpha;
  out->planes.clear();
  out->wide.clear();
  for (int c = 0; c < out->channels(); ++c) {
    if (bits == 16)
      out->wide.push_back(named_plane<std::uint16_t>(w, h, plane_name(colors, c)));
    else
      out->planes.push_back(named_plane<unsigned char>(w, h, plane_name(colors, c)));
  }
}

namespace {

// Whether 16-bit values must change byte order between big-endian rows and
// the planes.
constexpr bool kSwapBigEndian = std::endian::native == std::endian::little;

// The samples of the (at most four) planes.
template <class T>
std::array<T*, 4> plane_pointers(const std::vector<Plane<T>>& planes) {
  std::array<T*, 4> out{};
  for (std::size_t c = 0; c < planes.size() && c < out.size(); ++c) out[c] = planes[c].px.get();
  return out;
}
template <class T>
std::array<const T*, 4> const_pointers(const std::array<T*, 4>& in) {
  return {in[0], in[1], in[2], in[3]};
}

}  // namespace

void store_rows(Picture* p, int y0, int rows, const unsigned char* first, std::size_t stride,
                bool big_endian) {
  const int n = p->channels();
  const std::size_t h = static_cast<std::size_t>(p->h);
  if (p->bits == 16) {
    const std::array<std::uint16_t*, 4> planes = plane_pointers(p->wide);
    rows_to_planes16(reinterpret_cast<const std::uint16_t*>(first),
                     static_cast<std::ptrdiff_t>(stride / 2), rows, p->w, n, planes.data(), h,
                     static_cast<std::size_t>(y0), big_endian && kSwapBigEndian);
  } else {
    const std::array<unsigned char*, 4> planes = plane_pointers(p->planes);
    rows_to_planes(first, static_cast<std::ptrdiff_t>(stride), rows, p->w, n, planes.data(), h,
                   static_cast<std::size_t>(y0));
  }
}

void load_rows8(const Picture& p, int y0, int rows, int channels, unsigned char* first,
                std::size_t stride) {
  const int n = p.channels();
  if (p.bits == 8 && channels <= n && (p.colors == 3 || channels <= 2)) {
    // The first `channels` planes as they are.
    const std::array<const unsigned char*, 4> from = const_pointers(plane_pointers(p.planes));
    planes_to_rows(from.data(), static_cast<std::size_t>(p.h), static_cast<std::size_t>(y0), rows,
                   p.w, channels, first, static_cast<std::ptrdiff_t>(stride));
    return;
  }
  for (int k = 0; k < rows; ++k) {
    const int y = y0 + k;
    unsigned char* row = first + static_cast<std::size_t>(k) * stride;
    auto sample = [&](int c, int x) -> unsigned char {
      return p.bits == 16 ? narrow16(p.wide[c].at(x, y)) : p.planes[c].at(x, y);
    };
    for (int x = 0; x < p.w; ++x) {
      unsigned char* out = row + static_cast<std::size_t>(x) * channels;
      if (p.colors == 1 && channels <= 2) {  // gray, with or without alpha
        out[0] = sample(0, x);
        if (channels == 2) out[1] = p.alpha ? sample(1, x) : 255;
      } else if (p.colors == 3) {  // RGB, alpha dropped, kept or made opaque
        for (int c = 0; c < channels; ++c) out[c] = c < n ? sample(c, x) : 255;
      } else {  // gray spread over RGB
        out[0] = out[1] = out[2] = sample(0, x);
        if (channels == 4) out[3] = p.alpha ? sample(1, x) : 255;
      }
    }
  }
}

void load_rows(const Picture& p, int y0, int rows, unsigned char* first, std::size_t stride) {
  const int n = p.channels();
  const std::size_t h = static_cast<std::size_t>(p.h);
  if (p.bits == 16) {
    const std::array<const std::uint16_t*, 4> from = const_pointers(plane_pointers(p.wide));
    planes_to_rows16(from.data(), h, static_cast<std::size_t>(y0), rows, p.w, n,
                     reinterpret_cast<std::uint16_t*>(first),
                     static_cast<std::ptrdiff_t>(stride / 2), false);
  } else {
    const std::array<const unsigned char*, 4> from = const_pointers(plane_pointers(p.planes));
    planes_to_rows(from.data(), h, static_cast<std::size_t>(y0), rows, p.w, n, first,
                   static_cast<std::ptrdiff_t>(stride));
  }
}

int exif_orientation(const std::vector<unsigned char>& exif) {
  bool big = false;
  std::size_t at = 0;
  if (!find_orientation(exif, &big, &at)) return 1;
  const unsigned v = big ? (exif[at] << 8 | exif[at + 1]) : (exif[at] | exif[at + 1] << 8);
  return v >= 1 && v <= 8 ? static_cast<int>(v) : 1;
}

void exif_reset_orientation(std::vector<unsigned char>* exif) {
  bool big = false;
  std::size_t at = 0;
  if (!find_orientation(*exif, &big, &at)) return;
  (*exif)[at] = big ? 0 : 1;
  (*exif)[at + 1] = big ? 1 : 0;
}

void apply_orientation(Picture* p, int orientation) {
  if (orientation < 2 || orientation > 8) return;
  if (p->bits == 16)
    rotate_planes(&p->wide, p->colors, orientation);
  else
    rotate_planes(&p->planes, p->colors, orientation);
  if (orientation >= 5) std::swap(p->w, p->h);
}

void strip_exif_prefix(std::vector<unsigned char>* exif) {
  if (exif->size() >= 6 && std::memcmp(exif->data(), "Exif\0\0", 6) == 0)
    exif->erase(exif->begin(), exif->begin() + 6);
}

void sink_append(ByteSink* sink, const void* bytes, std::size_t n) {
  if (n == 0) return;
  if (n > sink->capacity - sink->size) {
    std::size_t cap = std::max<std::size_t>(sink->capacity * 2, 1 << 16);
    while (cap - sink->size < n) cap *= 2;
    void* grown = std::realloc(sink->data, cap);
    if (grown == nullptr) die_no_memory("OUT");
    sink->data = static_cast<unsigned char*>(grown);
    sink->capacity = cap;
  }
  std::memcpy(sink->data + sink->size, bytes, n);
  sink->size += n;
}

void sink_finish(ByteSink* sink, std::vector<unsigned char>* out) {
  out->assign(sink->data, sink->data + sink->size);
  sink_free(sink);
}

void sink_free(ByteSink* sink) {
  std::free(sink->data);
  *sink = ByteSink{};
}

}  // namespace formats_detail

}  // namespace korvale
