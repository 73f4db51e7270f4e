// Where the zip writer puts the archive's bytes, in order: a file on disk,
// which can be cut back to take an entry out again, or a stream, which
// cannot take back what has left (stream_output.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fsutil {
class File;
}

class ArchiveOutput {
 public:
  virtual ~ArchiveOutput() = default;
  // Writes all `size` bytes after those written so far; false when it
  // cannot (last_failure() then says why).
  virtual bool write_all(const char* data, size_t size) = 0;
  // Takes every byte from `offset` on back out, as far as it can; answers
  // false when it cannot at all. `*end` is where the archive ends afterwards:
  // `offset`, or later when some of those bytes have already left and stay.
  virtual bool take_back_to(int64_t offset, int64_t* end) = 0;
  // Writes `size` bytes of the file `source`, read at `offset`, after those
  // written so far, as write_all would: in large blocks.
  virtual bool copy_from(int source, int64_t offset, int64_t size);
  // Why the last write or take-back failed (UTF-8).
  virtual std::string last_failure() const = 0;
  // Bytes that are collected before they are handed to write_all: a file
  // gains from large writes, a stream from bytes that leave at once.
  virtual size_t block_size() const = 0;
  // How many of the bytes written have reached their destination: all of
  // them for a file; for a stream, those that have left.
  virtual int64_t delivered() const { return INT64_MAX; }
};

// An archive file opened (and kept open) by the caller.
class FileOutput final : public ArchiveOutput {
 public:
  explicit FileOutput(fsutil::File& file) : file_(file) {}
  bool write_all(const char* data, size_t size) override;
  bool take_back_to(int64_t offset, int64_t* end) override;
  // Within the system where it can.
  bool copy_from(int source, int64_t offset, int64_t size) override;
  std::string last_failure() const override;
  size_t block_size() const override { return 1 << 20; }

 private:
  fsutil::File& file_;
};
