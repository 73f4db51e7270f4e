// An entry's data on its way from the thread that makes it (for Parvox, the
// Ruby thread running write_entry's block) to the writer's work on another.
// The maker fills a chunk of its own and hands it over whole; at most
// kChunksWaiting full chunks wait for the work, so memory stays bounded
// whatever the entry's size, and a maker ahead of the work waits for room
// (outside this class: put() never blocks).
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "archive/progress.h"
#include "fsutil/threads.h"

class EntryPipe {
 public:
  static constexpr size_t kChunkSize = 1 << 20;
  static constexpr size_t kChunksWaiting = 4;

  EntryPipe() = default;
  EntryPipe(const EntryPipe&) = delete;
  EntryPipe& operator=(const EntryPipe&) = delete;

  // The maker's side. From this call on, `room_made` is called on the
  // work's thread, outside the lock, whenever it has taken a whole chunk.
  void on_room(std::function<void()> room_made);
  // Takes as much of the `size` bytes as there is room
  // for, and answers how many: 0 only when every chunk is full.
  size_t put(const char* data, size_t size);
  // How many chunks have been handed over to the work so far.
  size_t handed_over() const { return handed_over_; }
  // The data is whole: what is in the chunk being filled goes too.
  void close();

  // The work's side. Copies the next bytes of data into `into`, up to
  // `size`: waits until there are some, and answers 0 once the data is
  // whole, or at once when `progress` says stop (the maker gave up).
  size_t read(char* into, size_t size, const Progress& progress);

 private:
  bool hand_over_filled();

  std::string filling_;  // the maker's
  size_t handed_over_ = 0;  // the maker's
  fsutil::Mutex mutex_;
  fsutil::Condition changed_;
  std::deque<std::string> waiting_;
  size_t taken_from_first_ = 0;  // bytes of waiting_.front() read already
  // Chunks read whole, kept for the maker to fill again: a chunk made on one
  // thread and freed on another each time leaves the allocator holding
  // memory far beyond the few chunks in use.
  std::vector<std::string> spare_;
  bool closed_ = false;
  std::function<void()> room_made_;
};
