#include "archive/write/archive_output.h"

#include "fsutil/file.h"

bool FileOutput::write_all(const char* data, size_t size) { return file_.write_all(data, size); }

bool FileOutput::take_back_to(int64_t offset, int64_t* end) {
  if (!fsutil::cut_to(file_.fd(), offset)) return false;
  *end = offset;
  return true;
}

std::string FileOutput::last_failure() const { return fsutil::last_error_text(); }
