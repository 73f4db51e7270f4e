#include "archive/write/entry_pipe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

namespace {

// How often a waiting read looks whether it was asked to stop: a stop comes
// by a flag (see Progress) that no one signals.
constexpr std::chrono::milliseconds kStopCheckInterval{50};

}  // namespace

void EntryPipe::on_room(std::function<void()> room_made) {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  room_made_ = std::move(room_made);
}

size_t EntryPipe::put(const char* data, size_t size) {
  size_t taken = 0;
  while (taken < size) {
    if (filling_.size() == kChunkSize && !hand_over_filled()) break;
    if (filling_.capacity() < kChunkSize) filling_.reserve(kChunkSize);
    const size_t part = std::min(size - taken, kChunkSize - filling_.size());
    filling_.append(data + taken, part);
    taken += part;
  }
  return taken;
}

// Moves the full chunk being filled to the waiting ones, when there is room.
bool EntryPipe::hand_over_filled() {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  if (waiting_.size() >= kChunksWaiting) return false;
  waiting_.emplace_back();
  waiting_.back().swap(filling_);
  if (!spare_.empty()) {
    filling_.swap(spare_.back());
    spare_.pop_back();
  }
  ++handed_over_;
  changed_.notify_all();
  return true;
}

void EntryPipe::close() {
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  if (!filling_.empty()) {
    waiting_.emplace_back();
    waiting_.back().swap(filling_);
  }
  closed_ = true;
  changed_.notify_all();
}

size_t EntryPipe::read(char* into, size_t size, const Progress& progress) {
  std::unique_lock<fsutil::Mutex> lock(mutex_);
  while (waiting_.empty() && !closed_) {
    if (progress.stopped()) return 0;
    changed_.wait_for(lock, kStopCheckInterval, [&] { return !waiting_.empty() || closed_; });
  }
  if (waiting_.empty() || progress.stopped()) return 0;
  const std::string& first = waiting_.front();
  const size_t part = std::min(size, first.size() - taken_from_first_);
  std::memcpy(into, first.data() + taken_from_first_, part);
  taken_from_first_ += part;
  if (taken_from_first_ < first.size()) return part;
  if (spare_.size() < kChunksWaiting) {
    spare_.push_back(std::move(waiting_.front()));
    spare_.back().clear();
  }
  waiting_.pop_front();
  taken_from_first_ = 0;
  const std::function<void()> room_made = room_made_;
  lock.unlock();
  if (room_made) room_made();
  return part;
}
