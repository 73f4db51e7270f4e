#include "archive/read/entry_decoder.h"

#include "archive/read/libarchive_decoder.h"
#include "archive/read/zip_entry_decoder.h"

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
