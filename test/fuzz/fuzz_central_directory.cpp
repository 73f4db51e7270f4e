// Reads the input's central directory with Parvox's own reader, checks every
// entry's local header against it, looks every name up again and decodes
// entries' data, all from memory as an archive given in a StringIO is read:
// whatever the input, everything answered lies within it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/read/central_directory.h"
#include "archive/read/entry_decoder.h"

namespace {

// Decodes at most this much of an entry: enough to reach its checks, not so
// much that an input that inflates far slows the fuzzer down.
constexpr size_t kDecodedBound = 1 << 20;

void decode(const ArchiveBytes& bytes, const EntrySpan& span) {
  std::unique_ptr<EntryDecoder> reader = open_entry_decoder(bytes, span.layout, "password", "");
  if (!reader || !reader->open_entry()) return;
  const char* chunk = nullptr;
  size_t size = 0;
  for (size_t decoded = 0; decoded < kDecodedBound; decoded += size) {
    if (reader->read_chunk(&chunk, &size) != ReadStatus::data) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const MemoryBytes bytes(reinterpret_cast<const char*>(data), size);
  DirectoryLocation location;
  std::string reason;
  failures::Kind kind;
  if (!CentralDirectory::locate(bytes, &location, &reason, &kind)) return 0;
  if (location.start < 0 || location.start + location.size > bytes.size()) std::abort();
  std::unique_ptr<CentralDirectory> directory =
      CentralDirectory::read(bytes, location, &reason, &kind);
  if (!directory) return 0;
  for (const DirectoryEntry& entry : directory->entries()) {
    EntrySpan span;
    if (CentralDirectory::locate_entry(bytes, entry, &span, &reason)) {
      if (span.begin < 0 || span.begin > span.end || span.end > bytes.size()) std::abort();
      if (!entry.info.is_folder) decode(bytes, span);
    }
    const int64_t found = entry.info.name_ok ? directory->find(entry.info.name) : 0;
    if (found < 0 || found > static_cast<int64_t>(entry.info.position)) std::abort();
  }
  return 0;
}
