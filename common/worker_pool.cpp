// The worker pool: starting its threads, handing every thread the current
// job, and joining them at the end.
#include "common/worker_pool.h"

#include <system_error>

namespace korvale {
namespace {

void worker_loop(WorkerPool* pool, int index) {
  unsigned long seen = 0;
  for (;;) {
    void (*call)(const void*, int);
    const void* job;
    {
      std::unique_lock<std::mutex> lock(pool->mutex);
      pool->wake.wait(lock, [&] { return pool->stopping || pool->generation != seen; });
      if (pool->stopping) return;
      seen = pool->generation;
      call = pool->call;
      job = pool->job;
    }
    call(job, index);
    std::lock_guard<std::mutex> lock(pool->mutex);
    if (--pool->pending == 0) pool->done.notify_one();
  }
}

}  // namespace

void pool_start(WorkerPool* pool, int threads) {
  const int wanted = threads < 1 ? 1 : threads;
  pool->workers.reserve(static_cast<std::size_t>(wanted - 1));
  // A thread the system refuses would end the process from inside the
  // standard library; the pool runs on the threads it got instead (every
  // line's arithmetic is the same on any number of threads).
  for (int t = 1; t < wanted; ++t) {
    try {
      pool->workers.emplace_back(worker_loop, pool, t);
    } catch (const std::system_error&) {
      break;
    }
  }
  pool->threads = static_cast<int>(pool->workers.size()) + 1;
}

void pool_run_erased(WorkerPool& pool, void (*call)(const void*, int), const void* job) {
  if (pool.workers.empty()) {
    call(job, 0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.call = call;
    pool.job = job;
    pool.pending = static_cast<int>(pool.workers.size());
    ++pool.generation;
  }
  pool.wake.notify_all();
  call(job, 0);
  std::unique_lock<std::mutex> lock(pool.mutex);
  pool.done.wait(lock, [&] { return pool.pending == 0; });
  pool.call = nullptr;
  pool.job = nullptr;
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  for (std::thread& t : workers) t.join();
}

}  // namespace korvale
