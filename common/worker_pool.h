// A small pool of std::thread workers that run one job at a time on every
// thread, the calling thread included.
//
// pool_run(pool, job) calls job(t) once for each t in 0 .. threads-1: t = 0 on
// the calling thread, the others on the workers, and returns when every call
// has returned. Jobs must not throw. With one thread nothing is started and
// everything runs on the calling thread. The pool joins its workers when it is
// destroyed.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace korvale {

struct WorkerPool {
  int threads = 1;
  std::vector<std::thread> workers;
  std::mutex mutex;
  std::condition_variable wake;  // a new job, or the end
  std::condition_variable done;  // the last worker finished its part
  const std::function<void(int)>* job = nullptr;
  unsigned long generation = 0;  // counts jobs handed out
  int pending = 0;               // workers still running the current job
  bool stopping = false;

  WorkerPool() = default;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();
};

// Starts threads - 1 workers (threads >= 1); when the system refuses a
// thread, the pool keeps the ones it has and `threads` says how many.
void pool_start(WorkerPool* pool, int threads);

void pool_run(WorkerPool& pool, const std::function<void(int)>& job);

}  // namespace korvale
