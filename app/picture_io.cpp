// Loading one picture and saving one picture; output names and formats.
#include "app/picture_io.h"

#include <algorithm>
#include <cctype>

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
  target.from_stem = true;
  return target;
}

std::string path_target(const std::string& path, OutputTarget* target) {
  PictureFormat format = PictureFormat::bmp;
  if (std::string error = format_from_extension(path, &format); !error.empty()) return error;
  // The BMP writer takes a stem and appends ".bmp": until it takes a whole
  // path, other spellings of the extension cannot be written.
  if (path.size() < 4 || path.compare(path.size() - 4, 4, ".bmp") != 0) {
    return path + ": a BMP output name must end in .bmp (lower case) in this build";
  }
  target->path = path;
  target->format = format;
  target->from_stem = false;
  return "";
}

std::string load_picture(const std::string& name, std::int64_t max_pixels, int threads,
                         BmpPlanes* out) {
  return read_bmp(name.c_str(), max_pixels, threads, out);
}

std::string probe_output(const OutputTarget& target) {
  // Both kinds of target go through the BMP writer's stem for now.
  const std::string stem = target.path.substr(0, target.path.size() - 4);
  return probe_bmp_output(stem.c_str());
}

std::string save_picture(const OutputTarget& target, const ColorPlane& red, const ColorPlane& green,
                         const ColorPlane& blue) {
  const std::string stem = target.path.substr(0, target.path.size() - 4);
  return write_bmp(stem.c_str(), red, green, blue);
}

}  // namespace korvale
