// ArchiveWriter: a new archive being written, behind a Parvox object made by
// Parvox.new, with the password its file entries are encrypted with.
//
// Every operation is noexcept and answers through its result; nothing here
// calls into Ruby. An operation that fails leaves its reason, a short English
// text naming the path or entry (UTF-8), in last_error(); one that succeeds
// leaves it empty. An operation succeeds only once its entries are in the
// file. Entry names are given in UTF-8, paths on disk in native form.
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
#include <string>
#include <vector>

#include "archive/failures.h"
#include "archive/progress.h"
#include "archive/write/stream_output.h"
#include "archive/write/zip_writer.h"
#include "fsutil/file.h"
#include "fsutil/file_status.h"

class ArchiveWriter {
 public:
  // Starts a new, empty archive at `path`, replacing any file there; null
  // with `*reason` set when it cannot.
  static std::unique_ptr<ArchiveWriter> create(const std::string& path,
                                               const std::string& password,
                                               std::string* reason) noexcept;
  // Starts a new, empty archive written into `stream` as it is made (see
  // stream_output.h): the same bytes as into a file.
  static std::unique_ptr<ArchiveWriter> create(std::shared_ptr<StreamOutput> stream,
                                               const std::string& password,
                                               std::string* reason) noexcept;
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
                bool recursive, Progress& progress) noexcept;
  // Adds `size` bytes at `data` as the file entry `name` with the time
  // `mtime`: the entry add_file makes of a file holding those bytes, with
  // that modification time and mode 0644. Stops like add_file.
  bool add_data(const char* data, size_t size, const std::string& name, int64_t mtime,
                Progress& progress) noexcept;

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
  size_t memory_size() const {
    return sizeof(*this) + path_.capacity() + last_error_.capacity();
  }

 private:
  ArchiveWriter() = default;
  bool fail(std::string reason);
  bool start_engine(ArchiveOutput* output, const std::string& password);
  // The archive as reasons name it: its path, or the stream.
  std::string shown_target() const;
  bool add_single_file(const std::string& source, const std::string& name, Progress& progress,
                       bool in_walk = false);
  bool is_archive_being_written(const fsutil::File& file) const;
  void add_folder(const std::string& source, const std::string& name, bool recursive,
                  std::vector<fsutil::FileId>& walk, Failures& failures, Progress& progress);
  bool add_tree(const std::string& source, const std::string& name, bool recursive,
                Progress& progress);
  bool add_folder_entry(const std::string& source, const std::string& name, Failures& failures);
  bool add_file_read_to_end(fsutil::File& file, const std::string& source,
                            const std::string& name, const fsutil::FileStatus& status);
  bool must_end(const Progress& progress) const;
  bool write_all_given();
  std::string writer_failure() const;
  std::string earlier_failure() const;
  std::string engine_failure() const;
  // Gives up to `wanted` bytes of an entry's data at `*chunk`; answers how many.
  using ChunkSource = std::function<size_t(size_t wanted, const char** chunk)>;
  bool write_entry(const std::string& name, int64_t size, const fsutil::FileStatus& status,
                   size_t chunk_size, const ChunkSource& next_chunk);

  // Declared in the order of acquisition: the writer goes before its file
  // or stream.
  fsutil::File file_;
  std::shared_ptr<StreamOutput> stream_;
  std::unique_ptr<ZipWriter> engine_;
  std::string path_;
  std::string last_error_;
  // The identity of the archive being written, so that it never stores itself.
  fsutil::FileId written_id_;
  bool knows_written_id_ = false;
};
