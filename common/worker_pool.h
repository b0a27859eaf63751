// A small pool of std::thread workers that run one job at a time on every
// thread, the calling thread included, and a range of items dealt out in
// chunks to whichever thread is free.
//
// pool_run(pool, job) calls job(t) once for each t in 0 .. threads-1: t = 0 on
// the calling thread, the others on the workers, and returns when every call
// has returned. The job is any callable taking an int; it is passed by
// reference (no copy, no allocation). Jobs must not throw. With one thread
// nothing is started and everything runs on the calling thread. The pool
// joins its workers when it is destroyed.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace korvale {

struct WorkerPool {
  int threads = 1;
  std::vector<std::thread> workers;
  std::mutex mutex;
  std::condition_variable wake;                    // a new job, or the end
  std::condition_variable done;                    // the last worker finished its part
  void (*call)(const void* job, int t) = nullptr;  // runs the current job
  const void* job = nullptr;                       // the current job
  unsigned long generation = 0;                    // counts jobs handed out
  int pending = 0;                                 // workers still running the current job
  bool stopping = false;

  WorkerPool() = default;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();
};

// Starts threads - 1 workers (threads >= 1); when the system refuses a
// thread, the pool keeps the ones it has and `threads` says how many.
void pool_start(WorkerPool* pool, int threads);

// Runs call(job, t) on every thread; the type-erased core of pool_run.
void pool_run_erased(WorkerPool& pool, void (*call)(const void*, int), const void* job);

template <class Job>
void pool_run(WorkerPool& pool, const Job& job) {
  pool_run_erased(
      pool, [](const void* j, int t) { (*static_cast<const Job*>(j))(t); }, &job);
}

// Cuts items 0 .. count-1 into chunks of `chunk` items (chunk >= 1; the last
// may be shorter) and deals them out in order to whichever thread of the
// pool asks next: body(t, first, last) runs once for each chunk, on thread t,
// with items [first, last). A thread that the system holds up then takes
// fewer chunks instead of the others waiting for it at the end. Which thread
// takes a chunk changes from run to run, so a caller whose results must not
// depend on it makes each item's work depend on the item alone.
template <class Body>
void pool_run_chunks(WorkerPool& pool, int count, int chunk, const Body& body) {
  std::atomic<int> next{0};
  pool_run(pool, [&](int t) {
    for (;;) {
      const int first = next.fetch_add(chunk, std::memory_order_relaxed);
      if (first >= count) return;
      body(t, first, std::min(count, first + chunk));
    }
  });
}

}  // namespace korvale
