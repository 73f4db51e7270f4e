#include "archive/entry_lister.h"

#include <new>

std::unique_ptr<EntryLister> EntryLister::open(const fsutil::File& archive) noexcept {
  std::unique_ptr<EntryLister> lister(new (std::nothrow) EntryLister);
  if (!lister) return nullptr;
  lister->file_ = archive.duplicate();
  lister->index_.reset(new (std::nothrow) EntryIndex);
  if (!lister->file_.is_open() || !lister->index_) return nullptr;
  // Listing reads no entry data, so it needs no password.
  lister->reader_ = zip_engine::ZipReader::open(lister->file_.fd(), "");
  if (!lister->reader_) return nullptr;
  return lister;
}

bool EntryLister::next() noexcept {
  if (ended_) return false;
  const bool listed = started_ ? reader_->goto_next_entry() : reader_->has_entry();
  started_ = true;
  if (!listed) {
    ended_ = true;
    return false;
  }
  try {
    if (index_) index_->add(reader_->entry(), count_);
  } catch (...) {
    index_.reset();  // out of memory: the listing goes on without an index
  }
  ++count_;
  return true;
}

std::unique_ptr<EntryIndex> EntryLister::take_index() noexcept {
  if (!ended_ || damaged()) return nullptr;
  return std::move(index_);
}
