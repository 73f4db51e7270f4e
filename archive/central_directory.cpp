#include "archive/central_directory.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "archive/entry_time.h"
#include "archive/stored_name.h"
#include "archive/unix_mode.h"
#include "archive/utf8.h"
#include "fsutil/file.h"

namespace {

constexpr size_t kEndRecordSize = 22;
constexpr size_t kMaxCommentSize = 0xFFFF;
constexpr size_t kLocatorSize = 20;
constexpr size_t kZip64EndRecordSize = 56;
constexpr size_t kRecordSize = 46;
constexpr size_t kLocalHeaderSize = 30;
// A data descriptor: signature, CRC and two 8-byte sizes at most.
constexpr int64_t kMaxDescriptorSize = 24;

constexpr uint16_t kFlagEncrypted = 1 << 0;
constexpr uint16_t kFlagDescriptor = 1 << 3;
constexpr uint16_t kFlagUtf8 = 1 << 11;
constexpr uint16_t kZip64Field = 0x0001;
constexpr uint16_t kUnicodePathField = 0x7075;
constexpr uint32_t kMax32 = 0xFFFFFFFF;

uint16_t le16(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

uint32_t le32(const char* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }

uint64_t le64(const char* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }

bool has_signature(const char* p, char third, char fourth) {
  return p[0] == 'P' && p[1] == 'K' && p[2] == third && p[3] == fourth;
}

// A 64-bit value from the archive as a file offset or size.
bool fits(uint64_t value) {
  return value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
}

// The extra fields of a record or local header, one at a time.
class ExtraFields {
 public:
  explicit ExtraFields(const std::string& extra) : extra_(extra) {}
  // The data of the first field with `id`; false when there is none.
  bool find(uint16_t id, std::string* data) const {
    size_t at = 0;
    while (at + 4 <= extra_.size()) {
      const uint16_t field = le16(&extra_[at]);
      const size_t length = le16(&extra_[at + 2]);
      if (at + 4 + length > extra_.size()) return false;
      if (field == id) {
        *data = extra_.substr(at + 4, length);
        return true;
      }
      at += 4 + length;
    }
    return false;
  }

 private:
  const std::string& extra_;
};

// The end record: the last signature with room for itself and its comment.
bool find_end_record(const ArchiveBytes& bytes, int64_t* at, std::string* record) {
  const int64_t tail = std::min<int64_t>(bytes.size(), kEndRecordSize + kMaxCommentSize);
  if (tail < static_cast<int64_t>(kEndRecordSize)) return false;
  std::string data(static_cast<size_t>(tail), '\0');
  if (!bytes.read(bytes.size() - tail, data.size(), &data[0])) return false;
  for (size_t i = data.size() - kEndRecordSize + 1; i-- > 0;) {
    if (!has_signature(&data[i], 5, 6)) continue;
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
                           std::string* record, std::string* reason) {
  std::string locator(kLocatorSize, '\0');
  if (!bytes.read(locator_at, locator.size(), &locator[0])) return false;
  record->assign(kZip64EndRecordSize, '\0');
  const int64_t before_locator = locator_at - static_cast<int64_t>(kZip64EndRecordSize);
  const uint64_t stated = le64(&locator[8]);
  for (int64_t candidate : {before_locator, fits(stated) ? static_cast<int64_t>(stated) : -1}) {
    if (candidate >= 0 && bytes.read(candidate, record->size(), &(*record)[0]) &&
        has_signature(record->data(), 6, 6)) {
      *at = candidate;
      return true;
    }
  }
  *reason = "its ZIP64 locator leads to no ZIP64 end record";
  return false;
}

}  // namespace

FileBytes::FileBytes(int fd) : fd_(fd), size_(fsutil::file_size(fd)) {}

bool FileBytes::read(int64_t offset, size_t n, char* out) const {
  if (offset < 0 || offset > size_ || static_cast<uint64_t>(size_ - offset) < n) return false;
  size_t done = 0;
  while (done < n) {
    const long long got =
        fsutil::read_at(fd_, out + done, n - done, offset + static_cast<int64_t>(done));
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool MemoryBytes::read(int64_t offset, size_t n, char* out) const {
  if (offset < 0 || static_cast<uint64_t>(offset) > size_ ||
      size_ - static_cast<size_t>(offset) < n) {
    return false;
  }
  if (n > 0) std::memcpy(out, data_ + offset, n);
  return true;
}

bool locate_central_directory(const ArchiveBytes& bytes, DirectoryLocation* location,
                              std::string* reason) {
  int64_t end_at = 0;
  std::string end;
  reason->clear();
  if (!find_end_record(bytes, &end_at, &end)) return false;
  if (le16(&end[4]) != 0 || le16(&end[6]) != 0 || le16(&end[8]) != le16(&end[10])) {
    *reason = "it is one part of an archive split over several disks";
    return false;
  }
  uint64_t count = le16(&end[10]);
  uint64_t size = le32(&end[12]);
  uint64_t offset = le32(&end[16]);
  // Where the directory ends: the first end record after it.
  int64_t directory_end = end_at;
  const int64_t locator_at = end_at - static_cast<int64_t>(kLocatorSize);
  std::string locator(4, '\0');
  if (locator_at >= 0 && bytes.read(locator_at, 4, &locator[0]) &&
      has_signature(locator.data(), 6, 7)) {
    std::string record;
    if (!read_zip64_end_record(bytes, locator_at, &directory_end, &record, reason)) return false;
    if (le32(&record[16]) != 0 || le32(&record[20]) != 0 ||
        le64(&record[24]) != le64(&record[32])) {
      *reason = "it is one part of an archive split over several disks";
      return false;
    }
    count = le64(&record[32]);
    size = le64(&record[40]);
    offset = le64(&record[48]);
  }
  if (!fits(size) || !fits(offset) || static_cast<int64_t>(size) > directory_end ||
      static_cast<int64_t>(offset) > directory_end - static_cast<int64_t>(size)) {
    *reason = "its end record places the central directory outside the file";
    return false;
  }
  if (count > size / kRecordSize) {
    *reason = "its end record declares more entries than its central directory can hold";
    return false;
  }
  location->size = static_cast<int64_t>(size);
  location->start = directory_end - location->size;
  location->prefix = location->start - static_cast<int64_t>(offset);
  location->declared_count = static_cast<int64_t>(count);
  location->count_is_16_bits = directory_end == end_at;
  return true;
}

// ---- the records ------------------------------------------------------------

namespace {

// ZIP64 values replace the record's 32-bit ones that are all ones, in the
// order uncompressed size, compressed size, local header offset.
bool apply_zip64_field(const std::string& extra, uint64_t* size, uint64_t* compressed,
                       uint64_t* offset) {
  if (*size != kMax32 && *compressed != kMax32 && *offset != kMax32) return true;
  std::string field;
  if (!ExtraFields(extra).find(kZip64Field, &field)) return false;
  size_t at = 0;
  for (uint64_t* value : {size, compressed, offset}) {
    if (*value != kMax32) continue;
    if (at + 8 > field.size()) return false;
    *value = le64(&field[at]);
    at += 8;
  }
  return true;
}

bool is_folder_record(const std::string& name, uint16_t made_by, uint32_t attributes) {
  if (!name.empty() && name.back() == '/') return true;
  const int system = made_by >> 8;
  if (system == unix_mode::kMadeOnUnix) {
    return (unix_mode::of_attributes(attributes) & unix_mode::kTypeBits) == unix_mode::kFolder;
  }
  return system == 0 && (attributes & 0x10) != 0;                     // MS-DOS
}

// The modification time a record gives its entry.
int64_t recorded_time(const char* record, const std::string& extra) {
  std::string extended_timestamp, ntfs;
  const ExtraFields fields(extra);
  fields.find(entry_time::kExtendedTimestampField, &extended_timestamp);
  fields.find(entry_time::kNtfsField, &ntfs);
  entry_time::DosTime dos;
  dos.time = le16(record + 12);
  dos.date = le16(record + 14);
  return entry_time::recorded_time(extended_timestamp, ntfs, dos);
}

std::string record_reason(size_t index, const char* what) {
  return "its central directory record " + std::to_string(index + 1) + " " + what;
}

}  // namespace

uint32_t crc32_of(const std::string& bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> entries{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entries[i] = c;
    }
    return entries;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

ChosenName choose_name(const std::string& stored, uint16_t flags, const std::string& extra) {
  std::string field;
  if (ExtraFields(extra).find(kUnicodePathField, &field) && field.size() >= 5 && field[0] == 1 &&
      le32(&field[1]) == crc32_of(stored)) {
    return {field.substr(5), true};
  }
  const bool non_ascii = std::any_of(stored.begin(), stored.end(),
                                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  const bool is_utf8 = (flags & kFlagUtf8) != 0 || (non_ascii && is_valid_utf8(stored));
  return {stored, is_utf8};
}

std::unique_ptr<CentralDirectory> CentralDirectory::read(const ArchiveBytes& bytes,
                                                         const DirectoryLocation& location,
                                                         std::string* reason) {
  std::string records(static_cast<size_t>(location.size), '\0');
  if (!bytes.read(location.start, records.size(), &records[0])) {
    *reason = "its central directory cannot be read";
    return nullptr;
  }
  std::unique_ptr<CentralDirectory> directory(new CentralDirectory);
  directory->entries_.reserve(static_cast<size_t>(location.declared_count));
  const StoredNameDecoder decoder;
  size_t at = 0;
  while (at < records.size()) {
    const size_t index = directory->entries_.size();
    const char* r = &records[at];
    if (records.size() - at < kRecordSize || !has_signature(r, 1, 2)) {
      *reason = record_reason(index, "is damaged");
      return nullptr;
    }
    const size_t name_size = le16(r + 28), extra_size = le16(r + 30), comment_size = le16(r + 32);
    if (records.size() - at - kRecordSize < name_size + extra_size + comment_size) {
      *reason = record_reason(index, "runs past the directory's end");
      return nullptr;
    }
    DirectoryEntry entry;
    entry.stored_name.assign(r + kRecordSize, name_size);
    const std::string extra(r + kRecordSize + name_size, extra_size);
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
    entry.info.name_ok = chosen.is_utf8 ? decoder.from_utf8(chosen.text, &entry.info.name)
                                        : decoder.from_legacy(chosen.text, &entry.info.name);
    entry.info.size = static_cast<int64_t>(size);
    entry.info.is_folder = is_folder_record(entry.stored_name, le16(r + 4), le32(r + 38));
    entry.info.is_encrypted = (entry.flags & kFlagEncrypted) != 0;
    entry.info.mtime = recorded_time(r, extra);
    entry.info.made_on_unix = (le16(r + 4) >> 8) == unix_mode::kMadeOnUnix;
    entry.info.unix_mode = unix_mode::of_attributes(le32(r + 38));
    directory->entries_.push_back(std::move(entry));
    at += kRecordSize + name_size + extra_size + comment_size;
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
  size_t total =
      sizeof(*this) + names_.memory_size() + entries_.capacity() * sizeof(DirectoryEntry);
  for (const DirectoryEntry& entry : entries_) {
    total += entry.info.name.capacity() + entry.stored_name.capacity();
  }
  return total;
}

bool CentralDirectory::locate_entry(const ArchiveBytes& bytes, const DirectoryEntry& entry,
                                    EntrySpan* span, std::string* reason) {
  char header[kLocalHeaderSize];
  if (!bytes.read(entry.local_header, sizeof header, header) || !has_signature(header, 3, 4)) {
    *reason = "its local header is missing";
    return false;
  }
  const size_t name_size = le16(header + 26), extra_size = le16(header + 28);
  std::string name(name_size, '\0');
  if (!bytes.read(entry.local_header + static_cast<int64_t>(sizeof header), name_size, &name[0]) ||
      name != entry.stored_name) {
    *reason = "its local header names another entry";
    return false;
  }
  // Without a data descriptor the local header repeats CRC and sizes (ZIP64
  // ones as all ones, given in its extra field).
  const uint32_t compressed = le32(header + 18), size = le32(header + 22);
  const bool repeats =
      (entry.flags & kFlagDescriptor) != 0 ||
      (le32(header + 14) == entry.crc &&
       (compressed == kMax32 || compressed == static_cast<uint64_t>(entry.compressed_size)) &&
       (size == kMax32 || size == static_cast<uint64_t>(entry.info.size)));
  if (!repeats) {
    *reason = "its local header disagrees with the central directory";
    return false;
  }
  const int64_t data =
      entry.local_header + static_cast<int64_t>(sizeof header + name_size + extra_size);
  if (data > bytes.size() || entry.compressed_size > bytes.size() - data) {
    *reason = "its data runs past the end of the archive";
    return false;
  }
  span->begin = entry.local_header;
  span->end = std::min(bytes.size(), data + entry.compressed_size + kMaxDescriptorSize);
  return true;
}
