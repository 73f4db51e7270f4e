// ArchiveWriter::add_file (single files and whole folder trees) and add_data.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "archive/archive_writer.h"
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

// The folder's own time and mode; a source that is no folder (whose entry is
// all there is of it) is dated now.
fsutil::FileStatus folder_status(const std::string& path) {
  fsutil::FileStatus status;
  if (!fsutil::status_of_folder(path, &status)) status = {std::time(nullptr), 0755};
  return status;
}

}  // namespace

bool ArchiveWriter::add_file(const std::string& source, const std::string& name, bool folder,
                             bool recursive, Progress& progress) noexcept {
  last_error_.clear();
  try {
    engine_->report_to(progress);
    const bool added = folder ? add_tree(source, name, recursive, progress)
                        : add_single_file(source, name, progress);
    if (!write_all_given(source) || !added) return false;
    return !engine_->lost_entries() ||
           fail("stopped before " + quoted(source) + " was added whole");
  } catch (...) {
    return fail("out of memory");
  }
}

// Waits until the entries given are in the archive; a failure to write them
// is the operation's when it had none of its own.
bool ArchiveWriter::write_all_given(const std::string& source) {
  if (engine_->flush()) return true;
  if (!last_error_.empty()) return false;
  return fail(quoted(source) + " could not be written to " + quoted(path_) + ": " +
              engine_->failure_text());
}

bool ArchiveWriter::add_tree(const std::string& source, const std::string& name,
                             bool recursive, Progress& progress) {
  Failures failures;
  if (!name.empty()) add_folder_entry(source, name, failures);
  // A source that is missing or no folder has nothing beneath it to miss:
  // the folder's entry alone is the whole of it.
  fsutil::FileId id;
  if (!progress.stopped() && fsutil::folder_id(source, &id)) {
    std::vector<fsutil::FileId> walk{id};
    add_folder(source, name, recursive, walk, failures, progress);
  }
  if (progress.stopped()) return fail("stopped before " + quoted(source) + " was added whole");
  return !failures.any() || fail(failures.summary());
}

bool ArchiveWriter::add_folder_entry(const std::string& source, const std::string& name,
                                     Failures& failures) {
  if (engine_->add_folder(folder_entry_name(name), folder_status(source))) return true;
  failures.add(quoted(name) + " could not be added: " + engine_->failure_text());
  return false;
}

// Adds everything beneath the folder `source` (whose entry is written, and
// which is the last folder on `walk`), going on past whatever cannot be
// stored whole and counting it in `failures`, until `progress` says stop.
void ArchiveWriter::add_folder(const std::string& source, const std::string& name,
                               bool recursive, std::vector<fsutil::FileId>& walk,
                               Failures& failures, Progress& progress) {
  std::string why;
  for (const std::string& item : fsutil::list_folder(source, "*", true, false, &why)) {
    if (!add_single_file(join_path(source, item), join(name, item), progress, true)) {
      failures.add(last_error_);
    }
    if (progress.stopped()) return;
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
    add_folder_entry(path, entry, failures);
    if (progress.stopped()) return;
    walk.push_back(child);
    add_folder(path, entry, true, walk, failures, progress);
    walk.pop_back();
    if (progress.stopped()) return;
  }
  if (!why.empty()) failures.add(unreadable(source, why));
}

bool ArchiveWriter::is_archive_being_written(const fsutil::File& file) const {
  fsutil::FileId id;
  return knows_written_id_ && file.identity(&id) && id == written_id_;
}

// Stores exactly the size measured when the file was opened, since the
// entry's headers already announce it: a file that grows meanwhile is cut
// there; one that shrinks (or fails to read) is padded with zeros, so every
// reader still accepts the archive, and the answer is false.
bool ArchiveWriter::add_single_file(const std::string& source, const std::string& name,
                                    Progress& progress, bool in_walk) {
  fsutil::File file = fsutil::File::open_regular_for_reading(source);
  if (!file.is_open()) return fail(unreadable(source, fsutil::last_error_text()));
  // Whatever path reached it, the archive itself could only ever be stored
  // half-written: the folder walk passes over it, a single file is refused.
  if (is_archive_being_written(file)) {
    return in_walk || fail(quoted(source) + " is the archive being written; not added");
  }
  const int64_t size = file.size();
  fsutil::FileStatus status;
  if (size < 0 || !fsutil::status_of_open_file(file.fd(), &status)) {
    return fail(unreadable(source, fsutil::last_error_text()));
  }
  ChunkBuffer buffer(size);
  if (!buffer.data()) return fail("out of memory");
  std::string short_read;  // why the file delivered less than its measured size
  auto next_chunk = [&](size_t wanted, const char** chunk) {
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
    *chunk = buffer.data();
    return static_cast<size_t>(got);
  };
  if (!write_entry(name, size, status, buffer.size(), next_chunk)) return false;
  return short_read.empty() || fail(short_read);
}

bool ArchiveWriter::add_data(const char* data, size_t size, const std::string& name,
                             int64_t mtime) noexcept {
  last_error_.clear();
  try {
    Progress unwatched;
    engine_->report_to(unwatched);
    auto next_chunk = [&, offset = size_t{0}](size_t wanted, const char** chunk) mutable {
      *chunk = data + offset;
      offset += wanted;
      return wanted;
    };
    const fsutil::FileStatus status{mtime, 0644};
    const bool added =
        write_entry(name, static_cast<int64_t>(size), status, kChunkSize, next_chunk);
    return write_all_given(name) && added;
  } catch (...) {
    return fail("out of memory");
  }
}

// Gives the writer the file entry `name` of exactly `size` bytes, taken from
// `next_chunk` (which answers how many of the `wanted` bytes it gave) at most
// `chunk_size` at a time. The writer reports the entry once it is in the
// archive, and takes it back out when asked to stop before then.
bool ArchiveWriter::write_entry(const std::string& name, int64_t size,
                                const fsutil::FileStatus& status, size_t chunk_size,
                                const ChunkSource& next_chunk) {
  if (!engine_->open_file(name, size, status)) {
    return fail(quoted(name) + " could not be added: " + engine_->failure_text());
  }
  bool stored = true;
  for (int64_t remaining = size; stored && remaining > 0 && !engine_->stopped();) {
    const char* chunk = nullptr;
    const size_t got =
        next_chunk(static_cast<size_t>(std::min<int64_t>(remaining, chunk_size)), &chunk);
    stored = engine_->write(chunk, got);
    remaining -= static_cast<int64_t>(got);
  }
  return (stored && engine_->close_file()) ||
         fail(quoted(name) + " could not be written to " + quoted(path_) + ": " +
              engine_->failure_text());
}
