// NativeArchive: the native object behind each Parvox instance. It holds one
// archive at a time, either a new one being written or an existing one being
// read, together with the password that adding and extracting use.
//
// Every operation is noexcept and answers through its result; nothing here
// calls into Ruby.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/expansion_budget.h"
#include "archive/progress.h"
#include "archive/zip_engine.h"
#include "fsutil/file.h"
#include "fsutil/folder_listing.h"

namespace fsutil {
class FileCreator;
}

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

  bool is_open() const { return writer_ || reader_; }

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
  // Extracts every entry beneath the folder `folder`.
  bool unzip_all(const std::string& folder, Progress& progress = no_progress()) noexcept;

  size_t memory_size() const { return sizeof(*this) + password_.capacity(); }

 private:
  template <typename Start>
  bool open(Start&& start, const std::string& password) noexcept;
  bool add_single_file(const std::string& source, const std::string& name, ProgressMeter& meter);
  bool is_archive_being_written(const fsutil::File& file) const;
  bool add_folder(const std::string& source, const std::string& name, bool recursive,
                  std::vector<fsutil::FileId>& walk, ProgressMeter& meter);
  int64_t total_entry_size();
  bool extract_beneath(const std::string& root, fsutil::FileCreator& files, ProgressMeter& meter);
  bool admits_declared_size();
  bool write_entry_data(fsutil::File target, ProgressMeter& meter);

  // Declared in the order of acquisition: the engine handles are released
  // before the file they work on.
  fsutil::File file_;
  std::unique_ptr<zip_engine::ZipWriter> writer_;
  std::unique_ptr<zip_engine::ZipReader> reader_;
  std::string password_;
  // What the loaded archive may still write, across every extraction from it.
  ExpansionBudget budget_;
  // The identity of the archive being written, so that it never stores itself.
  fsutil::FileId written_id_;
  bool knows_written_id_ = false;
};
