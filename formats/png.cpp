// PNG through libpng: decoding a file image into planes (every colour type
// and depth, interlaced or not, tRNS as alpha, iCCP/eXIf/XMP kept) and
// encoding planes as PNG. libpng reports errors by longjmp: the functions
// that call setjmp hold only plain data, and everything they own lives in a
// plain job record that the caller cleans up.
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "formats/codec.h"

namespace korvale::formats_detail {

namespace {

// Ancillary chunks (ICC profile, text, EXIF) above this size are refused by
// libpng instead of being allocated.
constexpr png_alloc_size_t kChunkMax = 32u << 20;

// The XMP packet's iTXt keyword.
constexpr char kXmpKey[] = "XML:com.adobe.xmp";

// What the error and warning handlers record: libpng's message.
struct PngMessage {
  char text[200];
};

void on_error(png_structp png, png_const_charp msg) {
  auto* m = static_cast<PngMessage*>(png_get_error_ptr(png));
  std::snprintf(m->text, sizeof m->text, "%s", msg);
  png_longjmp(png, 1);
}

// Warnings (a benign CRC slip in an ancillary chunk, an odd profile) are
// neither printed nor fatal.
void on_warning(png_structp, png_const_charp) {}

struct ReadJob {
  PngMessage message{};
  SourceWindow* in = nullptr;
  std::size_t pos = 0;
  std::int64_t max_pixels = 0;
  Picture* out = nullptr;
  unsigned char* row = nullptr;  // malloc'd, freed by the caller
  std::string* refusal = nullptr;
};

void read_bytes(png_structp png, png_bytep dst, png_size_t n) {
  auto* job = static_cast<ReadJob*>(png_get_io_ptr(png));
  if (!window_read(job->in, job->pos, dst, n)) png_error(png, "the file ends early");
  job->pos += n;
}

// Copies the metadata libpng has seen so far (before or after the pixels).
void take_metadata(png_structp png, png_infop info, Picture* out) {
  png_charp name = nullptr;
  int method = 0;
  png_bytep profile = nullptr;
  png_uint_32 profile_len = 0;
  if (out->icc.empty() &&
      png_get_iCCP(png, info, &name, &method, &profile, &profile_len) == PNG_INFO_iCCP)
    out->icc.assign(profile, profile + profile_len);
  png_bytep exif = nullptr;
  png_uint_32 exif_len = 0;
  if (out->exif.empty() && png_get_eXIf_1(png, info, &exif_len, &exif) == PNG_INFO_eXIf)
    out->exif.assign(exif, exif + exif_len);
  png_textp text = nullptr;
  int count = 0;
  png_get_text(png, info, &text, &count);
  for (int i = 0; i < count; ++i) {
    if (out->xmp.empty() && std::strcmp(text[i].key, kXmpKey) == 0) {
      // The packet is text: libpng ends it with a zero byte.
      const std::size_t n = std::strlen(text[i].text);
      out->xmp.assign(text[i].text, text[i].text + n);
    }
  }
}

// Runs libpng over the file; returns 0, or 1 after a libpng error (message in
// job->message) or 2 after a refusal of ours (text in *job->refusal).
int run_read(ReadJob* job) {
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, &job->message, on_error, on_warning);
  if (png == nullptr) return 1;
  png_infop info = png_create_info_struct(png);
  png_infop end = png_create_info_struct(png);
  volatile int result = 0;
  if (setjmp(png_jmpbuf(png))) {
    result = 1;
  } else if (info == nullptr || end == nullptr) {
    std::snprintf(job->message.text, sizeof job->message.text, "out of memory");
    result = 1;
  } else {
    png_set_read_fn(png, job, read_bytes);
    png_set_user_limits(png, kMaxSide, kMaxSide);
    png_set_chunk_malloc_max(png, kChunkMax);
    png_read_info(png, info);
    png_uint_32 w = 0, h = 0;
    int depth = 0, type = 0, interlace = 0;
    png_get_IHDR(png, info, &w, &h, &depth, &type, &interlace, nullptr, nullptr);
    *job->refusal = check_size(w, h, job->max_pixels);
    if (!job->refusal->empty()) {
      result = 2;
    } else {
      const bool trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
      const int colors = (type & PNG_COLOR_MASK_COLOR) ? 3 : 1;
      const bool alpha = (type & PNG_COLOR_MASK_ALPHA) || trns;
      const int bits = depth == 16 ? 16 : 8;
      // Every kind becomes gray, gray+alpha, RGB or RGBA of 8 or 16 bits.
      if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
      if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
      if (trns) png_set_tRNS_to_alpha(png);
      const int passes = png_set_interlace_handling(png);
      png_read_update_info(png, info);
      take_metadata(png, info, job->out);
      allocate_planes(job->out, static_cast<int>(w), static_cast<int>(h), bits, colors, alpha);
      const std::size_t row_bytes = png_get_rowbytes(png, info);
      if (row_bytes != static_cast<std::size_t>(w) * job->out->channels() * (bits / 8))
        png_error(png, "unexpected row layout");
      job->row = static_cast<unsigned char*>(std::malloc(row_bytes * kStripRows));
      if (job->row == nullptr) png_error(png, "out of memory");
      if (passes == 1) {
        // A strip of rows at a time into the planes.
        for (png_uint_32 y = 0; y < h; y += kStripRows) {
          const int n = static_cast<int>(std::min<png_uint_32>(kStripRows, h - y));
          for (int k = 0; k < n; ++k) png_read_row(png, job->row + row_bytes * k, nullptr);
          store_rows(job->out, static_cast<int>(y), n, job->row, row_bytes, true);
        }
      }
      // Interlaced passes each fill some pixels of a row: the row is taken
      // back from the planes before each later pass adds to it.
      for (int pass = 0; passes > 1 && pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < h; ++y) {
          if (pass > 0) load_row(*job->out, static_cast<int>(y), job->row);
          if (pass > 0 && bits == 16) {
            // load_row gives native 16-bit values; libpng works big-endian.
            for (std::size_t i = 0; i < row_bytes; i += 2) {
              std::uint16_t v;
              std::memcpy(&v, job->row + i, 2);
              job->row[i] = static_cast<unsigned char>(v >> 8);
              job->row[i + 1] = static_cast<unsigned char>(v);
            }
          }
          png_read_row(png, job->row, nullptr);
          store_row(job->out, static_cast<int>(y), job->row, true);
        }
      }
      png_read_end(png, end);
      take_metadata(png, end, job->out);
    }
  }
  png_destroy_read_struct(&png, info ? &info : nullptr, end ? &end : nullptr);
  return result;
}

struct WriteJob {
  PngMessage message{};
  const Picture* p = nullptr;
  const WriteSettings* s = nullptr;
  ByteSink sink;
  unsigned char* row = nullptr;  // malloc'd, freed by the caller
  char* xmp = nullptr;           // the XMP packet with a terminating zero, likewise
};

void write_bytes(png_structp png, png_bytep src, png_size_t n) {
  sink_append(&static_cast<WriteJob*>(png_get_io_ptr(png))->sink, src, n);
}

void flush_nothing(png_structp) {}

int run_write(WriteJob* job) {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &job->message, on_error, on_warning);
  if (png == nullptr) return 1;
  png_infop info = png_create_info_struct(png);
  volatile int result = 0;
  if (setjmp(png_jmpbuf(png))) {
    result = 1;
  } else if (info == nullptr) {
    std::snprintf(job->message.text, sizeof job->message.text, "out of memory");
    result = 1;
  } else {
    const Picture& p = *job->p;
    png_set_write_fn(png, job, write_bytes, flush_nothing);
    // A profile libpng finds odd is dropped with a warning, not an error.
    png_set_benign_errors(png, 1);
    static const int kTypes[2][2] = {{PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA},
                                     {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA}};
    png_set_IHDR(png, info, static_cast<png_uint_32>(p.w), static_cast<png_uint_32>(p.h), p.bits,
                 kTypes[p.colors == 3][p.alpha], PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!job->s->strip) {
      if (!p.icc.empty()) {
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, p.icc.data(),
                     static_cast<png_uint_32>(p.icc.size()));
      }
      if (!p.exif.empty()) {
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(p.exif.size()),
                       const_cast<png_bytep>(p.exif.data()));
      }
      if (job->xmp != nullptr) {
        // libpng measures the text with strlen.
        png_text text{};
        text.compression = PNG_ITXT_COMPRESSION_NONE;
        text.key = const_cast<png_charp>(kXmpKey);
        text.text = job->xmp;
        png_set_text(png, info, &text, 1);
      }
    }
    // Every row Paeth-filtered and the filtered bytes deflated as runs
    // (zlib's Z_RLE): several times faster than libpng's default (adaptive
    // filters, deflate level 6), and files of about the same size: somewhat
    // larger on smooth synthetic pictures, smaller on noisy photographs.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_PAETH);
    png_set_compression_strategy(png, Z_RLE);
    png_write_info(png, info);
    if (p.bits == 16) png_set_swap(png);  // rows hold native little-endian values
    const std::size_t row_bytes = static_cast<std::size_t>(p.w) * p.channels() * (p.bits / 8);
    job->row = static_cast<unsigned char*>(std::malloc(row_bytes * kStripRows));
    if (job->row == nullptr) png_error(png, "out of memory");
    for (int y = 0; y < p.h; y += kStripRows) {
      const int n = std::min(kStripRows, p.h - y);
      load_rows(p, y, n, job->row, row_bytes);
      for (int k = 0; k < n; ++k) png_write_row(png, job->row + row_bytes * k);
    }
    png_write_end(png, info);
  }
  png_destroy_write_struct(&png, info ? &info : nullptr);
  return result;
}

}  // namespace

std::string decode_png(const Source& src, const ReadSettings& s, Picture* out) {
  // Plain memory for the longjmp, freed on every path out.
  struct Window {
    SourceWindow w;
    ~Window() { window_free(&w); }
  } window;
  window.w.src = &src;
  const std::size_t len = src.len;
  // IHDR is the first chunk: the size is checked before libpng is involved.
  unsigned char head[24];
  if (window_read(&window.w, 0, head, sizeof head) && std::memcmp(head + 12, "IHDR", 4) == 0) {
    auto u32 = [&](std::size_t i) {
      return std::int64_t{head[i]} << 24 | head[i + 1] << 16 | head[i + 2] << 8 | head[i + 3];
    };
    if (std::string e = check_size(u32(16), u32(20), s.max_pixels); !e.empty()) return e;
  }
  // Every chunk must lie within the file: libpng allocates a chunk's
  // declared length before it reads the chunk.
  for (std::size_t at = 8; at < len;) {
    unsigned char chunk[8];
    if (len - at < 12 || !window_read(&window.w, at, chunk, sizeof chunk))
      return "PNG: the file ends inside a chunk header";
    const std::size_t n = std::size_t{chunk[0]} << 24 | chunk[1] << 16 | chunk[2] << 8 | chunk[3];
    if (n > len - at - 12) {
      const bool named = std::all_of(chunk + 4, chunk + 8, [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      });
      return format("PNG: the file ends inside its %.4s chunk (%zu bytes declared)",
                    named ? reinterpret_cast<const char*>(chunk + 4) : "next", n);
    }
    if (std::memcmp(chunk + 4, "IEND", 4) == 0) break;
    at += 12 + n;
  }
  std::string refusal;
  Picture p;
  ReadJob job;
  job.in = &window.w;
  job.max_pixels = s.max_pixels;
  job.out = &p;
  job.refusal = &refusal;
  const int result = run_read(&job);
  std::free(job.row);
  if (result == 2) return refusal;
  if (result == 1) return std::string("PNG: ") + job.message.text;
  *out = std::move(p);
  return "";
}

std::string encode_png(const Picture& p, const WriteSettings& s,
                       std::vector<unsigned char>* bytes) {
  WriteJob job;
  job.p = &p;
  job.s = &s;
  if (!p.xmp.empty()) {
    job.xmp = static_cast<char*>(std::malloc(p.xmp.size() + 1));
    if (job.xmp == nullptr) return "PNG: out of memory";
    std::memcpy(job.xmp, p.xmp.data(), p.xmp.size());
    job.xmp[p.xmp.size()] = '\0';
  }
  const int result = run_write(&job);
  std::free(job.row);
  std::free(job.xmp);
  if (result != 0) {
    sink_free(&job.sink);
    return std::string("PNG: ") + job.message.text;
  }
  sink_finish(&job.sink, bytes);
  return "";
}

}  // namespace korvale::formats_detail
