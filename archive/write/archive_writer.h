// ArchiveWriter: a new archive being written, behind a Parvox object made by
// Parvox.new, with the password its file entries are encrypted with.
//
// Every operation is noexcept and answers through its result; nothing here
// calls into Ruby. An operation that fails leaves its reason, a short English
// text naming the path or entry (UTF-8), in last_error(), and its kind in
// failure_kind(); one that succeeds leaves them empty and `other`. An
// operation succeeds only once its entries are in the file. Entry names are
// given in UTF-8, paths on disk in native form.
//
// When writing into the file fails (a full disk), the operation that met it
// fails naming the entry that could not be written; the file is cut back to
// the entries whole in it, every later add fails with the same reason, and
// finish() still writes the directory of those entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/failures.h"
#include "archive/progress.h"
#include "archive/write/entry_pipe.h"
#include "archive/write/stream_output.h"
#include "archive/write/zip_writer.h"
#include "fsutil/file.h"
#include "fsutil/file_status.h"
#include "fsutil/folder_listing.h"

namespace archive_writer {

// What the whole archive gets.
struct Options {
  int level = compressors::kDefaultLevel;  // of the entries added without one
  std::string comment;  // the archive's: see zip_writer::archive_comment_refusal
};
// What ArchiveWriter::add_file may set besides its source and name.
struct AddOptions {
  // A single file's level and comment; beneath a folder, every file's level.
  zip_writer::EntryOptions entry;
  std::optional<int64_t> mtime;  // a single file's time in place of its own
  // Beneath a folder: whether files and folders whose name begins with '.'
  // (or which the system marks hidden) are added; and the paths beneath it
  // ('/'-separated) left out, each folder matched with all it holds, as
  // path_pattern.h matches them (with dots matched when `hidden`).
  bool hidden = true;
  std::vector<std::string> exclude;
};

}  // namespace archive_writer

class ArchiveWriter {
 public:
  // Starts a new, empty archive at `path`, replacing any file there; null
  // with `*reason` and `*kind` set when it cannot (write_failed), or when
  // SOURCE_DATE_EPOCH is set to something else than a number of seconds (the
  // file is then left as it was; see zip_writer::configured_latest_time).
  static std::unique_ptr<ArchiveWriter> create(const std::string& path,
                                               const std::string& password,
                                               const archive_writer::Options& options,
                                               std::string* reason,
                                               failures::Kind* kind) noexcept;
  // Starts a new, empty archive written into `stream` as it is made (see
  // stream_output.h): the same bytes as into a file. `file_written`, when
  // the stream ends in a file, is that file's identity: never stored, as the
  // archive's own file is not.
  static std::unique_ptr<ArchiveWriter> create(std::shared_ptr<StreamOutput> stream,
                                               const std::string& password,
                                               const archive_writer::Options& options,
                                               std::string* reason,
                                               failures::Kind* kind,
                                               const fsutil::FileId* file_written = nullptr) noexcept;
  // Finishes the archive unless abandon() came first.
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  // Adds the file `source` as the entry `name`, or with `folder` the folder
  // `source` with its files (and, with `recursive`, its sub-folders) beneath
  // the folder entry `name`. A name that cannot be stored is refused before
  // anything is written (a folder's once, as the prefix of the names beneath
  // it). Reports to `progress` as entries go into the archive; asked to
  // stop, it takes the entry being written back out (so the archive stays
  // valid and every entry in it whole) and adds nothing more.
  bool add_file(const std::string& source, const std::string& name, bool folder,
                bool recursive, Progress& progress,
                const archive_writer::AddOptions& options = {}) noexcept;
  // Adds `size` bytes at `data` as the file entry `name` with the time
  // `mtime`: the entry add_file makes of a file holding those bytes, with
  // that modification time and mode 0644. Stops like add_file.
  bool add_data(const char* data, size_t size, const std::string& name, int64_t mtime,
                Progress& progress, const zip_writer::EntryOptions& options = {}) noexcept;

  // Whether an entry `name` can be added now: a name that can be stored,
  // and a writer not broken. The reason and kind are left as by an add.
  bool accepts_entry(const std::string& name) noexcept;
  // Adds the data given through `pipe` as it comes, until its maker closes
  // it, as the file entry `name` with the time `mtime` and mode 0644: the
  // entry add_data makes of the same bytes when they fit one buffer, else
  // one of unknown size (its sizes after its data), memory bounded whatever
  // its size. When the maker gives up, it asks `progress` to stop first:
  // the entry is then taken back out, as add_file's is.
  bool add_stream(EntryPipe& pipe, const std::string& name, int64_t mtime, Progress& progress,
                  const zip_writer::EntryOptions& options = {}) noexcept;

  // The names (as stored) of the entries in the archive from its `first`
  // on, in their order: what the last calls added.
  std::vector<std::string> names_written_since(uint64_t first) noexcept;

  // Writes the central directory and closes the file; answers whether that
  // succeeded, with the reason in last_error() when not.
  bool finish() noexcept;
  // Lets go of the file without writing another byte: what a process that
  // does not own the archive (a forked child) does with it.
  void abandon() noexcept;

  // Into a stream: the call that added entries was stopped while their
  // bytes were on their way; those not all sent leave the directory.
  // Answers whether there were any, last_error() naming the first.
  bool take_back_undelivered() noexcept;
  // Into a stream: writing it failed once the work had given it everything;
  // last_error() names the first entry not all sent.
  void note_stream_failure() noexcept;

  const std::string& last_error() const { return last_error_; }
  const failures::Kind& failure_kind() const { return failure_kind_; }
  size_t memory_size() const {
    return sizeof(*this) + path_.capacity() + last_error_.capacity();
  }

 private:
  ArchiveWriter() = default;
  bool fail(failures::Kind kind, std::string reason);
  bool fail_to_read(const std::string& source);
  void clear_failure();
  bool start_engine(ArchiveOutput* output, const std::string& password,
                    const archive_writer::Options& options, int64_t latest_time);
  // The archive as reasons name it: its path, or the stream.
  std::string shown_target() const;
  bool add_single_file(const std::string& source, const std::string& name,
                       const zip_writer::EntryOptions& entry,
                       const std::optional<int64_t>& mtime = std::nullopt, bool in_walk = false);
  bool is_archive_being_written(const fsutil::File& file) const;
  struct Walk;
  void add_folder(const std::string& source, const std::string& name, const std::string& relative,
                  bool recursive, Walk& walk);
  bool add_tree(const std::string& source, const std::string& name, bool recursive,
                Progress& progress, const archive_writer::AddOptions& options);
  bool add_folder_entry(const std::string& source, const std::string& name, Failures& failures);
  // Reads up to `size` bytes into `into`; answers how many, 0 at the end,
  // or -1 when reading failed.
  using Reader = std::function<long long(char* into, size_t size)>;
  bool write_entry_read_to_end(const std::string& name, const fsutil::FileStatus& status,
                               const zip_writer::EntryOptions& entry, const Reader& read);
  bool add_file_read_to_end(fsutil::File& file, const std::string& source,
                            const std::string& name, const fsutil::FileStatus& status,
                            const zip_writer::EntryOptions& entry);
  bool must_end(const Progress& progress) const;
  bool write_all_given();
  std::string writer_failure() const;
  std::string earlier_failure() const;
  std::string engine_failure() const;
  failures::Kind engine_failure_kind() const;
  // Gives up to `wanted` bytes of an entry's data at `*chunk`; answers how many.
  using ChunkSource = std::function<size_t(size_t wanted, const char** chunk)>;
  bool write_entry(const std::string& name, int64_t size, const fsutil::FileStatus& status,
                   const zip_writer::EntryOptions& entry, size_t chunk_size,
                   const ChunkSource& next_chunk);

  // Declared in the order of acquisition: the writer goes before its file
  // or stream.
  fsutil::File file_;
  std::shared_ptr<StreamOutput> stream_;
  std::unique_ptr<ZipWriter> engine_;
  std::string path_;
  std::string last_error_;
  failures::Kind failure_kind_ = failures::Kind::other;
  // The identity of the archive being written, so that it never stores itself.
  fsutil::FileId written_id_;
  bool knows_written_id_ = false;
};
