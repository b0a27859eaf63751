// Command-line options of korvale and its usage text.
//
// parse_options walks argv[1..]: words not starting with '-' are skipped,
// except that every word after "--" is an input file. The text after '-' must
// equal one of the keys whole (case-sensitive). "-h", "-help" and "--help" ask
// for the usage. Flags (-quiet, -linear, -norotate, -strip) take no value;
// every other key consumes the next argument as its value, which may start
// with '-'. A key given twice keeps its last value.
//
// Values of integer options must be whole decimal integers: an optional sign,
// digits and nothing else, within the int range; -maxpixels and -quality are
// also checked against their ranges here (the reductions against the picture,
// later). The keys korvale accepts for compatibility but does not use (-i2,
// -x, -y, -orgx, -Fsc, ...) take a value that is not read; each one given is
// listed in `ignored` so that the caller can say it has no effect.
//
// The parser prints nothing and never ends the process: it returns what to do
// next and, for a failure, the one-line message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/geometry.h"
#include "common/limits.h"

namespace korvale {

// Most pixels -maxpixels may allow: a picture of the largest sides.
inline constexpr std::int64_t kMaxPixelsCeiling = std::int64_t{kMaxSide} * kMaxSide;

struct ResizeOptions {
  std::string output_stem;          // -o: writes output_stem + ".bmp"
  std::string output_pattern;       // -out: exact path, %s and %% expanded
  std::vector<std::string> inputs;  // -i, then every word after "--"

  // The reductions (columns and rows to remove) and whether each was given,
  // with the value as typed, for messages.
  int sizexminus = 0;
  int sizexminusy = 0;
  bool has_sizexminus = false;
  bool has_sizexminusy = false;
  std::string sizexminus_text = "0";
  std::string sizexminusy_text = "0";

  bool has_geometry = false;  // -resize
  Geometry geometry;
  std::string geometry_text;  // as typed, for messages

  std::int64_t max_pixels = kDefaultMaxPixels;  // -maxpixels
  int quality = 0;                              // -quality 1..100; 0: not given
  bool quiet = false;                           // -quiet: no progress lines
  bool linear = false;                          // -linear: shrink in linear light
  bool norotate = false;                        // -norotate: keep stored orientation
  bool strip = false;                           // -strip: write no metadata

  // Keys accepted and ignored, as typed ("-x", "-orgx"), once per occurrence.
  std::vector<std::string> ignored;
};

// What parsing asks for: go on; show the usage (status 0); fail (status 1);
// or fail and show the usage (an unknown key; status 1).
enum class ParseOutcome { ok, usage, error, unknown_key };

// Fills *opt and says what to do next; for error and unknown_key, *error is
// the one-line message, without its line end. Besides single options it
// checks that -o and -out, and -resize and the reductions, are not combined.
ParseOutcome parse_options(int argc, const char* const* argv, ResizeOptions* opt,
                           std::string* error);

// Reads `text` as a whole decimal integer (optional sign, digits, nothing
// else, within the int range); false when it is not one.
bool parse_whole_int(const std::string& text, int* value);

// The usage text (synopsis, options with their ranges, examples).
const char* usage_text();

}  // namespace korvale
