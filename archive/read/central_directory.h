// The central directory of a zip archive, read by Parvox itself: every entry's
// name and where its local header is, so that one entry can be read without
// walking the others.
//
// The directory is input like any other: every offset and length is checked
// against the file before it is used, and a directory that contradicts itself
// (counts that disagree with the records, a ZIP64 locator leading nowhere,
// local headers outside the file) is refused with a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/failures.h"
#include "archive/read/archive_bytes.h"
#include "archive/read/entry_index.h"

// What the directory says of an entry, as Parvox reports it.
struct EntryInfo {
  // As text (see archive/names.h and choose_name).
  std::string name;
  // False when the stored name has no form as text (it holds NUL, or is not
  // the UTF-8 it is taken as); `name` is then empty.
  bool name_ok = false;
  int64_t size = 0;  // as declared; the data may turn out otherwise
  bool is_folder = false;
  bool is_encrypted = false;
  size_t position = 0;  // 0 for the first entry, 1 for the next, ...
  int64_t mtime = 0;    // modification time, seconds since 1970 (see entry_time.h)
  // Made on Unix, the entry's Unix mode (type and permission bits) is known.
  bool made_on_unix = false;
  uint32_t unix_mode = 0;
};

// One entry as the decoder is to read it: the values its local header and
// central directory record agree on (see CentralDirectory::locate_entry),
// and where its data lies in the file.
struct EntryLayout {
  uint16_t flags = 0;  // the local header's
  uint16_t method = 0;
  uint32_t dos_time = 0;  // the local header's time and date
  uint32_t crc = 0;
  int64_t compressed_size = 0;
  int64_t size = 0;
  std::string aes_field;  // the data of its WinZip AES extra field, if any
  int64_t data = 0;       // file offset of its data
};

// Where the central directory is, from the end records.
struct DirectoryLocation {
  int64_t start = 0;           // file offset of its first record
  int64_t size = 0;            // bytes of records
  int64_t declared_count = 0;  // entries the end record declares
  // Whether that count is the classic end record's 16 bits, which writers
  // without ZIP64 let wrap past 65,535 entries.
  bool count_is_16_bits = false;
  // Bytes before the archive proper (a self-extractor's program): offsets
  // stored in the archive count from there.
  int64_t prefix = 0;
  // The archive's comment, after the end record.
  int64_t comment_at = 0;
  size_t comment_size = 0;
};

struct DirectoryEntry {
  // Name (as text, see archive/names.h), size, kind, position.
  EntryInfo info;
  std::string stored_name;  // the bytes as stored, which the local header must repeat
  // Whether the name counts as UTF-8 (see choose_name), else a legacy name.
  bool name_is_utf8 = false;
  // Whether the stored name, or the Unicode Path name taken instead, holds a
  // NUL byte: then the name has no valid form (info.name_ok is false).
  bool name_holds_nul = false;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  int64_t compressed_size = 0;
  int64_t local_header = 0;  // file offset, the prefix included
  // Where its central directory record lies in the file, and its length.
  int64_t record_at = 0;
  size_t record_size = 0;
  std::string aes_field;     // the data of its WinZip AES extra field, if any
  std::string comment;       // as text (see names::text_of_comment)
};

// Where one entry's local header, data and data descriptor lie in the file,
// and how the decoder is to read it.
struct EntrySpan {
  int64_t begin = 0;  // its local header
  int64_t end = 0;    // past its data and any data descriptor
  EntryLayout layout;
};

// A record's name in the form it is in (see CentralDirectory::choose_name).
struct ChosenName {
  std::string text;
  bool is_utf8 = false;
};

class CentralDirectory {
 public:
  // Finds and checks the end records; false when there are none (the reason
  // left empty: the file is no zip archive) or, with the reason, when they
  // contradict themselves or the file, or are one part of a split archive
  // (`*kind` unsupported; else not_archive).
  static bool locate(const ArchiveBytes& bytes, DirectoryLocation* location, std::string* reason,
                     failures::Kind* kind);

  // Reads every record and the archive's comment; null, with the reason, for
  // a damaged directory (`*kind` not_archive) or one that cannot be read
  // (read_failed). Throws std::bad_alloc.
  static std::unique_ptr<CentralDirectory> read(const ArchiveBytes& bytes,
                                                const DirectoryLocation& location,
                                                std::string* reason, failures::Kind* kind);

  // Entries in archive order: by the place of their local headers, which is
  // the order they are stored and extracted in (the directory's own order
  // where two share a place).
  const std::vector<DirectoryEntry>& entries() const { return entries_; }
  // The position of the first entry in archive order that `wanted` names
  // (see EntryIndex::names), or -1.
  int64_t find(const std::string& wanted) const { return names_.find(wanted); }
  // The archive's comment, as text (see names::text_of_comment).
  const std::string& comment() const { return comment_; }
  size_t memory_size() const;

  // Checks the local header of `entry` (and its data descriptor, when its
  // flag says one follows) against its record, and answers where the entry
  // lies; false, with the reason, when they disagree on anything the data is
  // read by (method, encryption, CRC, sizes) or the entry cannot be read as
  // the directory describes it.
  static bool locate_entry(const ArchiveBytes& bytes, const DirectoryEntry& entry, EntrySpan* span,
                           std::string* reason);

  // Which name of a record counts, as bytes in the form they are in:
  // the Unicode Path extra field (0x7075) when its CRC matches the stored name;
  // else the stored name, as UTF-8 when it is flagged so or, unflagged, is valid
  // UTF-8 holding a non-ASCII byte; else in the legacy charset.
  static ChosenName choose_name(const std::string& stored, uint16_t flags,
                                const std::string& extra);

 private:
  std::vector<DirectoryEntry> entries_;
  EntryIndex names_;
  std::string comment_;
};


