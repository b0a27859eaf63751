// Command-line options of korvale and its usage text.
//
// parse_options walks argv[1..]: words not starting with '-' are skipped; the
// text after '-' must equal one of the keys whole (case-sensitive). "h" and
// "help" print the usage on standard error and end the process with status 0.
// Any other unknown key is an error: a line naming it on standard output, the
// usage on standard error, status 1 (a misspelt option must not pass for a
// successful run). Every other key consumes the next argument as its value
// (atoi, atof for Fsc, names copied). A key given twice keeps its last value.
// A key given last with no value, an input name (-i, -i2) of 128 characters
// or more, or an output stem (-o) of 124 or more (".bmp" is appended within
// 128 bytes) is an error: one line on standard output and status 1.
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
  char input[kNameField] = {};   // -i
  char input2[kNameField] = {};  // -i2, copied but never read
  char output[kNameField] = {};  // -o, the output stem
  int hv = 0;
  int sizexminus = 0;   // columns to remove
  int sizexminusy = 0;  // rows to remove
  // The two values above as typed (pointing into argv), for messages: a value
  // atoi cannot represent is read as the nearest int.
  const char* sizexminus_text = "0";
  const char* sizexminusy_text = "0";
  int bunshi = 0;
  int bunbo = 0;
  int norm = 0;
  int mado = 0;
  int tapnum_y = 0;
  int tapnum_c = 0;
  double Fsc = 0.0;
};

// Values of -orgx and -orgy (720 and 480 unless given): accepted and kept,
// but the picture's own width and height are what the run uses.
extern int orgx;
extern int orgy;

// What parsing asks for: go on; show the usage (status 0); fail (status 1);
// or fail and show the usage (an unknown key; status 1).
enum class ParseOutcome { ok, usage, error, unknown_key };

// The parser without side effects on the process: fills *opt and orgx/orgy
// and says what to do next; for error and unknown_key, *error is the one-line
// message, without its line end.
ParseOutcome parse_options_checked(int argc, const char* const* argv, ResizeOptions* opt,
                                   std::string* error);

// parse_options_checked, then prints and ends the process for anything but ok.
void parse_options(int argc, const char* const* argv, ResizeOptions* opt);

// The seven usage lines, on standard error.
void print_usage();

}  // namespace korvale
