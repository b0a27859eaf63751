// Line transforms: values, strided access, inputs left alone, round trips and
// the ways a line can fail.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/named_alloc.h"
#include "tests/child_process.h"
#include "tests/reference/reference.h"

namespace korvale::reference {
namespace {

struct Tables {
  std::vector<int> ip = std::vector<int>(32768, 0);
  std::vector<double> ww = std::vector<double>(32768, 0.0);
};

std::vector<double> random_values(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> dist(-100.0, 100.0);
  std::vector<double> v(count);
  for (double& x : v) x = dist(rng);
  return v;
}

using RowFn = void (*)(int, int, const double*, const double*, double*, double*, int*, double*);
using ColumnFn = void (*)(int, const double*, const double*, double*, double*, int*, double*);

TEST(LineTransform, TwoPointValues) {
  Tables t;
  const double re[2] = {3.0, 5.0}, im[2] = {1.0, -2.0};
  double fr[2], fi[2], ir[2], ii[2];
  column_dft_forward(2, re, im, fr, fi, t.ip.data(), t.ww.data());
  EXPECT_NEAR(fr[0], 4.0, 1e-14);
  EXPECT_NEAR(fi[0], -0.5, 1e-14);
  EXPECT_NEAR(fr[1], -1.0, 1e-14);
  EXPECT_NEAR(fi[1], 1.5, 1e-14);
  row_dft_inverse(2, 1, re, im, ir, ii, t.ip.data(), t.ww.data());
  EXPECT_NEAR(ir[0], 8.0, 1e-14);
  EXPECT_NEAR(ii[0], -1.0, 1e-14);
  EXPECT_NEAR(ir[1], -2.0, 1e-14);
  EXPECT_NEAR(ii[1], 3.0, 1e-14);
}

TEST(LineTransform, RowsTouchOnlyTheirPointsAndMatchColumns) {
  Tables t;
  const int n = 7, stride = 3;
  const std::size_t span = static_cast<std::size_t>(n) * stride;
  const RowFn rows[2] = {row_dft_forward, row_dft_inverse};
  const ColumnFn columns[2] = {column_dft_forward, column_dft_inverse};
  for (int dir = 0; dir < 2; ++dir) {
    const std::vector<double> in_re = random_values(span, 1), in_im = random_values(span, 2);
    const std::vector<double> keep_re = in_re, keep_im = in_im;

    // Strided row: only elements j*stride change; the input stays as it was.
    std::vector<double> out_re(span, 42.0), out_im(span, -42.0);
    rows[dir](n, stride, in_re.data(), in_im.data(), out_re.data(), out_im.data(), t.ip.data(),
              t.ww.data());
    EXPECT_EQ(in_re, keep_re);
    EXPECT_EQ(in_im, keep_im);
    for (std::size_t k = 0; k < span; ++k) {
      if (k % stride != 0) {
        EXPECT_EQ(out_re[k], 42.0) << "element " << k;
        EXPECT_EQ(out_im[k], -42.0) << "element " << k;
      }
    }

    // The same points as a contiguous column give the same result, and so
    // does a row of stride 1.
    std::vector<double> col_re(n), col_im(n), line_re(n), line_im(n);
    for (int j = 0; j < n; ++j) {
      col_re[j] = in_re[j * stride];
      col_im[j] = in_im[j * stride];
    }
    const std::vector<double> col_keep_re = col_re, col_keep_im = col_im;
    std::vector<double> c_re(n), c_im(n), r_re(n), r_im(n);
    columns[dir](n, col_re.data(), col_im.data(), c_re.data(), c_im.data(), t.ip.data(),
                 t.ww.data());
    rows[dir](n, 1, col_re.data(), col_im.data(), r_re.data(), r_im.data(), t.ip.data(),
              t.ww.data());
    EXPECT_EQ(col_re, col_keep_re);
    EXPECT_EQ(col_im, col_keep_im);
    EXPECT_EQ(c_re, r_re);
    EXPECT_EQ(c_im, r_im);
    for (int j = 0; j < n; ++j) {
      EXPECT_EQ(out_re[j * stride], c_re[j]);
      EXPECT_EQ(out_im[j * stride], c_im[j]);
    }
  }
}

TEST(LineTransform, ForwardThenInverseReturnsTheLine) {
  Tables t;
  for (int n : {2, 3, 10, 97, 1024, 8191, 8192}) {
    const std::vector<double> re = random_values(n, 7), im = random_values(n, 8);
    std::vector<double> fr(n), fi(n), br(n), bi(n);
    column_dft_forward(n, re.data(), im.data(), fr.data(), fi.data(), t.ip.data(), t.ww.data());
    row_dft_inverse(n, 1, fr.data(), fi.data(), br.data(), bi.data(), t.ip.data(), t.ww.data());
    double worst = 0;
    for (int j = 0; j < n; ++j) worst = std::fmax(worst, std::hypot(br[j] - re[j], bi[j] - im[j]));
    EXPECT_LT(worst, 1e-10) << "N = " << n;
  }
}

TEST(LineTransformDeath, LineLongerThanTheStagingBuffersAborts) {
  Tables t;
  std::vector<double> in(kMaxLine + 1, 1.0), out(kMaxLine + 1, 0.0);
  EXPECT_DEATH(column_dft_forward(kMaxLine + 1, in.data(), in.data(), out.data(), out.data(),
                                  t.ip.data(), t.ww.data()),
               "exceed");
  EXPECT_DEATH(row_dft_inverse(kMaxLine + 1, 1, in.data(), in.data(), out.data(), out.data(),
                               t.ip.data(), t.ww.data()),
               "exceed");
}

}  // namespace
}  // namespace korvale::reference
