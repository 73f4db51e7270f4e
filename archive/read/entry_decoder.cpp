#include "archive/read/entry_decoder.h"

#include "archive/read/libarchive_decoder.h"
#include "archive/read/zip_entry_decoder.h"

std::unique_ptr<EntryDecoder> open_entry_decoder(int fd, const EntryLayout& layout,
                                                 const std::string& password,
                                                 const std::string& alternative) {
  if (ZipEntryDecoder::takes(layout)) {
    return ZipEntryDecoder::open(std::unique_ptr<const ArchiveBytes>(new FileBytes(fd)), layout,
                                 password, alternative);
  }
  return LibarchiveDecoder::open(fd, layout, password, alternative);
}
