#include "archive/native_archive.h"

bool NativeArchive::create(const char* path, const std::string& password) noexcept {
  close();
  try {
    file_ = fsutil::File::create(path);
    if (file_.is_open()) writer_ = zip_engine::ZipWriter::start(file_.fd(), password);
    if (!writer_) {
      close();
      return false;
    }
    password_ = password;
    return true;
  } catch (...) {
    close();
    return false;
  }
}

bool NativeArchive::load(const char* path, const std::string& password) noexcept {
  close();
  try {
    file_ = fsutil::File::open_for_reading(path);
    if (file_.is_open()) reader_ = zip_engine::ZipReader::open(file_.fd(), password);
    if (!reader_) {
      close();
      return false;
    }
    password_ = password;
    return true;
  } catch (...) {
    close();
    return false;
  }
}

void NativeArchive::close() noexcept {
  if (writer_) writer_->finish();
  writer_.reset();
  reader_.reset();
  file_.close();
  password_.clear();
}
