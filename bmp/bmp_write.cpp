// Writing three planes as a 24-bit uncompressed BMP file with a plain 54-byte
// header (40-byte information header, 3780 pixels per metre, image size and
// palette fields 0), rows stored bottom-up, each padded with zero bytes.
//
// The file itself is written by write_output_file (common/output_file.h):
// through a temporary file renamed into place, never a partial file. Rows go
// to it in blocks, each at its own offset, so a producer's threads can hand
// over blocks of final rows in any order while the rest is computed
// (write_bmp_file_streamed); write_bmp_file is the same write with every row
// final from the start. bmp_copy_write gives the same file from a 24-bit
// input's stored rows, strip by strip, without planes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bmp/bmp.h"
#include "bmp/bmp_layout.h"
#include "common/named_alloc.h"
#include "common/output_file.h"
#include "common/row_planes.h"

namespace korvale {
namespace {

constexpr std::uint32_t kPixelsPerMetre = 3780;

void put_u16(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void put_u32(unsigned char* p, std::uint32_t v) {
  put_u16(p, v);
  put_u16(p + 2, v >> 16);
}

void fill_header(unsigned char* head, int width, int height) {
  const std::uint32_t file_size =
      static_cast<std::uint32_t>(kBmpHeaderBytes + height * bmp_row_bytes(width));
  std::memset(head, 0, kBmpHeaderBytes);
  head[0] = 'B';
  head[1] = 'M';
  put_u32(head + 2, file_size);
  put_u32(head + 10, kBmpHeaderBytes);
  put_u32(head + 14, 40);
  put_u32(head + 18, static_cast<std::uint32_t>(width));
  put_u32(head + 22, static_cast<std::uint32_t>(height));
  put_u16(head + 26, 1);
  put_u16(head + 28, 24);
  put_u32(head + 38, kPixelsPerMetre);
  put_u32(head + 42, kPixelsPerMetre);
}

// Writes all n bytes at `offset`; 0 or the errno of the failed write.
int write_all_at(int fd, const unsigned char* p, std::size_t n, std::size_t offset) {
  while (n > 0) {
    const ssize_t done = pwrite(fd, p, n, static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += done;
    offset += static_cast<std::size_t>(done);
    n -= static_cast<std::size_t>(done);
  }
  return 0;
}

// Bytes written in file order between requests that the disk start writing
// them out: small enough that the disk is busy while the rest of a picture
// of a few megabytes is still being written (a whole 1920 x 1080 copy ran
// about a tenth faster than with steps of 8 MB, which it never reached).
constexpr std::size_t kWritebackBytes = std::size_t{1} << 20;

// Asks the kernel to start writing bytes [from, from + count) of fd to the
// disk without waiting, so that most of the file is on its way by the time
// the output is flushed. Only a hint: its failure changes nothing.
void start_writeback(int fd, std::size_t from, std::size_t count) {
#if defined(__linux__)
  sync_file_range(fd, static_cast<off_t>(from), static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
  (void)from;
  (void)count;
#endif
}

// Rows of the file built at once: a whole number of 16-row tiles of the
// transpose (common/row_planes.h), up to 64 rows or about 1 MB, so that no row
// falls back to the sample-by-sample copy.
int block_rows_for(std::size_t row_bytes) {
  const std::size_t fit = (std::size_t{1} << 20) / row_bytes;
  return static_cast<int>(std::clamp<std::size_t>(fit / 16 * 16, 16, 64));
}

}  // namespace

// One write in progress: the planes, the file once it is open, a block of
// file rows for each thread (pad bytes 0), which plane rows are in the file,
// and the first failure.
struct BmpRowSink {
  const unsigned char* planes[3];  // blue, green, red: the file's order
  int w = 0, h = 0;
  std::size_t row_bytes = 0;
  int block_rows = 0;
  unsigned char* blocks = nullptr;  // thread t's block at t * block_rows * row_bytes
  int threads = 0;
  int fd = -1;
  std::vector<unsigned char> written;  // written[y]: plane row y is in the file
  std::atomic<int> failure{0};         // errno of the first failed write

  // The flusher's state (see Flusher): bytes of rows written so far, and
  // whether the producer has returned.
  std::mutex mutex;
  std::condition_variable wake;
  std::size_t bytes_out = 0;
  bool produced = false;
};

namespace {

// Writes plane rows y0 .. y0 + count - 1, built in `block` in file order,
// where they lie in the file. File row f holds plane row h - 1 - f, so they
// are file rows h - y0 - count .. h - y0 - 1, the last plane row first.
void write_rows(BmpRowSink& s, const unsigned char* block, int y0, int count) {
  const std::size_t bytes = static_cast<std::size_t>(count) * s.row_bytes;
  const std::size_t at = kBmpHeaderBytes + static_cast<std::size_t>(s.h - y0 - count) * s.row_bytes;
  if (int cause = write_all_at(s.fd, block, bytes, at); cause != 0) {
    int none = 0;
    s.failure.compare_exchange_strong(none, cause);
    return;
  }
  for (int y = y0; y < y0 + count; ++y) s.written[static_cast<std::size_t>(y)] = 1;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.bytes_out += bytes;
  }
  s.wake.notify_one();
}

// Builds plane rows y0 .. y0 + count - 1 (count <= block_rows) in `block`
// from the planes (zeros without them) and writes them (write_rows).
void put_rows(BmpRowSink& s, unsigned char* block, int y0, int count) {
  const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(s.row_bytes);
  if (s.planes[0] == nullptr) {
    std::memset(block, 0, count * s.row_bytes);
  } else {
    planes_to_rows(s.planes, static_cast<std::size_t>(s.h), static_cast<std::size_t>(y0), count,
                   s.w, 3, block + (count - 1) * stride, -stride);
  }
  write_rows(s, block, y0, count);
}

// Bytes of rows between two flushes of the streamed file.
constexpr std::size_t kFlushBytes = std::size_t{4} << 20;

// While the producer runs, a thread of its own flushes the rows written so
// far to the disk (fdatasync) each time kFlushBytes more are out, so that the
// final flush, after the last row, has only the rest to wait for: on disks
// whose flush costs time in proportion to the data, that wait is most of
// the output's cost. Only a head start: without the thread (the system
// refuses it) or with a failed flush, the final flush does it all and
// reports any failure.
class Flusher {
 public:
  explicit Flusher(BmpRowSink* sink) : sink_(sink) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
  }
  ~Flusher() {
    {
      std::lock_guard<std::mutex> lock(sink_->mutex);
      sink_->produced = true;
    }
    sink_->wake.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  Flusher(const Flusher&) = delete;
  Flusher& operator=(const Flusher&) = delete;

 private:
  void run() {
    BmpRowSink& s = *sink_;
    std::size_t flushed = 0;
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
      s.wake.wait(lock, [&] { return s.produced || s.bytes_out - flushed >= kFlushBytes; });
      if (s.produced) return;
      flushed = s.bytes_out;
      lock.unlock();
      fdatasync(s.fd);
      lock.lock();
    }
  }

  BmpRowSink* sink_;
  std::thread thread_;
};

// The streamed write, for the output body.
struct Streamed {
  BmpRowSink* sink;
  BmpProduce produce;
  void* context;
  bool* input_failed;  // set when the producer could not read its input
};

// Writes the header, lets the producer fill the planes (and report final
// rows, written at once), then writes every row not yet in the file, bottom
// row first; 0 or the errno of the first failed write; EIO, with
// *input_failed set, when the producer could not read its input.
int write_streamed(int fd, const void* context) {
  const Streamed& job = *static_cast<const Streamed*>(context);
  BmpRowSink& s = *job.sink;
  s.fd = fd;
  unsigned char head[kBmpHeaderBytes];
  fill_header(head, s.w, s.h);
  if (int cause = write_all_at(fd, head, sizeof head, 0); cause != 0) return cause;
  if (job.produce != nullptr) {
    const Flusher flusher(&s);
    if (!job.produce(job.context, &s)) {
      *job.input_failed = true;
      return EIO;
    }
  }
  // The rest in file order, handed to the disk every kWritebackBytes.
  std::size_t flushing = kBmpHeaderBytes;
  for (int last = s.h; last > 0 && s.failure.load() == 0;) {
    if (s.written[static_cast<std::size_t>(last - 1)] != 0) {
      --last;
      continue;
    }
    int first = last - 1;  // the run of unwritten rows ending at last - 1
    while (first > 0 && last - first < s.block_rows && s.written[first - 1] == 0) --first;
    put_rows(s, s.blocks, first, last - first);
    last = first;
    const std::size_t end = kBmpHeaderBytes + static_cast<std::size_t>(s.h - first) * s.row_bytes;
    if (end - flushing >= kWritebackBytes) {
      start_writeback(fd, flushing, end - flushing);
      flushing = end;
    }
  }
  return s.failure.load();
}

// The copy of a 24-bit file (bmp_copy_write): its strip of rows, and
// whether the input failed.
struct Copying {
  const BmpCopy* src;
  unsigned char* strip;  // strip_rows rows
  int strip_rows;
  bool* input_failed;
};

// Writes the header, then the stored rows in file order (bottom row first),
// a strip at a time: read, put in file order (a top-down file's strip is
// turned over), padding zeroed, written, and handed to the disk every
// kWritebackBytes. 0 or the errno of the first failed write; EIO, with
// *input_failed set, when the input cannot be read.
int write_copy(int fd, const void* context) {
  const Copying& job = *static_cast<const Copying*>(context);
  const BmpCopy& c = *job.src;
  const std::size_t row = static_cast<std::size_t>(bmp_row_bytes(c.width));
  const std::size_t used = 3 * static_cast<std::size_t>(c.width);
  unsigned char head[kBmpHeaderBytes];
  fill_header(head, c.width, c.height);
  if (int cause = write_all_at(fd, head, sizeof head, 0); cause != 0) return cause;
  std::size_t flushing = kBmpHeaderBytes;
  for (int f0 = 0; f0 < c.height; f0 += job.strip_rows) {
    const int n = std::min(job.strip_rows, c.height - f0);
    // File row f is stored row f of a bottom-up file, h - 1 - f of a top-down one.
    const int first_stored = c.top_down ? c.height - f0 - n : f0;
    if (!bmp_detail::read_exactly(c.fd, job.strip, n * row, c.pixel_offset + first_stored * row)) {
      *job.input_failed = true;
      return EIO;
    }
    for (int i = 0; c.top_down && i < n / 2; ++i) {
      std::swap_ranges(job.strip + i * row, job.strip + (i + 1) * row,
                       job.strip + (n - 1 - i) * row);
    }
    for (int i = 0; i < n; ++i) std::memset(job.strip + i * row + used, 0, row - used);
    const std::size_t at = kBmpHeaderBytes + f0 * row, end = at + n * row;
    if (int cause = write_all_at(fd, job.strip, n * row, at); cause != 0) return cause;
    if (end - flushing >= kWritebackBytes) {
      start_writeback(fd, flushing, end - flushing);
      flushing = end;
    }
  }
  return 0;
}

}  // namespace

std::string bmp_copy_write(const BmpCopy& copy, const char* path) {
  if (copy.fd < 0) std::abort();
  const std::size_t row = static_cast<std::size_t>(bmp_row_bytes(copy.width));
  const int rows = std::min(block_rows_for(row), copy.height);
  // Had before the output file is begun, so that a failed allocation leaves
  // no temporary file behind.
  Buffer<unsigned char> strip = named_buffer<unsigned char>(rows * row, "BMPCOPY");
  bool input_failed = false;
  const Copying job{&copy, strip.get(), rows, &input_failed};
  std::string error = write_output_file(path, write_copy, &job);
  return input_failed ? kBmpSizeError : error;
}

void bmp_rows_final(BmpRowSink* sink, int thread, int y0, int count) {
  BmpRowSink& s = *sink;
  if (thread < 0 || thread >= s.threads || y0 < 0 || count < 0 || y0 + count > s.h) std::abort();
  unsigned char* block = s.blocks + static_cast<std::size_t>(thread) * s.block_rows * s.row_bytes;
  for (int done = 0; done < count && s.failure.load() == 0; done += s.block_rows) {
    put_rows(s, block, y0 + done, std::min(s.block_rows, count - done));
  }
}

std::string probe_bmp_output(const char* stem) {
  return probe_output_file((std::string(stem) + ".bmp").c_str());
}

std::string write_bmp(const char* stem, const ColorPlane& red, const ColorPlane& green,
                      const ColorPlane& blue) {
  return write_bmp_file((std::string(stem) + ".bmp").c_str(), red, green, blue);
}

std::string write_bmp_file(const char* path, const ColorPlane& red, const ColorPlane& green,
                           const ColorPlane& blue) {
  return write_bmp_file_streamed(path, red, green, blue, 1, nullptr, nullptr);
}

namespace {

// The streamed write of a w x h file from `planes` (blue, green, red; all
// null when the producer builds the rows itself).
std::string write_streamed_file(const char* path, const unsigned char* const* planes, int w, int h,
                                int threads, BmpProduce produce, void* context) {
  if (threads < 1 || threads > kMaxSinkThreads) std::abort();
  // The row blocks are had before the output file is begun, so that a failed
  // allocation leaves no temporary file behind.
  BmpRowSink sink;
  for (int c = 0; c < 3; ++c) sink.planes[c] = planes[c];
  sink.w = w;
  sink.h = h;
  sink.row_bytes = static_cast<std::size_t>(bmp_row_bytes(w));
  sink.block_rows = block_rows_for(sink.row_bytes);
  sink.threads = threads;
  const std::size_t block_bytes =
      static_cast<std::size_t>(threads) * sink.block_rows * sink.row_bytes;
  Buffer<unsigned char> blocks = named_buffer<unsigned char>(block_bytes, "BMPOUTROWS");
  std::memset(blocks.get(), 0, block_bytes);
  sink.blocks = blocks.get();
  sink.written.assign(static_cast<std::size_t>(h), 0);
  bool input_failed = false;
  const Streamed job{&sink, produce, context, &input_failed};
  std::string error = write_output_file(path, write_streamed, &job);
  return input_failed ? kBmpSizeError : error;
}

}  // namespace

std::string write_bmp_file_streamed(const char* path, const ColorPlane& red,
                                    const ColorPlane& green, const ColorPlane& blue, int threads,
                                    BmpProduce produce, void* context) {
  if (red.w < 1 || red.w > kMaxSide || red.h < 1 || red.h > kMaxSide || green.w != red.w ||
      green.h != red.h || blue.w != red.w || blue.h != red.h) {
    return std::string(path) + ": cannot write planes of " + std::to_string(red.w) + "x" +
           std::to_string(red.h) + ", " + std::to_string(green.w) + "x" + std::to_string(green.h) +
           " and " + std::to_string(blue.w) + "x" + std::to_string(blue.h) + " pixels";
  }
  const unsigned char* const planes[3] = {blue.px.get(), green.px.get(), red.px.get()};
  return write_streamed_file(path, planes, red.w, red.h, threads, produce, context);
}

std::string write_bmp_rows_streamed(const char* path, int w, int h, int threads, BmpProduce produce,
                                    void* context) {
  if (w < 1 || w > kMaxSide || h < 1 || h > kMaxSide) {
    return std::string(path) + ": cannot write a picture of " + std::to_string(w) + "x" +
           std::to_string(h) + " pixels";
  }
  const unsigned char* const none[3] = {nullptr, nullptr, nullptr};
  return write_streamed_file(path, none, w, h, threads, produce, context);
}

unsigned char* bmp_rows_block(BmpRowSink* sink, int thread) {
  if (thread < 0 || thread >= sink->threads) std::abort();
  return sink->blocks + static_cast<std::size_t>(thread) * sink->block_rows * sink->row_bytes;
}

void bmp_rows_built(BmpRowSink* sink, int thread, int y0, int count) {
  BmpRowSink& s = *sink;
  if (s.planes[0] != nullptr || y0 < 0 || count < 1 || count > kBmpSinkRows || y0 + count > s.h)
    std::abort();
  if (s.failure.load() == 0) write_rows(s, bmp_rows_block(sink, thread), y0, count);
}

}  // namespace korvale
