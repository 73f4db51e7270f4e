#include "archive/native_archive.h"

// Closes what is open, then runs `start`; any failure leaves the object closed.
template <typename Start>
bool NativeArchive::open(Start&& start, const std::string& password) noexcept {
  close();
  try {
    last_error_.clear();
    if (start()) {
      password_ = password;
      return true;
    }
  } catch (...) {
    last_error_ = "out of memory";
  }
  close();
  return false;
}

bool NativeArchive::create(const char* path, const std::string& password) noexcept {
  return open([&] {
    path_ = path;
    // Once the file is created it exists and is empty, whatever happens next.
    file_ = fsutil::File::create(path);
    if (!file_.is_open()) return fail(quoted(path_) + ": " + fsutil::last_error_text());
    knows_written_id_ = file_.identity(&written_id_);
    writer_ = zip_engine::ZipWriter::start(file_.fd(), password);
    return writer_ != nullptr || fail(quoted(path_) + ": could not start a zip archive");
  }, password);
}

bool NativeArchive::load(const char* path, const std::string& password,
                         const std::string& alternative) noexcept {
  return open([&] {
    path_ = path;
    file_ = fsutil::File::open_for_reading(path);
    if (!file_.is_open()) return fail(quoted(path_) + ": " + fsutil::last_error_text());
    std::string reason;
    if (!locate_central_directory(FileBytes(file_.fd()), &location_, &reason)) {
      return fail(quoted(path_) + " is not a zip archive");
    }
    budget_.reset(file_.size());
    alternative_ = alternative;
    reading_ = true;
    return true;
  }, password);
}

void NativeArchive::close() noexcept {
  if (writer_) writer_->finish();
  writer_.reset();
  reading_ = false;
  directory_.reset();
  file_.close();
  password_.clear();
  alternative_.clear();
  knows_written_id_ = false;
}

std::shared_ptr<const CentralDirectory> NativeArchive::directory() noexcept {
  last_error_.clear();
  if (directory_) return directory_;
  if (!fail_unless_open_for(false)) return nullptr;
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
bool NativeArchive::fail(std::string reason) {
  last_error_ = std::move(reason);
  return false;
}

bool NativeArchive::fail_unless_open_for(bool writing) {
  if (writing ? writer_ != nullptr : reading_) return true;
  if (!is_open()) return fail("the archive is closed");
  if (writing) {
    return fail("entries are added only to an archive made by new; this one was opened by load");
  }
  return fail("entries are read only from an archive opened by load; this one was made by new");
}

void NativeArchive::Failures::add(std::string reason) {
  if (count_++ == 0) first_ = std::move(reason);
}

std::string NativeArchive::Failures::summary() const {
  if (count_ <= 1) return first_;
  return first_ + " (the first of " + std::to_string(count_) + " failures)";
}
