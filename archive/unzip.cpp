// NativeArchive::unzip_file and unzip_all.
#include <algorithm>
#include <cctype>
#include <limits>

#include "archive/native_archive.h"
#include "fsutil/folder_creation.h"

namespace {

using zip_engine::EntryInfo;
using zip_engine::ReadStatus;

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Whole names, ASCII letters in any case, '/' and '\' alike.
bool same_name(const std::string& a, const std::string& b, size_t b_length) {
  if (a.size() != b_length) return false;
  for (size_t i = 0; i < b_length; ++i) {
    const unsigned char x = a[i], y = b[i];
    if (is_separator(x) && is_separator(y)) continue;
    if (std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

// A folder entry also answers to its name without the trailing separator. An
// entry whose name has no form in the locale's charset answers to nothing.
bool names_entry(const std::string& wanted, const EntryInfo& entry) {
  const std::string& stored = entry.name;
  if (!entry.name_ok) return false;
  if (same_name(wanted, stored, stored.size())) return true;
  return entry.is_folder && !stored.empty() && is_separator(stored.back()) &&
         same_name(wanted, stored, stored.size() - 1);
}

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

bool NativeArchive::unzip_file(const std::string& name, const std::string& target,
                               Progress& progress) noexcept {
  if (!reader_) return false;
  try {
    auto matches = [&name](const EntryInfo& entry) { return names_entry(name, entry); };
    // The entry is opened before anything is created for it, so one that
    // cannot be read leaves no trace on disk.
    if (!reader_->locate_entry(matches) || !reader_->open_entry()) return false;
    if (!admits_declared_size()) return false;
    ProgressMeter meter(progress, reader_->entry().size);
    fsutil::make_parent_folders(target);
    const bool answer =
        reader_->entry().is_folder || write_entry_data(fsutil::File::create(target), meter);
    return meter.finish_entry(reader_->entry().name) && answer;
  } catch (...) {
    return false;
  }
}

// True exactly when at least one entry was extracted and nothing failed. An
// entry that cannot be read, or whose name has no form in the locale's
// charset, is skipped, but makes the answer false; any other failure stops at
// that entry.
bool NativeArchive::unzip_all(const std::string& folder, Progress& progress) noexcept {
  if (!reader_) return false;
  try {
    ProgressMeter meter(progress, progress.wants_reports() ? total_entry_size() : -1);
    const std::string root = folder.empty() ? "." : folder;
    fsutil::make_parent_folders(root + "/");
    fsutil::FileCreator files(root);
    bool extracted = false;
    bool skipped = false;
    for (bool positioned = reader_->goto_first_entry(); positioned;
         positioned = reader_->goto_next_entry()) {
      if (!reader_->entry().name_ok || !reader_->open_entry()) {
        skipped = true;
        continue;
      }
      // An entry past the budget condemns the archive: nothing more is written.
      if (!admits_declared_size()) return false;
      extracted = true;
      if (!extract_beneath(root, files, meter)) return false;
      if (!meter.finish_entry(reader_->entry().name)) return false;
    }
    return extracted && !skipped && !reader_->damaged();
  } catch (...) {
    return false;
  }
}

// The bytes all entries declare, for progress reports: one walk over the
// entry headers, reading no data.
int64_t NativeArchive::total_entry_size() {
  int64_t total = 0;
  for (bool positioned = reader_->goto_first_entry(); positioned;
       positioned = reader_->goto_next_entry()) {
    // Declared sizes are the archive's word: the sum must not overflow.
    const int64_t size = std::max<int64_t>(reader_->entry().size, 0);
    total = size > std::numeric_limits<int64_t>::max() - total
                ? std::numeric_limits<int64_t>::max()
                : total + size;
  }
  return total;
}

bool NativeArchive::extract_beneath(const std::string& root, fsutil::FileCreator& files,
                                    ProgressMeter& meter) {
  const EntryInfo& entry = reader_->entry();
  std::vector<std::string> parts;
  if (!components_beneath(entry.name, &parts)) return false;
  if (entry.is_folder) return fsutil::make_folders_beneath(root, parts);
  return write_entry_data(files.create_file(parts), meter);
}

// Refuses an entry that declares more than the archive's expansion budget
// leaves; extraction of an overlapping-entry bomb usually ends here.
bool NativeArchive::admits_declared_size() {
  const EntryInfo& entry = reader_->entry();
  return budget_.admits(entry.position, entry.size);
}

// Every chunk is charged before it is written: an entry that produces more
// than it declared is stopped where it would pass the budget.
bool NativeArchive::write_entry_data(fsutil::File target, ProgressMeter& meter) {
  if (!target.is_open()) return false;
  const size_t position = reader_->entry().position;
  int64_t produced = 0;
  for (;;) {
    const char* data;
    size_t size;
    switch (reader_->read_chunk(&data, &size)) {
      case ReadStatus::end:
        return target.close();
      case ReadStatus::failed:
        return false;
      case ReadStatus::data:
        produced += static_cast<int64_t>(size);
        if (!budget_.admits(position, produced)) return false;
        if (!target.write_all(data, size)) return false;
        if (!meter.add(reader_->entry().name, static_cast<int64_t>(size))) return false;
        break;
    }
  }
}
