// libFuzzer target: the option parser over argument vectors cut from the
// input at NUL bytes (at most 64 arguments), then, for what it accepts, the
// size of every -resize geometry on a few picture shapes and the -out
// pattern for every input, with the output format its extension gives.
// Nothing may read past its arguments, overflow, or break the parser's
// promises checked below.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/geometry.h"
#include "app/options.h"
#include "app/picture_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"korvale"};
  std::string current;
  for (size_t i = 0; i < size && words.size() < 64; ++i) {
    if (data[i] == 0) {
      words.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && words.size() < 64) words.push_back(current);

  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);

  korvale::ResizeOptions opt;
  std::string error;
  const korvale::ParseOutcome outcome =
      korvale::parse_options(static_cast<int>(words.size()), argv.data(), &opt, &error);
  // Every failure comes with its line; a usage request or success with none.
  const bool failed =
      outcome == korvale::ParseOutcome::error || outcome == korvale::ParseOutcome::unknown_key;
  if (failed == error.empty()) std::abort();
  if (outcome != korvale::ParseOutcome::ok) return 0;

  // Accepted reductions read back from their text; values are in range.
  int value = 0;
  if (opt.has_sizexminus &&
      (!korvale::parse_whole_int(opt.sizexminus_text, &value) || value != opt.sizexminus))
    std::abort();
  if (opt.max_pixels < 1 || opt.max_pixels > korvale::kMaxPixelsCeiling) std::abort();
  if (opt.quality < 0 || opt.quality > 100) std::abort();
  if (opt.has_geometry && (opt.has_sizexminus || opt.has_sizexminusy)) std::abort();

  // An accepted geometry gives every picture a size of at least 1 x 1 (and
  // no overflow on the way, which the sanitizers watch).
  if (opt.has_geometry) {
    const int shapes[][2] = {{1, 1}, {1, 32768}, {32768, 1}, {7, 3}, {1920, 1080}, {32768, 32768}};
    for (const auto& shape : shapes) {
      std::int64_t w = 0;
      std::int64_t h = 0;
      korvale::geometry_size(opt.geometry, shape[0], shape[1], &w, &h);
      if (w < 1 || h < 1) std::abort();
    }
  }
  for (const std::string& input : opt.inputs) {
    std::string path;
    const std::string refusal = korvale::expand_output_pattern(opt.output_pattern, input, &path);
    if (!refusal.empty() && opt.output_pattern.find('%') == std::string::npos) std::abort();
    // An accepted output path keeps its text; its format is one korvale writes.
    korvale::OutputTarget target;
    if (refusal.empty() && korvale::path_target(path, &target).empty() &&
        (target.path != path || !korvale::format_available(target.format)))
      std::abort();
  }
  return 0;
}
