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
    reader_ = zip_engine::ZipReader::open(file_.fd(), password, alternative);
    budget_.reset(file_.size());
    return reader_ != nullptr || fail(quoted(path_) + " is not a zip archive");
  }, password);
}

void NativeArchive::close() noexcept {
  if (writer_) writer_->finish();
  writer_.reset();
  reader_.reset();
  index_.reset();
  file_.close();
  password_.clear();
  knows_written_id_ = false;
}

std::unique_ptr<EntryLister> NativeArchive::list_entries() noexcept {
  last_error_.clear();
  if (!fail_unless_open_for(false)) return nullptr;
  std::unique_ptr<EntryLister> lister = EntryLister::open(file_);
  if (!lister) fail(quoted(path_) + ": could not be read again for listing");
  return lister;
}

bool NativeArchive::finish_listing(EntryLister& lister) noexcept {
  last_error_.clear();
  if (lister.damaged()) {
    return fail(quoted(path_) + " is damaged after its first " + std::to_string(lister.count()) +
                " entries");
  }
  // The lister has its own descriptor: the archive may have been closed
  // while it listed, and then there is nothing left to tell.
  std::unique_ptr<EntryIndex> index = lister.take_index();
  if (reader_ && !index_) index_ = std::move(index);
  return true;
}

// Answers false with `reason` as the operation's last error.
bool NativeArchive::fail(std::string reason) {
  last_error_ = std::move(reason);
  return false;
}

bool NativeArchive::fail_unless_open_for(bool writing) {
  if (writing ? writer_ != nullptr : reader_ != nullptr) return true;
  if (!writer_ && !reader_) return fail("the archive is closed");
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
