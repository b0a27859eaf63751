#include "resize/worker_pool.h"

namespace korvale {
namespace {

void worker_loop(WorkerPool* pool, int index) {
  unsigned long seen = 0;
  for (;;) {
    const std::function<void(int)>* job;
    {
      std::unique_lock<std::mutex> lock(pool->mutex);
      pool->wake.wait(lock, [&] { return pool->stopping || pool->generation != seen; });
      if (pool->stopping) return;
      seen = pool->generation;
      job = pool->job;
    }
    (*job)(index);
    std::lock_guard<std::mutex> lock(pool->mutex);
    if (--pool->pending == 0) pool->done.notify_one();
  }
}

}  // namespace

void pool_start(WorkerPool* pool, int threads) {
  pool->threads = threads < 1 ? 1 : threads;
  pool->workers.reserve(static_cast<std::size_t>(pool->threads - 1));
  for (int t = 1; t < pool->threads; ++t) pool->workers.emplace_back(worker_loop, pool, t);
}

void pool_run(WorkerPool& pool, const std::function<void(int)>& job) {
  if (pool.workers.empty()) {
    job(0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.job = &job;
    pool.pending = static_cast<int>(pool.workers.size());
    ++pool.generation;
  }
  pool.wake.notify_all();
  job(0);
  std::unique_lock<std::mutex> lock(pool.mutex);
  pool.done.wait(lock, [&] { return pool.pending == 0; });
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
