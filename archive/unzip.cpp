// ArchiveReader::unzip_file, read_entry and unzip_all: every entry is found in
// the archive's own central directory and read from its local header on.
#include <algorithm>
#include <cctype>
#include <new>
#include <limits>

#include "archive/archive_reader.h"
#include "archive/entry_name.h"
#include "archive/extracted_attributes.h"
#include "archive/stored_name.h"
#include "fsutil/folder_creation.h"

namespace {


// Entries this small are read on the calling thread: a thread start and
// hand-over would cost more than the work. Both sizes bound the work whatever
// the data turns out to be: no more than the compressed size is read, and no
// more than the declared size is produced (see copy_entry_data).
constexpr int64_t kSmallEntryBytes = 64 * 1024;

bool is_separator(char c) { return c == '/' || c == '\\'; }


bool is_drive_letter(const std::string& name) {
  return name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
}

// Splits a stored name into path components beneath the target folder, '/'
// and '\' both separating. Refuses a name that could lead anywhere else: an
// absolute name, a drive letter, any ".." component, or a component the
// system would take for something other than a name of its own.
bool components_beneath(const std::string& name, std::vector<std::string>* parts) {
  if (name.empty() || is_separator(name[0]) || is_drive_letter(name)) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !is_separator(name[end])) ++end;
    std::string part = name.substr(start, end - start);
    start = end + 1;
    if (part == "..") return false;
    if (part.empty() || part == ".") continue;
    if (!fsutil::is_creatable_name(part)) return false;
    parts->push_back(std::move(part));
  }
  return true;
}

// A native path as reasons (UTF-8) show it.
std::string shown_path(const std::string& native) { return quoted(entry_name::shown(native)); }

// Writes an entry's data to the file at the native path `path`, and gives it
// the entry's attributes once it is whole.
class FileSink final : public EntrySink {
 public:
  FileSink(fsutil::File file, const std::string& path, const zip_engine::EntryInfo& entry,
           ExtractedAttributes& attributes)
      : file_(std::move(file)), where_(shown_path(path) + ": "), entry_(entry),
        attributes_(attributes) {}
  bool opened(std::string* reason) const { return file_.is_open() || failed(reason); }
  bool take(const char* data, size_t size, std::string* reason) override {
    return file_.write_all(data, size) || failed(reason);
  }
  bool finish(std::string* reason) override {
    attributes_.restore(file_, entry_);
    return file_.close() || failed(reason);
  }
  // The file, still open when its data failed before finish().
  fsutil::File& file() { return file_; }

 private:
  bool failed(std::string* reason) const {
    *reason = where_ + fsutil::last_error_text();
    return false;
  }
  fsutil::File file_;
  std::string where_;
  const zip_engine::EntryInfo& entry_;
  ExtractedAttributes& attributes_;
};

// Folders get their entries' times at the end of unzip_all: writing what is
// beneath them would change them again.
struct FolderTime {
  std::vector<std::string> parts;  // beneath the target folder, which keeps its own
  int64_t mtime;
};

void note_folder_time(const std::string& native_name, const zip_engine::EntryInfo& entry,
                      std::vector<FolderTime>* times) {
  FolderTime folder{{}, entry.mtime};
  if (components_beneath(native_name, &folder.parts) && !folder.parts.empty()) {
    times->push_back(std::move(folder));
  }
}

void set_folder_times(const std::string& root, const std::vector<FolderTime>& times) {
  for (const FolderTime& folder : times) {
    fsutil::set_folder_time_beneath(root, folder.parts, folder.mtime);
  }
}

}  // namespace

// The entry `name`, found in `*directory` (which keeps it alive) and opened
// in `*engine` for its data, within the expansion budget; null with the
// reason when any of that fails.
const DirectoryEntry* ArchiveReader::open_named_entry(
    const std::string& name, std::shared_ptr<const CentralDirectory>* directory,
    std::unique_ptr<EntryDecoder>* engine) {
  *directory = this->directory();
  const DirectoryEntry* entry = *directory ? find_entry(**directory, name) : nullptr;
  if (!entry || open_entry(*entry, engine) != Opening::opened) return nullptr;
  if (!admits_declared_size(*entry)) {
    fail_expansion(*entry);
    return nullptr;
  }
  return entry;
}

bool ArchiveReader::unzip_file(const std::string& name, const std::string& target,
                               Progress& progress) noexcept {
  last_error_.clear();
  try {
    // The entry is opened before anything is created for it, so one that
    // cannot be read leaves no trace on disk.
    std::shared_ptr<const CentralDirectory> directory;
    std::unique_ptr<EntryDecoder> engine;
    const DirectoryEntry* entry = open_named_entry(name, &directory, &engine);
    if (!entry) return false;
    progress.set_total(entry->info.size);
    // A folder entry is the folders above the target: it is extracted when
    // they are there afterwards.
    if (!fsutil::make_parent_folders(target) && entry->info.is_folder) {
      return fail(shown_path(target) + ": " + fsutil::last_error_text());
    }
    bool answer = true;
    if (!entry->info.is_folder) {
      ExtractedAttributes attributes;
      FileSink file(fsutil::File::create(target), target, entry->info, attributes);
      answer = file.opened(&last_error_) && copy_entry_data(*engine, *entry, file, progress);
      // Data that failed its checks is never left looking like a success.
      if (!answer) fsutil::discard_created_file(file.file(), target);
    }
    if (!progress.finish_entry(entry->info.name) && answer) {
      return fail("stopped before " + quoted(entry->info.name) + " was extracted whole");
    }
    return answer;
  } catch (...) {
    return fail("out of memory");
  }
}

bool ArchiveReader::read_entry(const std::string& name, EntrySink& sink,
                               Progress& progress) noexcept {
  last_error_.clear();
  try {
    std::shared_ptr<const CentralDirectory> directory;
    std::unique_ptr<EntryDecoder> engine;
    const DirectoryEntry* entry = open_named_entry(name, &directory, &engine);
    if (!entry) return false;
    progress.set_total(entry->info.size);
    const bool answer = entry->info.is_folder ? sink.finish(&last_error_)
                                              : copy_entry_data(*engine, *entry, sink, progress);
    if (!progress.finish_entry(entry->info.name) && answer) {
      return fail("stopped before " + quoted(entry->info.name) + " was read whole");
    }
    return answer;
  } catch (...) {
    return fail("out of memory");
  }
}

bool ArchiveReader::is_small_read(const std::string& name) const noexcept {
  try {
    if (!directory_) return false;
    const int64_t position = directory_->find(name);
    if (position < 0) return true;
    const DirectoryEntry& entry = directory_->entries()[static_cast<size_t>(position)];
    return !entry.info.is_encrypted && entry.info.size <= kSmallEntryBytes &&
           entry.compressed_size <= kSmallEntryBytes;
  } catch (...) {
    return false;
  }
}

const DirectoryEntry* ArchiveReader::find_entry(const CentralDirectory& directory,
                                                const std::string& name) {
  const int64_t position = directory.find(name);
  if (position < 0) {
    fail("no entry named " + quoted(name));
    return nullptr;
  }
  return &directory.entries()[static_cast<size_t>(position)];
}

ArchiveReader::Opening ArchiveReader::open_entry(const DirectoryEntry& entry,
                                                 std::unique_ptr<EntryDecoder>* engine) {
  const std::string name = quoted(entry.info.name_ok ? entry.info.name : entry.stored_name);
  EntrySpan span;
  std::string reason;
  if (!CentralDirectory::locate_entry(FileBytes(file_.fd()), entry, &span, &reason)) {
    fail(name + " cannot be read: " + reason);
    return Opening::damaged;
  }
  *engine = open_entry_decoder(file_.fd(), span.layout, password_, alternative_);
  if (!*engine) {
    fail(name + " cannot be read: its local header is damaged");
    return Opening::damaged;
  }
  if (entry.info.is_folder || (*engine)->open_entry()) return Opening::opened;
  fail_reading_entry(entry, **engine);
  return Opening::unreadable;
}

// True exactly when at least one entry was extracted and nothing failed. An
// entry that cannot be read, or whose name has no native form, is skipped,
// but makes the answer false; any other failure stops at that entry. Names
// take their native form here, and nowhere else in reading.
bool ArchiveReader::unzip_all(const std::string& folder, Progress& progress) noexcept {
  last_error_.clear();
  try {
    std::shared_ptr<const CentralDirectory> directory = this->directory();
    if (!directory) return false;
    if (progress.wants_reports()) progress.set_total(total_entry_size(*directory));
    if (progress.stopped()) return fail("stopped before anything was extracted");
    const std::string root = folder.empty() ? "." : folder;
    fsutil::make_parent_folders(root + "/");
    fsutil::FileCreator files(root);
    ExtractedAttributes attributes;
    std::vector<FolderTime> folder_times;
    const NativeNames native_names;
    Failures failures;
    bool extracted = false;
    for (const DirectoryEntry& entry : directory->entries()) {
      if (!entry.info.name_ok) {
        failures.add("the name of entry " + std::to_string(entry.info.position + 1) +
                     (entry.name_holds_nul ? " holds a NUL byte; not extracted"
                                           : " is not valid text; not extracted"));
        continue;
      }
      std::string native_name;
      if (!native_names.native_form(entry.info.name, entry.name_is_utf8, &native_name)) {
        failures.add(quoted(entry.info.name) +
                     " has no form in the locale's character set; not extracted");
        continue;
      }
      std::unique_ptr<EntryDecoder> engine;
      const Opening opening = open_entry(entry, &engine);
      if (opening != Opening::opened) {
        failures.add(last_error_);
        if (opening == Opening::damaged) return fail(failures.summary());
        continue;
      }
      // An entry past the budget condemns the archive: nothing more is written.
      if (!admits_declared_size(entry)) {
        fail_expansion(entry);
        failures.add(last_error_);
        return fail(failures.summary());
      }
      extracted = true;
      if (!extract_beneath(root, native_name, entry, engine.get(), files, attributes, progress)) {
        failures.add(last_error_);
        return fail(failures.summary());
      }
      if (entry.info.is_folder) note_folder_time(native_name, entry.info, &folder_times);
      if (!progress.finish_entry(entry.info.name)) {
        return fail("stopped after " + quoted(entry.info.name));
      }
    }
    set_folder_times(root, folder_times);
    if (failures.any()) return fail(failures.summary());
    return extracted || fail(quoted(path_) + " has no entries");
  } catch (...) {
    return fail("out of memory");
  }
}

// The bytes all entries declare, for progress reports.
int64_t ArchiveReader::total_entry_size(const CentralDirectory& directory) {
  int64_t total = 0;
  for (const DirectoryEntry& entry : directory.entries()) {
    // Declared sizes are the archive's word: the sum must not overflow.
    const int64_t size = std::max<int64_t>(entry.info.size, 0);
    total = size > std::numeric_limits<int64_t>::max() - total
                ? std::numeric_limits<int64_t>::max()
                : total + size;
  }
  return total;
}

bool ArchiveReader::extract_beneath(const std::string& root, const std::string& native_name,
                                    const DirectoryEntry& entry, EntryDecoder* engine,
                                    fsutil::FileCreator& files, ExtractedAttributes& attributes,
                                    Progress& progress) {
  std::vector<std::string> parts;
  if (!components_beneath(native_name, &parts)) {
    return fail(quoted(entry.info.name) + " leads outside the target folder; not extracted");
  }
  std::string path = root;
  for (const std::string& part : parts) path += "/" + part;
  if (entry.info.is_folder) {
    return fsutil::make_folders_beneath(root, parts) ||
           fail(shown_path(path) + ": " + fsutil::last_error_text());
  }
  if (parts.empty()) {
    return fail(quoted(entry.info.name) + " names the target folder itself; not extracted");
  }
  FileSink file(files.create_file(parts), path, entry.info, attributes);
  if (!file.opened(&last_error_)) return false;
  if (copy_entry_data(*engine, entry, file, progress)) return true;
  files.discard_file(file.file(), parts);
  return false;
}

// Refuses an entry that declares more than the archive's expansion budget
// leaves; extraction of an overlapping-entry bomb usually ends here.
bool ArchiveReader::admits_declared_size(const DirectoryEntry& entry) {
  return budget_.admits(entry.info.position, entry.info.size);
}

bool ArchiveReader::fail_expansion(const DirectoryEntry& entry) {
  return fail(quoted(entry.info.name) +
              " would write more than the archive's size allows (a zip bomb); not extracted");
}

// Reports why the entry's data could not be read.
bool ArchiveReader::fail_reading_entry(const DirectoryEntry& entry, const EntryDecoder& engine) {
  const std::string name = quoted(entry.info.name);
  const std::string& detail = engine.failure_detail();
  switch (engine.failure()) {
    case ReadFailure::wrong_password:
      return fail("wrong password for " + name);
    case ReadFailure::no_password:
      return fail(name + " is encrypted and no password was given");
    case ReadFailure::unsupported:
      return fail(name + ": unsupported (" + detail + ")");
    case ReadFailure::damaged:
      return fail(name + ": data damaged (" + detail + ")");
    case ReadFailure::none:
      break;
  }
  return fail(name + " could not be read");
}

// Hands the open entry's data to `sink`.
//
// No byte past the declared size is passed on: the chunk that would pass it
// stops the entry, so a lie costs no more than its declared size (which the
// expansion budget has already admitted) and one chunk of the engine's. Data
// that ends short of the declared size is damage, whatever the engine thought
// of it.
bool ArchiveReader::copy_entry_data(EntryDecoder& engine, const DirectoryEntry& entry,
                                    EntrySink& sink, Progress& progress) {
  int64_t produced = 0;
  for (;;) {
    const char* data;
    size_t size;
    switch (engine.read_chunk(&data, &size)) {
      case ReadStatus::end:
        if (produced != entry.info.size) {
          return fail(quoted(entry.info.name) +
                      ": data damaged (its size differs from the central directory's)");
        }
        return sink.finish(&last_error_);
      case ReadStatus::failed:
        return fail_reading_entry(entry, engine);
      case ReadStatus::data:
        if (static_cast<int64_t>(size) > entry.info.size - produced) {
          return fail(quoted(entry.info.name) + ": data damaged (more data than its declared size)");
        }
        produced += static_cast<int64_t>(size);
        if (!sink.take(data, size, &last_error_)) return false;
        if (!progress.add(entry.info.name, static_cast<int64_t>(size))) {
          return fail("stopped while " + quoted(entry.info.name) + " was read");
        }
        break;
    }
  }
}
