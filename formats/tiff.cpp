// TIFF through libtiff: decoding the first page of a file image into planes
// (strips or tiles, contiguous or separate planes, 1..16-bit gray, palette,
// RGB, with or without alpha; ICC profile and XMP kept, Orientation given
// back) and encoding planes as deflate-compressed TIFF. libtiff reports
// failures by return value; its messages are routed into the failure text.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/named_alloc.h"
#include "common/row_planes.h"
#include "formats/codec.h"

namespace korvale::formats_detail {

namespace {

// libtiff's first error message of one open file.
struct TiffMessage {
  char text[200] = "";
};

// Some of libtiff's messages span lines ("Tag ...:\n  Value ..."), and a
// failure is one line: every control character becomes a space, and a run of
// spaces one space.
void to_one_line(char* text) {
  char* out = text;
  for (const char* in = text; *in != '\0'; ++in) {
    const unsigned char c = static_cast<unsigned char>(*in);
    const char kept = c < 0x20 || c == 0x7f ? ' ' : *in;
    if (kept == ' ' && out > text && out[-1] == ' ') continue;
    *out++ = kept;
  }
  *out = '\0';
}

int on_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* m = static_cast<TiffMessage*>(user);
  if (m->text[0] == '\0') {
    char body[160];
    std::vsnprintf(body, sizeof body, fmt, ap);
    std::snprintf(m->text, sizeof m->text, "%s%s%s", module ? module : "", module ? ": " : "",
                  body);
    to_one_line(m->text);
  }
  return 1;  // handled: libtiff prints nothing
}

int on_warning(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

// Messages libtiff gives before a file has its own handlers go nowhere.
void silence_global_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

// A file for libtiff's client procedures: read from a Source (a file image,
// which is also mapped, or the open file), or written into a growing buffer
// (seeks past the end leave zeros).
struct MemFile {
  const Source* in = nullptr;     // reading: the file image or the open file
  unsigned char* data = nullptr;  // written bytes (malloc'd)
  std::size_t size = 0;
  std::size_t capacity = 0;
  std::size_t pos = 0;
};

tmsize_t mem_read(thandle_t h, void* dst, tmsize_t n) {
  auto* f = static_cast<MemFile*>(h);
  if (n < 0 || f->pos >= f->size) return 0;
  const std::size_t k = std::min(static_cast<std::size_t>(n), f->size - f->pos);
  if (f->in != nullptr) {
    // A file that has shrunk gives a short read, which libtiff reports.
    const long long got = source_read(*f->in, f->pos, dst, k);
    if (got < 0) return -1;
    f->pos += static_cast<std::size_t>(got);
    return static_cast<tmsize_t>(got);
  }
  std::memcpy(dst, f->data + f->pos, k);
  f->pos += k;
  return static_cast<tmsize_t>(k);
}

tmsize_t mem_write(thandle_t h, void* src, tmsize_t n) {
  auto* f = static_cast<MemFile*>(h);
  if (f->in != nullptr || n < 0) return -1;
  const std::size_t end = f->pos + static_cast<std::size_t>(n);
  if (end > f->capacity) {
    std::size_t cap = std::max<std::size_t>(f->capacity * 2, 1 << 16);
    while (cap < end) cap *= 2;
    void* grown = std::realloc(f->data, cap);
    if (grown == nullptr) die_no_memory("OUT");
    f->data = static_cast<unsigned char*>(grown);
    f->capacity = cap;
  }
  if (f->pos > f->size) std::memset(f->data + f->size, 0, f->pos - f->size);
  std::memcpy(f->data + f->pos, src, static_cast<std::size_t>(n));
  f->pos = end;
  f->size = std::max(f->size, end);
  return n;
}

toff_t mem_seek(thandle_t h, toff_t off, int whence) {
  auto* f = static_cast<MemFile*>(h);
  const std::size_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->size : 0;
  f->pos = base + static_cast<std::size_t>(off);
  return f->pos;
}

int mem_close(thandle_t) {
  return 0;
}
toff_t mem_size(thandle_t h) {
  return static_cast<MemFile*>(h)->size;
}

// Nothing is mapped: libtiff reads a file image through mem_read just as it
// reads an open file, so both take the same paths through libtiff and agree
// on every file (mapped, libtiff refused some damaged files that it read
// from a file, e.g. a tile whose byte count is 0).
int mem_map(thandle_t, void**, toff_t*) {
  return 0;
}

void mem_unmap(thandle_t, void*, toff_t) {}

// Closes the TIFF and frees the options on every path out.
struct OpenTiff {
  TIFF* tif = nullptr;
  TIFFOpenOptions* opts = nullptr;
  ~OpenTiff() {
    if (tif) TIFFClose(tif);
    if (opts) TIFFOpenOptionsFree(opts);
  }
};

TIFF* open_memory(MemFile* f, const char* mode, TiffMessage* m, tmsize_t max_alloc,
                  OpenTiff* holder) {
  silence_global_handlers();
  holder->opts = TIFFOpenOptionsAlloc();
  if (holder->opts == nullptr) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(holder->opts, on_error, m);
  TIFFOpenOptionsSetWarningHandlerExtR(holder->opts, on_warning, m);
  if (max_alloc > 0) TIFFOpenOptionsSetMaxSingleMemAlloc(holder->opts, max_alloc);
  holder->tif = TIFFClientOpenExt("TIFF", mode, f, mem_read, mem_write, mem_seek, mem_close,
                                  mem_size, mem_map, mem_unmap, holder->opts);
  return holder->tif;
}

// What the first page holds and how its samples become channels.
struct Layout {
  int w = 0, h = 0;
  int bps = 0;  // bits per stored sample
  int spp = 0;  // samples per pixel
  bool separate = false;
  bool palette = false;
  bool min_is_white = false;
  bool assoc_alpha = false;
  int colors = 0;  // of the picture
  bool alpha = false;
  const std::uint16_t* map[3] = {};  // palette's 16-bit colour map (high byte used)
};

std::string read_layout(TIFF* tif, Layout* l, std::int64_t max_pixels) {
  std::uint32_t w = 0, h = 0;
  std::uint16_t bps = 1, spp = 1, fmt = SAMPLEFORMAT_UINT, photometric = 0, planar = 1;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h))
    return "TIFF: no picture size";
  if (std::string e = check_size(w, h, max_pixels); !e.empty()) return e;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &fmt);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
    return "TIFF: no PhotometricInterpretation";
  if (fmt != SAMPLEFORMAT_UINT) {
    return fmt == SAMPLEFORMAT_IEEEFP ? "TIFF: floating-point samples are not supported"
                                      : "TIFF: signed or complex samples are not supported";
  }
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG) {
    // libjpeg inside libtiff turns these into RGB.
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    photometric = PHOTOMETRIC_RGB;
  }
  int stored = 0;  // colour samples per pixel
  switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
      stored = 1;
      l->colors = 1;
      l->min_is_white = photometric == PHOTOMETRIC_MINISWHITE;
      break;
    case PHOTOMETRIC_RGB:
      stored = 3;
      l->colors = 3;
      break;
    case PHOTOMETRIC_PALETTE:
      stored = 1;
      l->colors = 3;
      l->palette = true;
      break;
    default:
      return format(
          "TIFF: photometric interpretation %d (CMYK, Lab, YCbCr, ...) is not "
          "supported; gray, palette and RGB are",
          photometric);
  }
  const bool small = bps == 1 || bps == 2 || bps == 4;
  if (!(bps == 8 || bps == 16 || (small && stored == 1)) || (l->palette && bps == 16))
    return format("TIFF: %d bits per sample is not supported here", bps);
  if (spp < stored || spp > stored + 1)
    return format("TIFF: %d samples per pixel with %d colour samples is not supported", spp,
                  stored);
  if (spp == stored + 1) {
    std::uint16_t count = 0;
    std::uint16_t* kinds = nullptr;
    l->alpha = true;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) && count >= 1)
      l->assoc_alpha = kinds[0] == EXTRASAMPLE_ASSOCALPHA;
    if (l->palette) return "TIFF: a palette with an extra sample is not supported";
  }
  if (l->palette) {
    std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b))
      return "TIFF: palette without a colour map";
    l->map[0] = r;
    l->map[1] = g;
    l->map[2] = b;
  }
  l->w = static_cast<int>(w);
  l->h = static_cast<int>(h);
  l->bps = bps;
  l->spp = spp;
  l->separate = planar == PLANARCONFIG_SEPARATE && spp > 1;
  return "";
}

// Sample number i of a row of bps-bit samples (sub-byte samples first in the
// high bits; 16-bit ones in native order, as libtiff hands them out).
unsigned sample_at(const unsigned char* row, std::size_t i, int bps) {
  switch (bps) {
    case 8:
      return row[i];
    case 16: {
      std::uint16_t v;
      std::memcpy(&v, row + 2 * i, 2);
      return v;
    }
    default: {
      const std::size_t bit = i * bps;
      return (row[bit / 8] >> (8 - bps - bit % 8)) & ((1u << bps) - 1);
    }
  }
}

// Stores the rows of one decoded strip or tile: bw pixels wide, `rows` rows,
// at (x0, y0); `plane` is the stored sample of a separate-planes block, or -1
// for all samples interleaved.
void put_block(const Layout& l, const unsigned char* block, int bw, int rows, int x0, int y0,
               int plane, Picture* p) {
  const int per_pixel = plane < 0 ? l.spp : 1;
  const std::size_t stride = (static_cast<std::size_t>(bw) * per_pixel * l.bps + 7) / 8;
  const int xs = std::min(bw, l.w - x0), ys = std::min(rows, l.h - y0);
  const unsigned top = (1u << l.bps) - 1;
  if (!l.palette && !l.min_is_white && (l.bps == 8 || l.bps == 16)) {
    // Samples as they are: the stored samples map to the planes in order
    // (the extra sample is alpha, the last plane), moved a tile at a time.
    const int first_plane = plane < 0 ? 0 : plane;
    const std::size_t h = static_cast<std::size_t>(l.h);
    const std::size_t column = static_cast<std::size_t>(x0) * h;
    if (l.bps == 16) {
      std::uint16_t* planes[4] = {};
      for (int k = 0; k < per_pixel; ++k) planes[k] = p->wide[first_plane + k].px.get() + column;
      rows_to_planes16(reinterpret_cast<const std::uint16_t*>(block),
                       static_cast<std::ptrdiff_t>(stride / 2), ys, xs, per_pixel, planes, h,
                       static_cast<std::size_t>(y0), false);
    } else {
      unsigned char* planes[4] = {};
      for (int k = 0; k < per_pixel; ++k) planes[k] = p->planes[first_plane + k].px.get() + column;
      rows_to_planes(block, static_cast<std::ptrdiff_t>(stride), ys, xs, per_pixel, planes, h,
                     static_cast<std::size_t>(y0));
    }
    return;
  }
  for (int r = 0; r < ys; ++r) {
    const unsigned char* row = block + stride * r;
    const int y = y0 + r;
    for (int i = 0; i < xs; ++i) {
      const int x = x0 + i;
      for (int k = 0; k < per_pixel; ++k) {
        const int s = plane < 0 ? k : plane;
        unsigned v = sample_at(row, static_cast<std::size_t>(i) * per_pixel + k, l.bps);
        if (l.palette) {
          const unsigned idx = std::min<unsigned>(v, top);
          for (int c = 0; c < 3; ++c)
            p->planes[c].at(x, y) = static_cast<unsigned char>(l.map[c][idx] >> 8);
          continue;
        }
        const int c = s < l.colors ? s : l.colors;  // the extra sample is alpha
        if (c < l.colors && l.min_is_white) v = top - v;
        if (l.bps == 16)
          p->wide[c].at(x, y) = static_cast<std::uint16_t>(v);
        else
          p->planes[c].at(x, y) = static_cast<unsigned char>(l.bps == 8 ? v : v * 255 / top);
      }
    }
  }
}

// Divides associated (premultiplied) alpha out of the colours.
template <class T>
void unpremultiply(std::vector<Plane<T>>* planes, int colors, unsigned top) {
  Plane<T>& a = (*planes)[colors];
  const std::size_t n = static_cast<std::size_t>(a.w) * a.h;
  for (int c = 0; c < colors; ++c) {
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned al = a.px[i];
      const unsigned v = (*planes)[c].px[i];
      (*planes)[c].px[i] =
          static_cast<T>(al == 0 ? 0 : std::min<unsigned>(top, (v * top + al / 2) / al));
    }
  }
}

}  // namespace

std::string decode_tiff(const Source& src, const ReadSettings& s, Picture* out, int* orientation) {
  MemFile file;
  file.in = &src;
  file.size = src.len;
  TiffMessage message;
  OpenTiff holder;
  // No single allocation needs more than the largest picture's samples.
  const std::int64_t cap = limit_bytes(s.max_pixels, 16 << 20);
  TIFF* tif = open_memory(&file, "r", &message, static_cast<tmsize_t>(cap), &holder);
  auto fail = [&](const char* what) {
    return std::string("TIFF: ") + (message.text[0] ? message.text : what);
  };
  if (tif == nullptr) return fail("cannot open");
  Layout l;
  if (std::string e = read_layout(tif, &l, s.max_pixels); !e.empty()) return e;

  Picture p;
  const int bits = l.bps == 16 ? 16 : 8;
  allocate_planes(&p, l.w, l.h, bits, l.colors, l.alpha);
  const bool tiled = TIFFIsTiled(tif) != 0;
  const tmsize_t block_size = tiled ? TIFFTileSize(tif) : TIFFStripSize(tif);
  const std::int64_t picture_bytes = (static_cast<std::int64_t>(l.w) * l.spp * l.bps + 7) / 8 * l.h;
  if (block_size <= 0 || block_size > picture_bytes + (16 << 20))
    return fail("bad strip or tile size");
  // Each block is cleared before libtiff decodes into it: a deflate stream
  // that ends early can still be reported as a whole strip or tile, and what
  // libtiff did not write must read as zeros (as ImageMagick reads it), never
  // as whatever the heap held before.
  Buffer<unsigned char> block =
      named_buffer<unsigned char>(static_cast<std::size_t>(block_size), "TILE");
  const int planes = l.separate ? l.spp : 1;
  if (tiled) {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    if (tw == 0 || th == 0) return fail("bad tile size");
    for (int plane = 0; plane < planes; ++plane) {
      for (std::uint32_t y = 0; y < static_cast<std::uint32_t>(l.h); y += th) {
        for (std::uint32_t x = 0; x < static_cast<std::uint32_t>(l.w); x += tw) {
          const ttile_t t = TIFFComputeTile(tif, x, y, 0, static_cast<std::uint16_t>(plane));
          std::memset(block.get(), 0, static_cast<std::size_t>(block_size));
          if (TIFFReadEncodedTile(tif, t, block.get(), block_size) < 0)
            return fail("cannot read a tile");
          put_block(l, block.get(), static_cast<int>(tw), static_cast<int>(th), static_cast<int>(x),
                    static_cast<int>(y), l.separate ? plane : -1, &p);
        }
      }
    }
  } else {
    std::uint32_t rows = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
    rows = std::clamp<std::uint32_t>(rows, 1, static_cast<std::uint32_t>(l.h));
    for (int plane = 0; plane < planes; ++plane) {
      for (std::uint32_t y = 0; y < static_cast<std::uint32_t>(l.h); y += rows) {
        const tstrip_t st = TIFFComputeStrip(tif, y, static_cast<std::uint16_t>(plane));
        const std::uint32_t n = std::min(rows, static_cast<std::uint32_t>(l.h) - y);
        const tmsize_t want = static_cast<tmsize_t>(
            (static_cast<std::int64_t>(l.w) * (l.separate ? 1 : l.spp) * l.bps + 7) / 8 * n);
        if (want > block_size) return fail("bad strip size");
        // A strip shorter than its rows is damage, not a partial picture.
        std::memset(block.get(), 0, static_cast<std::size_t>(want));
        if (TIFFReadEncodedStrip(tif, st, block.get(), want) != want)
          return fail("cannot read a strip");
        put_block(l, block.get(), l.w, static_cast<int>(n), 0, static_cast<int>(y),
                  l.separate ? plane : -1, &p);
      }
    }
  }
  if (l.alpha && l.assoc_alpha) {
    if (bits == 16)
      unpremultiply(&p.wide, p.colors, 65535);
    else
      unpremultiply(&p.planes, p.colors, 255);
  }

  std::uint16_t o = 1;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &o);
  *orientation = o;
  std::uint32_t count = 0;
  void* bytes = nullptr;
  if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &count, &bytes) && bytes)
    p.icc.assign(static_cast<unsigned char*>(bytes), static_cast<unsigned char*>(bytes) + count);
  if (TIFFGetField(tif, TIFFTAG_XMLPACKET, &count, &bytes) && bytes)
    p.xmp.assign(static_cast<unsigned char*>(bytes), static_cast<unsigned char*>(bytes) + count);
  *out = std::move(p);
  return "";
}

std::string encode_tiff(const Picture& p, const WriteSettings& s,
                        std::vector<unsigned char>* bytes) {
  MemFile file;
  TiffMessage message;
  std::string error;
  {
    OpenTiff holder;
    TIFF* tif = open_memory(&file, "w", &message, 0, &holder);
    if (tif == nullptr) {
      error = "cannot start the file";
    } else {
      TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(p.w));
      TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(p.h));
      TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(p.bits));
      TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(p.channels()));
      TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
      TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                   p.colors == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
      TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
      TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
      TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
      if (p.alpha) {
        const std::uint16_t kind = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
      }
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
      if (!s.strip && !p.icc.empty()) {
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(p.icc.size()),
                     p.icc.data());
      }
      if (!s.strip && !p.xmp.empty()) {
        TIFFSetField(tif, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(p.xmp.size()),
                     p.xmp.data());
      }
      const std::size_t row_bytes = static_cast<std::size_t>(p.w) * p.channels() * (p.bits / 8);
      Buffer<unsigned char> strip = named_buffer<unsigned char>(row_bytes * kStripRows, "ROW");
      for (int y = 0; y < p.h && error.empty(); ++y) {
        const int k = y % kStripRows;
        if (k == 0) load_rows(p, y, std::min(kStripRows, p.h - y), strip.get(), row_bytes);
        if (TIFFWriteScanline(tif, strip.get() + row_bytes * k, static_cast<std::uint32_t>(y), 0) <
            0)
          error = "cannot write a row";
      }
      if (error.empty() && !TIFFWriteDirectory(tif)) error = "cannot write the directory";
    }
  }  // closed here: libtiff flushes what it still holds
  if (error.empty() && message.text[0] != '\0') error = message.text;
  if (error.empty()) bytes->assign(file.data, file.data + file.size);
  std::free(file.data);
  if (!error.empty())
    return std::string("TIFF: ") + (message.text[0] ? message.text : error.c_str());
  return "";
}

}  // namespace korvale::formats_detail
