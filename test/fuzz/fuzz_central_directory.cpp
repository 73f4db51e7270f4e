// Reads the input's central directory with Parvox's own reader, checks every
// entry's local header against it, and looks every name up again: whatever
// the input, everything answered lies within it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/read/central_directory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const MemoryBytes bytes(reinterpret_cast<const char*>(data), size);
  DirectoryLocation location;
  std::string reason;
  if (!CentralDirectory::locate(bytes, &location, &reason)) return 0;
  if (location.start < 0 || location.start + location.size > bytes.size()) std::abort();
  std::unique_ptr<CentralDirectory> directory = CentralDirectory::read(bytes, location, &reason);
  if (!directory) return 0;
  for (const DirectoryEntry& entry : directory->entries()) {
    EntrySpan span;
    if (CentralDirectory::locate_entry(bytes, entry, &span, &reason) &&
        (span.begin < 0 || span.begin > span.end || span.end > bytes.size())) {
      std::abort();
    }
    const int64_t found = entry.info.name_ok ? directory->find(entry.info.name) : 0;
    if (found < 0 || found > static_cast<int64_t>(entry.info.position)) std::abort();
  }
  return 0;
}
