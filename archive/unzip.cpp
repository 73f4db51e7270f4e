// ArchiveReader::unzip_file and unzip_all.
#include <algorithm>
#include <cctype>
#include <new>
#include <limits>

#include "archive/entry_index.h"
#include "archive/archive_reader.h"
#include "fsutil/folder_creation.h"

namespace {

using zip_engine::EntryInfo;
using zip_engine::ReadStatus;

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

}  // namespace

bool ArchiveReader::unzip_file(const std::string& name, const std::string& target,
                               Progress& progress) noexcept {
  last_error_.clear();
  try {
    if (!locate(name, progress)) return false;
    // The entry is opened before anything is created for it, so one that
    // cannot be read leaves no trace on disk.
    if (!engine_->open_entry()) return fail_reading_entry();
    if (!admits_declared_size()) return fail_expansion();
    progress.set_total(engine_->entry().size);
    // A folder entry is the folders above the target: it is extracted when
    // they are there afterwards.
    if (!fsutil::make_parent_folders(target) && engine_->entry().is_folder) {
      return fail(quoted(target) + ": " + fsutil::last_error_text());
    }
    const bool answer = engine_->entry().is_folder ||
                        write_entry_data(fsutil::File::create(target), target, progress);
    if (!progress.finish_entry(engine_->entry().name) && answer) {
      return fail("stopped before " + quoted(engine_->entry().name) + " was extracted whole");
    }
    return answer;
  } catch (...) {
    return fail("out of memory");
  }
}

bool ArchiveReader::unzip_file_answers_at_once(const std::string& name) const noexcept {
  try {
    return index_ && index_->find(name) < 0;
  } catch (...) {
    return false;
  }
}

// Goes to the entry `name`: the current one when it is that entry and still
// unread, else the first entry of that name. Once every name is known, a
// name that is not there is answered at once, and the reader only walks
// forward from where it is unless the entry lies behind it.
bool ArchiveReader::locate(const std::string& name, Progress& progress) {
  if (engine_->has_entry() && !engine_->data_touched() &&
      EntryIndex::names(name, engine_->entry())) {
    return true;
  }
  if (!index_) build_index(progress);
  if (progress.stopped()) return fail("stopped while looking for " + quoted(name));
  const std::string missing = "no entry named " + quoted(name);
  if (index_) {
    const int64_t position = index_->find(name);
    if (position < 0) return fail(missing);
    if (engine_->goto_position(position) && EntryIndex::names(name, engine_->entry())) return true;
  }
  // Without a complete index (a damaged archive) every entry is tried in turn.
  auto matches = [&name](const EntryInfo& entry) { return EntryIndex::names(name, entry); };
  return engine_->locate_entry(matches) || fail(missing);
}

// One walk over the headers with a second reader: the extracting reader
// keeps its place.
void ArchiveReader::build_index(Progress& progress) {
  std::unique_ptr<EntryLister> lister = EntryLister::open(file_);
  if (!lister) return;
  while (lister->next()) {
    if (progress.stopped()) return;
  }
  index_ = lister->take_index();
}

// True exactly when at least one entry was extracted and nothing failed. An
// entry that cannot be read, or whose name has no form in the locale's
// charset, is skipped, but makes the answer false; any other failure stops at
// that entry.
bool ArchiveReader::unzip_all(const std::string& folder, Progress& progress) noexcept {
  last_error_.clear();
  try {
    if (progress.wants_reports()) progress.set_total(total_entry_size(progress));
    if (progress.stopped()) return fail("stopped before anything was extracted");
    const std::string root = folder.empty() ? "." : folder;
    fsutil::make_parent_folders(root + "/");
    fsutil::FileCreator files(root);
    Failures failures;
    // The walk sees every name; unless it stops early it becomes the index.
    std::unique_ptr<EntryIndex> seen(index_ ? nullptr : new (std::nothrow) EntryIndex);
    bool extracted = false;
    for (bool positioned = engine_->goto_first_entry(); positioned;
         positioned = engine_->goto_next_entry()) {
      if (seen) seen->add(engine_->entry(), engine_->position());
      if (!engine_->entry().name_ok) {
        failures.add("the name of entry " + std::to_string(engine_->position() + 1) +
                     " has no form in the locale's character set; not extracted");
        continue;
      }
      if (!engine_->open_entry()) {
        fail_reading_entry();
        failures.add(last_error_);
        continue;
      }
      // An entry past the budget condemns the archive: nothing more is written.
      if (!admits_declared_size()) {
        fail_expansion();
        failures.add(last_error_);
        return fail(failures.summary());
      }
      extracted = true;
      if (!extract_beneath(root, files, progress)) {
        failures.add(last_error_);
        return fail(failures.summary());
      }
      if (!progress.finish_entry(engine_->entry().name)) {
        return fail("stopped after " + quoted(engine_->entry().name));
      }
    }
    if (engine_->damaged()) {
      failures.add(quoted(path_) + " is damaged after its first " +
                   std::to_string(engine_->position() + 1) + " entries");
    } else if (seen) {
      index_ = std::move(seen);
    }
    if (failures.any()) return fail(failures.summary());
    return extracted || fail(quoted(path_) + " has no entries");
  } catch (...) {
    return fail("out of memory");
  }
}

// The bytes all entries declare, for progress reports: one walk over the
// entry headers, reading no data.
int64_t ArchiveReader::total_entry_size(Progress& progress) {
  int64_t total = 0;
  for (bool positioned = engine_->goto_first_entry(); positioned && !progress.stopped();
       positioned = engine_->goto_next_entry()) {
    // Declared sizes are the archive's word: the sum must not overflow.
    const int64_t size = std::max<int64_t>(engine_->entry().size, 0);
    total = size > std::numeric_limits<int64_t>::max() - total
                ? std::numeric_limits<int64_t>::max()
                : total + size;
  }
  return total;
}

bool ArchiveReader::extract_beneath(const std::string& root, fsutil::FileCreator& files,
                                    Progress& progress) {
  const EntryInfo& entry = engine_->entry();
  std::vector<std::string> parts;
  if (!components_beneath(entry.name, &parts)) {
    return fail(quoted(entry.name) + " leads outside the target folder; not extracted");
  }
  std::string shown = root;
  for (const std::string& part : parts) shown += "/" + part;
  if (entry.is_folder) {
    return fsutil::make_folders_beneath(root, parts) ||
           fail(quoted(shown) + ": " + fsutil::last_error_text());
  }
  return write_entry_data(files.create_file(parts), shown, progress);
}

// Refuses an entry that declares more than the archive's expansion budget
// leaves; extraction of an overlapping-entry bomb usually ends here.
bool ArchiveReader::admits_declared_size() {
  const EntryInfo& entry = engine_->entry();
  return budget_.admits(entry.position, entry.size);
}

bool ArchiveReader::fail_expansion() {
  return fail(quoted(engine_->entry().name) +
              " would write more than the archive's size allows (a zip bomb); not extracted");
}

// Reports why the current entry's data could not be read.
bool ArchiveReader::fail_reading_entry() {
  const std::string name = quoted(engine_->entry().name);
  const std::string& detail = engine_->failure_detail();
  switch (engine_->failure()) {
    case zip_engine::ReadFailure::wrong_password:
      return fail("wrong password for " + name);
    case zip_engine::ReadFailure::no_password:
      return fail(name + " is encrypted and no password was given");
    case zip_engine::ReadFailure::unsupported:
      return fail(name + ": unsupported (" + detail + ")");
    case zip_engine::ReadFailure::damaged:
      return fail(name + ": data damaged (" + detail + ")");
    case zip_engine::ReadFailure::none:
      break;
  }
  return fail(name + " could not be read");
}

// Copies the open entry's data into `target`, which is shown as
// `shown_path` in a failure's reason.
//
// Every chunk is charged before it is written: an entry that produces more
// than it declared is stopped where it would pass the budget.
bool ArchiveReader::write_entry_data(fsutil::File target, const std::string& shown_path,
                                     Progress& progress) {
  const std::string where = quoted(shown_path) + ": ";
  if (!target.is_open()) return fail(where + fsutil::last_error_text());
  const size_t position = engine_->entry().position;
  int64_t produced = 0;
  for (;;) {
    const char* data;
    size_t size;
    switch (engine_->read_chunk(&data, &size)) {
      case ReadStatus::end:
        return target.close() || fail(where + fsutil::last_error_text());
      case ReadStatus::failed:
        return fail_reading_entry();
      case ReadStatus::data:
        produced += static_cast<int64_t>(size);
        if (!budget_.admits(position, produced)) return fail_expansion();
        if (!target.write_all(data, size)) return fail(where + fsutil::last_error_text());
        if (!progress.add(engine_->entry().name, static_cast<int64_t>(size))) {
          return fail("stopped while " + quoted(engine_->entry().name) + " was extracted");
        }
        break;
    }
  }
}
