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
#include "archive/write/path_pattern.h"
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

bool is_hidden(const fsutil::FolderItem& item) { return item.hidden || item.name[0] == '.'; }

// The patterns without braces that an add_file's `exclude` stands for;
// false, with the reason, for a pattern path_pattern refuses.
bool expand_exclude(const std::vector<std::string>& exclude, std::vector<std::string>* alternatives,
                    std::string* reason) {
  std::vector<std::string> expanded;
  for (const std::string& pattern : exclude) {
    if (!path_pattern::expand(pattern, &expanded, reason)) {
      *reason = "the exclude pattern " + failures::quoted(pattern.substr(0, 64)) +
                " cannot be used: " + *reason;
      return false;
    }
    alternatives->insert(alternatives->end(), expanded.begin(), expanded.end());
  }
  return true;
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
                                                     const archive_writer::Options& options,
                                                     std::string* reason,
                                                     failures::Kind* kind) noexcept {
  *kind = failures::Kind::other;
  try {
    // A setting refused leaves the file as it was.
    int64_t latest_time = 0;
    if (!zip_writer::configured_latest_time(&latest_time, reason)) return nullptr;
    std::unique_ptr<ArchiveWriter> writer(new ArchiveWriter);
    writer->path_ = path;
    // Once the file is created it exists and is empty, whatever happens next.
    writer->file_ = fsutil::File::create(path);
    if (!writer->file_.is_open()) {
      *reason = failures::quoted(path) + ": " + fsutil::last_error_text();
      *kind = failures::Kind::write_failed;
      return nullptr;
    }
    writer->knows_written_id_ = writer->file_.identity(&writer->written_id_);
    if (!writer->start_engine(nullptr, password, options, latest_time)) {
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
                                                     const archive_writer::Options& options,
                                                     std::string* reason,
                                                     failures::Kind* kind,
                                                     const fsutil::FileId* file_written) noexcept {
  *kind = failures::Kind::other;
  try {
    int64_t latest_time = 0;
    if (!zip_writer::configured_latest_time(&latest_time, reason)) return nullptr;
    std::unique_ptr<ArchiveWriter> writer(new ArchiveWriter);
    writer->stream_ = std::move(stream);
    writer->knows_written_id_ = file_written != nullptr;
    if (file_written) writer->written_id_ = *file_written;
    if (!writer->start_engine(writer->stream_.get(), password, options, latest_time)) {
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
bool ArchiveWriter::start_engine(ArchiveOutput* output, const std::string& password,
                                 const archive_writer::Options& options, int64_t latest_time) {
  ZipWriter::Settings settings;
  settings.password = password;
  settings.latest_time = latest_time;
  settings.level = options.level;
  settings.comment = options.comment;
  engine_ = output ? ZipWriter::start(*output, settings) : ZipWriter::start(file_, settings);
  return engine_ != nullptr;
}

std::string ArchiveWriter::shown_target() const {
  return stream_ ? "the stream" : failures::quoted(path_);
}

ArchiveWriter::~ArchiveWriter() { finish(); }

std::vector<std::string> ArchiveWriter::names_written_since(uint64_t first) noexcept {
  try {
    if (engine_) return engine_->names_since(first);
  } catch (...) {
  }
  return {};
}

bool ArchiveWriter::finish() noexcept {
  if (!engine_) return false;
  bool finished = false;
  try {
    finished = engine_->finish();
    if (!finished) fail(failures::Kind::write_failed, writer_failure());
    engine_.reset();
    if (!file_.close() && finished) {
      finished = fail(failures::Kind::write_failed,
                      shown_target() + " could not be finished: " + fsutil::last_error_text());
    }
  } catch (...) {
    finished = false;
    last_error_ = "out of memory";  // fits the string's own room: no allocation
    failure_kind_ = failures::Kind::other;
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
bool ArchiveWriter::fail(failures::Kind kind, std::string reason) {
  last_error_ = std::move(reason);
  failure_kind_ = kind;
  return false;
}

// The source could not be read: the system's reason.
bool ArchiveWriter::fail_to_read(const std::string& source) {
  return fail(failures::Kind::read_failed, unreadable(source, fsutil::last_error_text()));
}

void ArchiveWriter::clear_failure() {
  last_error_.clear();
  failure_kind_ = failures::Kind::other;
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
    fail(failures::Kind::write_failed, writer_failure());
  } catch (...) {
    last_error_ = "out of memory";
    failure_kind_ = failures::Kind::other;
  }
}

// Why the writer did not take an entry: the writer is broken, or the name
// was refused.
std::string ArchiveWriter::engine_failure() const {
  return engine_->broken() ? writer_failure() : engine_->refusal();
}

// A refusal is of the name, unless the archive was already finished.
failures::Kind ArchiveWriter::engine_failure_kind() const {
  if (engine_->broken()) return failures::Kind::write_failed;
  return engine_->finished() ? failures::Kind::other : failures::Kind::invalid_name;
}

bool ArchiveWriter::add_file(const std::string& source, const std::string& name, bool folder,
                             bool recursive, Progress& progress,
                             const archive_writer::AddOptions& options) noexcept {
  clear_failure();
  try {
    if (engine_->broken()) return fail(failures::Kind::write_failed, earlier_failure());
    const std::string stored = names::from_given(name);
    const std::string refused = given_name_refusal(stored, folder);
    if (!refused.empty()) return fail(failures::Kind::invalid_name, refused);
    engine_->report_to(progress);
    const bool added =
        folder ? add_tree(source, stored, recursive, progress, options)
               : add_single_file(source, stored, options.entry, options.mtime);
    if (!write_all_given() || !added) return false;
    return !engine_->lost_entries() ||
           fail(failures::Kind::other, "stopped before " + shown_path(source) + " was added whole");
  } catch (...) {
    return fail(failures::Kind::other, "out of memory");
  }
}

// Waits until the entries given are in the file. A writer that broke on the
// way is the operation's failure, whatever else failed.
bool ArchiveWriter::write_all_given() {
  return engine_->flush() || fail(failures::Kind::write_failed, writer_failure());
}

// Whether an add must end early: asked to stop, or the writer broke.
bool ArchiveWriter::must_end(const Progress& progress) const {
  return progress.stopped() || engine_->broken();
}

// A folder walk: the folders on the way down to where it is (a folder link
// back to one of them is not followed), what failed so far, and what the
// files beneath get or leave out.
struct ArchiveWriter::Walk {
  std::vector<fsutil::FileId> folders;
  Failures failures;
  Progress& progress;
  const archive_writer::AddOptions& options;
  zip_writer::EntryOptions file_options;  // the call's level, no comment
  std::vector<std::string> exclude;       // the options' patterns, expanded

  // Whether the walk leaves out what lies at `relative` beneath its source.
  bool excludes(const std::string& relative) const {
    return path_pattern::matches_any(exclude, relative, options.hidden);
  }
};

bool ArchiveWriter::add_tree(const std::string& source, const std::string& name,
                             bool recursive, Progress& progress,
                             const archive_writer::AddOptions& options) {
  Walk walk{{}, {}, progress, options, {options.entry.level, std::string()}, {}};
  std::string refused;
  if (!expand_exclude(options.exclude, &walk.exclude, &refused)) {
    return fail(failures::Kind::other, refused);
  }
  if (!name.empty()) add_folder_entry(source, name, walk.failures);
  // A source that is missing or no folder has nothing beneath it to miss:
  // the folder's entry alone is the whole of it.
  fsutil::FileId id;
  if (!must_end(progress) && fsutil::folder_id(source, &id)) {
    walk.folders.push_back(id);
    add_folder(source, name, std::string(), recursive, walk);
  }
  if (progress.stopped()) {
    return fail(failures::Kind::other, "stopped before " + shown_path(source) + " was added whole");
  }
  const Failures& failures = walk.failures;
  return !failures.any() || fail(failures.first_kind(), failures.summary());
}

bool ArchiveWriter::add_folder_entry(const std::string& source, const std::string& name,
                                     Failures& failures) {
  if (engine_->add_folder(folder_entry_name(name), folder_status(source))) return true;
  failures.add(engine_failure(), engine_failure_kind());
  return false;
}

// Adds everything beneath the folder `source` (whose entry `name` is
// written, which lies at `relative` beneath the walk's source, and which is
// the last folder on the walk), going on past whatever cannot be stored
// whole and counting it in the walk's failures, until its progress says stop
// or the writer breaks. Names found on disk are native; entry names and
// relative paths are their stored forms.
void ArchiveWriter::add_folder(const std::string& source, const std::string& name,
                               const std::string& relative, bool recursive, Walk& walk) {
  Failures& failures = walk.failures;
  Progress& progress = walk.progress;
  const bool hidden_added = walk.options.hidden;
  std::string why;
  for (const fsutil::FolderItem& item : fsutil::list_folder_items(source, true, false, &why)) {
    if (!hidden_added && is_hidden(item)) continue;
    const std::string path = join_path(source, item.name);
    std::string stored;
    if (!names::stored_form(item.name, &stored)) {
      failures.add(undecodable(path), failures::Kind::invalid_name);
    } else if (walk.excludes(join(relative, stored))) {
      continue;
    } else if (!add_single_file(path, join(name, stored), walk.file_options, std::nullopt, true)) {
      failures.add(last_error_, failure_kind_);
    }
    if (must_end(progress)) return;
  }
  if (!why.empty()) failures.add(unreadable(source, why), failures::Kind::read_failed);
  if (!recursive || !why.empty()) return;

  for (const fsutil::FolderItem& item : fsutil::list_folder_items(source, false, true, &why)) {
    if (!hidden_added && is_hidden(item)) continue;
    const std::string path = join_path(source, item.name);
    std::string stored;
    if (!names::stored_form(item.name, &stored)) {
      failures.add(undecodable(path), failures::Kind::invalid_name);
      continue;
    }
    const std::string below = join(relative, stored);
    if (walk.excludes(below)) continue;
    const std::string entry = join(name, stored);
    fsutil::FileId child;
    if (!fsutil::folder_id(path, &child)) {
      failures.add(unreadable(path, fsutil::last_error_text()), failures::Kind::read_failed);
      continue;
    }
    // A folder link back to a folder on the walk would never end.
    if (is_on_walk(walk.folders, child)) continue;
    add_folder_entry(path, entry, failures);
    if (must_end(progress)) return;
    walk.folders.push_back(child);
    add_folder(path, entry, below, true, walk);
    walk.folders.pop_back();
    if (must_end(progress)) return;
  }
  if (!why.empty()) failures.add(unreadable(source, why), failures::Kind::read_failed);
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
                                    const zip_writer::EntryOptions& entry,
                                    const std::optional<int64_t>& mtime, bool in_walk) {
  fsutil::File file = fsutil::File::open_regular_for_reading(source);
  if (!file.is_open()) return fail_to_read(source);
  // Whatever path reached it, the archive itself could only ever be stored
  // half-written: the folder walk passes over it, a single file is refused.
  if (is_archive_being_written(file)) {
    return in_walk ||
           fail(failures::Kind::other, shown_path(source) + " is the archive being written; not added");
  }
  const int64_t size = file.size();
  fsutil::FileStatus status;
  if (size < 0 || !fsutil::status_of_open_file(file.fd(), &status)) return fail_to_read(source);
  if (mtime) status.mtime = *mtime;
  if (size == 0) return add_file_read_to_end(file, source, name, status, entry);
  ChunkBuffer buffer(size);
  if (!buffer.data()) return fail(failures::Kind::other, "out of memory");
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
  if (!write_entry(name, size, status, entry, buffer.size(), next_chunk)) return false;
  return short_read.empty() || fail(failures::Kind::read_failed, short_read);
}

// What fits one buffer becomes an entry of the size read; a longer file an
// entry of unknown size, streamed in chunks like any large file, holding
// what was read up to the end (or up to a read error, which is the answer).
// A file that would make a read wait (it has no end) fails that read.
bool ArchiveWriter::add_file_read_to_end(fsutil::File& file, const std::string& source,
                                         const std::string& name,
                                         const fsutil::FileStatus& status,
                                         const zip_writer::EntryOptions& entry) {
  if (!file.never_wait_on_reads()) return fail_to_read(source);
  std::string read_failure;
  auto read = [&](char* into, size_t size) -> long long {
    const long long got = file.read(into, size);
    if (got < 0) read_failure = unreadable(source, fsutil::last_error_text());
    return got;
  };
  const bool written = write_entry_read_to_end(name, status, entry, read);
  return read_failure.empty() ? written : fail(failures::Kind::read_failed, read_failure);
}

// Gives the writer the file entry `name` holding what `read` gives until it
// gives nothing: an entry of the size read when that fits one buffer (the
// entry add_data makes of the same bytes), else one of unknown size,
// streamed in chunks. When `read` fails before the entry could start,
// nothing is given; after, the entry holds what came before.
bool ArchiveWriter::write_entry_read_to_end(const std::string& name,
                                            const fsutil::FileStatus& status,
                                            const zip_writer::EntryOptions& entry,
                                            const Reader& read) {
  ChunkBuffer buffer(kChunkSize);
  if (!buffer.data()) return fail(failures::Kind::other, "out of memory");
  size_t held = 0;
  long long got = 0;
  while (held < buffer.size() && (got = read(buffer.data() + held, buffer.size() - held)) > 0) {
    held += static_cast<size_t>(got);
  }
  if (got < 0) return false;
  if (held < buffer.size()) {
    auto whole = [&](size_t wanted, const char** chunk) {
      *chunk = buffer.data();
      return wanted;
    };
    return write_entry(name, static_cast<int64_t>(held), status, entry, buffer.size(), whole);
  }
  auto next_chunk = [&](size_t wanted, const char** chunk) -> size_t {
    *chunk = buffer.data();
    if (held > 0) return std::exchange(held, 0);
    const long long more = read(buffer.data(), wanted);
    return more > 0 ? static_cast<size_t>(more) : 0;
  };
  return write_entry(name, zip_writer::kUnknownSize, status, entry, buffer.size(), next_chunk);
}

bool ArchiveWriter::add_data(const char* data, size_t size, const std::string& name,
                             int64_t mtime, Progress& progress,
                             const zip_writer::EntryOptions& options) noexcept {
  clear_failure();
  try {
    if (engine_->broken()) return fail(failures::Kind::write_failed, earlier_failure());
    const std::string stored = names::from_given(name);
    engine_->report_to(progress);
    auto next_chunk = [&, offset = size_t{0}](size_t wanted, const char** chunk) mutable {
      *chunk = data + offset;
      offset += wanted;
      return wanted;
    };
    const fsutil::FileStatus status{mtime, 0644};
    const bool added =
        write_entry(stored, static_cast<int64_t>(size), status, options, kChunkSize, next_chunk);
    if (!write_all_given() || !added) return false;
    return !engine_->lost_entries() ||
           fail(failures::Kind::other, "stopped before " + failures::quoted(stored) + " was added whole");
  } catch (...) {
    return fail(failures::Kind::other, "out of memory");
  }
}

bool ArchiveWriter::accepts_entry(const std::string& name) noexcept {
  clear_failure();
  try {
    if (engine_->broken()) return fail(failures::Kind::write_failed, earlier_failure());
    const std::string refused = names::refusal(names::from_given(name), false);
    return refused.empty() || fail(failures::Kind::invalid_name, refused);
  } catch (...) {
    return fail(failures::Kind::other, "out of memory");
  }
}

bool ArchiveWriter::add_stream(EntryPipe& pipe, const std::string& name, int64_t mtime,
                               Progress& progress,
                               const zip_writer::EntryOptions& options) noexcept {
  if (!accepts_entry(name)) return false;
  try {
    const std::string stored = names::from_given(name);
    engine_->report_to(progress);
    auto read = [&](char* into, size_t size) {
      return static_cast<long long>(pipe.read(into, size, progress));
    };
    const bool added = write_entry_read_to_end(stored, {mtime, 0644}, options, read);
    if (!write_all_given() || !added) return false;
    return !engine_->lost_entries() ||
           fail(failures::Kind::other, "stopped before " + failures::quoted(stored) + " was added whole");
  } catch (...) {
    return fail(failures::Kind::other, "out of memory");
  }
}

// Gives the writer the file entry `name` of exactly `size` bytes, taken from
// `next_chunk` (which answers how many of the `wanted` bytes it gave) at most
// `chunk_size` at a time; of kUnknownSize, until `next_chunk` gives nothing.
// The writer reports the entry once it is in the archive, and takes it back
// out when asked to stop before then.
bool ArchiveWriter::write_entry(const std::string& name, int64_t size,
                                const fsutil::FileStatus& status,
                                const zip_writer::EntryOptions& entry, size_t chunk_size,
                                const ChunkSource& next_chunk) {
  if (!engine_->open_file(name, size, status, entry)) {
    return fail(engine_failure_kind(), engine_failure());
  }
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
  return (stored && engine_->close_file()) || fail(engine_failure_kind(), engine_failure());
}
