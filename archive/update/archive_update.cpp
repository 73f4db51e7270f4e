#include "archive/update/archive_update.h"

#include <memory>
#include <new>

#include "archive/names.h"
#include "archive/read/archive_bytes.h"
#include "archive/read/central_directory.h"
#include "archive/utf8.h"
#include "archive/write/zip_writer.h"
#include "archive/zip_format.h"
#include "fsutil/file.h"

namespace {

using namespace zip_format;

std::string shown(const std::string& native) { return failures::quoted(names::shown(native)); }

std::string fingerprint_of(const fsutil::File& file) {
  fsutil::FileId id;
  const int64_t size = file.size();
  if (!file.identity(&id) || size < 0) return std::string();
  return std::to_string(id.volume) + ":" + std::to_string(id.index) + ":" + std::to_string(size);
}

bool fail(failures::Kind kind, std::string why, std::string* reason, failures::Kind* kind_out) {
  *reason = std::move(why);
  *kind_out = kind;
  return false;
}

// An archive read for its entries' bytes.
struct SourceArchive {
  std::string path;
  fsutil::File file;
  std::unique_ptr<FileBytes> bytes;
  DirectoryLocation location;
  std::unique_ptr<CentralDirectory> directory;

  bool open(const std::string& native, std::string* reason, failures::Kind* kind) {
    path = native;
    file = fsutil::File::open_regular_for_reading(native);
    if (!file.is_open()) {
      return fail(failures::Kind::read_failed, shown(native) + ": " + fsutil::last_error_text(),
                  reason, kind);
    }
    bytes.reset(new FileBytes(file.fd()));
    std::string why;
    if (!CentralDirectory::locate(*bytes, &location, &why, kind)) {
      *reason = shown(native) + (why.empty() ? " is not a zip archive" : " cannot be read: " + why);
      return false;
    }
    directory = CentralDirectory::read(*bytes, location, &why, kind);
    if (!directory) *reason = shown(native) + " cannot be read: " + why;
    return directory != nullptr;
  }

  const std::vector<DirectoryEntry>& entries() const { return directory->entries(); }

  void close() {
    bytes.reset();
    file.close();
  }

  // Bytes before the first entry (or, without entries, the directory).
  int64_t prefix_size() const {
    return entries().empty() ? location.start : entries().front().local_header;
  }

  bool read(int64_t offset, size_t size, std::string* out) const {
    out->assign(size, '\0');
    return size == 0 || bytes->read(offset, size, &(*out)[0]);
  }
};

void patch16(std::string& bytes, size_t at, uint64_t value) {
  std::string field;
  put16(field, value);
  bytes.replace(at, 2, field);
}

// A record of `fixed` bytes whose name and extra lengths stand at
// `lengths_at`, renamed: the name, the extra fields without a Unicode Path
// field, the rest as it was.
bool rename_record(const std::string& name, size_t fixed, size_t lengths_at, size_t flags_at,
                   std::string* record) {
  if (record->size() < fixed) return false;
  const size_t name_size = le16(&(*record)[lengths_at]);
  const size_t extra_size = le16(&(*record)[lengths_at + 2]);
  if (fixed + name_size + extra_size > record->size()) return false;
  const std::string extra =
      without_extra_field(record->substr(fixed + name_size, extra_size), kUnicodePathField);
  *record = record->substr(0, fixed) + name + extra + record->substr(fixed + name_size + extra_size);
  patch16(*record, lengths_at, name.size());
  patch16(*record, lengths_at + 2, extra.size());
  const uint16_t flags = le16(&(*record)[flags_at]);
  if (!utf8::is_ascii(name)) patch16(*record, flags_at, flags | kFlagUtf8);
  return true;
}

// One entry's bytes as they stand in `archive`, ready for the writer.
bool raw_entry_of(const SourceArchive& archive, const DirectoryEntry& entry,
                  zip_writer::RawEntry* raw, EntrySpan* span, std::string* reason,
                  failures::Kind* kind) {
  std::string why;
  const std::string shown_entry = failures::quoted(entry.info.name_ok ? entry.info.name : entry.stored_name);
  if (!CentralDirectory::locate_entry(*archive.bytes, entry, span, &why)) {
    return fail(failures::Kind::damaged, shown_entry + " cannot be copied: " + why, reason, kind);
  }
  raw->name = entry.stored_name;
  raw->source = archive.file.fd();
  raw->data_at = span->layout.data;
  raw->data_size = span->end - span->layout.data;
  if (!archive.read(span->begin, static_cast<size_t>(span->layout.data - span->begin),
                    &raw->local_header) ||
      !archive.read(entry.record_at, entry.record_size, &raw->central_record)) {
    return fail(failures::Kind::read_failed,
                shown(archive.path) + " cannot be read: " + fsutil::last_error_text(), reason, kind);
  }
  return true;
}

class Update {
 public:
  Update(const archive_update::Plan& plan, Progress& progress, std::string* reason,
         failures::Kind* kind)
      : plan_(plan), progress_(progress), reason_(reason), kind_(kind) {}

  bool run() {
    if (!old_.open(plan_.path, reason_, kind_)) return false;
    if (old_.entries().size() != plan_.entries || fingerprint_of(old_.file) != plan_.fingerprint) {
      return fail(failures::Kind::other, shown(plan_.path) + " was changed by another meanwhile",
                  reason_, kind_);
    }
    if (!plan_.added_path.empty() && !added_.open(plan_.added_path, reason_, kind_)) return false;
    std::string comment;
    if (plan_.comment_changed) {
      comment = plan_.comment;
    } else if (!old_.read(old_.location.comment_at, old_.location.comment_size, &comment)) {
      return fail(failures::Kind::read_failed, shown(plan_.path) + " cannot be read", reason_, kind_);
    }
    const std::string refusal = zip_writer::archive_comment_refusal(comment);
    if (!refusal.empty()) return fail(failures::Kind::invalid_name, refusal, reason_, kind_);

    fsutil::NewFile target = fsutil::NewFile::create(plan_.path);
    if (!target.is_open()) return fail_writing(fsutil::last_error_text());
    if (!write_into(target.file(), comment)) return false;
    // Windows refuses to replace a file still open (Wine even one open to
    // share its deletion).
    old_.close();
    added_.close();
    if (!target.keep_durably()) return fail_writing(fsutil::last_error_text());
    return true;
  }

 private:
  bool fail_writing(const std::string& why) {
    return fail(failures::Kind::write_failed, shown(plan_.path) + " cannot be written: " + why,
                reason_, kind_);
  }

  bool write_into(fsutil::File& file, const std::string& comment) {
    ZipWriter::Settings settings;
    settings.threads = 1;
    settings.comment = comment;
    std::unique_ptr<ZipWriter> writer = ZipWriter::start(file, settings);
    if (!writer) return fail(failures::Kind::other, "out of memory", reason_, kind_);
    writer->report_to(progress_);
    if (!writer->add_raw_prefix(old_.file.fd(), 0, old_.prefix_size())) {
      return writer_failed(*writer, "");
    }
    int64_t old_end = 0;  // past the last old entry copied: entries never overlap
    for (const archive_update::PlannedEntry& planned : plan_.entries_kept) {
      const SourceArchive& source = planned.added ? added_ : old_;
      if (!source.directory || planned.position >= source.entries().size()) {
        return fail(failures::Kind::other, "the update names an entry that is not there", reason_,
                    kind_);
      }
      const DirectoryEntry& entry = source.entries()[planned.position];
      zip_writer::RawEntry raw;
      EntrySpan span;
      if (!raw_entry_of(source, entry, &raw, &span, reason_, kind_)) return false;
      if (!planned.added) {
        if (span.begin < old_end) {
          return fail(failures::Kind::damaged,
                      failures::quoted(entry.info.name) + " overlaps the entry before it",
                      reason_, kind_);
        }
        old_end = span.end;
      }
      if (planned.renamed) {
        raw.name = planned.name;
        if (!archive_update::rename_records(planned.name, &raw.local_header, &raw.central_record)) {
          return fail(failures::Kind::damaged,
                      failures::quoted(entry.info.name) + " has damaged records", reason_, kind_);
        }
      }
      if (!writer->add_raw_entry(raw)) return writer_failed(*writer, entry.info.name);
      if (writer->stopped()) return fail(failures::Kind::other, "the update was stopped", reason_, kind_);
    }
    if (!writer->finish()) return writer_failed(*writer, "");
    return true;
  }

  bool writer_failed(const ZipWriter& writer, const std::string& entry) {
    if (!writer.broken()) {
      return fail(failures::Kind::damaged,
                  failures::quoted(entry) + " cannot be copied: " + writer.refusal(), reason_,
                  kind_);
    }
    return fail_writing(writer.failure());
  }

  const archive_update::Plan& plan_;
  Progress& progress_;
  std::string* reason_;
  failures::Kind* kind_;
  SourceArchive old_;
  SourceArchive added_;
};

}  // namespace

bool archive_update::rename_records(const std::string& name, std::string* local,
                                    std::string* record) {
  return rename_record(name, kLocalHeaderSize, 26, 6, local) &&
         rename_record(name, kCentralRecordSize, 28, 8, record);
}

std::string archive_update::fingerprint(const std::string& path) noexcept {
  try {
    return fingerprint_of(fsutil::File::open_regular_for_reading(path));
  } catch (...) {
    return std::string();
  }
}

bool archive_update::apply(const Plan& plan, Progress& progress, std::string* reason,
                           failures::Kind* kind) noexcept {
  try {
    *kind = failures::Kind::other;
    reason->clear();
    return Update(plan, progress, reason, kind).run();
  } catch (...) {
    try {
      *reason = "out of memory";
    } catch (...) {
    }
    return false;
  }
}
