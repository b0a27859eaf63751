// Decoding straight from an open file: the same picture as from the file's
// bytes in memory, and a clean refusal (never a crash) when the file turns
// out shorter than it was measured, as when it is cut while it is read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bmp/bmp.h"
#include "bmp/bmp_layout.h"
#include "common/worker_pool.h"
#include "formats/codec.h"
#include "tests/formats_test_util.h"

namespace korvale {
namespace {

using formats_detail::Source;

// A picture of odd size with every sample different from its neighbours.
Picture test_picture(int w, int h) {
  Picture p;
  formats_detail::allocate_planes(&p, w, h, 8, 3, false);
  for (int c = 0; c < 3; ++c) {
    for (int x = 0; x < w; ++x) {
      for (int y = 0; y < h; ++y) {
        p.planes[c].at(x, y) = static_cast<unsigned char>(x * 7 + y * 13 + c * 71 + (x * y) % 5);
      }
    }
  }
  return p;
}

std::string decode_from(ImageFormat f, const Source& src, Picture* out) {
  ReadSettings s;
  int orientation = 1;
  switch (f) {
    case ImageFormat::png:
      return formats_detail::decode_png(src, s, out);
    case ImageFormat::jpeg:
      return formats_detail::decode_jpeg(src, s, out);
    default:
      return formats_detail::decode_tiff(src, s, out, &orientation);
  }
}

void write_prefix(const std::string& path, const std::vector<unsigned char>& bytes,
                  std::size_t len) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, len, f), len);
  std::fclose(f);
}

TEST(FormatsFileSource, SamePictureAsFromMemoryAndShrunkFilesAreRefused) {
  KORVALE_NEED_ALL_FORMATS();
  formats_test::ScratchDir dir;
  const Picture picture = test_picture(203, 157);
  for (ImageFormat f : {ImageFormat::png, ImageFormat::jpeg, ImageFormat::tiff}) {
    SCOPED_TRACE(format_name(f));
    std::vector<unsigned char> bytes;
    ASSERT_EQ(encode_picture(f, picture, WriteSettings{}, &bytes), "");
    Picture from_memory;
    ASSERT_EQ(decode_from(f, Source{bytes.data(), -1, bytes.size()}, &from_memory), "");

    const std::string path = dir / "picture";
    // The whole file, then cuts: the decoder still believes the measured
    // length, as when the file is cut after it was measured.
    for (std::size_t len : {bytes.size(), bytes.size() - 1, bytes.size() * 3 / 4, bytes.size() / 2,
                            std::size_t{100}, std::size_t{9}, std::size_t{0}}) {
      SCOPED_TRACE(len);
      write_prefix(path, bytes, len);
      const int fd = open(path.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      Picture from_file;
      const std::string error = decode_from(f, Source{nullptr, fd, bytes.size()}, &from_file);
      close(fd);
      if (len < bytes.size()) {
        EXPECT_NE(error, "");
        EXPECT_EQ(error.find('\n'), std::string::npos);
        continue;
      }
      ASSERT_EQ(error, "");
      ASSERT_EQ(from_file.w, from_memory.w);
      ASSERT_EQ(from_file.h, from_memory.h);
      for (int c = 0; c < 3; ++c) {
        const std::size_t n = static_cast<std::size_t>(picture.w) * picture.h;
        EXPECT_EQ(0, std::memcmp(from_file.planes[c].px.get(), from_memory.planes[c].px.get(), n));
      }
    }
  }
}

// Leaves freed heap blocks of every small size full of a non-zero byte, so
// that a decoder handing out memory it never wrote shows it.
void dirty_small_heap_blocks() {
  std::vector<void*> blocks;
  for (std::size_t n = 16; n <= 8192; n += 16) {
    void* b = std::malloc(n);
    if (b != nullptr) std::memset(b, 0xa5, n);
    blocks.push_back(b);
  }
  for (void* b : blocks) std::free(b);
}

// Damaged files found by fuzzing, each read from its bytes and from the file:
// the two must agree (both refuse, or both give the same picture), and a
// picture read must be ImageMagick's, sample for sample.
TEST(FormatsFileSource, DamagedFilesReadTheSameFromBytesAndFromTheFile) {
  KORVALE_NEED_ALL_FORMATS();
  // - A tiled TIFF whose second tile's byte count is 0: libtiff refused it
  //   when it was handed the bytes mapped, and read it from the file.
  // - A 16-bit RGB TIFF with a predictor whose deflate stream ends 41 bytes
  //   short of its strip: libtiff still reports the whole strip read, and
  //   the unwritten end of the buffer came out as heap garbage.
  // ImageMagick refuses the first and reads the second.
  const struct {
    const char* name;
    bool imagemagick_reads;
  } kFiles[] = {{"tiff_tile_without_bytes.tif", false}, {"tiff_deflate_ends_early.tif", true}};
  for (const auto& [name, imagemagick_reads] : kFiles) {
    SCOPED_TRACE(name);
    const std::string path = std::string(KORVALE_TEST_DATA_DIR) + "/" + name;
    const std::vector<unsigned char> bytes = formats_test::file_bytes(path);
    ASSERT_FALSE(bytes.empty());
    ReadSettings s;
    Picture from_bytes, from_file;
    dirty_small_heap_blocks();
    const std::string bytes_error = decode_picture(bytes.data(), bytes.size(), s, &from_bytes);
    dirty_small_heap_blocks();
    const std::string file_error = read_picture(path.c_str(), s, &from_file);
    ASSERT_EQ(bytes_error.empty(), file_error.empty()) << bytes_error << " / " << file_error;
    if (!bytes_error.empty()) continue;
    ASSERT_EQ(from_bytes.w, from_file.w);
    ASSERT_EQ(from_bytes.h, from_file.h);
    ASSERT_EQ(from_bytes.planes.size(), from_file.planes.size());
    ASSERT_EQ(from_bytes.wide.size(), from_file.wide.size());
    const std::size_t n = static_cast<std::size_t>(from_bytes.w) * from_bytes.h;
    for (std::size_t c = 0; c < from_bytes.planes.size(); ++c) {
      EXPECT_EQ(0, std::memcmp(from_bytes.planes[c].px.get(), from_file.planes[c].px.get(), n));
    }
    for (std::size_t c = 0; c < from_bytes.wide.size(); ++c) {
      EXPECT_EQ(0, std::memcmp(from_bytes.wide[c].px.get(), from_file.wide[c].px.get(), n * 2));
    }
    if (!imagemagick_reads) continue;
    EXPECT_EQ(formats_test::worst_level_diff(formats_test::rgba16(from_bytes),
                                             formats_test::im_rgba16(path), false),
              0);
  }
}

TEST(FormatsFileSource, BmpRowsReadFromAShrunkFileAreRefused) {
  // The header is checked against the full length; the pixels are then read
  // strip by strip from a file that has lost its end, on one and on three
  // threads.
  formats_test::ScratchDir dir;
  Picture picture = test_picture(61, 150);
  std::vector<unsigned char> bytes;
  ASSERT_EQ(encode_picture(ImageFormat::bmp, picture, WriteSettings{}, &bytes), "");
  bmp_detail::BmpLayout layout;
  ASSERT_EQ(bmp_detail::check_bmp_layout(bytes.data(), bytes.size(), bytes.size(), &layout), "");
  const std::string path = dir / "picture.bmp";
  for (std::size_t len : {bytes.size(), bytes.size() - 1, bytes.size() / 2, std::size_t{60}}) {
    for (int threads : {1, 3}) {
      SCOPED_TRACE(testing::Message() << len << " bytes, " << threads << " threads");
      write_prefix(path, bytes, len);
      const int fd = open(path.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      ColorPlane planes[3];
      for (ColorPlane& p : planes) p = named_plane(layout.width, layout.height, "P");
      WorkerPool pool;
      pool_start(&pool, threads);
      const std::string error = bmp_detail::decode_pixels(
          bmp_detail::PixelSource{nullptr, fd}, layout, planes[2], planes[1], planes[0], pool);
      close(fd);
      if (len < bytes.size()) {
        EXPECT_EQ(error, kBmpSizeError);
        continue;
      }
      ASSERT_EQ(error, "");
      for (int c = 0; c < 3; ++c) {
        const std::size_t n = static_cast<std::size_t>(picture.w) * picture.h;
        EXPECT_EQ(0, std::memcmp(planes[c].px.get(), picture.planes[c].px.get(), n)) << c;
      }
    }
  }
}

}  // namespace
}  // namespace korvale
