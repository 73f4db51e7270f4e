// The bytes of an archive as the reading side takes them: at offsets of its
// own, from a file, from memory (a StringIO's String, tests and fuzzing) or
// from any other source that can read at an offset (ext/ruby_io.h).
#pragma once

#include <cstddef>
#include <cstdint>

// The bytes of an archive: a file, or memory in tests and fuzzing.
class ArchiveBytes {
 public:
  virtual ~ArchiveBytes() = default;
  virtual int64_t size() const = 0;
  // Reads exactly `n` bytes at `offset`; false when it cannot.
  virtual bool read(int64_t offset, size_t n, char* out) const = 0;
};

// The archive in the file `fd`, read at offsets of its own.
class FileBytes final : public ArchiveBytes {
 public:
  explicit FileBytes(int fd);
  int64_t size() const override { return size_; }
  bool read(int64_t offset, size_t n, char* out) const override;

 private:
  int fd_;
  int64_t size_;
};

// Another's bytes, read through without owning them: they outlive the view.
class BytesView final : public ArchiveBytes {
 public:
  explicit BytesView(const ArchiveBytes& bytes) : bytes_(bytes) {}
  int64_t size() const override { return bytes_.size(); }
  bool read(int64_t offset, size_t n, char* out) const override {
    return bytes_.read(offset, n, out);
  }

 private:
  const ArchiveBytes& bytes_;
};

// An archive held in memory.
class MemoryBytes final : public ArchiveBytes {
 public:
  MemoryBytes(const char* data, size_t size) : data_(data), size_(size) {}
  int64_t size() const override { return static_cast<int64_t>(size_); }
  bool read(int64_t offset, size_t n, char* out) const override;

 private:
  const char* data_;
  size_t size_;
};
