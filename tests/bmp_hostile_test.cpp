// Hostile and odd 24-bit files: each one is read correctly, or refused with
// one line before anything is allocated for it. Run under the sanitizers, these
// also show that no case reads outside the file. (Plain rejections such as a
// zero height, a negative width or a short declared size are in
// bmp_read_test.cpp.)
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

#include "bmp/bmp.h"
#include "tests/bmp_test_util.h"
#include "tests/child_process.h"

namespace korvale {
namespace {

using test::BmpFields;

struct OddFile {
  const char* what;
  BmpFields fields;                // on top of a 3 x 2 picture (rows of 12 bytes, 78-byte file)
  long keep;                       // bytes of the built file kept (-1: all)
  const char* refusal;             // nullptr: the picture must read back correctly
  std::uint32_t offset_field = 0;  // when not 0, written over bytes 10..13 after building
};

BmpFields odd(void (*change)(BmpFields&)) {
  return test::fields_with(3, 2, change);
}

const OddFile kOddFiles[] = {
    {"4096 x 4096 declared in 78 bytes", odd([](BmpFields& f) {
       f.width = f.height = 4096;
       f.declared_size = 78;
     }),
     78, "declared size 78 too small for 4096x4096 pixels from offset 54 (50331702 bytes needed)"},
    {"INT_MAX x INT_MAX", odd([](BmpFields& f) { f.width = f.height = INT_MAX; }), -1,
     "width 2147483647 outside 1..32768"},
    {"46341 x 46341 (width x height overflows 32 bits)",
     odd([](BmpFields& f) { f.width = f.height = 46341; }), -1, "width 46341 outside 1..32768"},
    {"width INT_MIN", odd([](BmpFields& f) { f.width = INT_MIN; }), -1,
     "width -2147483648 outside 1..32768"},
    {"width INT_MIN, top-down", odd([](BmpFields& f) {
       f.width = INT_MIN;
       f.height = -2;
     }),
     -1, "width -2147483648 outside 1..32768"},
    {"declared size 0", odd([](BmpFields& f) { f.declared_size = 0; }), -1,
     "declared size 0 too small for 3x2 pixels from offset 54 (78 bytes needed)"},
    {"offset 0", odd([](BmpFields& f) { f.pixel_offset = 0; }), -1,
     "pixel data offset 0 outside the file (54..78)"},
    {"offset 2^32 - 1", odd([](BmpFields&) {}), -1,
     "pixel data offset 4294967295 outside the file (54..78)", 0xFFFFFFFF},
    {"offset inside a 124-byte header", odd([](BmpFields& f) {
       f.info_size = 124;
       f.extra_bytes = 100;
     }),
     -1, "pixel data offset 54 inside the 124-byte information header (it ends at byte 138)"},
    {"124-byte header in a 78-byte file", odd([](BmpFields& f) { f.info_size = 124; }), -1,
     "too short for the BMP headers (78 bytes; at least 138 needed)"},
    {"header size 2^32 - 1", odd([](BmpFields& f) { f.info_size = 0xFFFFFFFF; }), -1,
     "information header of 4294967295 bytes; the known sizes are 12, 16, 40, 52, 56, 64, 108 "
     "and 124"},
    {"header size 39", odd([](BmpFields& f) { f.info_size = 39; }), -1,
     "information header of 39 bytes; the known sizes are 12, 16, 40, 52, 56, 64, 108 and 124"},
    {"header size 64", odd([](BmpFields& f) {
       f.info_size = 64;
       f.pixel_offset = 78;
       f.gap_byte = 0xEE;
     }),
     -1, nullptr},
    {"header size 64, top-down", odd([](BmpFields& f) {
       f.info_size = 64;
       f.pixel_offset = 78;
       f.height = -2;
     }),
     -1, nullptr},
    {"last row cut short", odd([](BmpFields&) {}), 73, kBmpSizeError},
    {"last row's padding missing", odd([](BmpFields&) {}), 76, kBmpSizeError},
    {"last row cut, size to match", odd([](BmpFields& f) { f.declared_size = 73; }), 73,
     "declared size 73 too small for 3x2 pixels from offset 54 (78 bytes needed)"},
    {"extra bytes, counted in the size", odd([](BmpFields& f) {
       f.extra_bytes = 1000;
       f.gap_byte = 0x5A;
     }),
     -1, nullptr},
    {"0 planes", odd([](BmpFields& f) { f.planes = 0; }), -1, "0 colour planes; only 1 is valid"},
    {"2 planes", odd([](BmpFields& f) { f.planes = 2; }), -1, "2 colour planes; only 1 is valid"},
    {"65535 planes", odd([](BmpFields& f) { f.planes = 65535; }), -1,
     "65535 colour planes; only 1 is valid"},
};

bool holds_picture(const BmpPlanes& p, int w, int h) {
  return test::holds_sample(p.red, w, h, 0) && test::holds_sample(p.green, w, h, 1) &&
         test::holds_sample(p.blue, w, h, 2);
}

TEST(BmpHostile, EachOddFileIsReadCorrectlyOrRefusedBeforeAnyAllocation) {
  const std::string dir = test::make_temp_dir();
  ASSERT_FALSE(dir.empty());
  for (const OddFile& c : kOddFiles) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> file = test::build_bmp(c.fields);
    if (c.keep >= 0) file.resize(static_cast<std::size_t>(c.keep));
    if (c.offset_field != 0) test::put_le(file, 10, c.offset_field, 4);
    const std::string path = dir + "/odd.bmp";
    test::write_file(path, file);

    BmpPlanes decoded;
    const std::string error = decode_bmp(file.data(), file.size(), &decoded);
    if (c.refusal == nullptr) {
      const int w = c.fields.width;
      const int h = c.fields.height < 0 ? -c.fields.height : c.fields.height;
      ASSERT_EQ(error, "");
      EXPECT_TRUE(holds_picture(decoded, w, h));
      BmpPlanes read;
      ASSERT_EQ(test::read_path(path, &read), "");
      EXPECT_TRUE(holds_picture(read, w, h));
      continue;
    }
    EXPECT_EQ(error, c.refusal);
    // Any named allocation on the way to the refusal would print "no memory".
    const test::ChildResult r = test::read_in_child(path, 1);
    EXPECT_EQ(r.status, 0);
    const std::string line = std::string(c.refusal) + "\n";
    EXPECT_EQ(r.out, c.refusal == std::string(kBmpSizeError) ? line : path + ": " + line);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvale
