// The worker pool: every thread runs each job once, a thread the system
// refuses leaves a smaller working pool, and dealt chunks cover a count
// exactly once.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "common/worker_pool.h"

namespace korvale {
namespace {

TEST(WorkerPool, EveryThreadRunsEveryJobOnce) {
  for (int threads : {1, 2, 3, 7}) {
    WorkerPool pool;
    pool_start(&pool, threads);
    ASSERT_EQ(pool.threads, threads);
    for (int job = 0; job < 50; ++job) {
      std::vector<std::atomic<int>> ran(static_cast<std::size_t>(threads));
      const std::thread::id caller = std::this_thread::get_id();
      std::atomic<bool> zero_on_caller{false};
      pool_run(pool, [&](int t) {
        ran[static_cast<std::size_t>(t)].fetch_add(1);
        if (t == 0) zero_on_caller = std::this_thread::get_id() == caller;
      });
      for (int t = 0; t < threads; ++t) EXPECT_EQ(ran[static_cast<std::size_t>(t)], 1) << t;
      EXPECT_TRUE(zero_on_caller);
    }
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVALE_NO_ADDRESS_LIMIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVALE_NO_ADDRESS_LIMIT 1
#endif
#endif

#ifndef KORVALE_NO_ADDRESS_LIMIT
// The child of the test below: caps its address space just above what it
// uses, starts a pool of 64 and runs one job; exits 0 when that worked.
[[noreturn]] void pool_under_an_address_cap() {
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t cap = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (16 << 20);
  const rlimit limit{cap, cap};
  if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
  WorkerPool pool;
  pool_start(&pool, 64);
  if (pool.threads < 1 || pool.threads >= 64) _exit(4);
  std::atomic<int> calls{0};
  pool_run(pool, [&](int) { calls.fetch_add(1); });
  _exit(calls == pool.threads ? 0 : 5);
}
#endif

// A child process whose address space is capped just above what it uses,
// so the system refuses the threads' stacks: the pool keeps what it got and
// still runs each job on all of those threads.
TEST(WorkerPool, RefusedThreadsLeaveAWorkingPool) {
#ifdef KORVALE_NO_ADDRESS_LIMIT
  GTEST_SKIP() << "sanitizers reserve the address space this test caps";
#else
  EXPECT_EXIT(pool_under_an_address_cap(), ::testing::ExitedWithCode(0), "");
#endif
}

// Dealt chunks: every item in exactly one call, each call a whole chunk
// starting at a multiple of it (the last one cut at the count), on a valid
// thread; with a body slow enough that the threads overlap.
TEST(WorkerPool, DealtChunksCoverTheCountOnce) {
  for (int threads : {1, 2, 3, 7}) {
    WorkerPool pool;
    pool_start(&pool, threads);
    for (int count : {0, 1, 15, 16, 17, 1000, 1080}) {
      for (int chunk : {1, 16, 64, 5000}) {
        std::vector<std::atomic<int>> seen(static_cast<std::size_t>(count));
        std::atomic<int> bad{0};
        pool_run_chunks(pool, count, chunk, [&](int t, int first, int last) {
          if (t < 0 || t >= threads || first % chunk != 0 || first >= last ||
              last != std::min(count, first + chunk)) {
            bad.fetch_add(1);
          }
          for (int i = first; i < last; ++i) seen[static_cast<std::size_t>(i)].fetch_add(1);
          volatile double spin = 0;  // a little work per chunk
          for (int k = 0; k < 200; ++k) spin = spin + k;
        });
        EXPECT_EQ(bad, 0) << threads << " " << count << " " << chunk;
        for (int i = 0; i < count; ++i) {
          ASSERT_EQ(seen[static_cast<std::size_t>(i)], 1)
              << threads << " " << count << " " << chunk;
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvale
