// ArchiveReader: an existing archive opened by Parvox.load, with the password
// its encrypted entries are read with, and what every extraction from it
// shares: the name index and the expansion budget.
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

#include "archive/entry_index.h"
#include "archive/entry_lister.h"
#include "archive/expansion_budget.h"
#include "archive/failures.h"
#include "archive/progress.h"
#include "archive/zip_engine.h"
#include "fsutil/file.h"

namespace fsutil {
class FileCreator;
}

class ArchiveReader {
 public:
  // Opens the existing archive at `path`; null with `*reason` set when it
  // cannot. Encrypted entries open with `password` or, when given,
  // `alternative`, another form of it.
  static std::unique_ptr<ArchiveReader> load(const std::string& path, const std::string& password,
                                             const std::string& alternative,
                                             std::string* reason) noexcept;
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // The operations below report to `progress` as they go, and stop at once
  // when it asks them to, leaving the file being written as far as it got.

  // Extracts the entry `name` to the file `target`.
  bool unzip_file(const std::string& name, const std::string& target, Progress& progress) noexcept;
  // Whether unzip_file(name) would answer without reading anything: every
  // name is known and `name` is not among them.
  bool unzip_file_answers_at_once(const std::string& name) const noexcept;
  // Extracts every entry beneath the folder `folder`.
  bool unzip_all(const std::string& folder, Progress& progress) noexcept;

  // Starts listing the entries; null, with the reason, when the archive
  // cannot be read again for it.
  std::unique_ptr<EntryLister> list_entries() noexcept;
  // Ends a listing that ran to its end (or broke off there): a complete one
  // also tells unzip_file every name. Answers whether it was complete.
  bool finish_listing(EntryLister& lister) noexcept;

  const std::string& last_error() const { return last_error_; }
  size_t memory_size() const {
    return sizeof(*this) + path_.capacity() + last_error_.capacity() +
           (index_ ? index_->memory_size() : 0);
  }

 private:
  ArchiveReader() = default;
  bool fail(std::string reason);
  bool locate(const std::string& name, Progress& progress);
  void build_index(Progress& progress);
  int64_t total_entry_size(Progress& progress);
  bool extract_beneath(const std::string& root, fsutil::FileCreator& files, Progress& progress);
  bool admits_declared_size();
  bool fail_expansion();
  bool write_entry_data(fsutil::File target, const std::string& shown_path, Progress& progress);
  bool fail_reading_entry();

  // Declared in the order of acquisition: the engine goes before its file.
  fsutil::File file_;
  std::unique_ptr<zip_engine::ZipReader> engine_;
  std::string path_;
  std::string last_error_;
  // Every entry's name and place once one walk has seen them all.
  std::unique_ptr<EntryIndex> index_;
  // What the archive may still write, across every extraction from it.
  ExpansionBudget budget_;
};
