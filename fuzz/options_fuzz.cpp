// libFuzzer target: the option parser over argument vectors cut from the
// input at NUL bytes (at most 64 arguments). The parser must never read past
// its arguments nor overflow a name field, whatever it is given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/options.h"

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
  korvale::ParseOutcome outcome =
      korvale::parse_options_checked(static_cast<int>(words.size()), argv.data(), &opt, &error);
  const char* fields[] = {opt.input, opt.input2, opt.output};
  for (const char* f : fields)
    if (std::memchr(f, '\0', korvale::kNameField) == nullptr) std::abort();
  // Every failure comes with its line; a usage request or success with none.
  const bool failed = outcome == korvale::ParseOutcome::error ||
                      outcome == korvale::ParseOutcome::unknown_key;
  if (failed == error.empty()) std::abort();
  // The typed reductions point at argument words and read back as the values.
  if (std::atoi(opt.sizexminus_text) != opt.sizexminus && outcome == korvale::ParseOutcome::ok &&
      std::strlen(opt.sizexminus_text) < 10)
    std::abort();
  return 0;
}
