// Worker threads that start jobs in the order they were submitted, helped by
// the one thread that submits them: while it waits for a job, it runs queued
// jobs itself rather than sleep. Each job learns the number of the thread
// running it (below threads()), so that it can use state kept per thread.
// Jobs never throw.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "fsutil/threads.h"

namespace worker_pool {

// The threads adding and extracting use: PARVOX_THREADS when it is a number
// from 1 up, else the machine's cores; at most kMaxThreads. The calling thread
// is one of them: 1 means no workers.
constexpr size_t kMaxThreads = 16;
size_t configured_threads();

}  // namespace worker_pool

class WorkerPool {
 public:
  class Job {
   public:
    virtual void run(size_t thread) = 0;

   protected:
    ~Job() = default;

   private:
    friend class WorkerPool;
    enum class State { queued, running, done };
    State state_ = State::done;
  };

  // Starts up to `workers` threads (as many as the system gives); with none,
  // submit() runs each job at once on the submitting thread.
  explicit WorkerPool(size_t workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The workers and the submitting thread, which runs jobs as number workers().
  size_t threads() const { return workers() + 1; }
  size_t workers() const { return threads_.size(); }

  void submit(Job& job);
  // Queues `job` before every queued one: the next worker free starts it.
  // Needs workers.
  void submit_first(Job& job);
  bool is_done(Job& job);
  // Waits until `job` is done, running queued jobs meanwhile (`job` first
  // when it has not started).
  void wait_for(Job& job);
  // Takes back a job not started yet, or waits for one that has; either way
  // it is no longer the pool's afterwards.
  void withdraw(Job& job);

 private:
  void work(size_t worker);
  void run_front(std::unique_lock<fsutil::Mutex>& lock, size_t thread);

  fsutil::Mutex mutex_;
  fsutil::Condition work_ready_;  // for the workers: a job queued, or the end
  fsutil::Condition job_done_;    // for the submitting thread
  std::deque<Job*> queue_;
  bool ending_ = false;
  std::vector<fsutil::Thread> threads_;
};
