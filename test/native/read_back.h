// Every entry of a zip file as Parvox's reader sees it, in archive order: the
// central directory read by our own reader, each entry's data decoded by
// libarchive from its local header on. Used to check what the writer wrote.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "archive/read/central_directory.h"
#include "archive/read/libarchive_decoder.h"
#include "fsutil/file.h"

namespace read_back {

// Name and data of each entry; a folder's data is empty.
using Entries = std::vector<std::pair<std::string, std::string>>;

// False, with `*why`, when anything in the archive cannot be read whole.
inline bool read_all(const std::string& path, const std::string& password, Entries* entries,
                     std::string* why) {
  fsutil::File file = fsutil::File::open_for_reading(path);
  failures::Kind kind;
  FileBytes bytes(file.fd());
  DirectoryLocation location;
  if (!CentralDirectory::locate(bytes, &location, why, &kind)) return false;
  std::unique_ptr<CentralDirectory> directory =
      CentralDirectory::read(bytes, location, why, &kind);
  if (!directory) return false;
  for (const DirectoryEntry& entry : directory->entries()) {
    std::string data;
    EntrySpan span;
    if (!entry.info.is_folder) {
      if (!CentralDirectory::locate_entry(bytes, entry, &span, why)) return false;
      auto reader = LibarchiveDecoder::open(bytes, span.layout, password, "");
      if (!reader || !reader->open_entry()) {
        *why = entry.info.name + " does not open" + (reader ? ": " + reader->failure_detail() : "");
        return false;
      }
      const char* chunk;
      size_t size;
      ReadStatus status;
      while ((status = reader->read_chunk(&chunk, &size)) == ReadStatus::data) {
        data.append(chunk, size);
      }
      if (status != ReadStatus::end) {
        *why = entry.info.name + ": " + reader->failure_detail();
        return false;
      }
    }
    if (entry.info.size != static_cast<int64_t>(data.size())) {
      *why = entry.info.name + " is not the size its record declares";
      return false;
    }
    entries->emplace_back(entry.info.name, std::move(data));
  }
  return true;
}

}  // namespace read_back
