// The option parser and the usage text.
#include "app/options.h"

#include <climits>
#include <cstring>

namespace korvale {
namespace {

// What a key does.
enum class KeyKind {
  help,
  input,        // -i NAME
  output_stem,  // -o STEM
  output_path,  // -out FILE
  columns,      // -sizexminus A
  rows,         // -sizexminusy B
  resize,       // -resize GEOMETRY
  max_pixels,   // -maxpixels N
  quality,      // -quality N
  flag,         // -quiet, -linear, -norotate, -strip: no value
  ignored,      // accepted for compatibility; its value is not read
};

struct Key {
  const char* text;  // the key without its leading '-'
  KeyKind kind;
  bool ResizeOptions::*flag = nullptr;  // for KeyKind::flag, the field set
};

const Key kKeys[] = {
    {"h", KeyKind::help},
    {"help", KeyKind::help},
    {"-help", KeyKind::help},
    {"i", KeyKind::input},
    {"o", KeyKind::output_stem},
    {"out", KeyKind::output_path},
    {"sizexminus", KeyKind::columns},
    {"sizexminusy", KeyKind::rows},
    {"resize", KeyKind::resize},
    {"maxpixels", KeyKind::max_pixels},
    {"quality", KeyKind::quality},
    {"quiet", KeyKind::flag, &ResizeOptions::quiet},
    {"linear", KeyKind::flag, &ResizeOptions::linear},
    {"norotate", KeyKind::flag, &ResizeOptions::norotate},
    {"strip", KeyKind::flag, &ResizeOptions::strip},
    {"i2", KeyKind::ignored},
    {"x", KeyKind::ignored},
    {"y", KeyKind::ignored},
    {"startx", KeyKind::ignored},
    {"starty", KeyKind::ignored},
    {"hv", KeyKind::ignored},
    {"bunshi", KeyKind::ignored},
    {"bunbo", KeyKind::ignored},
    {"norm", KeyKind::ignored},
    {"mado", KeyKind::ignored},
    {"tapnum_y", KeyKind::ignored},
    {"tapnum_c", KeyKind::ignored},
    {"Fsc", KeyKind::ignored},
    {"orgx", KeyKind::ignored},
    {"orgy", KeyKind::ignored},
};

// The value of an integer option, checked: a whole number within lo .. hi.
// Returns "" or the message naming the option and the text as typed.
std::string read_integer(const char* key, const char* text, int lo, int hi, int* value) {
  int v = 0;
  const bool whole = parse_whole_int(text, &v);
  const std::size_t digits = std::strspn(text + (text[0] == '-' || text[0] == '+'), "0123456789");
  const bool too_long =
      !whole && digits > 0 && text[digits + (text[0] == '-' || text[0] == '+')] == '\0';
  if (!whole && !too_long) {
    return std::string(key) + " \"" + text + "\" is not a whole decimal number";
  }
  if (too_long || v < lo || v > hi) {
    return std::string(key) + " " + text + " is out of range: " + std::to_string(lo) + " .. " +
           std::to_string(hi);
  }
  *value = v;
  return "";
}

}  // namespace

bool parse_whole_int(const std::string& text, int* value) {
  std::size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) at = 1;
  if (at == text.size()) return false;
  long long v = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    v = v * 10 + (text[at] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v > INT_MAX || v < INT_MIN) return false;
  *value = static_cast<int>(v);
  return true;
}

ParseOutcome parse_options(int argc, const char* const* argv, ResizeOptions* opt,
                           std::string* error) {
  bool has_stem = false;
  bool has_path = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) {
      // Every word after "--" is an input file.
      for (++i; i < argc; ++i) opt->inputs.emplace_back(argv[i]);
      break;
    }
    if (arg[0] != '-') continue;
    const Key* key = nullptr;
    for (const Key& k : kKeys) {
      if (std::strcmp(arg + 1, k.text) == 0) {
        key = &k;
        break;
      }
    }
    if (key == nullptr) {
      *error = std::string("unknown option ") + arg;
      return ParseOutcome::unknown_key;
    }
    if (key->kind == KeyKind::help) return ParseOutcome::usage;

    const char* value = nullptr;
    if (key->kind != KeyKind::flag) {
      if (i + 1 >= argc) {
        *error = std::string("option ") + arg + " needs a value";
        return ParseOutcome::error;
      }
      value = argv[++i];
    }
    std::string failure;
    int number = 0;
    switch (key->kind) {
      case KeyKind::input:
        // -i is the first input; a later -i replaces it.
        if (opt->inputs.empty()) {
          opt->inputs.emplace_back(value);
        } else {
          opt->inputs[0] = value;
        }
        break;
      case KeyKind::output_stem:
        opt->output_stem = value;
        has_stem = true;
        break;
      case KeyKind::output_path:
        opt->output_pattern = value;
        has_path = true;
        break;
      case KeyKind::columns:
        failure = read_integer(arg, value, INT_MIN, INT_MAX, &opt->sizexminus);
        opt->sizexminus_text = value;
        opt->has_sizexminus = true;
        break;
      case KeyKind::rows:
        failure = read_integer(arg, value, INT_MIN, INT_MAX, &opt->sizexminusy);
        opt->sizexminusy_text = value;
        opt->has_sizexminusy = true;
        break;
      case KeyKind::resize:
        failure = parse_geometry(value, &opt->geometry);
        opt->geometry_text = value;
        opt->has_geometry = true;
        break;
      case KeyKind::max_pixels:
        failure = read_integer(arg, value, 1, static_cast<int>(kMaxPixelsCeiling), &number);
        opt->max_pixels = number;
        break;
      case KeyKind::quality:
        failure = read_integer(arg, value, 1, 100, &opt->quality);
        break;
      case KeyKind::flag:
        opt->*(key->flag) = true;
        break;
      case KeyKind::ignored:
        opt->ignored.emplace_back(arg);
        break;
      case KeyKind::help:
        break;
    }
    if (!failure.empty()) {
      *error = failure;
      return ParseOutcome::error;
    }
  }
  if (has_stem && has_path) {
    *error = "-o STEM and -out FILE cannot be used together: give one output";
    return ParseOutcome::error;
  }
  if (opt->has_geometry && (opt->has_sizexminus || opt->has_sizexminusy)) {
    *error = "-resize cannot be used with -sizexminus or -sizexminusy: give the size one way";
    return ParseOutcome::error;
  }
  return ParseOutcome::ok;
}

const char* usage_text() {
  return "Usage: korvale -i INPUT (-o STEM | -out FILE) [options]\n"
         "       korvale [options] -out PATTERN -- INPUT...\n"
         "Shrinks pictures by cutting the high frequencies out of their spectrum.\n"
         "\toptions:\n"
         "\t  -h, -help, --help  : display this help\n"
         "\t  -i NAME            : input picture: BMP, PNG, JPEG, TIFF or WebP (by content)\n"
         "\t  -o STEM            : output 24-bit bmp file name (.bmp is added)\n"
         "\t  -out FILE          : output file name as given, its format by its extension\n"
         "\t                       (.bmp, .png, .jpg, .jpeg, .tif, .tiff, .webp); %s is the\n"
         "\t                       input's name without folder and extension, %% a percent\n"
         "\t                       sign\n"
         "\t  -resize GEOMETRY   : the new size, as in ImageMagick: N% or N%xM% (decimals\n"
         "\t                       allowed), W, Wx, xH, WxH (fit inside), WxH! (exactly),\n"
         "\t                       WxH^ (cover), N@ (at most N pixels); a trailing > shrinks\n"
         "\t                       only pictures larger than that\n"
         "\t  -sizexminus A      : columns to remove, 0 .. input width - 1 (default 0)\n"
         "\t  -sizexminusy B     : rows to remove, 0 .. input height - 1 (default 0)\n"
         "\t  -maxpixels N       : largest picture read, in pixels, 1 .. 1073741824\n"
         "\t                       (default 268435456)\n"
         "\t  -quality N         : JPEG and lossy WebP output quality, 1 .. 100 (default 90)\n"
         "\t  -linear            : shrink in linear light (sRGB decoded, resized, encoded)\n"
         "\t  -norotate          : keep the stored orientation (EXIF Orientation not applied)\n"
         "\t  -strip             : write no ICC profile, EXIF or XMP\n"
         "\t  -quiet             : no progress lines\n"
         "\t  --                 : every word after it is an input file\n"
         "\texamples:\n"
         "\t  korvale -i photo.jpg -out half.jpg -resize 50%\n"
         "\t  korvale -resize '800x600>' -out 'small/%s.png' -- a.jpg b.png\n";
}

}  // namespace korvale
