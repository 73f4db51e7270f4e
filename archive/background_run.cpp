#include "archive/background_run.h"

BackgroundRun::~BackgroundRun() {
  stop();
  finish();
}

bool BackgroundRun::start(Work work) noexcept {
  try {
    work_ = std::move(work);
    thread_ = fsutil::Thread([this] { run(); });
    return true;
  } catch (...) {
    return false;
  }
}

void BackgroundRun::run() noexcept {
  fsutil::name_this_thread("parvox");
  bool answer = false;
  try {
    Progress::Listener listener;
    if (wants_reports_) {
      listener = [this](const std::string& entry, int64_t done, int64_t total) {
        hand_over(entry, done, total);
      };
    }
    Progress progress(std::move(listener), &stop_);
    answer = work_(progress);
  } catch (...) {
  }
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  answer_ = answer;
  finished_ = true;
  changed_.notify_all();
}

BackgroundRun::Event BackgroundRun::wait() noexcept {
  std::unique_lock<fsutil::Mutex> lock(mutex_);
  const bool happened = changed_.wait_for(
      lock, kPollInterval, [this] { return report_waiting_ || finished_ || woken_; });
  if (!happened || woken_) {
    woken_ = false;
    return Event::woken;
  }
  return report_waiting_ ? Event::report : Event::finished;
}

void BackgroundRun::wake() noexcept {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  woken_ = true;
  changed_.notify_all();
}

void BackgroundRun::resume() noexcept {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  report_waiting_ = false;
  changed_.notify_all();
}

void BackgroundRun::stop() noexcept {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  stop_ = true;
  report_waiting_ = false;
  changed_.notify_all();
}

bool BackgroundRun::finish() noexcept {
  if (thread_.joinable()) thread_.join();
  return answer_;
}

void BackgroundRun::hand_over(const std::string& entry, int64_t done, int64_t total) {
  std::unique_lock<fsutil::Mutex> lock(mutex_);
  if (stop_) return;
  report_.entry = entry;
  report_.done = done;
  report_.total = total;
  report_waiting_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return !report_waiting_; });
}
