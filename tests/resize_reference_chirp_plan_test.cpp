// The reference pipeline's one-shot chirp-z plan: lengths, chirp table, statuses, allocation
// failures and release.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/named_alloc.h"
#include "tests/reference/chirp_plan.h"

namespace korvale::reference {
namespace {

struct Tables {
  std::vector<int> ip = std::vector<int>(32768, 0);
  std::vector<double> ww = std::vector<double>(32768, 0.0);
};

bool is_released(const ChirpPlan& p) {
  return p.length == 0 && p.out_count == 0 && p.fft_length == 0 && p.chirp_re == nullptr &&
         p.chirp_im == nullptr && p.filter_re == nullptr && p.filter_im == nullptr &&
         p.work_re == nullptr && p.work_im == nullptr;
}

TEST(ChirpPlan, LengthsAndOutputCount) {
  Tables t;
  // {N, M asked, M built, L}
  const int cases[][4] = {{2, 2, 2, 4},
                          {3, 3, 3, 8},
                          {4, 4, 4, 8},
                          {5, 5, 5, 16},
                          {8, 8, 8, 16},
                          {9, 9, 9, 32},
                          {4096, 4096, 4096, 8192},
                          {8192, 8192, 8192, 16384},
                          {5, 9, 5, 16},
                          {5, 0, 5, 16},
                          {5, 1, 5, 16},
                          {5, -3, 5, 16},
                          {6, 2, 2, 8},
                          {9, 3, 3, 16}};
  for (const auto& c : cases) {
    ChirpPlan plan;
    ASSERT_EQ(chirp_plan_init(&plan, c[0], c[1], t.ip.data(), t.ww.data()), 0);
    EXPECT_EQ(plan.length, c[0]);
    EXPECT_EQ(plan.out_count, c[2]) << "N = " << c[0] << ", M = " << c[1];
    EXPECT_EQ(plan.fft_length, c[3]) << "N = " << c[0] << ", M = " << c[1];
    EXPECT_EQ(plan.chirp_im, plan.chirp_re + c[0]);
    EXPECT_EQ(plan.filter_im, plan.filter_re + c[3]);
    EXPECT_EQ(plan.work_im, plan.work_re + c[3]);
    chirp_plan_release(&plan);
    EXPECT_TRUE(is_released(plan));
  }
}

TEST(ChirpPlan, ChirpFollowsSquaresModuloTwoN) {
  Tables t;
  // d = n^2 mod 2N: N = 3 gives 0, 1, 4; N = 4 gives 0, 1, 4, 1.
  const std::vector<std::vector<int>> expected = {{0, 1, 4}, {0, 1, 4, 1}};
  for (const auto& d : expected) {
    const int n = static_cast<int>(d.size());
    ChirpPlan plan;
    ASSERT_EQ(chirp_plan_init(&plan, n, n, t.ip.data(), t.ww.data()), 0);
    for (int j = 0; j < n; ++j) {
      const double theta = d[j] * M_PI / n;
      EXPECT_NEAR(plan.chirp_re[j], std::cos(theta), 1e-15) << "N = " << n << ", j = " << j;
      EXPECT_NEAR(plan.chirp_im[j], -std::sin(theta), 1e-15) << "N = " << n << ", j = " << j;
    }
    chirp_plan_release(&plan);
  }
}

TEST(ChirpPlan, LengthBelowTwoIsRefusedAndTheRecordUntouched) {
  Tables t;
  for (int n : {1, 0, -1, -8192}) {
    ChirpPlan plan;
    std::memset(static_cast<void*>(&plan), 0xA5, sizeof plan);
    ChirpPlan before;
    std::memcpy(static_cast<void*>(&before), &plan, sizeof plan);
    EXPECT_EQ(chirp_plan_init(&plan, n, 4, t.ip.data(), t.ww.data()), 1) << "N = " << n;
    EXPECT_EQ(std::memcmp(&plan, &before, sizeof plan), 0) << "N = " << n;
  }
}

TEST(ChirpPlan, EveryAllocationFailureGivesTwoAndFreesEverything) {
  Tables t;
  for (const char* name : {"czchirp", "czfilter", "czwork", "czhtmp"}) {
    ChirpPlan plan;
    std::memset(static_cast<void*>(&plan), 0x5A, sizeof plan);
    fail_named_allocation(name, 1);
    EXPECT_EQ(chirp_plan_init(&plan, 100, 100, t.ip.data(), t.ww.data()), 2) << name;
    clear_named_allocation_failure();
    EXPECT_TRUE(is_released(plan)) << name;
    chirp_plan_release(&plan);  // harmless on a refused plan
    EXPECT_TRUE(is_released(plan));
  }
}

TEST(ChirpPlan, LengthWhoseFftSizeOverflowsIsRefused) {
  Tables t;
  ChirpPlan plan;
  EXPECT_EQ(chirp_plan_init(&plan, 0x40000000, 0x40000000, t.ip.data(), t.ww.data()), 2);
  EXPECT_TRUE(is_released(plan));
}

TEST(ChirpPlan, ReleaseIsHarmlessTwiceAndOnHalfBuiltPlans) {
  Tables t;
  ChirpPlan plan;
  ASSERT_EQ(chirp_plan_init(&plan, 10, 10, t.ip.data(), t.ww.data()), 0);
  chirp_plan_release(&plan);
  chirp_plan_release(&plan);
  EXPECT_TRUE(is_released(plan));

  // Only the work block present, then only the chirp block.
  ChirpPlan half{};
  half.length = half.out_count = 10;
  half.fft_length = 32;
  half.work_re = static_cast<double*>(std::malloc(64 * sizeof(double)));
  half.work_im = half.work_re + 32;
  chirp_plan_release(&half);
  EXPECT_TRUE(is_released(half));
  half.chirp_re = static_cast<double*>(std::malloc(20 * sizeof(double)));
  half.chirp_im = half.chirp_re + 10;
  chirp_plan_release(&half);
  EXPECT_TRUE(is_released(half));
}

}  // namespace
}  // namespace korvale::reference
