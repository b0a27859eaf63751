// The writer: the exact bytes of small files, round trips through the
// reader, paths of any length, places that cannot be written, and a write
// cut short by a file-size limit.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bmp/bmp.h"
#include "common/output_file.h"
#include "tests/bmp_test_util.h"
#include "tests/child_process.h"

namespace korvale {
namespace {

using test::BmpFields;
using test::build_bmp;
using test::holds_sample;
using test::list_dir;
using test::read_file;
using test::sample_plane;
using Bytes = std::vector<unsigned char>;

class BmpWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::make_temp_dir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes the sample picture of w x h to dir_/stem; returns write_bmp's text.
  std::string write(const std::string& stem, int w, int h, unsigned seed = 0) {
    const ColorPlane r = sample_plane(w, h, 0, seed);
    const ColorPlane g = sample_plane(w, h, 1, seed);
    const ColorPlane b = sample_plane(w, h, 2, seed);
    return write_bmp((dir_ + "/" + stem).c_str(), r, g, b);
  }
  std::string dir_;
};

TEST_F(BmpWrite, OneByOneFileBytes) {
  ColorPlane r = named_plane(1, 1, "t"), g = named_plane(1, 1, "t"), b = named_plane(1, 1, "t");
  r.px[0] = 0x11;
  g.px[0] = 0x22;
  b.px[0] = 0x33;
  ASSERT_EQ(write_bmp((dir_ + "/one").c_str(), r, g, b), "");
  const Bytes expected = {'B',  'M',  58,   0, 0, 0, 0, 0, 0, 0, 54,   0,    0, 0,  // file header
                          40,   0,    0,    0, 1, 0, 0, 0, 1, 0, 0,    0,    1, 0,
                          24,   0,    0,    0, 0, 0, 0, 0, 0, 0, 0xC4, 0x0E, 0, 0,
                          0xC4, 0x0E, 0,    0, 0, 0, 0, 0, 0, 0, 0,    0,  // 3780 ppm
                          0x33, 0x22, 0x11, 0};                            // one row, one pad byte
  EXPECT_EQ(read_file(dir_ + "/one.bmp"), expected);
}

TEST_F(BmpWrite, HeaderOfAnUnpaddedImage) {
  ASSERT_EQ(write("four", 4, 300), "");
  const Bytes file = read_file(dir_ + "/four.bmp");
  ASSERT_EQ(file.size(), 54u + 12 * 300);
  const Bytes head(file.begin(), file.begin() + 30);
  const Bytes expected = {'B', 'M', 0x46, 0x0E, 0, 0, 0, 0,    0, 0, 54, 0, 0, 0,  40,
                          0,   0,   0,    4,    0, 0, 0, 0x2C, 1, 0, 0,  1, 0, 24, 0};
  EXPECT_EQ(head, expected);
}

TEST_F(BmpWrite, RoundTripEveryPadding) {
  // The writer's bytes equal the builder's canonical layout, and reading them
  // back gives the planes that were written.
  for (int w = 1; w <= 8; ++w) {
    for (int h : {1, 2, 3, 5}) {
      const unsigned seed = static_cast<unsigned>(w * 7 + h);
      ASSERT_EQ(write("rt", w, h, seed), "");
      BmpFields f;
      f.width = w;
      f.height = h;
      f.seed = seed;
      EXPECT_EQ(read_file(dir_ + "/rt.bmp"), build_bmp(f)) << w << "x" << h;
      BmpPlanes back;
      ASSERT_EQ(test::read_path(dir_ + "/rt.bmp", &back), "");
      EXPECT_TRUE(holds_sample(back.red, w, h, 0, seed) &&
                  holds_sample(back.green, w, h, 1, seed) && holds_sample(back.blue, w, h, 2, seed))
          << w << "x" << h;
    }
  }
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"rt.bmp"});  // no temporaries left
}

TEST_F(BmpWrite, PathIsStemPlusExtensionOfAnyLength) {
  ASSERT_EQ(write("result.bmp", 2, 2), "");
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"result.bmp.bmp"});

  // Paths far beyond the command line's 128 bytes, through nested folders,
  // are written; a name the file system refuses gets its reason.
  std::string deep = dir_;
  for (int i = 0; i < 8; ++i) {
    deep += "/" + std::string(60, static_cast<char>('a' + i));
    std::filesystem::create_directory(deep);
  }
  const std::string stem = deep + "/" + std::string(200, 'p');
  const ColorPlane r = sample_plane(3, 2, 0), g = sample_plane(3, 2, 1), b = sample_plane(3, 2, 2);
  ASSERT_EQ(write_bmp(stem.c_str(), r, g, b), "");
  BmpPlanes back;
  ASSERT_EQ(test::read_path(stem + ".bmp", &back), "");
  EXPECT_TRUE(holds_sample(back.red, 3, 2, 0));
  EXPECT_EQ(list_dir(deep), std::vector<std::string>{std::string(200, 'p') + ".bmp"});
  const std::string too_long = deep + "/" + std::string(300, 'q') + ".bmp";
  EXPECT_EQ(write_bmp_file(too_long.c_str(), r, g, b),
            too_long + ": cannot create (File name too long)");
  EXPECT_EQ(probe_bmp_output(too_long.c_str()),
            too_long + ".bmp: cannot create (File name too long)");

  // write_bmp_file writes exactly the path it is given.
  ASSERT_EQ(write_bmp_file((dir_ + "/exact.bin").c_str(), r, g, b), "");
  EXPECT_EQ(read_file(dir_ + "/exact.bin"), read_file(stem + ".bmp"));
}

TEST_F(BmpWrite, UnwritablePlacesAreReportedAndLeaveNothing) {
  EXPECT_EQ(write("missing/out", 2, 2),
            dir_ + "/missing/out.bmp: cannot create (No such file or directory)");
  // A folder in the way of the output is refused before anything is created.
  std::filesystem::create_directory(dir_ + "/taken.bmp");
  EXPECT_EQ(write("taken", 2, 2),
            dir_ + "/taken.bmp: is a folder, not a regular file; not replaced");
  EXPECT_EQ(probe_bmp_output((dir_ + "/taken").c_str()),
            dir_ + "/taken.bmp: is a folder, not a regular file; not replaced");
  EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/taken.bmp"));
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"taken.bmp"});
}

TEST_F(BmpWrite, FailedWriteKeepsTheOldFile) {
  const Bytes old = {'o', 'l', 'd'};
  test::write_file(dir_ + "/out.bmp", old);
  // A file size limit makes the writes fail part way, as a full disk would;
  // its SIGXFSZ must not end the process with the temporary file in place.
  const test::ChildResult r = test::run_in_child([&] {
    const rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::fputs(write("out", 64, 64).c_str(), stdout);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, dir_ + "/out.bmp: write failed (File too large)");
  EXPECT_EQ(read_file(dir_ + "/out.bmp"), old);
  EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"out.bmp"});

  // Without the limit the same call replaces the old file.
  ASSERT_EQ(write("out", 64, 64), "");
  EXPECT_EQ(read_file(dir_ + "/out.bmp").size(), 54u + 64 * 192);
}

// The streamed write: a producer fills the planes on three threads and
// reports blocks of rows in a scrambled order, leaving some unreported. Each
// reported block must already be in the temporary file when the producer
// looks, and the finished file must be the one write_bmp_file gives, also
// when a write fails part way.
struct StreamJob {
  const ColorPlane* want[3];  // the final red, green and blue
  ColorPlane* fill[3];        // the planes being written
  std::string expected;       // write_bmp_file's bytes of the final planes
  std::string problem;        // what the producer found wrong
  int calls = 0;
};
std::string g_temporary;

bool produce_in_blocks(void* context, BmpRowSink* sink) {
  StreamJob& job = *static_cast<StreamJob*>(context);
  ++job.calls;
  const int w = job.want[0]->w, h = job.want[0]->h, rows = 7;
  std::vector<int> blocks;
  for (int y0 = 0; y0 < h; y0 += rows) blocks.push_back(y0);
  std::mt19937 rng(5);
  std::shuffle(blocks.begin(), blocks.end(), rng);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = static_cast<std::size_t>(t); i < blocks.size(); i += 3) {
        const int y0 = blocks[i], count = std::min(rows, h - y0);
        for (int c = 0; c < 3; ++c) {
          for (int x = 0; x < w; ++x) {
            for (int y = y0; y < y0 + count; ++y) {
              job.fill[c]->px[x * h + y] = job.want[c]->px[x * h + y];
            }
          }
        }
        if (i % 5 != 4) bmp_rows_final(sink, t, y0, count);  // every fifth block unreported
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const std::vector<unsigned char> now = read_file(g_temporary);
  const std::size_t row_bytes = static_cast<std::size_t>(bmp_row_bytes(w));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (i % 5 == 4) continue;
    const int y0 = blocks[i], count = std::min(rows, h - y0);
    const std::size_t at = kBmpHeaderBytes + static_cast<std::size_t>(h - y0 - count) * row_bytes;
    const std::size_t bytes = static_cast<std::size_t>(count) * row_bytes;
    if (now.size() < at + bytes ||
        std::memcmp(now.data() + at, job.expected.data() + at, bytes) != 0) {
      job.problem += "rows " + std::to_string(y0) + " not in the file yet; ";
    }
  }
  return true;
}

TEST_F(BmpWrite, StreamedWriteGivesTheSameFileWithReportedRowsWrittenAtOnce) {
  for (const auto& [w, h] : {std::pair{37, 301}, std::pair{64, 64}, std::pair{1, 9}}) {
    SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
    const ColorPlane r = sample_plane(w, h, 0, 3), g = sample_plane(w, h, 1, 3),
                     b = sample_plane(w, h, 2, 3);
    ASSERT_EQ(write_bmp_file((dir_ + "/plain.bmp").c_str(), r, g, b), "");
    const std::vector<unsigned char> plain = read_file(dir_ + "/plain.bmp");
    ColorPlane fr = named_plane(w, h, "t"), fg = named_plane(w, h, "t"),
               fb = named_plane(w, h, "t");
    for (ColorPlane* p : {&fr, &fg, &fb}) std::memset(p->px.get(), 0xEE, std::size_t(w) * h);
    StreamJob job{{&r, &g, &b}, {&fr, &fg, &fb}, std::string(plain.begin(), plain.end()), "", 0};
    set_output_write_hook([](const char* name) { g_temporary = name; });
    EXPECT_EQ(write_bmp_file_streamed((dir_ + "/streamed.bmp").c_str(), fr, fg, fb, 3,
                                      produce_in_blocks, &job),
              "");
    set_output_write_hook(nullptr);
    EXPECT_EQ(job.calls, 1);
    EXPECT_EQ(job.problem, "");
    EXPECT_EQ(read_file(dir_ + "/streamed.bmp"), plain);
  }

  // A file that cannot be begun: the producer never runs.
  const ColorPlane r = sample_plane(4, 4, 0), g = sample_plane(4, 4, 1), b = sample_plane(4, 4, 2);
  StreamJob never{{&r, &g, &b}, {nullptr, nullptr, nullptr}, "", "", 0};
  EXPECT_EQ(write_bmp_file_streamed((dir_ + "/missing/out.bmp").c_str(), r, g, b, 1,
                                    produce_in_blocks, &never),
            dir_ + "/missing/out.bmp: cannot create (No such file or directory)");
  EXPECT_EQ(never.calls, 0);

  // Reported rows that fail to be written (the top rows lie at the end of
  // the file, beyond a size limit) fail the write as write_bmp_file does.
  test::write_file(dir_ + "/out.bmp", Bytes{'o', 'l', 'd'});
  const test::ChildResult child = test::run_in_child([&] {
    const ColorPlane cr = sample_plane(64, 64, 0), cg = sample_plane(64, 64, 1),
                     cb = sample_plane(64, 64, 2);
    ColorPlane fr = named_plane(64, 64, "t"), fg = named_plane(64, 64, "t"),
               fb = named_plane(64, 64, "t");
    StreamJob job{{&cr, &cg, &cb}, {&fr, &fg, &fb}, "", "", 0};
    const rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::fputs(
        write_bmp_file_streamed((dir_ + "/out.bmp").c_str(), fr, fg, fb, 3, produce_in_blocks, &job)
            .c_str(),
        stdout);
  });
  EXPECT_EQ(child.status, 0);
  EXPECT_EQ(child.out, dir_ + "/out.bmp: write failed (File too large)");
  EXPECT_EQ(read_file(dir_ + "/out.bmp"), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"out.bmp", "plain.bmp", "streamed.bmp"}));
}

// The input path of the copy under test, for the hook that cuts it short.
std::string g_copy_input;

TEST_F(BmpWrite, CopyOfA24BitFileIsTheFileItsPlanesGive) {
  // Bottom-up and top-down, widths with 0 to 3 padding bytes (garbage in the
  // input), a gap before the pixels, junk after them, strips of 16 to 64 rows.
  struct Case {
    int w, h;
    std::uint32_t pixel_offset;
    std::size_t extra;
  };
  for (const Case c : {Case{1, 1, 54, 0}, Case{127, 33, 54, 5}, Case{2, -300, 61, 0},
                       Case{301, -70, 54, 0}, Case{3000, 70, 200, 3}, Case{4, -4, 54, 0}}) {
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
    test::BmpFields f;
    f.width = c.w;
    f.height = c.h;
    f.pixel_offset = c.pixel_offset;
    f.gap_byte = 0x5A;
    f.extra_bytes = c.extra;
    f.seed = 7;
    Bytes file = build_bmp(f);
    const std::size_t row = static_cast<std::size_t>(bmp_row_bytes(c.w));
    for (int i = 0; i < std::abs(c.h); ++i) {
      for (std::size_t pad = 3 * static_cast<std::size_t>(c.w); pad < row; ++pad)
        file[c.pixel_offset + i * row + pad] = static_cast<unsigned char>(0xA0 + pad);
    }
    test::write_file(dir_ + "/in.bmp", file);
    BmpPlanes planes;
    ASSERT_EQ(read_bmp((dir_ + "/in.bmp").c_str(), kDefaultMaxPixels, 1, &planes), "");
    ASSERT_EQ(write_bmp_file((dir_ + "/planes.bmp").c_str(), planes.red, planes.green, planes.blue),
              "");
    BmpCopy copy;
    ASSERT_TRUE(bmp_copy_open((dir_ + "/in.bmp").c_str(), kDefaultMaxPixels, &copy));
    EXPECT_EQ(bmp_copy_write(copy, (dir_ + "/copy.bmp").c_str()), "");
    EXPECT_EQ(read_file(dir_ + "/copy.bmp"), read_file(dir_ + "/planes.bmp"));
  }

  // Not copied: other codings, a file read_bmp refuses, a picture over the
  // pixel limit.
  test::BmpFields masked;
  masked.width = 5;
  masked.height = 3;
  masked.bits = 32;
  masked.extra_bytes = 3 * 4;  // rows of 20 bytes, not 16
  test::write_file(dir_ + "/masked.bmp", build_bmp(masked));
  test::BmpFields short_file = masked;
  short_file.bits = 24;
  short_file.declared_size = 1000;
  test::write_file(dir_ + "/short.bmp", build_bmp(short_file));
  test::write_file(dir_ + "/big.bmp", build_bmp(test::fields_with(8, 8, [](test::BmpFields&) {})));
  for (const auto& [name, limit] :
       {std::pair{"masked.bmp", kDefaultMaxPixels}, std::pair{"short.bmp", kDefaultMaxPixels},
        std::pair{"big.bmp", std::int64_t{63}}, std::pair{"none.bmp", kDefaultMaxPixels}}) {
    BmpCopy copy;
    EXPECT_FALSE(bmp_copy_open((dir_ + "/" + name).c_str(), limit, &copy)) << name;
  }

  // An input that shrinks once the output is begun: the size error, and
  // neither the output nor its temporary file.
  test::write_file(dir_ + "/in.bmp", build_bmp(test::fields_with(64, 64, [](test::BmpFields&) {})));
  BmpCopy copy;
  ASSERT_TRUE(bmp_copy_open((dir_ + "/in.bmp").c_str(), kDefaultMaxPixels, &copy));
  g_copy_input = dir_ + "/in.bmp";
  set_output_write_hook([](const char*) { std::filesystem::resize_file(g_copy_input, 1000); });
  EXPECT_EQ(bmp_copy_write(copy, (dir_ + "/cut.bmp").c_str()), kBmpSizeError);
  set_output_write_hook(nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/cut.bmp"));
  const std::vector<std::string> left = list_dir(dir_);
  EXPECT_TRUE(std::none_of(left.begin(), left.end(),
                           [](const std::string& n) { return n.find(".tmp") != n.npos; }));
}

TEST_F(BmpWrite, PlanesOfDifferentSizesAreRefused) {
  const ColorPlane r = sample_plane(3, 2, 0), g = sample_plane(3, 2, 1), b = sample_plane(2, 3, 2);
  EXPECT_EQ(write_bmp((dir_ + "/odd").c_str(), r, g, b),
            dir_ + "/odd.bmp: cannot write planes of 3x2, 3x2 and 2x3 pixels");
  EXPECT_TRUE(list_dir(dir_).empty());
}

}  // namespace
}  // namespace korvale
