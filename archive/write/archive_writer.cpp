// ArchiveWriter: create, add_file (single files and whole folder trees),
// add_data, finish and abandon.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <utility>

#include "archive/write/archive_writer.h"
#include "archive/names.h"
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


// A path on disk as reasons show it.
std::string shown_path(const std::string& source) { return failures::quoted(names::shown(source)); }

std::string unreadable(const std::string& source, const std::string& why) {
  return shown_path(source) + " could not be read: " + why;
}

// A name found in a folder walk that has no UTF-8 form.
std::string undecodable(const std::string& path) {
  return shown_path(path) + " is not added: its name is not valid in the locale's character set";
}

// Why the name given for an add cannot be stored, or empty: a folder's name
// (the prefix of every name beneath it, empty for the archive's top level)
// is checked as the folder entry it becomes.
std::string given_name_refusal(const std::string& name, bool folder) {
  if (!folder) return names::refusal(name, false);
  return name.empty() ? std::string() : names::refusal(folder_entry_name(name), true);
}

// The folder's own time and mode; a source that is no folder (whose entry is
// all there is of it) is dated now.
fsutil::FileStatus folder_status(const std::string& path) {
  fsutil::FileStatus status;
  if (!fsutil::status_of_folder(path, &status)) status = {std::time(nullptr), 0755};
  return status;
}

}  // namespace

std::unique_ptr<ArchiveWriter> ArchiveWriter::create(const std::string& path,
                                                     const std::string& password,
                                                     std::string* reason) noexcept {
  try {
    std::unique_ptr<ArchiveWriter> writer(new ArchiveWriter);
    writer->path_ = path;
    // Once the file is created it exists and is empty, whatever happens next.
    writer->file_ = fsutil::File::create(path);
    if (!writer->file_.is_open()) {
      *reason = failures::quoted(path) + ": " + fsutil::last_error_text();
      return nullptr;
    }
    writer->knows_written_id_ = writer->file_.identity(&writer->written_id_);
    if (!writer->start_engine(nullptr, password)) {
      *reason = failures::quoted(path) + ": could not start a zip archive";
      return nullptr;
    }
    return writer;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

std::unique_ptr<ArchiveWriter> ArchiveWriter::create(std::shared_ptr<StreamOutput> stream,
                                                     const std::string& password,
                                                     std::string* reason) noexcept {
  try {
    std::unique_ptr<ArchiveWriter> writer(new ArchiveWriter);
    writer->stream_ = std::move(stream);
    if (!writer->start_engine(writer->stream_.get(), password)) {
      *reason = "could not start a zip archive";
      return nullptr;
    }
    return writer;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

// Starts the zip writer on `output`, or on the file when it is null.
bool ArchiveWriter::start_engine(ArchiveOutput* output, const std::string& password) {
  ZipWriter::Settings settings;
  settings.password = password;
  engine_ = output ? ZipWriter::start(*output, settings) : ZipWriter::start(file_, settings);
  return engine_ != nullptr;
}

std::string ArchiveWriter::shown_target() const {
  return stream_ ? "the stream" : failures::quoted(path_);
}

ArchiveWriter::~ArchiveWriter() { finish(); }

bool ArchiveWriter::finish() noexcept {
  if (!engine_) return false;
  bool finished = false;
  try {
    finished = engine_->finish();
    if (!finished) last_error_ = writer_failure();
    engine_.reset();
    if (!file_.close() && finished) {
      finished = false;
      last_error_ = shown_target() + " could not be finished: " + fsutil::last_error_text();
    }
  } catch (...) {
    finished = false;
    last_error_ = "out of memory";  // fits the string's own room: no allocation
  }
  engine_.reset();
  file_.close();
  return finished;
}

void ArchiveWriter::abandon() noexcept {
  if (engine_) engine_->abandon();
  engine_.reset();
  file_.close();
}

// Answers false with `reason` as the operation's last error.
bool ArchiveWriter::fail(std::string reason) {
  last_error_ = std::move(reason);
  return false;
}

// Why the writer broke: the entry it could not write, or the archive it
// could not finish, and the system's reason.
std::string ArchiveWriter::writer_failure() const {
  const std::string& entry = engine_->failed_entry();
  if (entry.empty()) return shown_target() + " could not be finished: " + engine_->failure();
  return failures::quoted(entry) + " could not be written to " + shown_target() + ": " +
         engine_->failure();
}

// Why a call finds the writer broken by an earlier one: that call named the
// entry, this one did not get to it.
std::string ArchiveWriter::earlier_failure() const {
  return shown_target() + " failed earlier: " + engine_->failure();
}

bool ArchiveWriter::take_back_undelivered() noexcept {
  try {
    const std::string first = engine_ ? engine_->take_back_undelivered() : "";
    if (first.empty()) return false;
    last_error_ = "stopped before " + failures::quoted(first) + " was added whole";
  } catch (...) {
    last_error_ = "out of memory";
  }
  return true;
}

void ArchiveWriter::note_stream_failure() noexcept {
  if (!engine_) return;
  try {
    engine_->stream_failed();
    last_error_ = writer_failure();
  } catch (...) {
    last_error_ = "out of memory";
  }
}

// Why the writer did not take an entry: the writer is broken, or the name
// was refused.
std::string ArchiveWriter::engine_failure() const {
  return engine_->broken() ? writer_failure() : engine_->refusal();
}

bool ArchiveWriter::add_file(const std::string& source, const std::string& name, bool folder,
                             bool recursive, Progress& progress) noexcept {
  last_error_.clear();
  try {
    if (engine_->broken()) return fail(earlier_failure());
    const std::string stored = names::from_given(name);
    const std::string refused = given_name_refusal(stored, folder);
    if (!refused.empty()) return fail(refused);
    engine_->report_to(progress);
    const bool added = folder ? add_tree(source, stored, recursive, progress)
                        : add_single_file(source, stored, progress);
    if (!write_all_given() || !added) return false;
    return !engine_->lost_entries() ||
           fail("stopped before " + shown_path(source) + " was added whole");
  } catch (...) {
    return fail("out of memory");
  }
}

// Waits until the entries given are in the file. A writer that broke on the
// way is the operation's failure, whatever else failed.
bool ArchiveWriter::write_all_given() { return engine_->flush() || fail(writer_failure()); }

// Whether an add must end early: asked to stop, or the writer broke.
bool ArchiveWriter::must_end(const Progress& progress) const {
  return progress.stopped() || engine_->broken();
}

bool ArchiveWriter::add_tree(const std::string& source, const std::string& name,
                             bool recursive, Progress& progress) {
  Failures failures;
  if (!name.empty()) add_folder_entry(source, name, failures);
  // A source that is missing or no folder has nothing beneath it to miss:
  // the folder's entry alone is the whole of it.
  fsutil::FileId id;
  if (!must_end(progress) && fsutil::folder_id(source, &id)) {
    std::vector<fsutil::FileId> walk{id};
    add_folder(source, name, recursive, walk, failures, progress);
  }
  if (progress.stopped()) return fail("stopped before " + shown_path(source) + " was added whole");
  return !failures.any() || fail(failures.summary());
}

bool ArchiveWriter::add_folder_entry(const std::string& source, const std::string& name,
                                     Failures& failures) {
  if (engine_->add_folder(folder_entry_name(name), folder_status(source))) return true;
  failures.add(engine_failure());
  return false;
}

// Adds everything beneath the folder `source` (whose entry `name` is
// written, and which is the last folder on `walk`), going on past whatever
// cannot be stored whole and counting it in `failures`, until `progress`
// says stop or the writer breaks. Names found on disk are native; entry
// names are their stored forms.
void ArchiveWriter::add_folder(const std::string& source, const std::string& name,
                               bool recursive, std::vector<fsutil::FileId>& walk,
                               Failures& failures, Progress& progress) {
  std::string why;
  for (const std::string& item : fsutil::list_folder(source, "*", true, false, &why)) {
    const std::string path = join_path(source, item);
    std::string stored;
    if (!names::stored_form(item, &stored)) {
      failures.add(undecodable(path));
    } else if (!add_single_file(path, join(name, stored), progress, true)) {
      failures.add(last_error_);
    }
    if (must_end(progress)) return;
  }
  if (!why.empty()) failures.add(unreadable(source, why));
  if (!recursive || !why.empty()) return;

  for (const std::string& item : fsutil::list_folder(source, "*", false, true, &why)) {
    const std::string path = join_path(source, item);
    std::string stored;
    if (!names::stored_form(item, &stored)) {
      failures.add(undecodable(path));
      continue;
    }
    const std::string entry = join(name, stored);
    fsutil::FileId child;
    if (!fsutil::folder_id(path, &child)) {
      failures.add(unreadable(path, fsutil::last_error_text()));
      continue;
    }
    // A folder link back to a folder on the walk would never end.
    if (is_on_walk(walk, child)) continue;
    add_folder_entry(path, entry, failures);
    if (must_end(progress)) return;
    walk.push_back(child);
    add_folder(path, entry, true, walk, failures, progress);
    walk.pop_back();
    if (must_end(progress)) return;
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
// reader still accepts the archive, and the answer is false. A file the
// system sizes as 0 may be one it makes up as it is read (/proc, /sys): it
// is read to its end.
bool ArchiveWriter::add_single_file(const std::string& source, const std::string& name,
                                    Progress& progress, bool in_walk) {
  fsutil::File file = fsutil::File::open_regular_for_reading(source);
  if (!file.is_open()) return fail(unreadable(source, fsutil::last_error_text()));
  // Whatever path reached it, the archive itself could only ever be stored
  // half-written: the folder walk passes over it, a single file is refused.
  if (is_archive_being_written(file)) {
    return in_walk || fail(shown_path(source) + " is the archive being written; not added");
  }
  const int64_t size = file.size();
  fsutil::FileStatus status;
  if (size < 0 || !fsutil::status_of_open_file(file.fd(), &status)) {
    return fail(unreadable(source, fsutil::last_error_text()));
  }
  if (size == 0) return add_file_read_to_end(file, source, name, status);
  ChunkBuffer buffer(size);
  if (!buffer.data()) return fail("out of memory");
  std::string short_read;  // why the file delivered less than its measured size
  auto next_chunk = [&](size_t wanted, const char** chunk) {
    long long got = short_read.empty() ? file.read(buffer.data(), wanted) : 0;
    if (got <= 0) {
      if (short_read.empty()) {
        short_read = got < 0 ? unreadable(source, fsutil::last_error_text())
                             : shown_path(source) + " shrank while it was read; " + failures::quoted(name) +
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

// What fits one buffer becomes an entry of the size read; a longer file an
// entry of unknown size, streamed in chunks like any large file, holding
// what was read up to the end (or up to a read error, which is the answer).
// A file that would make a read wait (it has no end) fails that read.
bool ArchiveWriter::add_file_read_to_end(fsutil::File& file, const std::string& source,
                                         const std::string& name,
                                         const fsutil::FileStatus& status) {
  if (!file.never_wait_on_reads()) return fail(unreadable(source, fsutil::last_error_text()));
  ChunkBuffer buffer(kChunkSize);
  if (!buffer.data()) return fail("out of memory");
  size_t held = 0;
  long long got = 0;
  while (held < buffer.size() && (got = file.read(buffer.data() + held, buffer.size() - held)) > 0) {
    held += static_cast<size_t>(got);
  }
  if (got < 0) return fail(unreadable(source, fsutil::last_error_text()));
  if (held < buffer.size()) {
    auto whole = [&](size_t wanted, const char** chunk) {
      *chunk = buffer.data();
      return wanted;
    };
    return write_entry(name, static_cast<int64_t>(held), status, buffer.size(), whole);
  }
  std::string read_failure;
  auto next_chunk = [&](size_t wanted, const char** chunk) -> size_t {
    *chunk = buffer.data();
    if (held > 0) return std::exchange(held, 0);
    const long long read = file.read(buffer.data(), wanted);
    if (read < 0) read_failure = unreadable(source, fsutil::last_error_text());
    return read > 0 ? static_cast<size_t>(read) : 0;
  };
  if (!write_entry(name, zip_writer::kUnknownSize, status, buffer.size(), next_chunk)) return false;
  return read_failure.empty() || fail(read_failure);
}

bool ArchiveWriter::add_data(const char* data, size_t size, const std::string& name,
                             int64_t mtime, Progress& progress) noexcept {
  last_error_.clear();
  try {
    if (engine_->broken()) return fail(earlier_failure());
    const std::string stored = names::from_given(name);
    engine_->report_to(progress);
    auto next_chunk = [&, offset = size_t{0}](size_t wanted, const char** chunk) mutable {
      *chunk = data + offset;
      offset += wanted;
      return wanted;
    };
    const fsutil::FileStatus status{mtime, 0644};
    const bool added =
        write_entry(stored, static_cast<int64_t>(size), status, kChunkSize, next_chunk);
    if (!write_all_given() || !added) return false;
    return !engine_->lost_entries() || fail("stopped before " + failures::quoted(stored) + " was added whole");
  } catch (...) {
    return fail("out of memory");
  }
}

// Gives the writer the file entry `name` of exactly `size` bytes, taken from
// `next_chunk` (which answers how many of the `wanted` bytes it gave) at most
// `chunk_size` at a time; of kUnknownSize, until `next_chunk` gives nothing.
// The writer reports the entry once it is in the archive, and takes it back
// out when asked to stop before then.
bool ArchiveWriter::write_entry(const std::string& name, int64_t size,
                                const fsutil::FileStatus& status, size_t chunk_size,
                                const ChunkSource& next_chunk) {
  if (!engine_->open_file(name, size, status)) return fail(engine_failure());
  const bool sized = size != zip_writer::kUnknownSize;
  bool stored = true;
  for (int64_t remaining = size; stored && (!sized || remaining > 0) && !engine_->stopped();) {
    const char* chunk = nullptr;
    const size_t wanted = sized ? static_cast<size_t>(std::min<int64_t>(remaining, chunk_size))
                                : chunk_size;
    const size_t got = next_chunk(wanted, &chunk);
    if (got == 0) break;
    stored = engine_->write(chunk, got);
    remaining -= static_cast<int64_t>(got);
  }
  return (stored && engine_->close_file()) || fail(engine_failure());
}
