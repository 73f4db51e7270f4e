#include "ext/background_run.h"


BackgroundRun::~BackgroundRun() {
  stop();
  if (thread_.joinable()) thread_.join();
}

bool BackgroundRun::start(const Work& work) noexcept {
  try {
    thread_ = std::thread([this, work] { run(work); });
    return true;
  } catch (...) {
    return false;
  }
}

void BackgroundRun::run(const Work& work) noexcept {
  bool answer = false;
  try {
    answer = work(*this);
  } catch (...) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = answer;
  finished_ = true;
  changed_.notify_all();
}

BackgroundRun::Event BackgroundRun::wait() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool happened = changed_.wait_for(
      lock, kPollInterval, [this] { return report_waiting_ || finished_ || woken_; });
  if (!happened || woken_) {
    woken_ = false;
    return Event::woken;
  }
  return report_waiting_ ? Event::report : Event::finished;
}

void BackgroundRun::wake() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  changed_.notify_all();
}

void BackgroundRun::resume() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  report_waiting_ = false;
  changed_.notify_all();
}

void BackgroundRun::stop() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = true;
  report_waiting_ = false;
  changed_.notify_all();
}

bool BackgroundRun::finish() noexcept {
  if (thread_.joinable()) thread_.join();
  return answer_;
}

bool BackgroundRun::report(const std::string& entry, int64_t done, int64_t total) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stop_ || !wants_reports_) return !stop_;
  report_.entry = entry;
  report_.done = done;
  report_.total = total;
  report_waiting_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return !report_waiting_; });
  return !stop_;
}
