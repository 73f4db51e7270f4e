// NativeArchive: the native object behind each Parvox instance. It holds one
// archive at a time, either a new one being written or an existing one being
// read, together with the password that adding and extracting use.
//
// Every operation is noexcept and answers through its result; nothing here
// calls into Ruby. An operation that fails leaves its reason, a short English
// text naming the path or entry, in last_error(); one that succeeds leaves it
// empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/central_directory.h"
#include "archive/expansion_budget.h"
#include "archive/progress.h"
#include "archive/zip_engine.h"
#include "fsutil/file.h"
#include "fsutil/folder_listing.h"

namespace fsutil {
class FileCreator;
}

// A name or path as failure reasons show it.
inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Where read_entry puts an entry's data.
class EntrySink {
 public:
  // Takes the next `size` bytes of data; false to stop, leaving the reason in
  // `*reason`.
  virtual bool take(const char* data, size_t size, std::string* reason) = 0;
  // The data ended whole; false to fail all the same.
  virtual bool finish(std::string* reason) = 0;

 protected:
  ~EntrySink() = default;
};

class NativeArchive {
 public:
  NativeArchive() = default;
  ~NativeArchive() { close(); }
  NativeArchive(const NativeArchive&) = delete;
  NativeArchive& operator=(const NativeArchive&) = delete;

  // Starts a new, empty archive at `path`, replacing any file there.
  bool create(const char* path, const std::string& password) noexcept;
  // Opens the existing archive at `path` for reading. Encrypted entries open
  // with `password` or, when given, `alternative`, another form of it.
  bool load(const char* path, const std::string& password,
            const std::string& alternative = std::string()) noexcept;
  // Finishes and releases whatever is open; safe at any time, any number of times.
  void close() noexcept;

  bool is_open() const { return writer_ || reading_; }

  // Adds the file `source` as the entry `name`, or with `folder` the folder
  // `source` with its files (and, with `recursive`, its sub-folders) beneath
  // the folder entry `name`.
  //
  // The operations below report to `progress` as they go. When it asks them to
  // stop, adding finishes the file it is storing (so the archive stays valid
  // and every entry in it whole) and adds nothing more; extracting stops at
  // once, leaving the file being written as far as it got.
  bool add_file(const std::string& source, const std::string& name, bool folder,
                bool recursive, Progress& progress = no_progress()) noexcept;

  // Extracts the entry `name` to the file `target`.
  bool unzip_file(const std::string& name, const std::string& target,
                  Progress& progress = no_progress()) noexcept;
  // Hands the data of the entry `name` to `sink`, with every check of
  // unzip_file; a folder entry has no data.
  bool read_entry(const std::string& name, EntrySink& sink,
                  Progress& progress = no_progress()) noexcept;
  // Whether unzip_file(name) or read_entry(name) is small work, not worth a
  // thread of its own: the archive is not open for reading, or its directory
  // has been read and `name` is not in it or holds little unencrypted data.
  bool is_small_read(const std::string& name) const noexcept;
  // Extracts every entry beneath the folder `folder`.
  bool unzip_all(const std::string& folder, Progress& progress = no_progress()) noexcept;

  // The entries of an archive opened by `load`, read from its central
  // directory on the first call that needs them; null, with the reason, for
  // any other archive or a damaged directory. The answer stays valid after
  // the archive is closed.
  std::shared_ptr<const CentralDirectory> directory() noexcept;
  // Whether the directory has been read (directory() then costs nothing).
  bool has_directory() const { return directory_ != nullptr; }

  // Why the last operation failed; empty after one that succeeded.
  const std::string& last_error() const { return last_error_; }

  size_t memory_size() const {
    return sizeof(*this) + password_.capacity() + alternative_.capacity() + path_.capacity() +
           last_error_.capacity() + (directory_ ? directory_->memory_size() : 0);
  }

 private:
  // Counts the failures of an operation that goes on past them and keeps the
  // reason of the first.
  class Failures {
   public:
    void add(std::string reason);
    bool any() const { return count_ > 0; }
    // The first reason, and how many failures there were when more than one.
    std::string summary() const;

   private:
    std::string first_;
    int64_t count_ = 0;
  };

  bool fail(std::string reason);
  bool fail_unless_open_for(bool writing);
  template <typename Start>
  bool open(Start&& start, const std::string& password) noexcept;
  bool add_single_file(const std::string& source, const std::string& name, ProgressMeter& meter,
                       bool in_walk = false);
  bool is_archive_being_written(const fsutil::File& file) const;
  void add_folder(const std::string& source, const std::string& name, bool recursive,
                  std::vector<fsutil::FileId>& walk, Failures& failures, ProgressMeter& meter);

  const DirectoryEntry* find_entry(const CentralDirectory& directory, const std::string& name);
  // Starts reading an entry's data. `unreadable`: the engine cannot decode it
  // (wrong or missing password, unsupported method); `damaged`: it is not
  // where or what the directory says. Both leave the reason.
  enum class Opening { opened, unreadable, damaged };
  Opening open_entry(const DirectoryEntry& entry, std::unique_ptr<zip_engine::ZipReader>* reader);
  bool extract_beneath(const std::string& root, const DirectoryEntry& entry,
                       zip_engine::ZipReader* reader, fsutil::FileCreator& files,
                       ProgressMeter& meter);
  int64_t total_entry_size(const CentralDirectory& directory);
  bool admits_declared_size(const DirectoryEntry& entry);
  bool fail_expansion(const DirectoryEntry& entry);
  bool copy_entry_data(zip_engine::ZipReader& reader, const DirectoryEntry& entry, EntrySink& sink,
                       ProgressMeter& meter);
  bool fail_reading_entry(const DirectoryEntry& entry, const zip_engine::ZipReader& reader);

  // Declared in the order of acquisition: the engine handles are released
  // before the file they work on.
  fsutil::File file_;
  std::unique_ptr<zip_engine::ZipWriter> writer_;
  bool reading_ = false;  // opened by load
  std::string password_;
  std::string alternative_;  // another form of the password, or empty
  std::string path_;
  std::string last_error_;
  // Where the central directory is, found by load; the directory itself is
  // read on the first call that needs it.
  DirectoryLocation location_;
  std::shared_ptr<const CentralDirectory> directory_;
  // What the loaded archive may still write, across every extraction from it.
  ExpansionBudget budget_;
  // The identity of the archive being written, so that it never stores itself.
  fsutil::FileId written_id_;
  bool knows_written_id_ = false;
};
