// NativeArchive::add_file: single files and whole folder trees.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "archive/native_archive.h"
#include "fsutil/folder_listing.h"

namespace {

// File data moves through one buffer per file: 4 MiB, or the whole file when it
// is smaller. It is left uninitialised, since every byte is written before it
// is read.
constexpr size_t kChunkSize = 4 * 1024 * 1024;

class ChunkBuffer {
 public:
  explicit ChunkBuffer(int64_t expected_size)
      : size_(static_cast<size_t>(std::clamp<int64_t>(expected_size, 1, kChunkSize))),
        data_(new (std::nothrow) char[size_]) {}
  char* data() { return data_.get(); }
  size_t size() const { return size_; }

 private:
  size_t size_;
  std::unique_ptr<char[]> data_;
};

// Joins a parent and an item with exactly one `separator`. An empty parent
// entry name puts the item at the archive's top level.
std::string join(const std::string& parent, const std::string& item, char separator = '/') {
  if (parent.empty()) return item;
  if (parent.back() == '/' || parent.back() == separator) return parent + item;
  return parent + separator + item;
}

// A path on disk: joined with the system's separator.
std::string join_path(const std::string& folder, const std::string& item) {
  return join(folder, item, fsutil::kPathSeparator);
}

std::string folder_entry_name(const std::string& name) {
  return name.back() == '/' ? name : name + '/';
}

bool is_on_walk(const std::vector<fsutil::FileId>& walk, const fsutil::FileId& id) {
  return std::find(walk.begin(), walk.end(), id) != walk.end();
}


std::string unreadable(const std::string& source, const std::string& why) {
  return quoted(source) + " could not be read: " + why;
}

}  // namespace

bool NativeArchive::add_file(const std::string& source, const std::string& name, bool folder,
                             bool recursive, Progress& progress) noexcept {
  last_error_.clear();
  try {
    if (!fail_unless_open_for(true)) return false;
    ProgressMeter meter(progress, -1);
    if (!folder) return add_single_file(source, name, meter);

    Failures failures;
    if (!name.empty()) {
      if (!writer_->add_folder_entry(folder_entry_name(name))) {
        failures.add(quoted(name) + " could not be added: " + writer_->failure_text());
      }
      meter.finish_entry(folder_entry_name(name));
    }
    // A source that is missing or no folder has nothing beneath it to miss:
    // the folder's entry alone is the whole of it.
    fsutil::FileId id;
    if (!meter.stopped() && fsutil::folder_id(source, &id)) {
      std::vector<fsutil::FileId> walk{id};
      add_folder(source, name, recursive, walk, failures, meter);
    }
    if (meter.stopped()) return fail("stopped before " + quoted(source) + " was added whole");
    return !failures.any() || fail(failures.summary());
  } catch (...) {
    return fail("out of memory");
  }
}

// Adds everything beneath the folder `source` (whose entry is written, and
// which is the last folder on `walk`), going on past whatever cannot be
// stored whole and counting it in `failures`, until the meter says stop.
void NativeArchive::add_folder(const std::string& source, const std::string& name,
                               bool recursive, std::vector<fsutil::FileId>& walk,
                               Failures& failures, ProgressMeter& meter) {
  std::string why;
  for (const std::string& item : fsutil::list_folder(source, "*", true, false, &why)) {
    if (!add_single_file(join_path(source, item), join(name, item), meter, true)) {
      failures.add(last_error_);
    }
    if (meter.stopped()) return;
  }
  if (!why.empty()) failures.add(unreadable(source, why));
  if (!recursive || !why.empty()) return;

  for (const std::string& item : fsutil::list_folder(source, "*", false, true, &why)) {
    const std::string path = join_path(source, item);
    const std::string entry = join(name, item);
    fsutil::FileId child;
    if (!fsutil::folder_id(path, &child)) {
      failures.add(unreadable(path, fsutil::last_error_text()));
      continue;
    }
    // A folder link back to a folder on the walk would never end.
    if (is_on_walk(walk, child)) continue;
    if (!writer_->add_folder_entry(folder_entry_name(entry))) {
      failures.add(quoted(entry) + " could not be added: " + writer_->failure_text());
    }
    if (!meter.finish_entry(folder_entry_name(entry))) return;
    walk.push_back(child);
    add_folder(path, entry, true, walk, failures, meter);
    walk.pop_back();
    if (meter.stopped()) return;
  }
  if (!why.empty()) failures.add(unreadable(source, why));
}

bool NativeArchive::is_archive_being_written(const fsutil::File& file) const {
  fsutil::FileId id;
  return knows_written_id_ && file.identity(&id) && id == written_id_;
}

// Stores exactly the size measured when the file was opened, since the
// entry's headers already announce it: a file that grows meanwhile is cut
// there; one that shrinks (or fails to read) is padded with zeros, so every
// reader still accepts the archive, and the answer is false.
//
// A stop asked for through the meter does not cut the file short either: the
// writer keeps a central directory record for every entry it has begun, so an
// entry can only be finished, never taken back.
bool NativeArchive::add_single_file(const std::string& source, const std::string& name,
                                    ProgressMeter& meter, bool in_walk) {
  fsutil::File file = fsutil::File::open_regular_for_reading(source);
  if (!file.is_open()) return fail(unreadable(source, fsutil::last_error_text()));
  // Whatever path reached it, the archive itself could only ever be stored
  // half-written: the folder walk passes over it, a single file is refused.
  if (is_archive_being_written(file)) {
    return in_walk || fail(quoted(source) + " is the archive being written; not added");
  }
  const int64_t size = file.size();
  if (size < 0) return fail(unreadable(source, fsutil::last_error_text()));
  ChunkBuffer buffer(size);
  if (!buffer.data()) return fail("out of memory");
  if (!writer_->open_file_entry(name, size)) {
    return fail(quoted(name) + " could not be added: " + writer_->failure_text());
  }

  bool stored = true;
  std::string short_read;  // why the file delivered less than its measured size
  for (int64_t remaining = size; stored && remaining > 0;) {
    const size_t wanted = static_cast<size_t>(std::min<int64_t>(remaining, buffer.size()));
    long long got = short_read.empty() ? file.read(buffer.data(), wanted) : 0;
    if (got <= 0) {
      if (short_read.empty()) {
        short_read = got < 0 ? unreadable(source, fsutil::last_error_text())
                             : quoted(source) + " shrank while it was read; " + quoted(name) +
                                   " is padded with zeros";
        std::memset(buffer.data(), 0, buffer.size());
      }
      got = static_cast<long long>(wanted);
    }
    stored = writer_->write(buffer.data(), static_cast<size_t>(got)) == got;
    remaining -= got;
    meter.add(name, got);
  }
  // The entry is closed even after a failed write, so the archive stays
  // consistent with what was written.
  const bool closed = writer_->close_entry();
  meter.finish_entry(name);
  if (!stored || !closed) {
    return fail(quoted(name) + " could not be written to " + quoted(path_) + ": " +
                writer_->failure_text());
  }
  return short_read.empty() || fail(short_read);
}
