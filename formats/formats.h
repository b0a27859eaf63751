// Pictures in and out: BMP, PNG, JPEG, TIFF and WebP as planes.
//
// A Picture is the picture as it is shown: its planes are column by column,
// top row first (sample of column x, row y at px[x*h + y]), after the EXIF
// Orientation has been applied (unless ReadSettings::apply_orientation is
// false). Planes come in the order gray, or red, green, blue; alpha (straight,
// not premultiplied) last. 8-bit pictures fill `planes`, 16-bit ones `wide`
// (full scale 65535); the other vector stays empty. Sample values are never
// colour-converted: an embedded ICC profile is carried as bytes, not applied.
//
// Which files are read:
// - BMP: every kind korvale's BMP reader takes (three 8-bit planes, no alpha).
// - PNG: every colour type and depth (1..16 bits, palette, gray, gray+alpha,
//   RGB, RGBA, interlaced); tRNS transparency becomes alpha; 1..8-bit
//   samples come out 8-bit (scaled to 0..255), 16-bit ones 16-bit.
// - JPEG: baseline and progressive, gray, any chroma subsampling, decoded the
//   way libjpeg-turbo does by default (islow DCT, fancy upsampling); CMYK and
//   YCCK become RGB (Adobe's inverted samples: R = C*K/255 and so on). Any
//   libjpeg warning that means damaged data (premature end, bad Huffman code,
//   ...) is a refusal.
// - TIFF: strips or tiles, contiguous or separate planes, any compression
//   libtiff decodes (none, LZW, deflate, PackBits, ...), 1/2/4/8/16-bit
//   unsigned gray (min-is-black or min-is-white), palette, RGB, with one
//   alpha sample (associated alpha is divided out). Only the first page
//   (directory) is read; later pages are ignored. Floating-point or signed
//   samples, CMYK, Lab, YCbCr other than JPEG-compressed, and more than one
//   extra sample are refused.
// - WebP: lossy, lossless, with or without alpha; animated files are refused.
// Metadata read: the ICC profile (PNG iCCP, JPEG APP2, TIFF tag 34675, WebP
// ICCP), EXIF (PNG eXIf, JPEG APP1, WebP EXIF; a TIFF's own EXIF directory is
// not kept, its Orientation tag is applied) and XMP (PNG iTXt, JPEG APP1,
// TIFF tag 700, WebP XMP).
//
// Limits, checked from the header before any pixel is allocated: each side
// 1..kMaxSide and w*h <= ReadSettings::max_pixels. The libraries' own caps
// are set too (libpng user limits and chunk size, libtiff's largest single
// allocation).
//
// Failures are one line of text ("" is success); no decoder prints, aborts or
// ends the process. The one exception is the project's named buffers: a plane
// that cannot be allocated ends the process with "NAME no memory!!".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/color_plane.h"
#include "common/limits.h"

namespace korvale {

struct BmpCopy;  // bmp/bmp.h

enum class ImageFormat { bmp, png, jpeg, tiff, webp };

// "BMP", "PNG", "JPEG", "TIFF", "WebP": for messages.
const char* format_name(ImageFormat f);

// Whether the library the format needs was found when korvale was built (BMP
// is always there), and that library's name ("libpng", "libjpeg",
// "libtiff", "libwebp"; "" for BMP).
bool format_available(ImageFormat f);
const char* format_library(ImageFormat f);

struct Picture {
  int w = 0;  // as shown (after orientation)
  int h = 0;
  int bits = 8;                     // 8 or 16 bits per sample
  int colors = 3;                   // 1 gray or 3 RGB
  bool alpha = false;               // one more plane, last
  std::vector<ColorPlane> planes;   // bits == 8: colors (+ 1) planes of w x h
  std::vector<WidePlane> wide;      // bits == 16: the same, 16-bit
  std::vector<unsigned char> icc;   // ICC profile, or empty
  std::vector<unsigned char> exif;  // EXIF as a TIFF structure ("II*\0..." or "MM\0*...")
  std::vector<unsigned char> xmp;   // XMP packet (XML text)

  int channels() const { return colors + (alpha ? 1 : 0); }
};

struct ReadSettings {
  std::int64_t max_pixels = kDefaultMaxPixels;
  int threads = 1;                // BMP decoding; JPEG decoding splits in two from 2
  bool apply_orientation = true;  // turn the picture upright; the kept EXIF then says 1
};

// JPEG's and lossy WebP's quality when none is given: 90 keeps a shrunken
// photograph visually unchanged (no ringing or blocking at 1:1) while staying
// a fraction of a lossless file's size; it is also libjpeg's "high quality"
// region that ImageMagick's own default of 92 sits in.
inline constexpr int kDefaultQuality = 90;

struct WriteSettings {
  int quality = kDefaultQuality;  // 1..100: JPEG, and WebP unless lossless
  bool webp_lossless = false;     // WebP output is lossy at `quality` by default
  bool strip = false;             // write no ICC profile, EXIF or XMP
};

// Decodes a whole file image data[0 .. len-1]; the format comes from the
// leading bytes, never a name. Returns "" and fills *out, or a one-line
// failure naming no file (e.g. "PNG: CRC error in IDAT", "not a picture
// korvale reads (no BMP, PNG, JPEG, TIFF or WebP signature)", "a WebP file,
// but korvale was built without libwebp").
std::string decode_picture(const unsigned char* data, std::size_t len, const ReadSettings& s,
                           Picture* out);

// Reads the file `path` (its size checked first): BMP files through
// korvale's BMP reader, PNG, JPEG and TIFF decoded straight from the file,
// WebP read into memory and then decoded as decode_picture does. Returns "" or
// the one-line failure "PATH: why".
std::string read_picture(const char* path, const ReadSettings& s, Picture* out);

// Opens `path` to be copied as it is (bmp.h's BmpCopy) when read_picture
// would read it as a 24-bit uncompressed BMP file within its size limits:
// true with *copy ready, false for any other file or anything read_picture
// would refuse (read_picture then says why).
bool open_bmp_copy(const char* path, const ReadSettings& s, BmpCopy* copy);

// The output format for `path` by its extension, any case: .bmp .png .jpg
// .jpeg .tif .tiff .webp. Returns "" and sets *out, or the refusal naming the
// extension (or the missing library).
std::string output_format_for_path(const char* path, ImageFormat* out);

// Encodes `p` as a whole file of format f into *bytes (replaced). The planes
// are used as they are (no orientation applied). Alpha is kept by PNG, TIFF,
// WebP and BMP (32-bit BMP with an alpha mask, as ImageMagick writes it; a
// picture without alpha gives korvale's usual 24-bit BMP with the 54-byte
// header) and dropped by JPEG. 16-bit pictures stay 16-bit in PNG and TIFF;
// JPEG, WebP and BMP get round(v * 255 / 65535). Gray stays gray in PNG, JPEG
// and TIFF; WebP and BMP hold RGB. ICC goes to PNG, JPEG, TIFF and WebP; EXIF
// to PNG, JPEG and WebP; XMP to PNG, JPEG, TIFF and WebP; none with strip.
// Left out without failing: a profile libpng finds malformed (PNG), EXIF or
// XMP larger than one JPEG marker (65527 and 65504 bytes). TIFF is written
// deflate-compressed with the horizontal predictor, PNG with every row
// Paeth-filtered and zlib's run-length strategy, JPEG with 4:2:0 chroma and
// optimised Huffman tables. WebP holds at most 16383 x 16383. Returns "" or a
// one-line failure; the bytes are for the caller to write (through the safe
// temporary-and-rename writer).
std::string encode_picture(ImageFormat f, const Picture& p, const WriteSettings& s,
                           std::vector<unsigned char>* bytes);

}  // namespace korvale
