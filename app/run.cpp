#include "app/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/options.h"
#include "bmp/bmp.h"
#include "common/color_plane.h"
#include "common/fatal.h"
#include "resize/resize.h"

namespace korvale {
namespace {

// Process-wide copies of the three names, taken after parsing; the run reads
// the input and output names from here.
char g_input_name[kNameField];
char g_input2_name[kNameField];
char g_output_name[kNameField];

void copy_name(char* dst, const char* src) {
  std::snprintf(dst, kNameField, "%s", src);
}

// Says which reduction is out of range, quoting the value as it was typed,
// and what the range is; ends the process.
[[noreturn]] void fail_reduction(const char* key, const char* typed, int side, const char* unit) {
  const std::string line = std::string("-") + key + " " + typed +
                           " is out of range: a picture of " + std::to_string(side) + " " + unit +
                           " allows 0 .. " + std::to_string(side - 1);
  fail_exit(line.c_str());
}

}  // namespace

int run_resize(int argc, char** argv) {
  // 1. Initial width and height, before the options may change them.
  orgx = 720;
  orgy = 480;

  // 2. No option at all: usage.
  if (argc < 2) {
    print_usage();
    return 0;
  }

  // 3. Options; usage and option errors end the process inside.
  ResizeOptions opt;
  parse_options(argc, argv, &opt);

  // 4. Name copies; -i and -o are required.
  copy_name(g_input_name, opt.input);
  copy_name(g_input2_name, opt.input2);
  copy_name(g_output_name, opt.output);
  if (g_input_name[0] == '\0' || g_output_name[0] == '\0') {
    print_usage();
    fail_exit(g_input_name[0] == '\0' ? "no input file given: use -i NAME"
                                      : "no output file given: use -o STEM");
  }

  // An input that is not a regular file, and an output that cannot or must not
  // be written, are refused before the work starts.
  if (const std::string error = probe_bmp_input(g_input_name); !error.empty()) {
    fail_exit(error.c_str());
  }
  if (const std::string error = probe_bmp_output(g_output_name); !error.empty()) {
    fail_exit(error.c_str());
  }

  // Threads for decoding and the plane resizes: KORVALE_THREADS, or every
  // hardware thread.
  int threads = 1;
  if (const std::string error = thread_count_from(std::getenv("KORVALE_THREADS"), &threads);
      !error.empty()) {
    fail_exit(error.c_str());
  }

  // 5. Input planes, top row first.
  BmpPlanes in;
  if (const std::string error = read_bmp(g_input_name, kDefaultMaxPixels, threads, &in);
      !error.empty()) {
    fail_exit(error.c_str());
  }
  const int w = in.red.w;
  const int h = in.red.h;
  if (opt.sizexminus < 0 || opt.sizexminus >= w) {
    fail_reduction("sizexminus", opt.sizexminus_text, w, "columns");
  }
  if (opt.sizexminusy < 0 || opt.sizexminusy >= h) {
    fail_reduction("sizexminusy", opt.sizexminusy_text, h, "rows");
  }

  // 6. Output planes.
  const int out_w = w - opt.sizexminus;
  const int out_h = h - opt.sizexminusy;
  ColorPlane red = named_plane(out_w, out_h, "RUPOUT");
  ColorPlane green = named_plane(out_w, out_h, "GUPOUT");
  ColorPlane blue = named_plane(out_w, out_h, "BUPOUT");

  // 7. Red, then green, then blue, on one run built for this size.
  ResizeRunPtr resize_run = resize_run_begin(w, h, opt.sizexminus, opt.sizexminusy, threads);
  resize_plane(*resize_run, in.red, red);
  resize_plane(*resize_run, in.green, green);
  resize_plane(*resize_run, in.blue, blue);
  resize_run.reset();

  // 8. The input is no longer needed.
  in = BmpPlanes();

  // 9. The output file.
  if (const std::string error = write_bmp(g_output_name, red, green, blue); !error.empty()) {
    fail_exit(error.c_str());
  }
  return 0;
}

}  // namespace korvale
