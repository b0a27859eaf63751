// What korvale does with each file of the BMP suite (../shared/bmpsuite) that
// it refuses: the one line it prints, without the "NAME: " prefix (the size
// error stands alone). Every other file of the suite is read.
#pragma once

#include <map>
#include <string>

namespace bmpsuite {

inline const std::map<std::string, std::string>& refused() {
  static const std::map<std::string, std::string> files = {
      {"b/badbitcount.bmp", "30000 bits per pixel; only 1, 2, 4, 8, 16, 24 and 32 are read"},
      {"b/badfilesize.bmp", "input file size err!!"},
      {"b/badheadersize.bmp",
       "information header of 66 bytes; the known sizes are 12, 16, 40, 52, 56, 64, 108 and 124"},
      {"b/badpalettesize.bmp", "palette of 305402420 colours runs past the end of the file"},
      {"b/badplanes.bmp", "30000 colour planes; only 1 is valid"},
      {"b/badrle.bmp", "run-length data: a run at byte 1154 leaves the 127x64 picture"},
      {"b/badrle4.bmp", "run-length data: a run at byte 140 leaves the 127x64 picture"},
      {"b/badrle4bis.bmp", "run-length data: a move at byte 1304 leaves the 127x64 picture"},
      {"b/badrle4ter.bmp", "run-length data: a move at byte 1304 leaves the 127x64 picture"},
      {"b/badrlebis.bmp", "run-length data: a move at byte 3668 leaves the 127x64 picture"},
      {"b/badrleter.bmp", "run-length data: a move at byte 3668 leaves the 127x64 picture"},
      {"b/badwidth.bmp", "width -127 outside 1..4096"},
      {"b/reallybig.bmp", "width 3000000 outside 1..4096"},
      {"b/rletopdown.bmp", "run-length encoded rows cannot be stored top-down"},
      {"b/shortfile.bmp", "input file size err!!"},
      {"q/pal1huffmsb.bmp", "OS/2 Huffman 1D compression is not read"},
      {"q/rgb24jpeg.bmp", "JPEG data inside a BMP file is not read"},
      {"q/rgb24png.bmp", "PNG data inside a BMP file is not read"},
      {"q/rgb24rle24.bmp", "OS/2 RLE24 compression is not read"},
      {"q/rgba64.bmp", "64 bits per pixel; only 1, 2, 4, 8, 16, 24 and 32 are read"},
  };
  return files;
}

}  // namespace bmpsuite
