#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "tests/reference/chirp_plan.h"
#include "tests/reference/reference.h"

namespace korvale::reference {
namespace {

// Staging lines: the chirp-z transform runs in place here, so the caller's
// input is never written. One pair for each direction.
double forward_stage_re[kMaxLine];
double forward_stage_im[kMaxLine];
double inverse_stage_re[kMaxLine];
double inverse_stage_im[kMaxLine];

// A line longer than the staging buffers would overrun them; callers bound
// the picture so this cannot happen, and if it does the process stops here.
void check_line_length(int n) {
  if (n > kMaxLine) {
    std::fprintf(stderr, "line transform: %d points exceed the limit of %d\n", n, kMaxLine);
    std::abort();
  }
}

// Transforms one contiguous line through the given staging pair.
void column_dft(int n, int inverse, const double* in_re, const double* in_im, double* out_re,
                double* out_im, double* stage_re, double* stage_im, int* ip, double* ww) {
  check_line_length(n);

  // Clear the output line, then stage the input.
  for (int j = 0; j < n; ++j) {
    out_re[j] = 0.0;
    out_im[j] = 0.0;
  }
  for (int j = 0; j < n; ++j) {
    stage_re[j] = in_re[j];
    stage_im[j] = in_im[j];
  }

  // A refused plan leaves nothing sound to return: stop the process rather
  // than hand back an untransformed line.
  ChirpPlan plan;
  if (chirp_plan_init(&plan, n, n, ip, ww) != 0) {
    std::fprintf(stderr, "line transform: no chirp-z plan for %d points\n", n);
    std::abort();
  }
  chirp_transform(&plan, inverse, stage_re, stage_im, ip, ww);
  for (int j = 0; j < n; ++j) {
    out_re[j] = stage_re[j];
    out_im[j] = stage_im[j];
  }
  chirp_plan_release(&plan);
}

// Transforms one strided line: gather into contiguous temporaries, transform
// as a column, scatter back.
void row_dft(int n, int stride, int inverse, const double* in_re, const double* in_im,
             double* out_re, double* out_im, int* ip, double* ww) {
  check_line_length(n);
  const std::ptrdiff_t step = stride;

  for (int j = 0; j < n; ++j) {
    out_re[j * step] = 0.0;
    out_im[j * step] = 0.0;
  }

  const std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 0;
  Buffer<double> r = named_buffer<double>(count, "R");
  Buffer<double> i = named_buffer<double>(count, "I");
  Buffer<double> o_r = named_buffer<double>(count, "OR");
  Buffer<double> o_i = named_buffer<double>(count, "OI");

  for (int j = 0; j < n; ++j) {
    r[j] = in_re[j * step];
    i[j] = in_im[j * step];
  }
  if (inverse != 0) {
    column_dft_inverse(n, r.get(), i.get(), o_r.get(), o_i.get(), ip, ww);
  } else {
    column_dft_forward(n, r.get(), i.get(), o_r.get(), o_i.get(), ip, ww);
  }
  for (int j = 0; j < n; ++j) {
    out_re[j * step] = o_r[j];
    out_im[j * step] = o_i[j];
  }
}

}  // namespace

void column_dft_forward(int n, const double* in_re, const double* in_im, double* out_re,
                        double* out_im, int* ip, double* ww) {
  column_dft(n, 0, in_re, in_im, out_re, out_im, forward_stage_re, forward_stage_im, ip, ww);
}

void column_dft_inverse(int n, const double* in_re, const double* in_im, double* out_re,
                        double* out_im, int* ip, double* ww) {
  column_dft(n, 1, in_re, in_im, out_re, out_im, inverse_stage_re, inverse_stage_im, ip, ww);
}

void row_dft_forward(int n, int stride, const double* in_re, const double* in_im, double* out_re,
                     double* out_im, int* ip, double* ww) {
  row_dft(n, stride, 0, in_re, in_im, out_re, out_im, ip, ww);
}

void row_dft_inverse(int n, int stride, const double* in_re, const double* in_im, double* out_re,
                     double* out_im, int* ip, double* ww) {
  row_dft(n, stride, 1, in_re, in_im, out_re, out_im, ip, ww);
}

}  // namespace korvale::reference
