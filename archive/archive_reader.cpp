#include "archive/archive_reader.h"

#include <new>

std::unique_ptr<ArchiveReader> ArchiveReader::load(const std::string& path,
                                                   const std::string& password,
                                                   const std::string& alternative,
                                                   std::string* reason) noexcept {
  try {
    std::unique_ptr<ArchiveReader> reader(new ArchiveReader);
    reader->path_ = path;
    reader->file_ = fsutil::File::open_for_reading(path);
    if (!reader->file_.is_open()) {
      *reason = quoted(path) + ": " + fsutil::last_error_text();
      return nullptr;
    }
    reader->engine_ = zip_engine::ZipReader::open(reader->file_.fd(), password, alternative);
    if (!reader->engine_) {
      *reason = quoted(path) + " is not a zip archive";
      return nullptr;
    }
    reader->budget_.reset(reader->file_.size());
    return reader;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

std::unique_ptr<EntryLister> ArchiveReader::list_entries() noexcept {
  last_error_.clear();
  std::unique_ptr<EntryLister> lister = EntryLister::open(file_);
  if (!lister) fail(quoted(path_) + ": could not be read again for listing");
  return lister;
}

bool ArchiveReader::finish_listing(EntryLister& lister) noexcept {
  last_error_.clear();
  if (lister.damaged()) {
    return fail(quoted(path_) + " is damaged after its first " + std::to_string(lister.count()) +
                " entries");
  }
  std::unique_ptr<EntryIndex> index = lister.take_index();
  if (!index_) index_ = std::move(index);
  return true;
}

// Answers false with `reason` as the operation's last error.
bool ArchiveReader::fail(std::string reason) {
  last_error_ = std::move(reason);
  return false;
}
