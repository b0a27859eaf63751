// Loading one picture and saving one picture; output names and formats.
#include "app/picture_io.h"

#include <algorithm>
#include <cctype>

#include "common/output_file.h"

namespace korvale {
namespace {

struct Extension {
  const char* text;  // lower case, with its dot
  PictureFormat format;
  const char* name;
};

const Extension kExtensions[] = {
    {".bmp", PictureFormat::bmp, "BMP"},    {".png", PictureFormat::png, "PNG"},
    {".jpg", PictureFormat::jpeg, "JPEG"},  {".jpeg", PictureFormat::jpeg, "JPEG"},
    {".tif", PictureFormat::tiff, "TIFF"},  {".tiff", PictureFormat::tiff, "TIFF"},
    {".webp", PictureFormat::webp, "WebP"},
};

// The part of `path` after its folder.
std::string base_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The extension of `path` with its dot, lower case, or "" when it has none.
std::string lower_extension(const std::string& path) {
  const std::string base = base_name(path);
  const std::size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string ext = base.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

}  // namespace

std::string format_from_extension(const std::string& path, PictureFormat* format) {
  const std::string ext = lower_extension(path);
  for (const Extension& e : kExtensions) {
    if (ext != e.text) continue;
    // Only BMP is written by this build.
    if (e.format != PictureFormat::bmp) {
      return path + ": " + e.name + " output is not available in this build";
    }
    *format = e.format;
    return "";
  }
  return path + ": unknown output format \"" + ext +
         "\" (the extension must be .bmp, .png, .jpg, .jpeg, .tif, .tiff or .webp)";
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
  target.format = PictureFormat::bmp;
  return target;
}

std::string path_target(const std::string& path, OutputTarget* target) {
  PictureFormat format = PictureFormat::bmp;
  if (std::string error = format_from_extension(path, &format); !error.empty()) return error;
  target->path = path;
  target->format = format;
  return "";
}

std::string load_picture(const std::string& name, std::int64_t max_pixels, int threads,
                         BmpPlanes* out) {
  return read_bmp(name.c_str(), max_pixels, threads, out);
}

std::string probe_output(const OutputTarget& target) {
  return probe_output_file(target.path.c_str());
}

std::string save_picture(const OutputTarget& target, const ColorPlane& red, const ColorPlane& green,
                         const ColorPlane& blue) {
  return write_bmp_file(target.path.c_str(), red, green, blue);
}

}  // namespace korvale
