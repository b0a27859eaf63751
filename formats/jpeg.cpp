// JPEG through libjpeg-turbo's libjpeg API: decoding a file image into planes
// (gray or RGB; CMYK and YCCK turned into RGB; EXIF, XMP and the ICC profile
// kept; a large sequential file on two threads at once, each decoding a
// part) and encoding planes as baseline JPEG. Damaged data is a refusal:
// libjpeg's corrupt-data warnings end the decode like its errors. libjpeg
// reports both through callbacks that longjmp: the functions that call setjmp
// hold only plain data, and what they own lives in a plain job record.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs <cstdio> (size_t, FILE) before it; jerror.h gives the
// message codes.
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "common/worker_pool.h"
#include "formats/codec.h"

namespace korvale::formats_detail {

namespace {

constexpr char kExifHead[] = "Exif\0";                       // 6 bytes with the terminator
constexpr char kXmpHead[] = "http://ns.adobe.com/xap/1.0/";  // 29 with it
constexpr unsigned kMarkerMax = 65533;                       // payload of one marker segment

struct ErrorJump {
  jpeg_error_mgr mgr;  // first, so the library's pointer is ours
  std::jmp_buf jump;
  char text[JMSG_LENGTH_MAX];
};

[[noreturn]] void on_error(j_common_ptr cinfo) {
  auto* e = reinterpret_cast<ErrorJump*>(cinfo->err);
  e->mgr.format_message(cinfo, e->text);
  std::longjmp(e->jump, 1);
}

// Level -1 is a warning; those that say the data is damaged end the decode.
// An unknown JFIF version, an unknown Adobe transform code and a broken ICC
// profile leave the pixels sound. Trace messages (level >= 0) are dropped.
void on_message(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  const int code = cinfo->err->msg_code;
  if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM || code == JWRN_BOGUS_ICC) return;
  on_error(cinfo);
}

void no_output(j_common_ptr) {}

// A progressive file of thousands of tiny scans costs minutes for nothing;
// real ones have a dozen or so.
constexpr int kMaxScans = 1000;

void on_progress(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxScans) {
    auto* e = reinterpret_cast<ErrorJump*>(cinfo->err);
    std::snprintf(e->text, sizeof e->text, "more than %d scans", kMaxScans);
    std::longjmp(e->jump, 1);
  }
}

void init_errors(ErrorJump* e) {
  jpeg_std_error(&e->mgr);
  e->mgr.error_exit = on_error;
  e->mgr.emit_message = on_message;
  e->mgr.output_message = no_output;
  e->text[0] = '\0';
}

// libjpeg's input from an open file: a buffer refilled with pread. At the
// file's end (or a failed read) it hands out an end-of-image marker with
// libjpeg's premature-end warning, as its memory source does, which ends
// the decode as damage.
struct FileInput {
  jpeg_source_mgr pub;  // first, so the library's pointer is ours
  const Source* src = nullptr;
  std::size_t pos = 0;              // file offset of the next refill
  unsigned char* buffer = nullptr;  // malloc'd, freed by the caller
};

constexpr std::size_t kInputBuffer = std::size_t{1} << 16;

void input_init(j_decompress_ptr) {}
void input_term(j_decompress_ptr) {}

boolean input_fill(j_decompress_ptr cinfo) {
  auto* in = reinterpret_cast<FileInput*>(cinfo->src);
  const long long got = source_read(*in->src, in->pos, in->buffer, kInputBuffer);
  if (got <= 0) {
    WARNMS(cinfo, JWRN_JPEG_EOF);
    in->buffer[0] = 0xFF;
    in->buffer[1] = JPEG_EOI;
    in->pub.next_input_byte = in->buffer;
    in->pub.bytes_in_buffer = 2;
    return TRUE;
  }
  in->pos += static_cast<std::size_t>(got);
  in->pub.next_input_byte = in->buffer;
  in->pub.bytes_in_buffer = static_cast<std::size_t>(got);
  return TRUE;
}

void input_skip(j_decompress_ptr cinfo, long count) {
  auto* in = reinterpret_cast<FileInput*>(cinfo->src);
  if (count <= 0) return;
  const std::size_t n = static_cast<std::size_t>(count);
  if (n <= in->pub.bytes_in_buffer) {
    in->pub.next_input_byte += n;
    in->pub.bytes_in_buffer -= n;
    return;
  }
  // Past the buffer: the next refill reads from there.
  in->pos += n - in->pub.bytes_in_buffer;
  in->pub.bytes_in_buffer = 0;
}

// One decoder of a file: libjpeg's state and what the decode owns, plain
// data so that libjpeg may longjmp over it (read_release frees it).
struct ReadJob {
  ErrorJump err;
  jpeg_progress_mgr progress{};
  jpeg_decompress_struct cinfo{};
  bool created = false;  // cinfo needs jpeg_destroy_decompress
  const Source* src = nullptr;
  FileInput input;
  std::int64_t max_pixels = 0;
  Picture* out = nullptr;
  std::string* refusal = nullptr;  // the first decoder's size refusal
  bool cmyk = false;               // CMYK or YCCK samples, turned into RGB
  bool progressive = false;        // more than one scan
  unsigned char* row = nullptr;    // malloc'd
  unsigned char* rgb = nullptr;    // malloc'd: CMYK rows turned into RGB
};

bool starts_with(const jpeg_marker_struct* m, const char* head, std::size_t n) {
  return m->data_length >= n && std::memcmp(m->data, head, n) == 0;
}

void take_metadata(j_decompress_ptr cinfo, Picture* out) {
  for (jpeg_saved_marker_ptr m = cinfo->marker_list; m != nullptr; m = m->next) {
    if (m->marker != JPEG_APP0 + 1) continue;
    if (out->exif.empty() && starts_with(m, kExifHead, 6))
      out->exif.assign(m->data + 6, m->data + m->data_length);
    else if (out->xmp.empty() && starts_with(m, kXmpHead, sizeof kXmpHead))
      out->xmp.assign(m->data + sizeof kXmpHead, m->data + m->data_length);
  }
  JOCTET* icc = nullptr;
  unsigned int icc_len = 0;
  if (jpeg_read_icc_profile(cinfo, &icc, &icc_len)) {
    out->icc.assign(icc, icc + icc_len);
    std::free(icc);
  }
}

// Inverted (Adobe) CMYK to RGB: each colour is its own ink times black,
// R = C * K / 255 to nearest.
void cmyk_to_rgb(const unsigned char* cmyk, unsigned char* rgb, int w) {
  for (int x = 0; x < w; ++x, cmyk += 4, rgb += 3) {
    const unsigned k = cmyk[3];
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<unsigned char>((cmyk[c] * k + 127) / 255);
  }
}

// Opens the decoder: the header read, the output set up and started. The
// first decoder of a file (first == nullptr) checks the size, takes the
// metadata and allocates the planes; a second one checks that it sees the
// same picture and shares the first one's planes. 0 on success, 1 after a
// libjpeg error or damage warning (text in job->err.text), 2 after a refusal
// of ours (*job->refusal).
int read_open(ReadJob* job, const ReadJob* first) {
  j_decompress_ptr cinfo = &job->cinfo;
  cinfo->err = &job->err.mgr;
  init_errors(&job->err);
  if (setjmp(job->err.jump)) return 1;
  jpeg_create_decompress(cinfo);
  job->created = true;
  job->progress.progress_monitor = on_progress;
  cinfo->progress = &job->progress;
  if (job->src->data != nullptr) {
    jpeg_mem_src(cinfo, job->src->data, static_cast<unsigned long>(job->src->len));
  } else {
    FileInput& in = job->input;
    in.src = job->src;
    in.buffer = static_cast<unsigned char*>(std::malloc(kInputBuffer));
    if (in.buffer == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    in.pub.init_source = input_init;
    in.pub.fill_input_buffer = input_fill;
    in.pub.skip_input_data = input_skip;
    in.pub.resync_to_restart = jpeg_resync_to_restart;
    in.pub.term_source = input_term;
    in.pub.next_input_byte = nullptr;
    in.pub.bytes_in_buffer = 0;
    cinfo->src = &in.pub;
  }
  if (first == nullptr) {
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xffff);
    jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xffff);
  }
  jpeg_read_header(cinfo, TRUE);
  if (first == nullptr) {
    *job->refusal = check_size(cinfo->image_width, cinfo->image_height, job->max_pixels);
    if (!job->refusal->empty()) return 2;
    take_metadata(cinfo, job->out);
  }
  job->progressive = jpeg_has_multiple_scans(cinfo);
  job->cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
  const bool gray = cinfo->jpeg_color_space == JCS_GRAYSCALE;
  cinfo->out_color_space = job->cmyk ? JCS_CMYK : gray ? JCS_GRAYSCALE : JCS_RGB;
  cinfo->dct_method = JDCT_ISLOW;
  cinfo->do_fancy_upsampling = TRUE;
  jpeg_start_decompress(cinfo);
  const int w = static_cast<int>(cinfo->output_width);
  const int h = static_cast<int>(cinfo->output_height);
  if (first == nullptr) {
    allocate_planes(job->out, w, h, 8, gray ? 1 : 3, false);
  } else if (w != job->out->w || h != job->out->h ||
             cinfo->output_components != first->cinfo.output_components) {
    std::snprintf(job->err.text, sizeof job->err.text, "the file changed while it was read");
    return 1;
  }
  // A strip of rows at a time: libjpeg hands out several scanlines per
  // call, and the planes take a strip far faster than single rows.
  const std::size_t row_bytes = static_cast<std::size_t>(w) * cinfo->output_components;
  job->row = static_cast<unsigned char*>(std::malloc(row_bytes * kStripRows));
  job->rgb = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(w) * 3 * kStripRows));
  if (job->row == nullptr || job->rgb == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
  return 0;
}

// Decodes rows [skip, end) of an open decoder into the planes, after
// skipping the first `skip` rows (whose entropy data is decoded and
// dropped); a decoder that reaches the last row also reads the file to its
// end. 0 on success, 1 after a libjpeg error or damage warning.
int read_rows(ReadJob* job, int skip, int end) {
  j_decompress_ptr cinfo = &job->cinfo;
  if (setjmp(job->err.jump)) return 1;
  if (skip > 0 &&
      jpeg_skip_scanlines(cinfo, static_cast<JDIMENSION>(skip)) != static_cast<JDIMENSION>(skip)) {
    ERREXIT(cinfo, JERR_INPUT_EOF);
  }
  const int w = static_cast<int>(cinfo->output_width);
  const std::size_t row_bytes = static_cast<std::size_t>(w) * cinfo->output_components;
  const std::size_t rgb_bytes = static_cast<std::size_t>(w) * 3;
  JSAMPROW rows[kStripRows];
  for (int k = 0; k < kStripRows; ++k) rows[k] = job->row + row_bytes * k;
  while (static_cast<int>(cinfo->output_scanline) < end) {
    const int y = static_cast<int>(cinfo->output_scanline);
    const int want = std::min(kStripRows, end - y);
    int got = 0;
    while (got < want) {
      const JDIMENSION n =
          jpeg_read_scanlines(cinfo, rows + got, static_cast<JDIMENSION>(want - got));
      if (n == 0) ERREXIT(cinfo, JERR_INPUT_EOF);
      got += static_cast<int>(n);
    }
    if (job->cmyk) {
      for (int k = 0; k < got; ++k) cmyk_to_rgb(rows[k], job->rgb + rgb_bytes * k, w);
      store_rows(job->out, y, got, job->rgb, rgb_bytes, true);
    } else {
      store_rows(job->out, y, got, job->row, row_bytes, true);
    }
  }
  if (cinfo->output_scanline == cinfo->output_height) jpeg_finish_decompress(cinfo);
  return 0;
}

void read_release(ReadJob* job) {
  if (job->created) jpeg_destroy_decompress(&job->cinfo);
  std::free(job->row);
  std::free(job->rgb);
  std::free(job->input.buffer);
}

// Two decoders on two threads: the first decodes the rows above `split`, the
// second skips them (jpeg_skip_scanlines: entropy decoding alone, a third to
// a half of a row's full cost) and decodes the rest. Only sequential files are
// split (a progressive file's every scan is decoded before its first row),
// and only pictures of a quarter megapixel or more, where the halves dwarf a
// thread's start.
constexpr std::int64_t kSplitPixels = std::int64_t{1} << 18;

// The row the second decoder starts at, 0 for one decoder: about two
// thirds down, where the halves took about the same time on photographs
// and noise from 2 to 7 bits a pixel, 4:2:0 and 4:4:4, on a boundary of
// the file's rows of blocks, so that the skip drops whole ones rather than
// decoding a part-row of blocks to discard it. (libjpeg-turbo's skip keeps
// the rows after it the same bits as one decoder's wherever it stops.)
int split_row(const ReadJob* job, int threads) {
  const jpeg_decompress_struct* cinfo = &job->cinfo;
  const std::int64_t h = cinfo->output_height;
  if (threads < 2 || job->progressive ||
      static_cast<std::int64_t>(cinfo->output_width) * h < kSplitPixels) {
    return 0;
  }
  const std::int64_t block_rows = static_cast<std::int64_t>(cinfo->max_v_samp_factor) * DCTSIZE;
  return static_cast<int>(h * 13 / 20 / block_rows * block_rows);
}

struct WriteJob {
  ErrorJump err;
  const Picture* p = nullptr;
  const WriteSettings* s = nullptr;
  unsigned char* out = nullptr;  // libjpeg's malloc'd output, freed by the caller
  unsigned long out_len = 0;
  unsigned char* row = nullptr;  // malloc'd, freed by the caller
};

void write_app1(j_compress_ptr cinfo, const char* head, std::size_t head_len,
                const std::vector<unsigned char>& body) {
  if (body.empty() || body.size() + head_len > kMarkerMax) return;
  jpeg_write_m_header(cinfo, JPEG_APP0 + 1, static_cast<unsigned>(head_len + body.size()));
  for (std::size_t i = 0; i < head_len; ++i) jpeg_write_m_byte(cinfo, head[i]);
  for (unsigned char b : body) jpeg_write_m_byte(cinfo, b);
}

int run_write(WriteJob* job) {
  jpeg_compress_struct cinfo{};
  cinfo.err = &job->err.mgr;
  init_errors(&job->err);
  volatile int result = 0;
  if (setjmp(job->err.jump)) {
    result = 1;
  } else {
    const Picture& p = *job->p;
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &job->out, &job->out_len);
    cinfo.image_width = static_cast<JDIMENSION>(p.w);
    cinfo.image_height = static_cast<JDIMENSION>(p.h);
    cinfo.input_components = p.colors;
    cinfo.in_color_space = p.colors == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, job->s->quality, TRUE);
    cinfo.optimize_coding = TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    if (!job->s->strip) {
      write_app1(&cinfo, kExifHead, 6, p.exif);
      write_app1(&cinfo, kXmpHead, sizeof kXmpHead, p.xmp);
      if (!p.icc.empty()) {
        jpeg_write_icc_profile(&cinfo, p.icc.data(), static_cast<unsigned>(p.icc.size()));
      }
    }
    // A strip of rows at a time from the planes.
    const std::size_t row_bytes = static_cast<std::size_t>(p.w) * p.colors;
    job->row = static_cast<unsigned char*>(std::malloc(row_bytes * kStripRows));
    if (job->row == nullptr) ERREXIT1(&cinfo, JERR_OUT_OF_MEMORY, 0);
    JSAMPROW rows[kStripRows];
    for (int k = 0; k < kStripRows; ++k) rows[k] = job->row + row_bytes * k;
    while (cinfo.next_scanline < cinfo.image_height) {
      const int y = static_cast<int>(cinfo.next_scanline);
      const int n = std::min(kStripRows, p.h - y);
      load_rows8(p, y, n, p.colors, job->row, row_bytes);
      int done = 0;
      while (done < n) {
        const JDIMENSION k =
            jpeg_write_scanlines(&cinfo, rows + done, static_cast<JDIMENSION>(n - done));
        if (k == 0) ERREXIT(&cinfo, JERR_TOO_LITTLE_DATA);
        done += static_cast<int>(k);
      }
    }
    jpeg_finish_compress(&cinfo);
  }
  jpeg_destroy_compress(&cinfo);
  return result;
}

}  // namespace

std::string decode_jpeg(const Source& src, const ReadSettings& s, Picture* out) {
  std::string refusal;
  Picture p;
  ReadJob first, second;
  first.src = second.src = &src;
  first.max_pixels = s.max_pixels;
  first.out = second.out = &p;
  first.refusal = &refusal;
  int result = read_open(&first, nullptr);
  int second_result = 0;
  if (result == 0) {
    const int split = split_row(&first, s.threads);
    WorkerPool pool;
    if (split > 0) pool_start(&pool, 2);
    if (split > 0 && pool.threads == 2) {
      pool_run(pool, [&](int t) {
        if (t == 0) {
          result = read_rows(&first, 0, split);
        } else {
          second_result = read_open(&second, &first);
          if (second_result == 0) second_result = read_rows(&second, split, p.h);
        }
      });
    } else {
      result = read_rows(&first, 0, p.h);
    }
  }
  read_release(&first);
  read_release(&second);
  if (result == 2) return refusal;
  // The upper rows' failure first: one decoder meets it first.
  if (result == 1) return std::string("JPEG: ") + first.err.text;
  if (second_result != 0) return std::string("JPEG: ") + second.err.text;
  *out = std::move(p);
  return "";
}

std::string encode_jpeg(const Picture& p, const WriteSettings& s,
                        std::vector<unsigned char>* bytes) {
  WriteJob job;
  job.p = &p;
  job.s = &s;
  const int result = run_write(&job);
  std::free(job.row);
  if (result == 0) bytes->assign(job.out, job.out + job.out_len);
  std::free(job.out);
  if (result != 0) return std::string("JPEG: ") + job.err.text;
  return "";
}

}  // namespace korvale::formats_detail
