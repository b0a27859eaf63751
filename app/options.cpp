#include "app/options.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmp/bmp.h"
#include "common/fatal.h"

namespace korvale {

int orgx = 720;
int orgy = 480;

namespace {

// What a key does with its value.
enum class KeyKind { help, name, integer, real, global };

struct Key {
  const char* text;  // the key without its leading '-'
  KeyKind kind;
  char (ResizeOptions::*name)[kNameField];
  int ResizeOptions::*integer;
  int* global;
};

// Tried in this order; the first whole match wins.
const Key kKeys[] = {
    {"h", KeyKind::help, nullptr, nullptr, nullptr},
    {"help", KeyKind::help, nullptr, nullptr, nullptr},
    {"o", KeyKind::name, &ResizeOptions::output, nullptr, nullptr},
    {"i", KeyKind::name, &ResizeOptions::input, nullptr, nullptr},
    {"i2", KeyKind::name, &ResizeOptions::input2, nullptr, nullptr},
    {"x", KeyKind::integer, nullptr, &ResizeOptions::x, nullptr},
    {"y", KeyKind::integer, nullptr, &ResizeOptions::y, nullptr},
    {"startx", KeyKind::integer, nullptr, &ResizeOptions::startx, nullptr},
    {"starty", KeyKind::integer, nullptr, &ResizeOptions::starty, nullptr},
    {"hv", KeyKind::integer, nullptr, &ResizeOptions::hv, nullptr},
    {"bunshi", KeyKind::integer, nullptr, &ResizeOptions::bunshi, nullptr},
    {"bunbo", KeyKind::integer, nullptr, &ResizeOptions::bunbo, nullptr},
    {"norm", KeyKind::integer, nullptr, &ResizeOptions::norm, nullptr},
    {"mado", KeyKind::integer, nullptr, &ResizeOptions::mado, nullptr},
    {"tapnum_y", KeyKind::integer, nullptr, &ResizeOptions::tapnum_y, nullptr},
    {"tapnum_c", KeyKind::integer, nullptr, &ResizeOptions::tapnum_c, nullptr},
    {"Fsc", KeyKind::real, nullptr, nullptr, nullptr},
    {"sizexminus", KeyKind::integer, nullptr, &ResizeOptions::sizexminus, nullptr},
    {"sizexminusy", KeyKind::integer, nullptr, &ResizeOptions::sizexminusy, nullptr},
    {"orgx", KeyKind::global, nullptr, nullptr, &orgx},
    {"orgy", KeyKind::global, nullptr, nullptr, &orgy},
};

// The output stem gets ".bmp" appended inside the output path's buffer.
constexpr std::size_t kMaxStem = kOutputPathBytes - 1 - 4;

// Decimal integer as atoi reads it (leading blanks, optional sign, digits up to
// the first other character, 0 for no number), without atoi's undefined
// behaviour on overflow: out-of-range values are clamped to the int range.
int to_int(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace

ParseOutcome parse_options_checked(int argc, const char* const* argv, ResizeOptions* opt,
                                   std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
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

    if (i + 1 >= argc) {
      *error = std::string("option ") + arg + " needs a value";
      return ParseOutcome::error;
    }
    const char* value = argv[++i];
    switch (key->kind) {
      case KeyKind::name: {
        const std::size_t len = std::strlen(value);
        const bool is_stem = key->name == &ResizeOptions::output;
        const std::size_t limit = is_stem ? kMaxStem : kNameField - 1;
        if (len > limit) {
          *error = std::string("option ") + arg + ": name of " + std::to_string(len) +
                   " characters is too long (at most " + std::to_string(limit) + ")";
          return ParseOutcome::error;
        }
        std::memcpy(opt->*(key->name), value, len + 1);
        break;
      }
      case KeyKind::integer:
        opt->*(key->integer) = to_int(value);
        if (key->integer == &ResizeOptions::sizexminus) opt->sizexminus_text = value;
        if (key->integer == &ResizeOptions::sizexminusy) opt->sizexminusy_text = value;
        break;
      case KeyKind::real:
        opt->Fsc = std::strtod(value, nullptr);
        break;
      case KeyKind::global:
        *key->global = to_int(value);
        break;
      case KeyKind::help:
        break;
    }
  }
  return ParseOutcome::ok;
}

void parse_options(int argc, const char* const* argv, ResizeOptions* opt) {
  std::string error;
  switch (parse_options_checked(argc, argv, opt, &error)) {
    case ParseOutcome::ok:
      return;
    case ParseOutcome::usage:
      print_usage();
      std::exit(0);
    case ParseOutcome::unknown_key:
      print_usage();
      fail_exit(error.c_str());
    case ParseOutcome::error:
      fail_exit(error.c_str());
  }
}

void print_usage() {
  std::fputs(
      "Usage: KORVALE [options]\n"
      "\toptions: \n"
      "\t  -help          : display help\n"
      "\t  -i             : Input bmp file name\n"
      "\t  -o             : Output bmp file name(be added .bmp extension\n"
      "\t  -sizexminus    : Difference between input horizontal size and output one\n"
      "\t  -sizexminusy   : Difference between output vertical size and output one\n",
      stderr);
}

}  // namespace korvale
