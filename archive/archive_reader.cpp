#include "archive/archive_reader.h"

#include <new>

std::unique_ptr<ArchiveReader> ArchiveReader::load(const std::string& path,
                                                   const std::string& password,
                                                   const std::string& alternative,
                                                   std::string* reason) noexcept {
  try {
    std::unique_ptr<ArchiveReader> reader(new ArchiveReader);
    reader->path_ = path;
    // Opening a FIFO would wait for a writer, and a device is no archive.
    reader->file_ = fsutil::File::open_regular_for_reading(path);
    if (!reader->file_.is_open()) {
      *reason = quoted(path) + ": " + fsutil::last_error_text();
      return nullptr;
    }
    std::string why;
    if (!locate_central_directory(FileBytes(reader->file_.fd()), &reader->location_, &why)) {
      *reason = quoted(path) + (why.empty() ? " is not a zip archive" : " cannot be read: " + why);
      return nullptr;
    }
    reader->password_ = password;
    reader->alternative_ = alternative;
    reader->budget_.reset(reader->file_.size());
    return reader;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

std::shared_ptr<const CentralDirectory> ArchiveReader::directory() noexcept {
  last_error_.clear();
  if (directory_) return directory_;
  try {
    std::string reason;
    directory_ = CentralDirectory::read(FileBytes(file_.fd()), location_, &reason);
    if (!directory_) fail(quoted(path_) + " cannot be read: " + reason);
  } catch (...) {
    fail("out of memory");
  }
  return directory_;
}

// Answers false with `reason` as the operation's last error.
bool ArchiveReader::fail(std::string reason) {
  last_error_ = std::move(reason);
  return false;
}
