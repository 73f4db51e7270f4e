// The archive's bytes on their way to a stream that another thread writes
// (for Parvox, the Ruby thread serving the call: see ext/ruby_io.h). The
// writer queues them in order; the serving thread takes them, writes them
// and says when writing failed. While a thread serves the stream the queue
// holds at most about kQueueBound bytes and the writer waits for room, so a
// slow stream slows the writer down instead of filling memory.
//
// What has been taken can never be taken back: an entry stopped part-way
// stays in the stream as far as it left (the writer leaves it out of the
// central directory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "archive/write/archive_output.h"
#include "fsutil/threads.h"

class StreamOutput final : public ArchiveOutput {
 public:
  static constexpr size_t kQueueBound = 2 << 20;
  // Bytes written one after the other are handed out together up to this.
  static constexpr size_t kBlock = 512 << 10;

  // The writer's side.
  bool write_all(const char* data, size_t size) override;
  bool take_back_to(int64_t offset, int64_t* end) override;
  std::string last_failure() const override;
  size_t block_size() const override { return 0; }
  int64_t delivered() const override;

  // The serving side. From attach() on, the writer waits for room while the
  // queue is full, and `wake` is called (on the writer's thread) whenever
  // bytes arrive in an empty queue.
  void attach(std::function<void()> wake);
  // The writer no longer waits: bytes queue up until they are taken.
  void detach();
  // Takes the oldest queued bytes; false when there are none.
  bool take(std::string* block);
  // Puts back the end of the block last taken, which did not leave: it is
  // the first to be taken again.
  void give_back(std::string rest);
  // Writing what was taken failed, `unsent` of it did not leave: nothing
  // more is accepted, and the writer learns `why` from its next write.
  void fail(const std::string& why, size_t unsent);
  // Whether bytes wait to be taken.
  bool holds_unsent() const;
  bool failed() const;

 private:
  mutable fsutil::Mutex mutex_;
  fsutil::Condition room_;
  std::deque<std::string> queue_;
  size_t queued_ = 0;
  int64_t taken_ = 0;  // bytes that have left
  bool attached_ = false;
  std::function<void()> wake_;
  std::string failure_;
};
