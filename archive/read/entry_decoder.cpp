#include "archive/read/entry_decoder.h"

#include "archive/read/libarchive_decoder.h"
#include "archive/read/zip_entry_decoder.h"

ReadStatus EntryDecoder::fetch_first_chunk(bool started) {
  pending_data_ = nullptr;
  pending_size_ = 0;
  pending_status_ = started ? fetch_chunk(&pending_data_, &pending_size_) : ReadStatus::failed;
  has_pending_ = true;
  return pending_status_;
}

ReadStatus EntryDecoder::read_chunk(const char** data, size_t* size) {
  if (has_pending_) {
    has_pending_ = false;
    *data = pending_data_;
    *size = pending_size_;
    return pending_status_;
  }
  if (pending_status_ != ReadStatus::data) return pending_status_;
  pending_status_ = fetch_chunk(data, size);
  return pending_status_;
}

std::unique_ptr<EntryDecoder> open_entry_decoder(const ArchiveBytes& bytes,
                                                 const EntryLayout& layout,
                                                 const std::string& password,
                                                 const std::string& alternative) {
  if (ZipEntryDecoder::takes(layout)) {
    return ZipEntryDecoder::open(std::unique_ptr<const ArchiveBytes>(new BytesView(bytes)), layout,
                                 password, alternative);
  }
  return LibarchiveDecoder::open(bytes, layout, password, alternative);
}
