#include "archive/write/stream_output.h"

#include <algorithm>
#include <mutex>

bool StreamOutput::write_all(const char* data, size_t size) {
  std::function<void()> wake;
  {
    std::unique_lock<fsutil::Mutex> lock(mutex_);
    room_.wait(lock, [this] { return !attached_ || queued_ < kQueueBound || !failure_.empty(); });
    if (!failure_.empty()) return false;
    if (queue_.empty()) wake = wake_;
    while (size > 0) {
      if (queue_.empty() || queue_.back().size() >= kBlock) queue_.emplace_back();
      std::string& block = queue_.back();
      const size_t taken = std::min(size, kBlock - std::min(kBlock, block.size()));
      block.append(data, taken);
      data += taken;
      size -= taken;
      queued_ += taken;
    }
  }
  if (wake) wake();
  return true;
}

bool StreamOutput::take_back_to(int64_t offset, int64_t* end) {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  if (!failure_.empty()) return false;
  const int64_t kept = std::max<int64_t>(offset - taken_, 0);
  while (static_cast<int64_t>(queued_) > kept) {
    std::string& last = queue_.back();
    const size_t dropped = std::min(last.size(), queued_ - static_cast<size_t>(kept));
    last.resize(last.size() - dropped);
    queued_ -= dropped;
    if (last.empty()) queue_.pop_back();
  }
  *end = taken_ + static_cast<int64_t>(queued_);
  room_.notify_all();
  return true;
}

std::string StreamOutput::last_failure() const {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  return failure_;
}

void StreamOutput::attach(std::function<void()> wake) {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  attached_ = true;
  wake_ = std::move(wake);
}

void StreamOutput::detach() {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  attached_ = false;
  wake_ = nullptr;
  room_.notify_all();
}

bool StreamOutput::take(std::string* block) {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  if (queue_.empty() || !failure_.empty()) return false;
  block->swap(queue_.front());
  queue_.pop_front();
  queued_ -= block->size();
  taken_ += static_cast<int64_t>(block->size());
  room_.notify_all();
  return true;
}

void StreamOutput::give_back(std::string rest) {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  if (rest.empty() || !failure_.empty()) return;
  queued_ += rest.size();
  taken_ -= static_cast<int64_t>(rest.size());
  queue_.push_front(std::move(rest));
}

int64_t StreamOutput::delivered() const {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  return taken_;
}

bool StreamOutput::holds_unsent() const {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  return failure_.empty() && !queue_.empty();
}

void StreamOutput::fail(const std::string& why, size_t unsent) {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  if (!failure_.empty()) return;
  failure_ = why.empty() ? "the stream failed" : why;
  taken_ -= static_cast<int64_t>(unsent);
  queue_.clear();
  queued_ = 0;
  room_.notify_all();
}

bool StreamOutput::failed() const {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  return !failure_.empty();
}
