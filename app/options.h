// Command-line options of korvale and its usage text.
//
// parse_options walks argv[1..]: words not starting with '-' are skipped; the
// text after '-' must equal one of the keys whole (case-sensitive); "h" and
// any unknown key print the usage on standard error and end the process with
// status 0; every other key consumes the next argument as its value (atoi,
// atof for Fsc, names copied). A key given twice keeps its last value.
// A key given last with no value, or a name of 128 characters or more, is an
// error: one line on standard output and status 1.
#pragma once

#include <string>

namespace korvale {

// Size of every file-name field, terminator included.
inline constexpr int kNameField = 128;

struct ResizeOptions {
  int x = 720;
  int y = 480;
  int startx = 0;
  int starty = 0;
  char input[kNameField] = {};    // -i
  char input2[kNameField] = {};   // -i2, copied but never read
  char output[kNameField] = {};   // -o, the output stem
  int hv = 0;
  int sizexminus = 0;   // columns to remove
  int sizexminusy = 0;  // rows to remove
  int bunshi = 0;
  int bunbo = 0;
  int norm = 0;
  int mado = 0;
  int tapnum_y = 0;
  int tapnum_c = 0;
  double Fsc = 0.0;
};

// Initial image width and height, replaced by the input's header.
extern int orgx;
extern int orgy;

enum class ParseOutcome { ok, usage, error };

// The parser without side effects on the process: fills *opt and orgx/orgy
// and says whether to go on, show the usage (status 0) or fail (status 1, with
// *error the one-line message, without its line end).
ParseOutcome parse_options_checked(int argc, const char* const* argv, ResizeOptions* opt,
                                   std::string* error);

// parse_options_checked, then prints and ends the process for usage/error.
void parse_options(int argc, const char* const* argv, ResizeOptions* opt);

// The seven usage lines, on standard error.
void print_usage();

}  // namespace korvale
