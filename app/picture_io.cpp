// Loading one picture and saving one picture; output names and formats.
#include "app/picture_io.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bmp/bmp.h"
#include "common/color_plane.h"
#include "common/output_file.h"

namespace korvale {
namespace {

// The part of `path` after its folder.
std::string base_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// An encoded file's bytes for write_output_file.
int write_bytes(int fd, const void* context) {
  const auto& bytes = *static_cast<const std::vector<unsigned char>*>(context);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// A 16-bit plane rounded to 8 bits: round(v * 255 / 65535).
ColorPlane narrowed(const WidePlane& wide, const char* name) {
  ColorPlane plane = named_plane<unsigned char>(wide.w, wide.h, name);
  const std::size_t n = static_cast<std::size_t>(wide.w) * wide.h;
  for (std::size_t i = 0; i < n; ++i) {
    plane.px[i] = static_cast<unsigned char>((std::uint32_t{wide.px[i]} * 255 + 32767) / 65535);
  }
  return plane;
}

// The picture as a 24-bit BMP: red, green and blue (gray three times), 8 bits.
std::string save_plain_bmp(const std::string& path, const Picture& p) {
  const int blue = p.colors == 1 ? 0 : 2;
  const int green = p.colors == 1 ? 0 : 1;
  if (p.bits == 8) {
    return write_bmp_file(path.c_str(), p.planes[0], p.planes[green], p.planes[blue]);
  }
  static const char* const kNames[] = {"RUPOUT8", "GUPOUT8", "BUPOUT8"};
  std::vector<ColorPlane> eight;
  for (int c = 0; c < p.colors; ++c) eight.push_back(narrowed(p.wide[c], kNames[c]));
  return write_bmp_file(path.c_str(), eight[0], eight[green], eight[blue]);
}

// The last colour's resize, run by the BMP writer once the file is begun.
struct StreamedPlane {
  ResizeRun* run;
  const ColorPlane* src;  // null: dst holds the source, shrunk in its own memory
  ColorPlane* dst;
};

// Runs resize() with SIGPIPE ignored. The progress lines of the planes
// resized while the BMP file is written must not meet the disposition the
// process started with (a closed pipe on standard error would end the run),
// so SIGPIPE is ignored while they are computed, as for the others.
template <class Resize>
void resize_while_writing(const Resize& resize) {
  struct sigaction ignore = {};
  struct sigaction during_write = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &during_write);
  resize();
  sigaction(SIGPIPE, &during_write, nullptr);
}

// Runs resize(rows) as resize_while_writing does, rows telling the BMP
// writer's sink of final rows.
template <class Resize>
void resize_into_sink(BmpRowSink* sink, const Resize& resize) {
  const RowsFinal rows{[](void* s, int thread, int y0, int count) {
                         bmp_rows_final(static_cast<BmpRowSink*>(s), thread, y0, count);
                       },
                       sink};
  resize_while_writing([&] { resize(rows); });
}

bool resize_into_file(void* context, BmpRowSink* sink) {
  const StreamedPlane& job = *static_cast<const StreamedPlane*>(context);
  resize_into_sink(sink, [&](const RowsFinal& rows) {
    if (job.src == nullptr) {
      resize_plane_in_place(*job.run, job.dst->px.get(), &rows);
    } else {
      resize_plane(*job.run, *job.src, *job.dst, rows);
    }
  });
  return true;
}

// The BMP source's rows y0 .. y0 + count - 1, read into the thread's block.
const unsigned char* stored_rows(void* context, int thread, int y0, int count,
                                 std::ptrdiff_t* stride) {
  BmpRowsSource& s = *static_cast<BmpRowsSource*>(context);
  const unsigned char* rows =
      bmp_copy_rows(*s.file, y0, count, s.blocks.get() + thread * s.block_bytes, stride);
  if (rows == nullptr) s.failed = true;
  return rows;
}

// Colour c (0 red, 1 green, 2 blue) of the BMP source: stored pixels are
// blue, green, red, so red is each pixel's third byte.
RowSource colour_of(BmpRowsSource& src, int c) {
  return RowSource{stored_rows, &src, 2 - c, 3};
}

// The last colour of a BMP source, resized by the BMP writer once the file
// is begun.
struct StreamedRows {
  ResizeRun* run;
  BmpRowsSource* src;
  ColorPlane* dst;
};

// A BMP source that shrinks only in width, all its colours at once, straight
// into the BMP writer's rows (resize_rows_colours): each thread keeps a
// block's red and green samples until its blue ones come.
struct DirectRows {
  ResizeRun* run;
  BmpRowsSource* src;
  int out_w;
  Buffer<unsigned char> kept;  // "BMPCOLOURS": 2 * kSourceRows rows of out_w a thread
  BmpRowSink* sink;            // once the file is begun
};

// A block of one colour's rows: red and green kept, and with blue the
// block's rows built in the thread's block of file rows (file order: the
// last row first) and handed to the writer.
void put_colour(void* context, int thread, int colour, int y0, int count,
                const unsigned char* samples) {
  const DirectRows& job = *static_cast<const DirectRows*>(context);
  const std::size_t w = static_cast<std::size_t>(job.out_w);
  unsigned char* kept = job.kept.get() + static_cast<std::size_t>(thread) * 2 * kSourceRows * w;
  if (colour < 2) {
    std::memcpy(kept + colour * kSourceRows * w, samples, count * w);
    return;
  }
  unsigned char* block = bmp_rows_block(job.sink, thread);
  const std::size_t row = static_cast<std::size_t>(bmp_row_bytes(job.out_w));
  for (int i = 0; i < count; ++i) {
    unsigned char* to = block + (count - 1 - i) * row;
    const unsigned char* r = kept + i * w;
    const unsigned char* g = r + kSourceRows * w;
    const unsigned char* b = samples + i * w;
    for (std::size_t x = 0; x < w; ++x, to += 3) {
      to[0] = b[x];
      to[1] = g[x];
      to[2] = r[x];
    }
  }
  bmp_rows_built(job.sink, thread, y0, count);
}

bool resize_colours_into_file(void* context, BmpRowSink* sink) {
  DirectRows& job = *static_cast<DirectRows*>(context);
  job.sink = sink;
  const RowSource colours[3] = {colour_of(*job.src, 0), colour_of(*job.src, 1),
                                colour_of(*job.src, 2)};
  resize_while_writing([&] {
    resize_rows_colours(*job.run, colours, 3, RowsOut{put_colour, &job});
  });
  return !job.src->failed;
}

bool resize_rows_into_file(void* context, BmpRowSink* sink) {
  const StreamedRows& job = *static_cast<const StreamedRows*>(context);
  resize_into_sink(sink, [&](const RowsFinal& rows) {
    resize_rows(*job.run, colour_of(*job.src, 2), *job.dst, &rows);
  });
  return !job.src->failed;
}

}  // namespace

bool writes_plain_bmp(const OutputTarget& target, const Picture& picture) {
  return (target.plain_bmp || target.format == ImageFormat::bmp) && !picture.alpha &&
         picture.bits == 8 && (picture.colors == 1 || picture.colors == 3);
}

std::string save_bmp_streamed(const OutputTarget& target, ResizeRun& run, const ColorPlane* last,
                              Picture* out) {
  const int blue = out->colors == 1 ? 0 : 2;
  const int green = out->colors == 1 ? 0 : 1;
  StreamedPlane job{&run, last, &out->planes[out->colors - 1]};
  return write_bmp_file_streamed(target.path.c_str(), out->planes[0], out->planes[green],
                                 out->planes[blue], resize_run_threads(run), resize_into_file,
                                 &job);
}

void bmp_rows_source_begin(BmpRowsSource* src, const BmpCopy& file, const ResizeRun& run) {
  src->file = &file;
  src->block_bytes = kSourceRows * static_cast<std::size_t>(bmp_row_bytes(file.width));
  src->blocks = named_buffer<unsigned char>(
      static_cast<std::size_t>(resize_run_threads(run)) * src->block_bytes, "BMPINROWS");
  src->failed = false;
}

bool shrink_bmp_colour(ResizeRun& run, BmpRowsSource& src, int c, ColorPlane* dst) {
  resize_rows(run, colour_of(src, c), *dst);
  return !src.failed;
}

std::string save_bmp_rows_streamed(const OutputTarget& target, ResizeRun& run, BmpRowsSource& src,
                                   Picture* out) {
  StreamedRows job{&run, &src, &out->planes[2]};
  return write_bmp_file_streamed(target.path.c_str(), out->planes[0], out->planes[1],
                                 out->planes[2], resize_run_threads(run), resize_rows_into_file,
                                 &job);
}

std::string save_bmp_colours_streamed(const OutputTarget& target, ResizeRun& run,
                                      BmpRowsSource& src, int out_w, int out_h) {
  DirectRows job{&run, &src, out_w,
                 named_buffer<unsigned char>(
                     static_cast<std::size_t>(resize_run_threads(run)) * 2 * kSourceRows * out_w,
                     "BMPCOLOURS"),
                 nullptr};
  return write_bmp_rows_streamed(target.path.c_str(), out_w, out_h, resize_run_threads(run),
                                 resize_colours_into_file, &job);
}

std::string expand_output_pattern(const std::string& pattern, const std::string& input,
                                  std::string* path) {
  std::string stem = base_name(input);
  if (const std::size_t dot = stem.rfind('.'); dot != std::string::npos && dot > 0) {
    stem.resize(dot);
  }
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out += pattern[i];
    } else if (i + 1 < pattern.size() && pattern[i + 1] == 's') {
      out += stem;
      ++i;
    } else if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
    } else {
      return "-out " + pattern +
             ": a % must be followed by s (the input's name) or % (a percent sign)";
    }
  }
  *path = out;
  return "";
}

OutputTarget stem_target(const std::string& stem) {
  OutputTarget target;
  target.path = stem + ".bmp";
  target.format = ImageFormat::bmp;
  target.plain_bmp = true;
  return target;
}

std::string path_target(const std::string& path, OutputTarget* target) {
  ImageFormat format = ImageFormat::bmp;
  if (std::string error = output_format_for_path(path.c_str(), &format); !error.empty()) {
    return error;
  }
  target->path = path;
  target->format = format;
  target->plain_bmp = false;
  return "";
}

std::string load_picture(const std::string& name, const ReadSettings& s, Picture* out) {
  return read_picture(name.c_str(), s, out);
}

std::string probe_output(const OutputTarget& target) {
  return probe_output_file(target.path.c_str());
}

std::string encode_output(const OutputTarget& target, const Picture& picture,
                          const WriteSettings& s, std::vector<unsigned char>* bytes) {
  bytes->clear();
  if (target.plain_bmp || (target.format == ImageFormat::bmp && !picture.alpha)) return "";
  if (std::string error = encode_picture(target.format, picture, s, bytes); !error.empty()) {
    return target.path + ": " + error;
  }
  return "";
}

std::string save_picture(const OutputTarget& target, const Picture& picture,
                         const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) return save_plain_bmp(target.path, picture);
  return write_output_file(target.path.c_str(), write_bytes, &bytes);
}

}  // namespace korvale
