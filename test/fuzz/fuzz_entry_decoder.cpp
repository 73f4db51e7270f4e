// Decodes every entry of the input that Parvox's own decoder takes (crafted
// local headers, WinZip AES framing, deflate streams), with the password the
// seeds use and without: whatever the input, no more data than an entry
// declares is handed out, and an entry that ends whole has its declared size
// and, where it is checked, its CRC. Then every entry again through the
// reader's pull API (open_stream and next_piece), decoded ahead on a worker
// and not: it hands out no more than the entry declares, ends only at that
// size, and a failure stays a failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/read/archive_reader.h"
#include "archive/read/central_directory.h"
#include "archive/read/zip_entry_decoder.h"
#include "archive/zip_format.h"

namespace {

void decode(const MemoryBytes& bytes, const EntryLayout& layout,
            const std::string& password) {
  std::unique_ptr<ZipEntryDecoder> decoder = ZipEntryDecoder::open(
      std::unique_ptr<const ArchiveBytes>(new MemoryBytes(bytes)), layout, password, "Secret");
  decoder->open_entry();
  int64_t produced = 0;
  uint32_t crc = 0;
  for (;;) {
    const char* data;
    size_t size;
    const ReadStatus status = decoder->read_chunk(&data, &size);
    if (status == ReadStatus::failed) return;
    if (status == ReadStatus::end) break;
    produced += static_cast<int64_t>(size);
    if (produced > layout.size) std::abort();
    crc = zip_format::crc32(crc, data, size);
  }
  const bool ae2 = layout.method == 99 && layout.aes_field.size() > 0 && layout.aes_field[0] == 2;
  if (produced != layout.size || (!ae2 && crc != layout.crc)) std::abort();
}

void pull(ArchiveReader& reader, const std::string& name, bool decode_ahead) {
  std::unique_ptr<EntryStream> stream = reader.open_stream(name, decode_ahead);
  if (!stream) return;
  int64_t produced = 0;
  for (;;) {
    const char* data;
    size_t size;
    bool ended;
    if (!reader.next_piece(*stream, &data, &size, &ended)) {
      if (reader.next_piece(*stream, &data, &size, &ended)) std::abort();
      return;
    }
    if (ended) break;
    produced += static_cast<int64_t>(size);
    if (produced > stream->size()) std::abort();
  }
  if (produced != stream->size()) std::abort();
}

void pull_every_entry(const uint8_t* data, size_t size, const CentralDirectory& directory) {
  std::string reason;
  failures::Kind kind;
  std::unique_ptr<ArchiveReader> reader = ArchiveReader::load(
      std::unique_ptr<ArchiveBytes>(new MemoryBytes(reinterpret_cast<const char*>(data), size)),
      "the input", "secret", "", &reason, &kind);
  if (!reader) return;
  for (const DirectoryEntry& entry : directory.entries()) {
    if (!entry.info.name_ok) continue;
    pull(*reader, entry.info.name, false);
    pull(*reader, entry.info.name, true);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const MemoryBytes bytes(reinterpret_cast<const char*>(data), size);
  DirectoryLocation location;
  std::string reason;
  failures::Kind kind;
  if (!CentralDirectory::locate(bytes, &location, &reason, &kind)) return 0;
  std::unique_ptr<CentralDirectory> directory =
      CentralDirectory::read(bytes, location, &reason, &kind);
  if (!directory) return 0;
  for (const DirectoryEntry& entry : directory->entries()) {
    EntrySpan span;
    if (!CentralDirectory::locate_entry(bytes, entry, &span, &reason) ||
        !ZipEntryDecoder::takes(span.layout)) {
      continue;
    }
    decode(bytes, span.layout, "secret");
    if (entry.info.is_encrypted) decode(bytes, span.layout, "");
  }
  pull_every_entry(data, size, *directory);
  return 0;
}
