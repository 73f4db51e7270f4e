#include "archive/write/archive_output.h"

#include <algorithm>
#include <string>

#include "fsutil/file.h"

bool FileOutput::write_all(const char* data, size_t size) { return file_.write_all(data, size); }

bool FileOutput::take_back_to(int64_t offset, int64_t* end) {
  if (!fsutil::cut_to(file_.fd(), offset)) return false;
  *end = offset;
  return true;
}

std::string FileOutput::last_failure() const { return fsutil::last_error_text(); }

bool FileOutput::copy_from(int source, int64_t offset, int64_t size) {
  return fsutil::copy_range(source, offset, size, file_);
}

bool ArchiveOutput::copy_from(int source, int64_t offset, int64_t size) {
  std::string block;
  while (size > 0) {
    block.resize(static_cast<size_t>(std::min<int64_t>(size, block_size())));
    const long long got = fsutil::read_at(source, &block[0], block.size(), offset);
    if (got <= 0 || !write_all(block.data(), static_cast<size_t>(got))) return false;
    offset += got;
    size -= got;
  }
  return true;
}
