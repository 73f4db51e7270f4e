// Worker threads that start jobs in the order they were submitted. Each job
// learns the number of the worker running it (below max(workers(), 1)), so
// that it can use state kept per worker. Jobs never throw.
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "fsutil/threads.h"

class WorkerPool {
 public:
  class Job {
   public:
    virtual void run(size_t worker) = 0;

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

  size_t workers() const { return threads_.size(); }

  void submit(Job& job);
  bool is_done(Job& job);
  void wait_for(Job& job);
  // Takes back a job not started yet, or waits for one that has; either way
  // it is no longer the pool's afterwards.
  void withdraw(Job& job);

 private:
  void work(size_t worker);

  fsutil::Mutex mutex_;
  fsutil::Condition changed_;
  std::deque<Job*> queue_;
  bool ending_ = false;
  std::vector<fsutil::Thread> threads_;
};
