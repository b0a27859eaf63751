// The BMP reader's header check: every field that decides where and how the
// pixels are read is checked here, against the other fields and against the
// file's length, before anything is allocated.
//
// File header (14 bytes, little-endian):
//
//   offset size  field
//        0    2  signature "BM"
//        2    4  declared file size S (compared as signed, printed unsigned)
//        6    4  two reserved 16-bit words (ignored)
//       10    4  offset of the pixel data
//
// Information header, from byte 14; its first 4 bytes give its size:
//
//   12 bytes (OS/2 1.x): 16-bit width and height (rows always bottom-up),
//       planes, bits per pixel; no compression; palette entries of 3 bytes
//       (blue, green, red), 2^bits of them.
//   16 bytes (short OS/2 2.x): 32-bit width and height, planes, bits; no
//       compression; palette entries of 4 bytes, 2^bits of them.
//   40, 52, 56, 108, 124 bytes (Windows) and 64 bytes (OS/2 2.x): 32-bit
//       width (18) and height (22; negative: rows top-down), planes (26), bits
//       (28), compression (30), colours used (46); palette entries of 4
//       bytes. From 52 bytes on, the red, green and blue masks are at 54, 58
//       and 62 inside the header; a 40-byte header with BI_BITFIELDS (or
//       BI_ALPHABITFIELDS) is followed by 3 (or 4) masks at the same bytes.
//       Compression 3 and 4 mean Huffman 1D and RLE24 in a 64-byte header.
//
// The palette follows the headers (and masks); the pixels start at the
// header's offset, which may leave a gap after the palette.
#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdio>

#include "bmp/bmp.h"
#include "bmp/bmp_layout.h"

namespace korvale::bmp_detail {
namespace {

// Compression field values.
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiRle8 = 1;
constexpr std::uint32_t kBiRle4 = 2;
constexpr std::uint32_t kBiBitfields = 3;  // Huffman 1D in a 64-byte OS/2 header
constexpr std::uint32_t kBiJpeg = 4;       // RLE24 in a 64-byte OS/2 header
constexpr std::uint32_t kBiPng = 5;
constexpr std::uint32_t kBiAlphaBitfields = 6;

// The smallest file that can hold both headers: an OS/2 1.x file.
constexpr std::size_t kSmallestHeaders = 14 + 12;

std::uint32_t u16_at(const unsigned char* p) {
  return p[0] | (std::uint32_t{p[1]} << 8);
}

std::uint32_t u32_at(const unsigned char* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

std::int32_t s32_at(const unsigned char* p) {
  return static_cast<std::int32_t>(u32_at(p));
}

bool known_info_size(std::uint32_t size) {
  for (std::uint32_t known : {12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u})
    if (size == known) return true;
  return false;
}

// The refusal for a compression value that is never decoded, or "".
std::string unreadable_compression(std::uint32_t compression, bool os2_header) {
  if (os2_header && compression == kBiBitfields) return "OS/2 Huffman 1D compression is not read";
  if (os2_header && compression == kBiJpeg) return "OS/2 RLE24 compression is not read";
  if (compression == kBiJpeg) return "JPEG data inside a BMP file is not read";
  if (compression == kBiPng) return "PNG data inside a BMP file is not read";
  if (compression > kBiAlphaBitfields) {
    return format("compression method %" PRIu32 " is not known", compression);
  }
  return "";
}

// The refusal when `bits` cannot go with `compression`, or "".
std::string unreadable_bits(std::uint32_t bits, std::uint32_t compression) {
  switch (bits) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    default:
      return format("%" PRIu32 " bits per pixel; only 1, 2, 4, 8, 16, 24 and 32 are read", bits);
  }
  if (compression == kBiRle8 && bits != 8) {
    return format("RLE8 compression with %" PRIu32 " bits per pixel; it needs 8", bits);
  }
  if (compression == kBiRle4 && bits != 4) {
    return format("RLE4 compression with %" PRIu32 " bits per pixel; it needs 4", bits);
  }
  if ((compression == kBiBitfields || compression == kBiAlphaBitfields) && bits != 16 &&
      bits != 32) {
    return format("colour masks (compression %" PRIu32 ") with %" PRIu32
                  " bits per pixel; they need 16 or 32",
                  compression, bits);
  }
  return "";
}

// Fills *out from `mask` for a pixel of `bits` bits; the refusal when the mask
// is not one run of bits inside the pixel.
std::string channel_mask(const char* colour, std::uint32_t mask, std::uint32_t bits,
                         ChannelMask* out) {
  if (bits < 32 && (mask >> bits) != 0) {
    return format("%s mask 0x%" PRIx32 " reaches past the %" PRIu32 "-bit pixel", colour, mask,
                  bits);
  }
  out->mask = mask;
  out->shift = mask == 0 ? 0 : std::countr_zero(mask);
  out->bits = std::popcount(mask);
  const std::uint64_t run = std::uint64_t{mask} >> out->shift;
  if ((run & (run + 1)) != 0) {
    return format("%s mask 0x%" PRIx32 " is not one run of bits", colour, mask);
  }
  return "";
}

}  // namespace

std::string check_bmp_layout(const unsigned char* head, std::size_t head_len, std::size_t file_len,
                             BmpLayout* out) {
  // 1. Both headers are there and their kind is known.
  if (head_len > file_len) head_len = file_len;
  if (head_len < 18) {
    return format("too short for the BMP headers (%zu bytes; at least %zu needed)", file_len,
                  kSmallestHeaders);
  }
  if (head[0] != 'B' || head[1] != 'M') return "not a BMP file (no \"BM\" signature)";
  const std::uint32_t info_size = u32_at(head + 14);
  if (!known_info_size(info_size)) {
    return format("information header of %" PRIu32
                  " bytes; the known sizes are 12, 16, 40, 52, 56, 64, 108 and 124",
                  info_size);
  }
  const std::size_t headers_end = 14 + info_size;
  if (head_len < headers_end) {
    return format("too short for the BMP headers (%zu bytes; at least %zu needed)", file_len,
                  headers_end);
  }

  // 2. The fields of this kind of header.
  const bool os2_v1 = info_size == 12;
  const bool os2_header = info_size == 12 || info_size == 16 || info_size == 64;
  std::int64_t width, height;
  std::uint32_t planes, bits, compression = kBiRgb, colours_used = 0;
  if (os2_v1) {
    width = u16_at(head + 18);
    height = u16_at(head + 20);
    planes = u16_at(head + 22);
    bits = u16_at(head + 24);
  } else {
    width = s32_at(head + 18);
    height = s32_at(head + 22);
    planes = u16_at(head + 26);
    bits = u16_at(head + 28);
    if (info_size >= 40) {
      compression = u32_at(head + 30);
      colours_used = u32_at(head + 46);
    }
  }
  // The declared size is compared as the signed field it has always been read
  // as (a value of 2^31 or more counts as too small, not as beyond the file),
  // but printed as the unsigned number it is.
  const std::uint32_t declared_field = u32_at(head + 2);
  const std::int64_t declared_size = s32_at(head + 2);
  const std::int64_t pixel_offset = u32_at(head + 10);
  const std::int64_t rows = height < 0 ? -height : height;

  // 3. What the pixels are, and whether they can be read at all.
  if (planes != 1) {
    return format("%" PRIu32 " colour planes; only 1 is valid", planes);
  }
  if (std::string why = unreadable_compression(compression, os2_header); !why.empty()) return why;
  if (std::string why = unreadable_bits(bits, compression); !why.empty()) return why;
  if (width < 1 || width > kMaxSide) {
    return format("width %" PRId64 " outside 1..%d", width, kMaxSide);
  }
  if (rows < 1 || rows > kMaxSide) {
    return format("height %" PRId64 " outside 1..%d (or -1..-%d for top-down rows)", height,
                  kMaxSide, kMaxSide);
  }
  const bool rle = compression == kBiRle8 || compression == kBiRle4;
  if (rle && height < 0) return "run-length encoded rows cannot be stored top-down";

  // 4. The pixel offset lies in the file, after the headers and any masks.
  std::size_t masks_end = headers_end;
  if (info_size == 40 && compression == kBiBitfields) masks_end += 12;
  if (info_size == 40 && compression == kBiAlphaBitfields) masks_end += 16;
  const std::int64_t lowest = headers_end < 54 ? static_cast<std::int64_t>(headers_end) : 54;
  if (pixel_offset < lowest || static_cast<std::uint64_t>(pixel_offset) > file_len) {
    return format("pixel data offset %" PRId64 " outside the file (%" PRId64 "..%zu)", pixel_offset,
                  lowest, file_len);
  }
  // Pixels that overlap the headers would be header bytes read as colours.
  if (pixel_offset < static_cast<std::int64_t>(headers_end)) {
    return format("pixel data offset %" PRId64 " inside the %" PRIu32
                  "-byte information header (it ends at byte %zu)",
                  pixel_offset, info_size, headers_end);
  }
  if (pixel_offset < static_cast<std::int64_t>(masks_end)) {
    return format("pixel data offset %" PRId64
                  " inside the colour masks after the information header (they end at byte %zu)",
                  pixel_offset, masks_end);
  }
  // The masks now lie inside the file; head_len covers them (at most byte 70).
  if (head_len < masks_end) return kBmpSizeError;

  // 5. The coding, with its masks or its palette.
  BmpLayout l;
  l.width = static_cast<int>(width);
  l.height = static_cast<int>(rows);
  l.top_down = height < 0;
  l.bits = static_cast<int>(bits);
  l.pixel_offset = static_cast<std::size_t>(pixel_offset);
  if (compression == kBiRle8) {
    l.coding = PixelCoding::kRle8;
  } else if (compression == kBiRle4) {
    l.coding = PixelCoding::kRle4;
  } else if (bits <= 8) {
    l.coding = PixelCoding::kIndexed;
  } else if (bits == 24) {
    l.coding = PixelCoding::kBgr24;
  } else {
    l.coding = PixelCoding::kMasked;
    std::uint32_t r = 0x7C00, g = 0x03E0, b = 0x001F;  // BI_RGB, 16 bits: 5-5-5
    if (compression != kBiRgb) {
      r = u32_at(head + 54);
      g = u32_at(head + 58);
      b = u32_at(head + 62);
    } else if (bits == 32) {
      r = 0xFF0000, g = 0xFF00, b = 0xFF;  // BI_RGB, 32 bits: 8-8-8, fourth byte unused
    }
    for (std::string why :
         {channel_mask("red", r, bits, &l.red), channel_mask("green", g, bits, &l.green),
          channel_mask("blue", b, bits, &l.blue)}) {
      if (!why.empty()) return why;
    }
  }
  if (bits <= 8) {
    // The declared palette must lie in the file; only its first 2^bits
    // entries, and only those before the pixel data, are used.
    l.palette_offset = masks_end;
    l.palette_entry_bytes = os2_v1 ? 3 : 4;
    const std::int64_t full = std::int64_t{1} << bits;
    const std::int64_t declared = colours_used == 0 ? full : colours_used;
    if (static_cast<std::uint64_t>(l.palette_offset + declared * l.palette_entry_bytes) >
        file_len) {
      return format("palette of %" PRId64 " colours runs past the end of the file", declared);
    }
    const std::int64_t room =
        (pixel_offset - static_cast<std::int64_t>(l.palette_offset)) / l.palette_entry_bytes;
    l.palette_count = static_cast<int>(std::min({declared, full, room}));
  }

  // 6. The declared size: not beyond the file, and enough for the pixels.
  // OS/2 writers may put the size of the two headers there instead; then the
  // file's length stands in for it.
  const bool size_is_headers = declared_size == static_cast<std::int64_t>(headers_end);
  const std::int64_t size = size_is_headers ? static_cast<std::int64_t>(file_len) : declared_size;
  if (size > 0 && static_cast<std::uint64_t>(size) > file_len) return kBmpSizeError;
  if (rle) {
    if (size < pixel_offset) {
      return format("declared size %" PRIu32 " ends before the pixel data at offset %" PRId64,
                    declared_field, pixel_offset);
    }
    l.data_end = static_cast<std::size_t>(size);
  } else {
    l.row_bytes = static_cast<std::size_t>((width * bits + 31) / 32 * 4);
    const std::int64_t needed = pixel_offset + rows * static_cast<std::int64_t>(l.row_bytes);
    if (size < needed) {
      if (size_is_headers) return kBmpSizeError;
      return format("declared size %" PRIu32 " too small for %" PRId64 "x%" PRId64
                    " pixels from offset %" PRId64 " (%" PRId64 " bytes needed)",
                    declared_field, width, rows, pixel_offset, needed);
    }
    l.data_end = static_cast<std::size_t>(needed);
  }
  *out = l;
  return "";
}

}  // namespace korvale::bmp_detail
