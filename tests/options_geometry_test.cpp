// -resize GEOMETRY: the sizes korvale computes against ImageMagick's own, and
// the geometries it refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/geometry.h"

namespace korvale {
namespace {

// ImageMagick's size for a w x h picture resized by `geometry`, as "WxH", or
// "" when it cannot be run.
std::string imagemagick_size(int w, int h, const std::string& geometry) {
  const std::string command = "/usr/bin/convert -size " + std::to_string(w) + "x" +
                              std::to_string(h) + " xc:black -resize '" + geometry +
                              "' -format %wx%h info: 2>/dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  char buf[64] = {};
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, pipe);
  pclose(pipe);
  return std::string(buf, n);
}

TEST(Geometry, SizesEqualImageMagicksOnEveryForm) {
  if (imagemagick_size(4, 4, "50%") != "2x2") GTEST_SKIP() << "/usr/bin/convert is not usable";
  // Shapes: landscape, portrait, strips both ways, tiny pictures, and sizes
  // whose scaled sides land on or near a half (6 x 3 by a sixth, 7 x 3).
  const std::vector<std::pair<int, int>> sizes = {
      {100, 50}, {1, 1000}, {1000, 1}, {7, 3}, {333, 777}, {1920, 1080}, {6, 3}, {3, 2}, {5, 2}};
  const std::vector<std::string> geometries = {
      "50%",  "33.3%",  "50%x25%", "12.5%x80%", "1%",     "60",      "60x",    "x2",
      "x1",   "40x40",  "40x20!",  "40x40^",    "2000@",  "90x90>",  "5x5>",   "1x1",
      "17x5", "33.3%>", "60x>",    "x2>",       "2000@>", "40x20!>", "40x40^>"};
  int compared = 0;
  for (const auto& [w, h] : sizes) {
    for (const std::string& text : geometries) {
      Geometry g;
      ASSERT_EQ(parse_geometry(text, &g), "") << text;
      std::int64_t gw = 0, gh = 0;
      geometry_size(g, w, h, &gw, &gh);
      // korvale refuses to enlarge, so those sizes are never used.
      if (gw > w || gh > h) continue;
      // Where a percentage rounds a side below 1, ImageMagick leaves the
      // picture as it is (or fails); korvale keeps that side at 1.
      if (g.kind == Geometry::Kind::percent &&
          (g.percent_x * w / 100.0 < 0.5 || g.percent_y * h / 100.0 < 0.5)) {
        EXPECT_TRUE(gw == 1 || gh == 1) << w << "x" << h << " " << text;
        continue;
      }
      EXPECT_EQ(std::to_string(gw) + "x" + std::to_string(gh), imagemagick_size(w, h, text))
          << "picture " << w << "x" << h << ", -resize " << text;
      ++compared;
    }
  }
  EXPECT_GE(compared, 70);
}

TEST(Geometry, MalformedGeometriesAreRefusedByName) {
  for (const std::string text :
       {"abc",       "0x0",    "-50%", "50%%",   "",     ">",   "0%",
        "x",         "0x10",   "10x0", "50%x",   "x50%", "1e2", "1.5x",
        "10x10+5+5", "10x10<", "100!", "x40^",   "50%!", " 50", "50 ",
        "10@x",      "@",      "0@",   "50%x25", "2.%",  ".5%", "10000000000000x1"}) {
    Geometry g;
    const std::string error = parse_geometry(text, &g);
    EXPECT_NE(error.find("-resize " + text + " is not a geometry"), std::string::npos)
        << "\"" << text << "\": " << error;
  }
  // Decimal percentages and the trailing '>' on every form are read.
  for (const std::string text :
       {"33.33%", "0.5%x200%", "50%>", "7x>", "x7>", "7x7!>", "7x7^>", "49@>"}) {
    Geometry g;
    EXPECT_EQ(parse_geometry(text, &g), "") << text;
  }
}

}  // namespace
}  // namespace korvale
