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

}  // namespace

bool NativeArchive::add_file(const std::string& source, const std::string& name, bool folder,
                             bool recursive, Progress& progress) noexcept {
  if (!writer_) return false;
  try {
    ProgressMeter meter(progress, -1);
    if (!folder) return add_single_file(source, name, meter);
    std::vector<fsutil::FileId> walk;
    return add_folder(source, name, recursive, walk, meter);
  } catch (...) {
    return false;
  }
}

// The folder's own entry decides the answer; its files and sub-folders are
// added as far as they can be, and skipped silently where they cannot.
bool NativeArchive::add_folder(const std::string& source, const std::string& name,
                               bool recursive, std::vector<fsutil::FileId>& walk,
                               ProgressMeter& meter) {
  const bool answer = name.empty() || writer_->add_folder_entry(folder_entry_name(name));
  if (!name.empty() && !meter.finish_entry(folder_entry_name(name))) return answer;

  for (const std::string& item : fsutil::list_folder(source, "*", true, false)) {
    const std::string entry = join(name, item);
    add_single_file(join_path(source, item), entry, meter);
    if (meter.stopped()) return answer;
  }
  if (!recursive) return answer;

  fsutil::FileId id;
  if (!fsutil::folder_id(source, &id)) return answer;
  walk.push_back(id);
  for (const std::string& item : fsutil::list_folder(source, "*", false, true)) {
    const std::string path = join_path(source, item);
    fsutil::FileId child;
    // A folder link back to a folder on the walk would never end.
    if (!fsutil::folder_id(path, &child) || is_on_walk(walk, child)) continue;
    add_folder(path, join(name, item), true, walk, meter);
    if (meter.stopped()) break;
  }
  walk.pop_back();
  return answer;
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
                                    ProgressMeter& meter) {
  fsutil::File file = fsutil::File::open_regular_for_reading(source);
  if (!file.is_open()) return false;
  // Whatever path reached it, the archive itself could only ever be stored
  // half-written: the folder walk passes over it, a single file is refused.
  if (is_archive_being_written(file)) return false;
  const int64_t size = file.size();
  if (size < 0) return false;
  ChunkBuffer buffer(size);
  if (!buffer.data() || !writer_->open_file_entry(name, size)) return false;

  bool stored = true;
  bool complete = true;
  for (int64_t remaining = size; stored && remaining > 0;) {
    const size_t wanted = static_cast<size_t>(std::min<int64_t>(remaining, buffer.size()));
    long long got = complete ? file.read(buffer.data(), wanted) : 0;
    if (got <= 0) {
      if (complete) std::memset(buffer.data(), 0, buffer.size());
      complete = false;
      got = static_cast<long long>(wanted);
    }
    stored = writer_->write(buffer.data(), static_cast<size_t>(got)) == got;
    remaining -= got;
    meter.add(name, got);
  }
  const bool answer = writer_->close_entry() && stored && complete;
  meter.finish_entry(name);
  return answer;
}
