// BMP through korvale's own reader (the declared size checked against the
// limits first) and into memory: a picture without alpha as the usual
// 24-bit file with the 54-byte header (the bytes write_bmp writes), one with
// alpha as a 32-bit file with a BITMAPV5HEADER and an alpha mask, laid out as
// ImageMagick writes it (bit fields 00FF0000 / 0000FF00 / 000000FF /
// FF000000, sRGB colour space, rows bottom-up). Gray is written as RGB.
#include "bmp/bmp.h"

#include <cstring>

#include "formats/codec.h"

namespace korvale::formats_detail {

namespace {

void put16(std::vector<unsigned char>* b, std::size_t at, unsigned v) {
  (*b)[at] = static_cast<unsigned char>(v);
  (*b)[at + 1] = static_cast<unsigned char>(v >> 8);
}

void put32(std::vector<unsigned char>* b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

bool bmp_declared_size(const unsigned char* d, std::size_t n, std::int64_t* w, std::int64_t* h) {
  if (n < 26) return false;
  auto u32 = [&](std::size_t i) {
    return static_cast<std::uint32_t>(d[i] | d[i + 1] << 8 | d[i + 2] << 16 |
                                      static_cast<std::uint32_t>(d[i + 3]) << 24);
  };
  if (u32(14) == 12) {
    *w = d[18] | d[19] << 8;
    *h = d[20] | d[21] << 8;
  } else {
    *w = static_cast<std::int32_t>(u32(18));
    *h = static_cast<std::int32_t>(u32(22));
    if (*h < 0) *h = -*h;
  }
  return true;
}

std::string decode_bmp_picture(const unsigned char* data, std::size_t len, const ReadSettings& s,
                               Picture* out) {
  std::int64_t w = 0, h = 0;
  if (bmp_declared_size(data, len, &w, &h) && w > 0 && h > 0) {
    if (std::string e = check_size(w, h, s.max_pixels); !e.empty()) return e;
  }
  BmpPlanes planes;
  if (std::string e = decode_bmp(data, len, &planes, s.threads); !e.empty()) return e;
  out->w = planes.red.w;
  out->h = planes.red.h;
  out->bits = 8;
  out->colors = 3;
  out->alpha = false;
  out->planes.clear();
  out->planes.push_back(std::move(planes.red));
  out->planes.push_back(std::move(planes.green));
  out->planes.push_back(std::move(planes.blue));
  return "";
}

std::string encode_bmp(const Picture& p, std::vector<unsigned char>* bytes) {
  const bool alpha = p.alpha;
  const std::size_t info = alpha ? 124 : 40;  // BITMAPV5HEADER or BITMAPINFOHEADER
  const std::size_t offset = 14 + info;
  const std::size_t row = alpha ? std::size_t{4} * p.w : (std::size_t{3} * p.w + 3) / 4 * 4;
  const std::size_t data = row * p.h;
  if (offset + data > 0xffffffffu) return "BMP: the picture is too large for a BMP file";
  bytes->assign(offset + data, 0);
  std::vector<unsigned char>& b = *bytes;
  b[0] = 'B';
  b[1] = 'M';
  put32(&b, 2, static_cast<std::uint32_t>(offset + data));
  put32(&b, 10, static_cast<std::uint32_t>(offset));
  put32(&b, 14, static_cast<std::uint32_t>(info));
  put32(&b, 18, static_cast<std::uint32_t>(p.w));
  put32(&b, 22, static_cast<std::uint32_t>(p.h));  // positive: bottom row first
  put16(&b, 26, 1);
  put16(&b, 28, alpha ? 32 : 24);
  if (alpha) {
    put32(&b, 30, 3);  // BI_BITFIELDS
    put32(&b, 34, static_cast<std::uint32_t>(data));
    put32(&b, 54, 0x00ff0000u);      // red mask
    put32(&b, 58, 0x0000ff00u);      // green
    put32(&b, 62, 0x000000ffu);      // blue
    put32(&b, 66, 0xff000000u);      // alpha
    std::memcpy(&b[70], "BGRs", 4);  // LCS_sRGB
    put32(&b, 122, 4);               // LCS_GM_IMAGES
  } else {
    put32(&b, 38, 3780);  // 96 dpi, as write_bmp
    put32(&b, 42, 3780);
  }
  const int channels = alpha ? 4 : 3;
  std::vector<unsigned char> rgb(static_cast<std::size_t>(p.w) * channels);
  for (int y = 0; y < p.h; ++y) {
    load_row8(p, y, channels, rgb.data());
    unsigned char* out = &b[offset + row * static_cast<std::size_t>(p.h - 1 - y)];
    for (int x = 0; x < p.w; ++x, out += channels) {
      const unsigned char* in = &rgb[static_cast<std::size_t>(x) * channels];
      out[0] = in[2];  // blue, green, red[, alpha]
      out[1] = in[1];
      out[2] = in[0];
      if (alpha) out[3] = in[3];
    }
  }
  return "";
}

}  // namespace korvale::formats_detail
