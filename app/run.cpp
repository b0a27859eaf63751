#include "app/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/options.h"
#include "bmp/bmp.h"
#include "common/color_plane.h"
#include "resize/resize.h"

namespace korvale {
namespace {

// Copies of the three names taken after parsing; the output field of the
// options may be reused for the full output path while the stem is read here.
char g_input_name[kNameField];
char g_input2_name[kNameField];
char g_output_name[kNameField];

void copy_name(char* dst, const char* src) {
  std::snprintf(dst, kNameField, "%s", src);
}

// Writes one failure line on standard output; returns the failure status.
int fail(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
  return 1;
}

// Says which reduction is out of range and what the range is.
int fail_reduction(const char* key, int value, int side, const char* unit) {
  std::printf("-%s %d is out of range: a picture of %d %s allows 0 .. %d\n", key, value, side, unit,
              side - 1);
  std::fflush(stdout);
  return 1;
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

  // 4. Process-wide size and name copies; -i and -o are required.
  image_width = orgx;
  image_height = orgy;
  copy_name(g_input_name, opt.input);
  copy_name(g_input2_name, opt.input2);
  copy_name(g_output_name, opt.output);
  if (g_input_name[0] == '\0' || g_output_name[0] == '\0') {
    fail(g_input_name[0] == '\0' ? "no input file given: use -i NAME"
                                 : "no output file given: use -o STEM");
    print_usage();
    return 1;
  }

  // An output that cannot be written is refused before the work starts.
  if (std::string error = probe_bmp_output(g_output_name); !error.empty())
    return fail(error.c_str());

  // Threads for the plane resizes: KORVALE_THREADS, or every hardware thread.
  int threads = 1;
  if (std::string error = thread_count_from(std::getenv("KORVALE_THREADS"), &threads);
      !error.empty())
    return fail(error.c_str());

  // 5. Input planes, top row first; the reader ends the process on failure.
  BmpPlanes in = read_bmp(g_input_name);
  const int w = image_width;
  const int h = image_height;
  if (opt.sizexminus < 0 || opt.sizexminus >= w)
    return fail_reduction("sizexminus", opt.sizexminus, w, "columns");
  if (opt.sizexminusy < 0 || opt.sizexminusy >= h)
    return fail_reduction("sizexminusy", opt.sizexminusy, h, "rows");

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
  std::string error = write_bmp(g_output_name, red, green, blue);
  if (!error.empty()) return fail(error.c_str());
  return 0;
}

}  // namespace korvale
