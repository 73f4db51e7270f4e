// Lists an archive's entries through a reader of its own, so the reader that
// extracts keeps its place. The lister holds its own descriptor of the file:
// it stays valid after the archive object is closed or gone.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/entry_index.h"
#include "archive/zip_engine.h"
#include "fsutil/file.h"

class EntryLister {
 public:
  // Null when the file cannot be read as the archive it was loaded as.
  static std::unique_ptr<EntryLister> open(const fsutil::File& archive) noexcept;

  // Goes to the next entry, to the first on the first call; false at the end
  // and when the archive is damaged there.
  bool next() noexcept;
  const zip_engine::EntryInfo& entry() const { return reader_->entry(); }
  bool damaged() const { return reader_->damaged(); }
  // How many entries were listed so far.
  int64_t count() const { return count_; }
  // Every name with its place, once the listing reached the archive's end
  // intact; null before that.
  std::unique_ptr<EntryIndex> take_index() noexcept;

 private:
  EntryLister() = default;
  // Declared in the order of acquisition: the reader goes before its file.
  fsutil::File file_;
  std::unique_ptr<zip_engine::ZipReader> reader_;
  std::unique_ptr<EntryIndex> index_;
  int64_t count_ = 0;
  bool started_ = false;
  bool ended_ = false;
};
