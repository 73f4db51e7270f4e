#include "archive/worker_pool.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

size_t worker_pool::configured_threads() {
  const char* setting = std::getenv("PARVOX_THREADS");
  char* end = nullptr;
  const long threads = setting ? std::strtol(setting, &end, 10) : 0;
  if (setting && end != setting && *end == '\0' && threads >= 1) {
    return std::min<size_t>(static_cast<size_t>(threads), kMaxThreads);
  }
  const size_t cores = fsutil::Thread::hardware_concurrency();
  return std::clamp<size_t>(cores, 1, kMaxThreads);
}

WorkerPool::WorkerPool(size_t workers) {
  try {
    threads_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this, i] { work(i); });
  } catch (const std::exception&) {
    // Fewer workers (or none) do the same work, only later.
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<fsutil::Mutex> lock(mutex_);
    ending_ = true;
  }
  work_ready_.notify_all();
  for (fsutil::Thread& thread : threads_) thread.join();
}

void WorkerPool::submit(Job& job) {
  if (threads_.empty()) {
    job.run(workers());
    job.state_ = Job::State::done;
    return;
  }
  {
    std::lock_guard<fsutil::Mutex> lock(mutex_);
    job.state_ = Job::State::queued;
    queue_.push_back(&job);
  }
  work_ready_.notify_all();
}

void WorkerPool::submit_first(Job& job) {
  {
    std::lock_guard<fsutil::Mutex> lock(mutex_);
    job.state_ = Job::State::queued;
    queue_.push_front(&job);
  }
  work_ready_.notify_all();
}

bool WorkerPool::is_done(Job& job) {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  return job.state_ == Job::State::done;
}

void WorkerPool::wait_for(Job& job) {
  std::unique_lock<fsutil::Mutex> lock(mutex_);
  while (job.state_ != Job::State::done) {
    if (queue_.empty()) {
      job_done_.wait(lock, [&] { return job.state_ == Job::State::done; });
    } else {
      // The oldest queued job: `job` itself when it has not started.
      run_front(lock, workers());
    }
  }
}

void WorkerPool::withdraw(Job& job) {
  std::unique_lock<fsutil::Mutex> lock(mutex_);
  if (job.state_ == Job::State::queued) {
    queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
    job.state_ = Job::State::done;
    return;
  }
  job_done_.wait(lock, [&] { return job.state_ == Job::State::done; });
}

void WorkerPool::work(size_t worker) {
  fsutil::name_this_thread("parvox worker");
  std::unique_lock<fsutil::Mutex> lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [&] { return ending_ || !queue_.empty(); });
    if (ending_) return;
    run_front(lock, worker);
  }
}

void WorkerPool::run_front(std::unique_lock<fsutil::Mutex>& lock, size_t thread) {
  Job* job = queue_.front();
  queue_.pop_front();
  job->state_ = Job::State::running;
  lock.unlock();
  job->run(thread);
  lock.lock();
  job->state_ = Job::State::done;
  job_done_.notify_all();
}
