#include "archive/read/archive_bytes.h"

#include <cstring>

#include "fsutil/file.h"

FileBytes::FileBytes(int fd) : fd_(fd), size_(fsutil::file_size(fd)) {}

bool FileBytes::read(int64_t offset, size_t n, char* out) const {
  if (offset < 0 || offset > size_ || static_cast<uint64_t>(size_ - offset) < n) return false;
  size_t done = 0;
  while (done < n) {
    const long long got =
        fsutil::read_at(fd_, out + done, n - done, offset + static_cast<int64_t>(done));
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool MemoryBytes::read(int64_t offset, size_t n, char* out) const {
  if (offset < 0 || static_cast<uint64_t>(offset) > size_ ||
      size_ - static_cast<size_t>(offset) < n) {
    return false;
  }
  if (n > 0) std::memcpy(out, data_ + offset, n);
  return true;
}
