#include "archive/read/central_directory.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "archive/entry_time.h"
#include "archive/zip_format.h"
#include "archive/names.h"
#include "archive/unix_mode.h"
#include "archive/utf8.h"
#include "fsutil/file.h"

namespace {

using namespace zip_format;

// A 64-bit value from the archive as a file offset or size.
bool fits(uint64_t value) {
  return value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
}

// The end record: the last signature with room for itself and its comment.
bool find_end_record(const ArchiveBytes& bytes, int64_t* at, std::string* record) {
  const int64_t tail = std::min<int64_t>(bytes.size(), kEndRecordSize + kMaxCommentSize);
  if (tail < static_cast<int64_t>(kEndRecordSize)) return false;
  std::string data(static_cast<size_t>(tail), '\0');
  if (!bytes.read(bytes.size() - tail, data.size(), &data[0])) return false;
  for (size_t i = data.size() - kEndRecordSize + 1; i-- > 0;) {
    if (!has_signature(&data[i], kEndRecordSignature)) continue;
    if (i + kEndRecordSize + le16(&data[i + 20]) > data.size()) continue;
    *at = bytes.size() - tail + static_cast<int64_t>(i);
    *record = data.substr(i, kEndRecordSize);
    return true;
  }
  return false;
}

// The ZIP64 end record the locator before the end record leads to. Like
// zipfile, it is looked for right before the locator first (where a prefix
// does not move it), then where the locator says.
bool read_zip64_end_record(const ArchiveBytes& bytes, int64_t locator_at, int64_t* at,
                           std::string* record) {
  std::string locator(kZip64LocatorSize, '\0');
  if (!bytes.read(locator_at, locator.size(), &locator[0])) return false;
  record->assign(kZip64EndRecordSize, '\0');
  const int64_t before_locator = locator_at - static_cast<int64_t>(kZip64EndRecordSize);
  const uint64_t stated = le64(&locator[8]);
  for (int64_t candidate : {before_locator, fits(stated) ? static_cast<int64_t>(stated) : -1}) {
    if (candidate >= 0 && bytes.read(candidate, record->size(), &(*record)[0]) &&
        has_signature(record->data(), kZip64EndRecordSignature)) {
      *at = candidate;
      return true;
    }
  }
  return false;
}

// Whether the end record leaves a value to a ZIP64 end record, by the all-ones
// marker in its place.
bool defers_to_zip64(const std::string& end) {
  return le16(&end[10]) == kMax16 || le32(&end[12]) == kMax32 || le32(&end[16]) == kMax32;
}

}  // namespace

bool CentralDirectory::locate(const ArchiveBytes& bytes, DirectoryLocation* location,
                              std::string* reason, failures::Kind* kind) {
  int64_t end_at = 0;
  std::string end;
  reason->clear();
  *kind = failures::Kind::not_archive;
  if (!find_end_record(bytes, &end_at, &end)) return false;
  if (le16(&end[4]) != 0 || le16(&end[6]) != 0 || le16(&end[8]) != le16(&end[10])) {
    *reason = "it is one part of an archive split over several disks";
    *kind = failures::Kind::unsupported;
    return false;
  }
  uint64_t count = le16(&end[10]);
  uint64_t size = le32(&end[12]);
  uint64_t offset = le32(&end[16]);
  // Where the directory ends: the first end record after it.
  int64_t directory_end = end_at;
  const int64_t locator_at = end_at - static_cast<int64_t>(kZip64LocatorSize);
  std::string locator(4, '\0');
  if (locator_at >= 0 && bytes.read(locator_at, 4, &locator[0]) &&
      has_signature(locator.data(), kZip64LocatorSignature)) {
    // Without a ZIP64 end record, a locator signature whose end record needs
    // none is the directory's own bytes (a comment, say), as zipfile takes it.
    std::string record;
    if (read_zip64_end_record(bytes, locator_at, &directory_end, &record)) {
      if (le32(&record[16]) != 0 || le32(&record[20]) != 0 ||
          le64(&record[24]) != le64(&record[32])) {
        *reason = "it is one part of an archive split over several disks";
        *kind = failures::Kind::unsupported;
        return false;
      }
      count = le64(&record[32]);
      size = le64(&record[40]);
      offset = le64(&record[48]);
    } else if (defers_to_zip64(end)) {
      *reason = "its ZIP64 locator leads to no ZIP64 end record";
      return false;
    }
  }
  if (!fits(size) || !fits(offset) || static_cast<int64_t>(size) > directory_end ||
      static_cast<int64_t>(offset) > directory_end - static_cast<int64_t>(size)) {
    *reason = "its end record places the central directory outside the file";
    return false;
  }
  if (count > size / kCentralRecordSize) {
    *reason = "its end record declares more entries than its central directory can hold";
    return false;
  }
  location->size = static_cast<int64_t>(size);
  location->start = directory_end - location->size;
  location->prefix = location->start - static_cast<int64_t>(offset);
  location->declared_count = static_cast<int64_t>(count);
  location->count_is_16_bits = directory_end == end_at;
  location->comment_at = end_at + static_cast<int64_t>(kEndRecordSize);
  location->comment_size = le16(&end[20]);
  return true;
}

// ---- the records ------------------------------------------------------------

namespace {

// ZIP64 values replace the 32-bit ones that are all ones, in the order
// uncompressed size, compressed size, local header offset (which a local
// header has not: `offset` null).
bool apply_zip64_field(const std::string& extra, uint64_t* size, uint64_t* compressed,
                       uint64_t* offset) {
  uint64_t no_offset = 0;
  if (!offset) offset = &no_offset;
  if (*size != kMax32 && *compressed != kMax32 && *offset != kMax32) return true;
  std::string field;
  if (!find_extra_field(extra, kZip64Field, &field)) return false;
  size_t at = 0;
  for (uint64_t* value : {size, compressed, offset}) {
    if (*value != kMax32) continue;
    if (at + 8 > field.size()) return false;
    *value = le64(&field[at]);
    at += 8;
  }
  return true;
}

// A folder is what the name says (a trailing '/'), or what the attributes say
// of an entry that declares no data: data is never dropped for an attribute.
// (Compressed bytes of an entry declaring none could only ever be refused as
// more than it declared.)
bool is_folder_record(const std::string& name, uint16_t made_by, uint32_t attributes,
                      uint64_t size) {
  if (!name.empty() && name.back() == '/') return true;
  if (size != 0) return false;
  const int system = made_by >> 8;
  if (system == unix_mode::kMadeOnUnix) {
    return (unix_mode::of_attributes(attributes) & unix_mode::kTypeBits) == unix_mode::kFolder;
  }
  return system == 0 && (attributes & 0x10) != 0;                     // MS-DOS
}

// The modification time a record gives its entry.
int64_t recorded_time(const char* record, const std::string& extra) {
  std::string extended_timestamp, ntfs;
  find_extra_field(extra, kExtendedTimestampField, &extended_timestamp);
  find_extra_field(extra, kNtfsField, &ntfs);
  DosTime dos;
  dos.time = le16(record + 12);
  dos.date = le16(record + 14);
  return entry_time::recorded_time(extended_timestamp, ntfs, dos);
}

bool holds_nul(const std::string& text) { return text.find('\0') != std::string::npos; }

std::string record_reason(size_t index, const char* what) {
  return "its central directory record " + std::to_string(index + 1) + " " + what;
}

}  // namespace

ChosenName CentralDirectory::choose_name(const std::string& stored, uint16_t flags,
                                         const std::string& extra) {
  std::string field;
  if (find_extra_field(extra, kUnicodePathField, &field) && field.size() >= 5 && field[0] == 1 &&
      le32(&field[1]) == zip_format::crc32(stored)) {
    return {field.substr(5), true};
  }
  const bool non_ascii = std::any_of(stored.begin(), stored.end(),
                                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  const bool is_utf8 = (flags & kFlagUtf8) != 0 || (non_ascii && utf8::is_valid(stored));
  return {stored, is_utf8};
}

std::unique_ptr<CentralDirectory> CentralDirectory::read(const ArchiveBytes& bytes,
                                                         const DirectoryLocation& location,
                                                         std::string* reason,
                                                         failures::Kind* kind) {
  std::unique_ptr<CentralDirectory> directory(new CentralDirectory);
  std::string records(static_cast<size_t>(location.size), '\0');
  std::string comment(location.comment_size, '\0');
  if (!bytes.read(location.start, records.size(), &records[0]) ||
      (!comment.empty() && !bytes.read(location.comment_at, comment.size(), &comment[0]))) {
    *reason = "its central directory cannot be read";
    *kind = failures::Kind::read_failed;
    return nullptr;
  }
  directory->comment_ = names::text_of_comment(comment);
  // Every other refusal is a directory that contradicts itself or the file.
  *kind = failures::Kind::not_archive;
  directory->entries_.reserve(static_cast<size_t>(location.declared_count));
  size_t at = 0;
  while (at < records.size()) {
    const size_t index = directory->entries_.size();
    const char* r = &records[at];
    if (records.size() - at < kCentralRecordSize || !has_signature(r, kCentralRecordSignature)) {
      *reason = record_reason(index, "is damaged");
      return nullptr;
    }
    const size_t name_size = le16(r + 28), extra_size = le16(r + 30), comment_size = le16(r + 32);
    if (records.size() - at - kCentralRecordSize < name_size + extra_size + comment_size) {
      *reason = record_reason(index, "runs past the directory's end");
      return nullptr;
    }
    DirectoryEntry entry;
    entry.stored_name.assign(r + kCentralRecordSize, name_size);
    const std::string extra(r + kCentralRecordSize + name_size, extra_size);
    entry.record_at = location.start + static_cast<int64_t>(at);
    entry.record_size = kCentralRecordSize + name_size + extra_size + comment_size;
    if (comment_size > 0) {
      entry.comment = names::text_of_comment(
          std::string(r + kCentralRecordSize + name_size + extra_size, comment_size));
    }
    entry.flags = le16(r + 8);
    entry.method = le16(r + 10);
    entry.crc = le32(r + 16);
    uint64_t compressed = le32(r + 20), size = le32(r + 24), offset = le32(r + 42);
    if (!apply_zip64_field(extra, &size, &compressed, &offset) || !fits(size) ||
        !fits(compressed) || !fits(offset)) {
      *reason = record_reason(index, "has a damaged ZIP64 field");
      return nullptr;
    }
    entry.compressed_size = static_cast<int64_t>(compressed);
    entry.local_header = static_cast<int64_t>(offset) + location.prefix;
    if (static_cast<int64_t>(offset) >
        bytes.size() - location.prefix - static_cast<int64_t>(kLocalHeaderSize)) {
      *reason = record_reason(index, "places its entry outside the file");
      return nullptr;
    }
    const ChosenName chosen = choose_name(entry.stored_name, entry.flags, extra);
    // The system would end a name at a NUL: "a\0/../x" would be "a", "..", "x".
    entry.name_holds_nul = holds_nul(entry.stored_name) || holds_nul(chosen.text);
    entry.name_is_utf8 = chosen.is_utf8;
    std::string* name = &entry.info.name;
    entry.info.name_ok = !entry.name_holds_nul &&
                         (chosen.is_utf8 ? names::text_of_utf8(chosen.text, name)
                                         : names::text_of_legacy(chosen.text, name));
    if (!entry.info.name_ok) entry.info.name.clear();
    entry.info.size = static_cast<int64_t>(size);
    entry.info.is_folder =
        is_folder_record(entry.stored_name, le16(r + 4), le32(r + 38), size);
    entry.info.is_encrypted = (entry.flags & kFlagEncrypted) != 0;
    entry.info.mtime = recorded_time(r, extra);
    entry.info.made_on_unix = (le16(r + 4) >> 8) == unix_mode::kMadeOnUnix;
    entry.info.unix_mode = unix_mode::of_attributes(le32(r + 38));
    if (entry.method == kMethodWinZipAes) find_extra_field(extra, kWinZipAesField, &entry.aes_field);
    directory->entries_.push_back(std::move(entry));
    at += kCentralRecordSize + name_size + extra_size + comment_size;
  }
  const int64_t held = static_cast<int64_t>(directory->entries_.size());
  const bool wrapped = location.count_is_16_bits && (held & 0xFFFF) == location.declared_count;
  if (held != location.declared_count && !wrapped) {
    *reason = "its central directory holds " + std::to_string(directory->entries_.size()) +
              " entries where its end record declares " + std::to_string(location.declared_count);
    return nullptr;
  }
  std::stable_sort(directory->entries_.begin(), directory->entries_.end(),
                   [](const DirectoryEntry& a, const DirectoryEntry& b) {
                     return a.local_header < b.local_header;
                   });
  for (size_t i = 0; i < directory->entries_.size(); ++i) {
    DirectoryEntry& entry = directory->entries_[i];
    entry.info.position = i;
    directory->names_.add(entry.info, static_cast<int64_t>(i));
  }
  return directory;
}

size_t CentralDirectory::memory_size() const {
  size_t total = sizeof(*this) + names_.memory_size() +
                 entries_.capacity() * sizeof(DirectoryEntry) + comment_.capacity();
  for (const DirectoryEntry& entry : entries_) {
    total += entry.info.name.capacity() + entry.stored_name.capacity() +
             entry.aes_field.capacity() + entry.comment.capacity();
  }
  return total;
}

namespace {

// What a local header says otherwise than its entry's record ("method",
// "encryption", "CRC", "sizes"), or null when they agree. With a data
// descriptor following, the descriptor holds CRC and sizes instead.
const char* local_disagreement(const DirectoryEntry& entry, const char* header,
                               const std::string& extra) {
  const uint16_t flags = le16(header + 6);
  if (le16(header + 8) != entry.method) return "method";
  if ((flags ^ entry.flags) & (kFlagEncrypted | kFlagStrongEncryption)) return "encryption";
  std::string aes_field;
  if (entry.method == kMethodWinZipAes &&
      (!find_extra_field(extra, kWinZipAesField, &aes_field) || aes_field != entry.aes_field)) {
    return "encryption";
  }
  if (flags & kFlagDescriptor) return nullptr;
  if (le32(header + 14) != entry.crc) return "CRC";
  uint64_t compressed = le32(header + 18), size = le32(header + 22);
  if (!apply_zip64_field(extra, &size, &compressed, nullptr) ||
      compressed != static_cast<uint64_t>(entry.compressed_size) ||
      size != static_cast<uint64_t>(entry.info.size)) {
    return "sizes";
  }
  return nullptr;
}

// The length of the data descriptor at `at` when it repeats the entry's CRC
// and sizes, in any of its forms (with or without its signature, sizes of 4
// or 8 bytes); 0 when it does not.
int64_t matching_descriptor(const ArchiveBytes& bytes, int64_t at, const DirectoryEntry& entry) {
  char descriptor[kMaxDescriptorSize];
  const int64_t available = std::min<int64_t>(kMaxDescriptorSize, bytes.size() - at);
  if (available < 12 || !bytes.read(at, static_cast<size_t>(available), descriptor)) return 0;
  for (int64_t signature : {4, 0}) {
    if (signature && !has_signature(descriptor, kDataDescriptorSignature)) continue;
    for (int64_t width : {4, 8}) {
      const int64_t length = signature + 4 + 2 * width;
      if (length > available) continue;
      const char* p = descriptor + signature;
      const uint64_t compressed = width == 4 ? le32(p + 4) : le64(p + 4);
      const uint64_t size = width == 4 ? le32(p + 8) : le64(p + 12);
      if (le32(p) == entry.crc && compressed == static_cast<uint64_t>(entry.compressed_size) &&
          size == static_cast<uint64_t>(entry.info.size)) {
        return length;
      }
    }
  }
  return 0;
}

}  // namespace

bool CentralDirectory::locate_entry(const ArchiveBytes& bytes, const DirectoryEntry& entry,
                                    EntrySpan* span, std::string* reason) {
  char header[kLocalHeaderSize];
  if (!bytes.read(entry.local_header, sizeof header, header) ||
      !has_signature(header, kLocalHeaderSignature)) {
    *reason = "its local header is missing";
    return false;
  }
  const size_t name_size = le16(header + 26), extra_size = le16(header + 28);
  const int64_t name_at = entry.local_header + static_cast<int64_t>(sizeof header);
  std::string name(name_size, '\0');
  if (!bytes.read(name_at, name_size, &name[0]) || name != entry.stored_name) {
    *reason = "its local header names another entry";
    return false;
  }
  const int64_t extra_at = name_at + static_cast<int64_t>(name_size);
  const int64_t data = extra_at + static_cast<int64_t>(extra_size);
  std::string extra(extra_size, '\0');
  const bool whole = bytes.read(extra_at, extra_size, &extra[0]);
  if (const char* what = whole ? local_disagreement(entry, header, extra) : nullptr) {
    *reason = std::string("its local header disagrees with the central directory (") + what + ")";
    return false;
  }
  if (!whole || data > bytes.size() || entry.compressed_size > bytes.size() - data) {
    *reason = "its data runs past the end of the archive";
    return false;
  }
  const uint16_t flags = le16(header + 6);
  int64_t end = data + entry.compressed_size;
  if (flags & kFlagDescriptor) {
    const int64_t descriptor = matching_descriptor(bytes, end, entry);
    if (descriptor == 0) {
      *reason = "its data descriptor disagrees with the central directory";
      return false;
    }
    end += descriptor;
  }
  span->begin = entry.local_header;
  span->end = end;
  EntryLayout& layout = span->layout;
  layout.flags = flags;
  layout.method = entry.method;
  layout.dos_time = le32(header + 10);
  layout.crc = entry.crc;
  layout.compressed_size = entry.compressed_size;
  layout.size = entry.info.size;
  layout.aes_field = entry.aes_field;
  layout.data = data;
  return true;
}
