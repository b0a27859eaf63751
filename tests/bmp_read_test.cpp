// The reader on files: sound 24-bit files of every padding and row order,
// the declared size, every refused header named before any allocation, the
// pixel limit, unreadable inputs and every allocation failure in order.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>

#include "bmp/bmp.h"
#include "tests/bmp_encode.h"
#include "tests/bmp_test_util.h"
#include "tests/child_process.h"

namespace korvale {
namespace {

using test::BmpFields;
using test::build_bmp;
using test::holds_sample;
using test::run_in_child;
using std::string_literals::operator""s;

class BmpRead : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::make_temp_dir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    clear_named_allocation_failure();
    std::filesystem::remove_all(dir_);
  }
  std::string put(const std::vector<unsigned char>& bytes, const char* name = "in.bmp") {
    const std::string path = dir_ + "/" + name;
    test::write_file(path, bytes);
    return path;
  }
  std::string dir_;
};

bool holds_picture(const BmpPlanes& p, int w, int h, unsigned seed = 0) {
  return holds_sample(p.red, w, h, 0, seed) && holds_sample(p.green, w, h, 1, seed) &&
         holds_sample(p.blue, w, h, 2, seed);
}

std::string decode(const std::vector<unsigned char>& bytes, BmpPlanes* out) {
  return decode_bmp(bytes.data(), bytes.size(), out);
}

TEST_F(BmpRead, EveryPaddingAndBothRowOrders) {
  for (int w = 1; w <= 8; ++w) {
    for (int h : {1, 2, 3, 6}) {
      for (int sign : {1, -1}) {
        BmpFields f;
        f.width = w;
        f.height = sign * h;
        f.seed = static_cast<unsigned>(w * 10 + h);
        BmpPlanes planes;
        ASSERT_EQ(decode(build_bmp(f), &planes), "") << w << "x" << sign * h;
        EXPECT_TRUE(holds_picture(planes, w, h, f.seed)) << w << "x" << sign * h;
      }
    }
  }
}

TEST_F(BmpRead, OneByOneFileOf58Bytes) {
  const std::vector<unsigned char> file = build_bmp(BmpFields{});
  ASSERT_EQ(file.size(), 58u);
  BmpPlanes planes;
  ASSERT_EQ(test::read_path(put(file), &planes), "");
  EXPECT_TRUE(planes.red.w == 1 && planes.red.h == 1 && planes.blue.w == 1 && planes.blue.h == 1);
  EXPECT_EQ(planes.blue.px[0], file[54]);
  EXPECT_EQ(planes.green.px[0], file[55]);
  EXPECT_EQ(planes.red.px[0], file[56]);
}

TEST_F(BmpRead, PixelsStartAtTheHeaderOffset) {
  // Larger information headers put the pixels later; the gap is filled with
  // junk that must not show up in the planes.
  for (auto [info, offset] : {std::pair{108u, 122u}, std::pair{124u, 138u}}) {
    BmpFields f;
    f.width = 5;
    f.height = 3;
    f.info_size = info;
    f.pixel_offset = offset;
    f.gap_byte = 0xAB;
    BmpPlanes planes;
    ASSERT_EQ(test::read_path(put(build_bmp(f)), &planes), "");
    EXPECT_TRUE(holds_picture(planes, 5, 3)) << "offset " << offset;
    f.height = -3;
    BmpPlanes top_down;
    ASSERT_EQ(decode(build_bmp(f), &top_down), "");
    EXPECT_TRUE(holds_picture(top_down, 5, 3)) << "top-down, offset " << offset;
  }
}

TEST_F(BmpRead, DeclaredSizeDecidesWhatIsRead) {
  BmpFields f;
  f.width = 3;
  f.height = 2;
  const std::int64_t needed = 54 + 2 * 12;

  // Shorter than the file: the rest is ignored.
  f.extra_bytes = 7;
  f.declared_size = needed;
  BmpPlanes shorter;
  ASSERT_EQ(test::read_path(put(build_bmp(f)), &shorter), "");
  EXPECT_TRUE(holds_picture(shorter, 3, 2));

  // Longer than the file, by one byte or by gigabytes: "input file size
  // err!!" alone, before any buffer is allocated for it.
  for (std::int64_t declared : {needed + 8, std::int64_t{INT_MAX}}) {
    f.declared_size = declared;
    BmpPlanes planes;
    EXPECT_EQ(decode(build_bmp(f), &planes), kBmpSizeError);
    const test::ChildResult r = test::read_in_child(put(build_bmp(f)), 1);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "input file size err!!\n") << declared;
  }
}

struct Rejected {
  const char* what;
  BmpFields fields;
  int keep;  // bytes of the built file kept (-1: all)
  const char* message;
};

BmpFields with(void (*change)(BmpFields&)) {
  return test::fields_with(2, 2, change);
}

const Rejected kRejected[] = {
    {"empty", BmpFields{}, 0, "too short for the BMP headers (0 bytes; at least 26 needed)"},
    {"53 bytes", BmpFields{}, 53, "too short for the BMP headers (53 bytes; at least 54 needed)"},
    {"signature", with([](BmpFields& f) { f.signature[1] = 'A'; }), -1,
     "not a BMP file (no \"BM\" signature)"},
    {"header of 20 bytes", with([](BmpFields& f) { f.info_size = 20; }), -1,
     "information header of 20 bytes; the known sizes are 12, 16, 40, 52, 56, 64, 108 and 124"},
    {"48 bits", with([](BmpFields& f) { f.bits = 48; }), -1,
     "48 bits per pixel; only 1, 2, 4, 8, 16, 24 and 32 are read"},
    {"JPEG inside", with([](BmpFields& f) { f.compression = 4; }), -1,
     "JPEG data inside a BMP file is not read"},
    {"PNG inside", with([](BmpFields& f) { f.compression = 5; }), -1,
     "PNG data inside a BMP file is not read"},
    {"RLE8 with 24 bits", with([](BmpFields& f) { f.compression = 1; }), -1,
     "RLE8 compression with 24 bits per pixel; it needs 8"},
    {"compression 7", with([](BmpFields& f) { f.compression = 7; }), -1,
     "compression method 7 is not known"},
    {"width 0", with([](BmpFields& f) { f.width = 0; }), -1, "width 0 outside 1..32768"},
    {"width -2", with([](BmpFields& f) { f.width = -2; }), -1, "width -2 outside 1..32768"},
    {"width 32769", with([](BmpFields& f) { f.width = 32769; }), -1,
     "width 32769 outside 1..32768"},
    {"height 0", with([](BmpFields& f) { f.height = 0; }), -1,
     "height 0 outside 1..32768 (or -1..-32768 for top-down rows)"},
    {"height 32769", with([](BmpFields& f) { f.height = 32769; }), -1,
     "height 32769 outside 1..32768 (or -1..-32768 for top-down rows)"},
    {"height INT_MIN", with([](BmpFields& f) { f.height = INT_MIN; }), -1,
     "height -2147483648 outside 1..32768 (or -1..-32768 for top-down rows)"},
    {"offset 53", with([](BmpFields& f) { f.pixel_offset = 53; }), -1,
     "pixel data offset 53 outside the file (54..70)"},
    {"offset past the end", with([](BmpFields& f) {
       f.pixel_offset = 71;
       f.extra_bytes = 0;
     }),
     54, "pixel data offset 71 outside the file (54..54)"},
    {"size one short", with([](BmpFields& f) { f.declared_size = 69; }), -1,
     "declared size 69 too small for 2x2 pixels from offset 54 (70 bytes needed)"},
    {"size negative", with([](BmpFields& f) { f.declared_size = 0xFFFFFFFF; }), -1,
     "declared size 4294967295 too small for 2x2 pixels from offset 54 (70 bytes needed)"},
};

TEST_F(BmpRead, EveryRejectedHeaderNamesTheFileBeforeAnyAllocation) {
  for (const Rejected& c : kRejected) {
    std::vector<unsigned char> file = build_bmp(c.fields);
    if (c.keep >= 0) file.resize(static_cast<std::size_t>(c.keep));
    BmpPlanes planes;
    EXPECT_EQ(decode(file, &planes), c.message) << c.what;
    const std::string path = put(file);
    // Any allocation would end the child with "no memory".
    const test::ChildResult r = test::read_in_child(path, 1);
    EXPECT_EQ(r.status, 0) << c.what;
    EXPECT_EQ(r.out, path + ": " + c.message + "\n") << c.what;
  }
}

TEST_F(BmpRead, PixelLimitIsCheckedRightAfterTheHeader) {
  // 1 KB of RLE8 declaring 32768 x 32768, ended at once (the rest would be
  // black): refused before the file's bytes or any plane get a buffer.
  std::string rle = "\0\1"s + std::string(1000, '\0');
  const std::string huge =
      bmptest::assemble(bmptest::Header{40, 32768, 32768, 8, 1, 2, {}, {0, 0xFFFFFF}}, rle);
  const std::string path = put(std::vector<unsigned char>(huge.begin(), huge.end()));
  test::ChildResult r = test::read_in_child(path, 1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, path +
                       ": 32768x32768 is 1073741824 pixels, more than the limit of 268435456 "
                       "(-maxpixels N raises it)\n");
  // Raised to fit, the same file gets as far as its first buffer.
  r = test::read_in_child(path, 1, std::int64_t{1} << 30);
  EXPECT_EQ(r.out, "vin no memory!!\n");

  // The limit counts width x height, inclusive, for decode_bmp as well.
  BmpFields f;
  f.width = 3;
  f.height = -2;
  const std::vector<unsigned char> file = build_bmp(f);
  BmpPlanes planes;
  EXPECT_EQ(decode_bmp(file.data(), file.size(), &planes, 1, 6), "");
  EXPECT_EQ(decode_bmp(file.data(), file.size(), &planes, 1, 5),
            "3x2 is 6 pixels, more than the limit of 5 (-maxpixels N raises it)");
}

TEST_F(BmpRead, UnreadableInputIsAnError) {
  const std::string path = dir_ + "/absent.bmp";
  BmpPlanes planes;
  EXPECT_EQ(test::read_path(path, &planes), path + ": cannot open (No such file or directory)");
  // Only regular files are read, checked on the open file (a FIFO would
  // otherwise block the reader for ever).
  EXPECT_EQ(test::read_path(dir_, &planes), dir_ + ": is a folder, not a regular file");
  const std::string fifo = dir_ + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(test::read_path(fifo, &planes), fifo + ": is a FIFO, not a regular file");
}

TEST_F(BmpRead, EveryAllocationFailureInOrder) {
  BmpFields f;
  f.width = 3;
  f.height = 2;
  const std::string path = put(build_bmp(f));
  // The file is read a strip at a time into a scratch buffer after the
  // planes; decoding from memory needs the planes alone.
  const char* const kReadOrder[] = {"B", "G", "R", "BMPROWS"};
  for (int k = 1; k <= 4; ++k) {
    const test::ChildResult r = test::read_in_child(path, k);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kReadOrder[k - 1]) + " no memory!!\n");
  }
  const std::vector<unsigned char> file = build_bmp(f);
  for (int k = 1; k <= 3; ++k) {
    const test::ChildResult r = run_in_child([&] {
      fail_named_allocation(nullptr, k);
      BmpPlanes planes;
      decode(file, &planes);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kReadOrder[k - 1]) + " no memory!!\n");
  }
}

TEST_F(BmpRead, HostileBytesNeverReadOutsideTheFile) {
  // Every prefix of a file, and every header byte set to a few extreme values:
  // decoding either fails cleanly or yields planes of the declared size. Run
  // under AddressSanitizer this catches reads past the end.
  BmpFields f;
  f.width = 5;
  f.height = 3;
  f.info_size = 124;
  f.pixel_offset = 138;
  const std::vector<unsigned char> file = build_bmp(f);
  for (std::size_t len = 0; len < file.size(); ++len) {
    std::vector<unsigned char> prefix(file.begin(), file.begin() + len);
    BmpPlanes planes;
    EXPECT_NE(decode(prefix, &planes), "") << len;
  }
  for (std::size_t at = 0; at < 54; ++at) {
    for (unsigned char v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
      std::vector<unsigned char> bad = file;
      bad[at] = v;
      BmpPlanes planes;
      if (decode(bad, &planes).empty()) {
        EXPECT_GE(planes.red.w, 1);
        EXPECT_GE(planes.red.h, 1);
      }
    }
  }
}

}  // namespace
}  // namespace korvale
