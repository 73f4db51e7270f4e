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
    reader->bytes_.reset(new FileBytes(reader->file_.fd()));
    if (!reader->locate(password, alternative, reason)) return nullptr;
    return reader;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

std::unique_ptr<ArchiveReader> ArchiveReader::load(std::unique_ptr<ArchiveBytes> bytes,
                                                   const std::string& shown_name,
                                                   const std::string& password,
                                                   const std::string& alternative,
                                                   std::string* reason) noexcept {
  try {
    std::unique_ptr<ArchiveReader> reader(new ArchiveReader);
    reader->shown_name_ = shown_name;
    reader->bytes_ = std::move(bytes);
    if (!reader->locate(password, alternative, reason)) return nullptr;
    return reader;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

bool ArchiveReader::locate(const std::string& password, const std::string& alternative,
                           std::string* reason) {
  std::string why;
  if (!locate_central_directory(*bytes_, &location_, &why)) {
    *reason = shown() + (why.empty() ? " is not a zip archive" : " cannot be read: " + why);
    return false;
  }
  password_ = password;
  alternative_ = alternative;
  budget_.reset(bytes_->size());
  return true;
}

std::shared_ptr<const CentralDirectory> ArchiveReader::directory() noexcept {
  last_error_.clear();
  if (directory_) return directory_;
  try {
    std::string reason;
    directory_ = CentralDirectory::read(*bytes_, location_, &reason);
    if (!directory_) fail(shown() + " cannot be read: " + reason);
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
