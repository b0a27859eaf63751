// A 24-bit BMP read a block of rows at a time from its file while it is
// resized (colour after colour, or all at once when only the width shrinks):
// a file that shrinks under the run fails it with the size error, and no
// output (nor a temporary file) is left.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/picture_io.h"
#include "app_test_util.h"
#include "bmp/bmp.h"
#include "bmp_encode.h"
#include "common/output_file.h"

namespace korvale {
namespace {

std::string g_input;  // the file the output hook cuts short

TEST(BmpRows, AnInputThatShrinksUnderTheRunFailsWithNothingWritten) {
  const std::string dir = apptest::scratch_dir("bmprows");
  g_input = dir + "/in.bmp";
  const int w = 64, h = 64;
  const std::string picture = bmptest::assemble(
      bmptest::Header{40, w, h, 24},
      bmptest::pack_rows(w, h, 24, false, [](int x, int y) { return x * 5 + y * 977; }));
  const ResizeRunPtr run = resize_run_begin(w, h, 10, 10, 2);
  const ResizeRunPtr width_only = resize_run_begin(w, h, 10, 0, 2);
  const OutputTarget target = stem_target(dir + "/out");
  enum Cut { kBeforeFirstColour, kAsTheOutputBegins, kAsTheOutputOfAllColoursBegins };
  for (const Cut cut : {kBeforeFirstColour, kAsTheOutputBegins, kAsTheOutputOfAllColoursBegins}) {
    const bool before_first_colour = cut == kBeforeFirstColour;
    SCOPED_TRACE(cut);
    apptest::write_file(g_input, picture);
    apptest::write_file(dir + "/out.bmp", "old");
    BmpCopy file;
    ASSERT_TRUE(bmp_copy_open(g_input.c_str(), kDefaultMaxPixels, &file));
    BmpRowsSource src;
    bmp_rows_source_begin(&src, file, *run);
    Picture out;
    for (int c = 0; c < 3; ++c) out.planes.push_back(named_plane(w - 10, h - 10, "t"));
    if (before_first_colour) {
      std::filesystem::resize_file(g_input, 1000);
      EXPECT_FALSE(shrink_bmp_colour(*run, src, 0, &out.planes[0]));
      continue;
    }
    set_output_write_hook([](const char*) { std::filesystem::resize_file(g_input, 1000); });
    if (cut == kAsTheOutputBegins) {
      for (int c = 0; c < 2; ++c) ASSERT_TRUE(shrink_bmp_colour(*run, src, c, &out.planes[c]));
      EXPECT_EQ(save_bmp_rows_streamed(target, *run, src, &out), kBmpSizeError);
    } else {
      BmpRowsSource all;
      bmp_rows_source_begin(&all, file, *width_only);
      EXPECT_EQ(save_bmp_colours_streamed(target, *width_only, all, w - 10, h), kBmpSizeError);
    }
    set_output_write_hook(nullptr);
    EXPECT_EQ(apptest::read_file(dir + "/out.bmp"), "old");
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
      ++files;
    }
    EXPECT_EQ(files, 2);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvale
