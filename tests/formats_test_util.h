// Helpers of the formats tests: a scratch folder, running ImageMagick and
// Python (Pillow) to make files and to decode them independently, and
// pictures flattened to RGBA at 16 bits for comparison.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/formats.h"

namespace korvale::formats_test {

inline constexpr char kConvert[] = "/usr/bin/convert";
inline constexpr char kPython[] = "/usr/bin/python3";

// A fresh folder under TMPDIR, removed with everything in it at the end.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvale-fmt-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~ScratchDir() { std::filesystem::remove_all(path); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// The tests make and compare files of every format: a build without one of
// the libraries skips them (CI builds with all four).
#define KORVALE_NEED_ALL_FORMATS()                                                    \
  do {                                                                                \
    for (ImageFormat f :                                                              \
         {ImageFormat::png, ImageFormat::jpeg, ImageFormat::tiff, ImageFormat::webp}) \
      if (!format_available(f)) GTEST_SKIP() << format_library(f) << " left out";     \
  } while (false)

// Runs `cmd` with the shell; true when it exits 0.
inline bool sh(const std::string& cmd) {
  return std::system(cmd.c_str()) == 0;
}

// Standard output of `cmd`, or false when it fails.
inline bool capture(const std::string& cmd, std::vector<unsigned char>* out) {
  out->clear();
  std::FILE* f = popen(cmd.c_str(), "r");
  if (f == nullptr) return false;
  unsigned char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  return pclose(f) == 0;
}

inline std::vector<unsigned char> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string& path, const std::vector<unsigned char>& b) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// Runs a Python program (Pillow available) given as text, with `dir` as its
// one argument; the script is left in dir as script.py.
inline bool python(const std::string& program, const std::string& dir) {
  const std::string script = dir + "/script.py";
  std::ofstream(script) << program;
  return sh(std::string(kPython) + " " + script + " " + dir);
}

// ImageMagick's decode of `path` as RGBA, 16 bits a sample (8-bit files give
// v * 257); `extra` goes before the output (e.g. "-auto-orient").
inline std::vector<std::uint16_t> im_rgba16(const std::string& path,
                                            const std::string& extra = "") {
  std::vector<unsigned char> raw;
  if (!capture(std::string(kConvert) + " '" + path + "[0]' " + extra +
                   " -endian MSB -depth 16 rgba:- 2>/dev/null",
               &raw))
    return {};
  std::vector<std::uint16_t> v(raw.size() / 2);
  for (std::size_t i = 0; i < v.size(); ++i)
    v[i] = static_cast<std::uint16_t>(raw[2 * i] << 8 | raw[2 * i + 1]);
  return v;
}

// The picture as RGBA rows at 16 bits (8-bit samples as v * 257; gray spread
// over RGB; no alpha reads as opaque).
inline std::vector<std::uint16_t> rgba16(const Picture& p) {
  std::vector<std::uint16_t> v(static_cast<std::size_t>(p.w) * p.h * 4);
  auto sample = [&](int c, int x, int y) -> std::uint16_t {
    return p.bits == 16 ? p.wide[c].at(x, y)
                        : static_cast<std::uint16_t>(p.planes[c].at(x, y) * 257);
  };
  for (int y = 0; y < p.h; ++y) {
    for (int x = 0; x < p.w; ++x) {
      std::uint16_t* o = &v[(static_cast<std::size_t>(y) * p.w + x) * 4];
      for (int c = 0; c < 3; ++c) o[c] = sample(p.colors == 3 ? c : 0, x, y);
      o[3] = p.alpha ? sample(p.colors, x, y) : 65535;
    }
  }
  return v;
}

// Largest difference between two RGBA16 images, in 8-bit levels (a 16-bit
// difference d counts d / 257); -1 when the sizes differ. Colour under
// alpha 0 is not compared when `ignore_hidden`.
inline double worst_level_diff(const std::vector<std::uint16_t>& a,
                               const std::vector<std::uint16_t>& b, bool ignore_hidden = true) {
  if (a.size() != b.size() || a.empty()) return -1;
  double worst = 0;
  for (std::size_t i = 0; i < a.size(); i += 4) {
    const bool hidden = ignore_hidden && a[i + 3] == 0 && b[i + 3] == 0;
    for (std::size_t c = hidden ? 3 : 0; c < 4; ++c)
      worst = std::max(worst, std::abs(int{a[i + c]} - int{b[i + c]}) / 257.0);
  }
  return worst;
}

}  // namespace korvale::formats_test
