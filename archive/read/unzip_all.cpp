// ArchiveReader::unzip_all on every core.
//
// The calling thread walks the entries in archive order and does all that
// order decides: names and where they lead, the expansion budget, folders,
// failures and progress reports. File entries are opened (their keys derived,
// for WinZip AES), decoded, written and given their attributes by a worker
// pool, the calling thread helping, at most kBytesAhead of declared data ahead
// of the oldest entry not settled yet. Entries are settled in archive order: a
// file is closed and takes its name, or is discarded when it failed or an
// earlier entry stopped the extraction. So the answer and what is left on disk are those
// of extracting one entry after the other, and nothing is left half written.
//
// No two entries in flight write the same path, or one beneath the other: a
// later one waits until the earlier is settled. A worker never replaces what
// is already in the target: where a file is at an entry's name, the entry is
// written beside it under a temporary name, which replaces the file when the
// entry is settled, so a failure or stop before then leaves it as it was
// (and no entry waits with its data in memory). Folders are created here, on
// the calling thread, before any file beneath them is submitted; a worker
// only creates its file in a folder that is already there.
#include <algorithm>
#include <cctype>
#include <deque>
#include <limits>
#include <new>
#include <unordered_map>

#include "archive/names.h"
#include "archive/read/archive_reader.h"
#include "archive/read/extracted_attributes.h"
#include "archive/read/ahead_decoder.h"
#include "archive/worker_pool.h"
#include "fsutil/folder_creation.h"

namespace {

// How far the workers may run ahead of the oldest entry not settled: in
// declared bytes (each entry counting at least kEntryCost), and in entries.
constexpr int64_t kBytesAhead = 64 << 20;
constexpr int64_t kEntryCost = 4 << 10;
constexpr size_t kEntriesAheadPerThread = 16;

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

// The first `count` components as one key, in one letter case: names that
// differ only there may be one file on the system.
std::string path_key(const std::vector<std::string>& parts, size_t count) {
  std::string key;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) key += '/';
    for (char c : parts[i]) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return key;
}

// Writes an entry's data to its file; the file is finished when it is settled.
class FileWriter final : public EntrySink {
 public:
  FileWriter(fsutil::File& file, const std::string& path) : file_(file), path_(path) {}
  bool take(const char* data, size_t size, std::string* reason) override {
    if (file_.write_all(data, size)) return true;
    *reason = ArchiveReader::shown_path(path_) + ": " + fsutil::last_error_text();
    return false;
  }
  bool finish(std::string*) override { return true; }

 private:
  fsutil::File& file_;
  const std::string& path_;
};

// Folders get their entries' times at the end of unzip_all: writing what is
// beneath them would change them again.
struct FolderTime {
  std::vector<std::string> parts;  // beneath the target folder, which keeps its own
  int64_t mtime;
};

}  // namespace

class ArchiveReader::Extraction {
 public:
  Extraction(ArchiveReader& reader, const std::string& root, Progress& progress);
  ~Extraction();
  Extraction(const Extraction&) = delete;
  Extraction& operator=(const Extraction&) = delete;

  bool run(const CentralDirectory& directory);

 private:
  // One entry, from the moment it is admitted until it is settled.
  struct Item final : WorkerPool::Job {
    enum class Kind { skipped, stopping, folder, file };
    Kind kind = Kind::file;
    const DirectoryEntry* entry = nullptr;
    std::vector<std::string> parts;  // beneath the root
    std::string path;                // native
    std::string key;                 // a file's, while it is in flight
    bool runs_here = false;          // a large file: decoded at its turn, reporting as it goes
    bool submitted = false;
    Extraction* extraction = nullptr;
    // What run() found, and the file it leaves open for settling.
    Opening opening = Opening::opened;
    bool ok = true;
    std::string reason;
    failures::Kind failure_kind = failures::Kind::other;
    fsutil::NewFile output;

    void run(size_t thread) override;
  };

  enum class Settled { done, skipped, stopped };

  bool admit(const DirectoryEntry& entry);
  void add(std::unique_ptr<Item> item);
  bool admit_file(std::unique_ptr<Item> item);
  bool wait_for_paths(const std::vector<std::string>& parts);
  bool settle_front();
  Settled settle_file(Item& item);
  bool stop();
  bool over_bounds() const;

  ArchiveReader& reader_;
  const std::string root_;
  Progress& progress_;
  const NativeNames native_names_;
  Failures failures_;
  std::string stop_reason_;  // when it is not the failures' summary
  bool halted_ = false;      // an entry settled early stopped the extraction
  bool extracted_ = false;
  ExtractedAttributes attributes_;
  std::vector<FolderTime> folder_times_;
  std::vector<std::string> last_folder_;  // the folder files were last created in
  std::deque<std::unique_ptr<Item>> in_flight_;
  std::unordered_map<std::string, Item*> in_flight_paths_;
  int64_t bytes_ahead_ = 0;
  // Each thread creates files through its own creator. The pool is declared
  // last: it is gone, its jobs done, before anything its jobs use.
  std::vector<fsutil::FileCreator> creators_;
  WorkerPool pool_;
};

ArchiveReader::Extraction::Extraction(ArchiveReader& reader, const std::string& root,
                                      Progress& progress)
    : reader_(reader),
      root_(root),
      progress_(progress),
      pool_(worker_pool::configured_threads() - 1) {
  creators_.reserve(pool_.threads());
  for (size_t i = 0; i < pool_.threads(); ++i) creators_.emplace_back(root);
  attributes_.read_umask();
}

ArchiveReader::Extraction::~Extraction() {
  for (const std::unique_ptr<Item>& item : in_flight_) {
    if (item->submitted) pool_.withdraw(*item);
  }
}

// Runs on a worker, or on the calling thread: opens the entry, creates its
// file (whose folder is already there; beside a file already at its name),
// writes its data and gives it its attributes.
void ArchiveReader::Extraction::Item::run(size_t thread) {
  try {
    Progress silent = extraction->progress_.silent();
    // A large entry runs here while the workers finish what they have: one
    // of them then decodes it ahead.
    std::unique_ptr<EntryDecoder> engine;
    opening = extraction->reader_.open_entry(*entry, runs_here ? &extraction->pool_ : nullptr,
                                             &engine, &reason, &failure_kind);
    if (opening != Opening::opened) {
      ok = false;
      return;
    }
    output = extraction->creators_[thread].create_file(parts);
    if (output.is_open()) {
      FileWriter writer(output.file(), path);
      ok = copy_entry_data(*engine, *entry, writer, runs_here ? extraction->progress_ : silent,
                           &reason, &failure_kind);
      if (ok) extraction->attributes_.restore(output.file(), entry->info);
    } else {
      ok = false;
      reason = shown_path(path) + ": " + fsutil::last_error_text();
      failure_kind = failures::Kind::write_failed;
    }
  } catch (const std::bad_alloc&) {
    ok = false;
    reason = "out of memory";
    failure_kind = failures::Kind::other;
  }
}

bool ArchiveReader::Extraction::run(const CentralDirectory& directory) {
  for (const DirectoryEntry& entry : directory.entries()) {
    if (!admit(entry)) {
      if (halted_) return stop();
      break;  // the entries admitted are settled, up to the one that stops
    }
    while (over_bounds()) {
      if (!settle_front()) return stop();
    }
  }
  while (!in_flight_.empty()) {
    if (!settle_front()) return stop();
  }
  for (const FolderTime& folder : folder_times_) {
    fsutil::set_folder_time_beneath(root_, folder.parts, folder.mtime);
  }
  if (failures_.any()) return reader_.fail(failures_.first_kind(), failures_.summary());
  return extracted_ || reader_.fail(failures::Kind::other, reader_.shown() + " has no entries");
}

bool ArchiveReader::Extraction::over_bounds() const {
  return bytes_ahead_ > kBytesAhead || in_flight_.size() > kEntriesAheadPerThread * pool_.threads();
}

void ArchiveReader::Extraction::add(std::unique_ptr<Item> item) {
  item->extraction = this;
  in_flight_.push_back(std::move(item));
}

// Decides what becomes of the entry; false once an entry stops the
// extraction (nothing after it is admitted).
bool ArchiveReader::Extraction::admit(const DirectoryEntry& entry) {
  std::unique_ptr<Item> item(new Item);
  item->entry = &entry;
  const auto refuse = [&](Item::Kind kind, failures::Kind failure_kind, std::string reason) {
    item->kind = kind;
    item->reason = std::move(reason);
    item->failure_kind = failure_kind;
    add(std::move(item));
    return kind != Item::Kind::stopping;
  };
  if (!entry.info.name_ok) {
    return refuse(Item::Kind::skipped, failures::Kind::invalid_name,
                  "the name of entry " + std::to_string(entry.info.position + 1) +
                      (entry.name_holds_nul ? " holds a NUL byte; not extracted"
                                            : " is not valid text; not extracted"));
  }
  std::string native_name;
  if (!native_names_.native_form(entry.info.name, entry.name_is_utf8, &native_name)) {
    return refuse(Item::Kind::skipped, failures::Kind::invalid_name,
                  failures::quoted(entry.info.name) +
                      " has no form in the locale's character set; not extracted");
  }
  // An entry past the budget condemns the archive: nothing more is written.
  if (!reader_.admits_declared_size(entry)) {
    reader_.fail_expansion(entry);
    return refuse(Item::Kind::stopping, reader_.failure_kind_, reader_.last_error_);
  }
  if (!components_beneath(native_name, &item->parts)) {
    return refuse(Item::Kind::stopping, failures::Kind::unsafe,
                  failures::quoted(entry.info.name) + " leads outside the target folder; not extracted");
  }
  item->path = root_;
  for (const std::string& part : item->parts) item->path += "/" + part;
  if (entry.info.is_folder) {
    if (!wait_for_paths(item->parts)) return false;
    if (!fsutil::make_folders_beneath(root_, item->parts)) {
      return refuse(Item::Kind::stopping, failures::Kind::write_failed,
                    shown_path(item->path) + ": " + fsutil::last_error_text());
    }
    item->kind = Item::Kind::folder;
    add(std::move(item));
    return true;
  }
  if (item->parts.empty()) {
    return refuse(Item::Kind::stopping, failures::Kind::unsafe,
                  failures::quoted(entry.info.name) + " names the target folder itself; not extracted");
  }
  return admit_file(std::move(item));
}

// Creates the folders above the file (where it fails, the file's creation
// will say why) and hands the file to the pool, or keeps a large one for
// the calling thread.
bool ArchiveReader::Extraction::admit_file(std::unique_ptr<Item> item) {
  if (!wait_for_paths(item->parts)) return false;
  const std::vector<std::string> folder(item->parts.begin(), item->parts.end() - 1);
  if (folder != last_folder_ && fsutil::make_folders_beneath(root_, folder)) last_folder_ = folder;
  item->key = path_key(item->parts, item->parts.size());
  item->runs_here = AheadDecoder::is_worth_it(item->entry->info.size);
  bytes_ahead_ += std::max(item->entry->info.size, kEntryCost);
  Item& added = *item;
  in_flight_paths_[added.key] = &added;
  add(std::move(item));
  if (!added.runs_here) {
    added.submitted = true;
    pool_.submit(added);
  }
  return true;
}

// Settles the entries in flight until no file in flight is `parts` or one
// of the folders above it; false when one of them stops the extraction.
bool ArchiveReader::Extraction::wait_for_paths(const std::vector<std::string>& parts) {
  std::vector<std::string> keys;
  for (size_t n = 1; n <= parts.size(); ++n) keys.push_back(path_key(parts, n));
  const auto in_flight = [&] {
    return std::any_of(keys.begin(), keys.end(),
                       [&](const std::string& key) { return in_flight_paths_.count(key) > 0; });
  };
  while (in_flight()) {
    if (!settle_front()) {
      halted_ = true;
      return false;
    }
  }
  return true;
}

// Settles the oldest entry: false when it stops the extraction.
bool ArchiveReader::Extraction::settle_front() {
  std::unique_ptr<Item> item = std::move(in_flight_.front());
  in_flight_.pop_front();
  switch (item->kind) {
    case Item::Kind::skipped:
      failures_.add(std::move(item->reason), item->failure_kind);
      return true;
    case Item::Kind::stopping:
      failures_.add(std::move(item->reason), item->failure_kind);
      return false;
    case Item::Kind::folder:
      extracted_ = true;
      if (!item->parts.empty()) folder_times_.push_back({item->parts, item->entry->info.mtime});
      break;
    case Item::Kind::file:
      switch (settle_file(*item)) {
        case Settled::skipped: return true;
        case Settled::stopped: return false;
        case Settled::done: break;
      }
      break;
  }
  if (!progress_.finish_entry(item->entry->info.name)) {
    stop_reason_ = "stopped after " + failures::quoted(item->entry->info.name);
    return false;
  }
  return true;
}

ArchiveReader::Extraction::Settled ArchiveReader::Extraction::settle_file(Item& item) {
  if (item.submitted) {
    pool_.wait_for(item);
    item.submitted = false;
  }
  if (item.runs_here) item.run(pool_.workers());  // the calling thread's own number
  in_flight_paths_.erase(item.key);
  bytes_ahead_ -= std::max(item.entry->info.size, kEntryCost);
  if (item.opening != Opening::opened) {
    failures_.add(std::move(item.reason), item.failure_kind);
    return item.opening == Opening::unreadable ? Settled::skipped : Settled::stopped;
  }
  extracted_ = true;
  if (!item.ok || !item.output.keep()) {
    if (item.ok) {
      item.reason = shown_path(item.path) + ": " + fsutil::last_error_text();
      item.failure_kind = failures::Kind::write_failed;
    }
    item.output.discard();
    failures_.add(std::move(item.reason), item.failure_kind);
    return Settled::stopped;
  }
  if (!item.runs_here) progress_.add(item.entry->info.name, item.entry->info.size);
  return Settled::done;
}

// An entry stopped the extraction: the entries after it are taken back from
// the pool, and whatever they wrote is discarded.
bool ArchiveReader::Extraction::stop() {
  for (const std::unique_ptr<Item>& item : in_flight_) {
    if (item->submitted) pool_.withdraw(*item);
    item->submitted = false;
    item->output.discard();
  }
  in_flight_.clear();
  if (!stop_reason_.empty()) return reader_.fail(failures::Kind::other, stop_reason_);
  return reader_.fail(failures_.first_kind(), failures_.summary());
}

// True exactly when at least one entry was extracted and nothing failed. An
// entry that cannot be read, or whose name has no native form, is skipped,
// but makes the answer false; any other failure stops at that entry. Names
// take their native form here, and nowhere else in reading.
bool ArchiveReader::unzip_all(const std::string& folder, Progress& progress) noexcept {
  clear_failure();
  try {
    std::shared_ptr<const CentralDirectory> directory = this->directory();
    if (!directory) return false;
    if (progress.wants_reports()) progress.set_total(total_entry_size(*directory));
    if (progress.stopped()) {
      return fail(failures::Kind::other, "stopped before anything was extracted");
    }
    const std::string root = folder.empty() ? "." : folder;
    fsutil::make_parent_folders(root + "/");
    Extraction extraction(*this, root, progress);
    return extraction.run(*directory);
  } catch (...) {
    return fail(failures::Kind::other, "out of memory");
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
