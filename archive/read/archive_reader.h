// ArchiveReader: an existing archive opened by Parvox.load, with the password
// its encrypted entries are read with, and what every extraction from it
// shares: the central directory (read once, on the first call that needs it)
// and the expansion budget.
//
// Every operation is noexcept and answers through its result; nothing here
// calls into Ruby. An operation that fails leaves its reason, a short English
// text (UTF-8) naming the path or entry, in last_error(), and what kind of
// failure it is in failure_kind(); one that succeeds leaves them empty and
// other.
//
// Entry names, given and reported, are text (see archive/names.h);
// paths on disk (a target file or folder) are native.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/read/central_directory.h"
#include "archive/read/expansion_budget.h"
#include "archive/failures.h"
#include "archive/progress.h"
#include "archive/read/entry_decoder.h"
#include "fsutil/file.h"

class WorkerPool;
class EntryStream;

// Where read_entry puts an entry's data.
class EntrySink {
 public:
  // Takes the next `size` bytes of data; false to stop, leaving the reason in
  // `*reason` (a failure to write, as the reader counts it).
  virtual bool take(const char* data, size_t size, std::string* reason) = 0;
  // The data ended whole; false to fail all the same.
  virtual bool finish(std::string* reason) = 0;

 protected:
  ~EntrySink() = default;
};

class ArchiveReader {
 public:
  // Opens the existing archive at `path`; null with `*reason` and `*kind`
  // set when it cannot. Encrypted entries open with `password` or, when
  // given, `alternative`, another form of it.
  static std::unique_ptr<ArchiveReader> load(const std::string& path, const std::string& password,
                                             const std::string& alternative, std::string* reason,
                                             failures::Kind* kind) noexcept;
  // Opens the archive in `bytes` (memory, a duplicate of an open file's
  // descriptor, a stream read at offsets), which reasons call `shown_name`;
  // the same answers and checks as for a path.
  static std::unique_ptr<ArchiveReader> load(std::unique_ptr<ArchiveBytes> bytes,
                                             const std::string& shown_name,
                                             const std::string& password,
                                             const std::string& alternative, std::string* reason,
                                             failures::Kind* kind) noexcept;
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // The operations below report to `progress` as they go, and stop at once
  // when it asks them to; a file they were writing is then removed.

  // Extracts the entry `name` to the file `target`. A file already there is
  // replaced only by an entry that checks out.
  bool unzip_file(const std::string& name, const std::string& target, Progress& progress) noexcept;
  // Hands the data of the entry `name` to `sink`, with every check of
  // unzip_file; a folder entry has no data.
  bool read_entry(const std::string& name, EntrySink& sink, Progress& progress) noexcept;
  // Opens the entry `name` for its data to be read piece by piece with
  // next_piece, within the expansion budget, as read_entry opens it; null,
  // with the reason, when it cannot be read (a folder has no data). A large
  // entry is decoded ahead on a worker between pieces when `decode_ahead`
  // (not for bytes that are there only while a call serves them). The
  // stream must go before the reader.
  std::unique_ptr<EntryStream> open_stream(const std::string& name, bool decode_ahead) noexcept;
  // The stream's next piece: `*size` bytes at `*data` (valid until the next
  // call or the stream's end; maybe none), or `*ended` once the data ended
  // whole. False, with the reason, when the entry fails the checks of
  // read_entry; so does every later call.
  bool next_piece(EntryStream& stream, const char** data, size_t* size, bool* ended) noexcept;
  // Whether next_piece(stream) is small work, as is_small_read says of a
  // whole entry.
  bool is_small_piece(const EntryStream& stream) const noexcept;
  // Whether unzip_file(name) or read_entry(name) is small work, not worth a
  // thread of its own: the directory has been read, and `name` is not in it
  // or holds little unencrypted data.
  bool is_small_read(const std::string& name) const noexcept;
  // Extracts every entry beneath the folder `folder`.
  bool unzip_all(const std::string& folder, Progress& progress) noexcept;

  // The entries, read from the central directory on the first call that
  // needs them; null, with the reason, when the directory is damaged. The
  // answer stays valid after the reader is gone.
  std::shared_ptr<const CentralDirectory> directory() noexcept;
  // Whether the directory has been read (directory() then costs nothing).
  bool has_directory() const { return directory_ != nullptr; }

  const std::string& last_error() const { return last_error_; }
  const failures::Kind& failure_kind() const { return failure_kind_; }
  size_t memory_size() const {
    return sizeof(*this) + path_.capacity() + password_.capacity() + alternative_.capacity() +
           last_error_.capacity() + (directory_ ? directory_->memory_size() : 0);
  }

 private:
  ArchiveReader() = default;
  // Finds the end records in bytes_; false with `*reason` and `*kind` set
  // when they are not there.
  bool locate(const std::string& password, const std::string& alternative, std::string* reason,
              failures::Kind* kind);
  // The archive as reasons name it: its path, quoted, or what it was read from.
  std::string shown() const { return shown_name_.empty() ? failures::quoted(path_) : shown_name_; }
  void clear_failure();
  bool fail(failures::Kind kind, std::string reason);
  bool failed_writing();
  const DirectoryEntry* find_entry(const CentralDirectory& directory, const std::string& name);
  const DirectoryEntry* open_named_entry(const std::string& name,
                                         std::shared_ptr<const CentralDirectory>* directory,
                                         std::unique_ptr<WorkerPool>* ahead,
                                         std::unique_ptr<EntryDecoder>* engine);
  // Starts reading an entry's data; a large entry is decoded ahead on a
  // worker of `ahead` when it is given and has one. `unreadable`: the engine
  // cannot decode it (wrong or missing password, unsupported method);
  // `damaged`: it is not where or what the directory says. Both leave the
  // reason in `*reason` and its kind in `*kind`. Safe on any thread.
  enum class Opening { opened, unreadable, damaged };
  Opening open_entry(const DirectoryEntry& entry, WorkerPool* ahead,
                     std::unique_ptr<EntryDecoder>* engine, std::string* reason,
                     failures::Kind* kind) const;
  static int64_t total_entry_size(const CentralDirectory& directory);
  bool admits_declared_size(const DirectoryEntry& entry);
  bool fail_expansion(const DirectoryEntry& entry);
  // Hands the open entry's data to `sink`; false with the reason in
  // `*reason` and its kind in `*kind`. Safe on any thread, with a progress
  // of its own.
  static bool copy_entry_data(EntryDecoder& engine, const DirectoryEntry& entry, EntrySink& sink,
                              Progress& progress, std::string* reason, failures::Kind* kind);
  // The open entry's next chunk, `*produced` bytes of it handed out so far:
  // never past the declared size, and the end only at it. Failed, with the
  // reason in `*reason` and its kind in `*kind`, otherwise.
  static ReadStatus checked_chunk(EntryDecoder& engine, const DirectoryEntry& entry,
                                  int64_t* produced, const char** data, size_t* size,
                                  std::string* reason, failures::Kind* kind);
  static std::string reading_failure(const DirectoryEntry& entry, const EntryDecoder& engine);
  static failures::Kind kind_of(ReadFailure failure);

 public:
  // A native path as reasons (UTF-8) show it.
  static std::string shown_path(const std::string& native);

 private:
  // One run of unzip_all (archive/read/unzip_all.cpp).
  class Extraction;

  fsutil::File file_;
  std::unique_ptr<ArchiveBytes> bytes_;  // the file's, or the archive's given ones
  std::string path_;
  std::string shown_name_;
  std::string password_;
  std::string alternative_;  // another form of the password, or empty
  std::string last_error_;
  failures::Kind failure_kind_ = failures::Kind::other;
  // Where the central directory is, found by load; the directory itself is
  // read on the first call that needs it.
  DirectoryLocation location_;
  std::shared_ptr<const CentralDirectory> directory_;
  // What the archive may still write, across every extraction from it.
  ExpansionBudget budget_;
};

// One entry of a reader opened by ArchiveReader::open_stream, its data read
// piece by piece with ArchiveReader::next_piece.
class EntryStream {
 public:
  ~EntryStream();  // where WorkerPool is complete
  EntryStream(const EntryStream&) = delete;
  EntryStream& operator=(const EntryStream&) = delete;

  // The entry's declared size.
  int64_t size() const { return entry_->info.size; }
  // The most memory the stream holds while it is open: an entry decoded
  // whole keeps its data and its compressed bytes, one decoded in pieces a
  // chunk, or the chunks decoded ahead of the reader.
  size_t memory_bound() const;

 private:
  friend class ArchiveReader;
  EntryStream() = default;

  std::shared_ptr<const CentralDirectory> directory_;  // keeps entry_
  const DirectoryEntry* entry_ = nullptr;
  std::unique_ptr<WorkerPool> ahead_;     // outlives engine_
  std::unique_ptr<EntryDecoder> engine_;
  int64_t produced_ = 0;
  bool failed_ = false;
  std::string failure_;
  failures::Kind failure_kind_ = failures::Kind::other;
};
