#include "archive/native_archive.h"

// Closes what is open, then runs `start`; any failure leaves the object closed.
template <typename Start>
bool NativeArchive::open(Start&& start, const std::string& password) noexcept {
  close();
  try {
    if (start()) {
      password_ = password;
      return true;
    }
  } catch (...) {
  }
  close();
  return false;
}

bool NativeArchive::create(const char* path, const std::string& password) noexcept {
  return open([&] {
    // Once the file is created it exists and is empty, whatever happens next.
    file_ = fsutil::File::create(path);
    knows_written_id_ = file_.identity(&written_id_);
    if (file_.is_open()) writer_ = zip_engine::ZipWriter::start(file_.fd(), password);
    return writer_ != nullptr;
  }, password);
}

bool NativeArchive::load(const char* path, const std::string& password,
                         const std::string& alternative) noexcept {
  return open([&] {
    file_ = fsutil::File::open_for_reading(path);
    if (file_.is_open()) reader_ = zip_engine::ZipReader::open(file_.fd(), password, alternative);
    budget_.reset(file_.size());
    return reader_ != nullptr;
  }, password);
}

void NativeArchive::close() noexcept {
  if (writer_) writer_->finish();
  writer_.reset();
  reader_.reset();
  file_.close();
  password_.clear();
  knows_written_id_ = false;
}
