// ArchiveReader: load, the directory, unzip_file and read_entry, and what
// unzip_all (unzip_all.cpp) shares with them. Every entry is found in the
// archive's own central directory and read from its local header on.
#include <algorithm>
#include <new>
#include <limits>

#include "archive/read/archive_reader.h"
#include "archive/names.h"
#include "archive/read/ahead_decoder.h"
#include "archive/read/zip_entry_decoder.h"
#include "archive/read/extracted_attributes.h"
#include "fsutil/folder_creation.h"

namespace {

// Entries this small are read on the calling thread: a thread start and
// hand-over would cost more than the work. Both sizes bound the work whatever
// the data turns out to be: no more than the compressed size is read, and no
// more than the declared size is produced (see copy_entry_data).
constexpr int64_t kSmallEntryBytes = 64 * 1024;

// Whether the entry is small work to read whole (see kSmallEntryBytes).
bool is_small_entry(const DirectoryEntry& entry) {
  return !entry.info.is_encrypted && entry.info.size <= kSmallEntryBytes &&
         entry.compressed_size <= kSmallEntryBytes;
}

// Writes an entry's data to the file at the native path `path`, and gives it
// the entry's attributes and its name once it is whole; a file it leaves
// unfinished is removed.
class FileSink final : public EntrySink {
 public:
  FileSink(fsutil::NewFile file, const std::string& path, const EntryInfo& entry,
           ExtractedAttributes& attributes)
      : file_(std::move(file)), where_(ArchiveReader::shown_path(path) + ": "), entry_(entry),
        attributes_(attributes) {}
  bool opened(std::string* reason) const { return file_.is_open() || failed(reason); }
  bool take(const char* data, size_t size, std::string* reason) override {
    return file_.file().write_all(data, size) || failed(reason);
  }
  bool finish(std::string* reason) override {
    attributes_.restore(file_.file(), entry_);
    return file_.keep() || failed(reason);
  }

 private:
  bool failed(std::string* reason) const {
    *reason = where_ + fsutil::last_error_text();
    return false;
  }
  fsutil::NewFile file_;
  std::string where_;
  const EntryInfo& entry_;
  ExtractedAttributes& attributes_;
};

}  // namespace

std::unique_ptr<ArchiveReader> ArchiveReader::load(const std::string& path,
                                                   const std::string& password,
                                                   const std::string& alternative,
                                                   std::string* reason,
                                                   failures::Kind* kind) noexcept {
  try {
    std::unique_ptr<ArchiveReader> reader(new ArchiveReader);
    reader->path_ = path;
    // Opening a FIFO would wait for a writer, and a device is no archive.
    reader->file_ = fsutil::File::open_regular_for_reading(path);
    if (!reader->file_.is_open()) {
      *reason = failures::quoted(path) + ": " + fsutil::last_error_text();
      *kind = failures::Kind::read_failed;
      return nullptr;
    }
    reader->bytes_.reset(new FileBytes(reader->file_.fd()));
    if (!reader->locate(password, alternative, reason, kind)) return nullptr;
    return reader;
  } catch (...) {
    *reason = "out of memory";
    *kind = failures::Kind::other;
    return nullptr;
  }
}

std::unique_ptr<ArchiveReader> ArchiveReader::load(std::unique_ptr<ArchiveBytes> bytes,
                                                   const std::string& shown_name,
                                                   const std::string& password,
                                                   const std::string& alternative,
                                                   std::string* reason,
                                                   failures::Kind* kind) noexcept {
  try {
    std::unique_ptr<ArchiveReader> reader(new ArchiveReader);
    reader->shown_name_ = shown_name;
    reader->bytes_ = std::move(bytes);
    if (!reader->locate(password, alternative, reason, kind)) return nullptr;
    return reader;
  } catch (...) {
    *reason = "out of memory";
    *kind = failures::Kind::other;
    return nullptr;
  }
}

bool ArchiveReader::locate(const std::string& password, const std::string& alternative,
                           std::string* reason, failures::Kind* kind) {
  std::string why;
  if (!CentralDirectory::locate(*bytes_, &location_, &why, kind)) {
    *reason = shown() + (why.empty() ? " is not a zip archive" : " cannot be read: " + why);
    return false;
  }
  password_ = password;
  alternative_ = alternative;
  budget_.reset(bytes_->size());
  return true;
}

std::shared_ptr<const CentralDirectory> ArchiveReader::directory() noexcept {
  clear_failure();
  if (directory_) return directory_;
  try {
    std::string reason;
    failures::Kind kind = failures::Kind::other;
    directory_ = CentralDirectory::read(*bytes_, location_, &reason, &kind);
    if (!directory_) fail(kind, shown() + " cannot be read: " + reason);
  } catch (...) {
    fail(failures::Kind::other, "out of memory");
  }
  return directory_;
}

void ArchiveReader::clear_failure() {
  last_error_.clear();
  failure_kind_ = failures::Kind::other;
}

// Answers false with `reason` as the operation's last error.
bool ArchiveReader::fail(failures::Kind kind, std::string reason) {
  last_error_ = std::move(reason);
  failure_kind_ = kind;
  return false;
}

// Answers false for a write that failed, its reason in last_error_ already.
bool ArchiveReader::failed_writing() {
  failure_kind_ = failures::Kind::write_failed;
  return false;
}

// The entry `name`, found in `*directory` (which keeps it alive) and opened
// in `*engine` for its data, within the expansion budget; null with the
// reason when any of that fails. A large entry is decoded ahead on a worker
// of `*ahead` (made here, outliving `*engine`) when more than one thread is
// configured and `ahead` is given.
const DirectoryEntry* ArchiveReader::open_named_entry(
    const std::string& name, std::shared_ptr<const CentralDirectory>* directory,
    std::unique_ptr<WorkerPool>* ahead, std::unique_ptr<EntryDecoder>* engine) {
  *directory = this->directory();
  const DirectoryEntry* entry = *directory ? find_entry(**directory, name) : nullptr;
  if (!entry) return nullptr;
  if (ahead && !entry->info.is_folder && AheadDecoder::is_worth_it(entry->info.size) &&
      worker_pool::configured_threads() > 1) {
    ahead->reset(new WorkerPool(1));
  }
  if (open_entry(*entry, ahead ? ahead->get() : nullptr, engine, &last_error_, &failure_kind_) != Opening::opened) {
    return nullptr;
  }
  if (!admits_declared_size(*entry)) {
    fail_expansion(*entry);
    return nullptr;
  }
  return entry;
}

bool ArchiveReader::unzip_file(const std::string& name, const std::string& target,
                               Progress& progress) noexcept {
  clear_failure();
  try {
    // The entry is opened before anything is created for it, so one that
    // cannot be read leaves no trace on disk.
    std::shared_ptr<const CentralDirectory> directory;
    std::unique_ptr<WorkerPool> ahead;
    std::unique_ptr<EntryDecoder> engine;
    const DirectoryEntry* entry = open_named_entry(name, &directory, &ahead, &engine);
    if (!entry) return false;
    progress.set_total(entry->info.size);
    // A folder entry is the folders above the target: it is extracted when
    // they are there afterwards. A file needs them too; where they could not
    // be made, that is the reason, not the missing folder it leaves.
    if (!fsutil::make_parent_folders(target)) {
      return fail(failures::Kind::write_failed,
                  ArchiveReader::shown_path(target) + ": " + fsutil::last_error_text());
    }
    bool answer = true;
    if (!entry->info.is_folder) {
      // Data that failed its checks is never left looking like a success,
      // nor does it touch a file already at the target.
      ExtractedAttributes attributes;
      FileSink file(fsutil::NewFile::create(target), target, entry->info, attributes);
      answer = (file.opened(&last_error_) || failed_writing()) &&
               copy_entry_data(*engine, *entry, file, progress, &last_error_, &failure_kind_);
    }
    if (!progress.finish_entry(entry->info.name) && answer) {
      return fail(failures::Kind::other,
                  "stopped before " + failures::quoted(entry->info.name) + " was extracted whole");
    }
    return answer;
  } catch (...) {
    return fail(failures::Kind::other, "out of memory");
  }
}

bool ArchiveReader::read_entry(const std::string& name, EntrySink& sink,
                               Progress& progress) noexcept {
  clear_failure();
  try {
    std::shared_ptr<const CentralDirectory> directory;
    std::unique_ptr<WorkerPool> ahead;
    std::unique_ptr<EntryDecoder> engine;
    const DirectoryEntry* entry = open_named_entry(name, &directory, &ahead, &engine);
    if (!entry) return false;
    progress.set_total(entry->info.size);
    bool answer;
    if (entry->info.is_folder) {
      answer = sink.finish(&last_error_) || failed_writing();
    } else {
      answer = copy_entry_data(*engine, *entry, sink, progress, &last_error_, &failure_kind_);
    }
    if (!progress.finish_entry(entry->info.name) && answer) {
      return fail(failures::Kind::other,
                  "stopped before " + failures::quoted(entry->info.name) + " was read whole");
    }
    return answer;
  } catch (...) {
    return fail(failures::Kind::other, "out of memory");
  }
}

EntryStream::~EntryStream() = default;

size_t EntryStream::memory_bound() const {
  constexpr int64_t kWhole = ZipEntryDecoder::kWholeEntryBytes;
  const int64_t size = entry_->info.size;
  const int64_t compressed = entry_->compressed_size;
  const size_t pieces = (ahead_ ? AheadDecoder::kChunksAhead + 1 : 1) * ZipEntryDecoder::kChunkBytes;
  if (size < 0 || size > kWhole || compressed < 0 || compressed > 2 * kWhole) return pieces;
  return std::max(pieces, static_cast<size_t>(size + compressed));
}

std::unique_ptr<EntryStream> ArchiveReader::open_stream(const std::string& name,
                                                        bool decode_ahead) noexcept {
  clear_failure();
  try {
    std::unique_ptr<EntryStream> stream(new EntryStream);
    stream->entry_ = open_named_entry(name, &stream->directory_,
                                      decode_ahead ? &stream->ahead_ : nullptr, &stream->engine_);
    if (!stream->entry_) return nullptr;
    if (stream->entry_->info.is_folder) {
      fail(failures::Kind::other, failures::quoted(stream->entry_->info.name) +
                                      " is a folder: it has no data to read");
      return nullptr;
    }
    return stream;
  } catch (...) {
    fail(failures::Kind::other, "out of memory");
    return nullptr;
  }
}

bool ArchiveReader::next_piece(EntryStream& stream, const char** data, size_t* size,
                               bool* ended) noexcept {
  clear_failure();
  *data = nullptr;
  *size = 0;
  *ended = false;
  try {
    if (!stream.failed_) {
      switch (checked_chunk(*stream.engine_, *stream.entry_, &stream.produced_, data, size,
                            &stream.failure_, &stream.failure_kind_)) {
        case ReadStatus::end:
          *ended = true;
          return true;
        case ReadStatus::data:
          return true;
        case ReadStatus::failed:
          stream.failed_ = true;
          break;
      }
    }
    return fail(stream.failure_kind_, stream.failure_);
  } catch (...) {
    stream.failed_ = true;
    stream.failure_kind_ = failures::Kind::other;
    try {
      stream.failure_ = "out of memory";
    } catch (...) {
    }
    return fail(failures::Kind::other, "out of memory");
  }
}

// After the first piece each is one chunk of the engine's; the first may be
// the whole entry, its keys derived and its authentication checked.
bool ArchiveReader::is_small_piece(const EntryStream& stream) const noexcept {
  return stream.produced_ > 0 || stream.failed_ || is_small_entry(*stream.entry_);
}

bool ArchiveReader::is_small_read(const std::string& name) const noexcept {
  try {
    if (!directory_) return false;
    const int64_t position = directory_->find(name);
    if (position < 0) return true;
    return is_small_entry(directory_->entries()[static_cast<size_t>(position)]);
  } catch (...) {
    return false;
  }
}

const DirectoryEntry* ArchiveReader::find_entry(const CentralDirectory& directory,
                                                const std::string& name) {
  const int64_t position = directory.find(name);
  if (position < 0) {
    fail(failures::Kind::no_entry, "no entry named " + failures::quoted(name));
    return nullptr;
  }
  return &directory.entries()[static_cast<size_t>(position)];
}

ArchiveReader::Opening ArchiveReader::open_entry(const DirectoryEntry& entry, WorkerPool* ahead,
                                                 std::unique_ptr<EntryDecoder>* engine,
                                                 std::string* reason, failures::Kind* kind) const {
  const std::string name = failures::quoted(entry.info.name_ok ? entry.info.name : entry.stored_name);
  EntrySpan span;
  std::string why;
  *kind = failures::Kind::damaged;
  if (!CentralDirectory::locate_entry(*bytes_, entry, &span, &why)) {
    *reason = name + " cannot be read: " + why;
    return Opening::damaged;
  }
  *engine = open_entry_decoder(*bytes_, span.layout, password_, alternative_);
  if (!*engine) {
    *reason = name + " cannot be read: its local header is damaged";
    return Opening::damaged;
  }
  if (ahead && ahead->workers() > 0 && !entry.info.is_folder &&
      AheadDecoder::is_worth_it(entry.info.size)) {
    engine->reset(new AheadDecoder(std::move(*engine), *ahead));
  }
  *kind = failures::Kind::other;
  if (entry.info.is_folder || (*engine)->open_entry()) return Opening::opened;
  *reason = reading_failure(entry, **engine);
  *kind = kind_of((*engine)->failure());
  // Damage found this early (an encryption header cut short) is damage all
  // the same: it stops an extraction, where a password or method skips.
  return (*engine)->failure() == ReadFailure::damaged ? Opening::damaged : Opening::unreadable;
}

// Refuses an entry that declares more than the archive's expansion budget
// leaves; extraction of an overlapping-entry bomb usually ends here.
bool ArchiveReader::admits_declared_size(const DirectoryEntry& entry) {
  return budget_.admits(entry.info.position, entry.info.size);
}

// An overlapping-entry bomb is an archive whose records lie.
bool ArchiveReader::fail_expansion(const DirectoryEntry& entry) {
  return fail(failures::Kind::damaged, failures::quoted(entry.info.name) +
              " would write more than the archive's size allows (a zip bomb); not extracted");
}

// Why the entry's data could not be read.
std::string ArchiveReader::reading_failure(const DirectoryEntry& entry, const EntryDecoder& engine) {
  const std::string name = failures::quoted(entry.info.name);
  const std::string& detail = engine.failure_detail();
  switch (engine.failure()) {
    case ReadFailure::wrong_password:
      return "wrong password for " + name;
    case ReadFailure::no_password:
      return name + " is encrypted and no password was given";
    case ReadFailure::unsupported:
      return name + ": unsupported (" + detail + ")";
    case ReadFailure::damaged:
      return name + ": data damaged (" + detail + ")";
    case ReadFailure::none:
      break;
  }
  return name + " could not be read";
}

failures::Kind ArchiveReader::kind_of(ReadFailure failure) {
  switch (failure) {
    case ReadFailure::wrong_password:
    case ReadFailure::no_password:
      return failures::Kind::password;
    case ReadFailure::unsupported:
      return failures::Kind::unsupported;
    case ReadFailure::damaged:
      return failures::Kind::damaged;
    case ReadFailure::none:
      break;
  }
  return failures::Kind::other;
}

// A native path as reasons (UTF-8) show it.
std::string ArchiveReader::shown_path(const std::string& native) {
  return failures::quoted(names::shown(native));
}

// Hands the open entry's data to `sink`, checked chunk by chunk.
bool ArchiveReader::copy_entry_data(EntryDecoder& engine, const DirectoryEntry& entry,
                                    EntrySink& sink, Progress& progress, std::string* reason,
                                    failures::Kind* kind) {
  const auto sink_failed = [kind] {
    *kind = failures::Kind::write_failed;
    return false;
  };
  int64_t produced = 0;
  for (;;) {
    const char* data;
    size_t size;
    switch (checked_chunk(engine, entry, &produced, &data, &size, reason, kind)) {
      case ReadStatus::end:
        return sink.finish(reason) || sink_failed();
      case ReadStatus::failed:
        return false;
      case ReadStatus::data:
        if (!sink.take(data, size, reason)) return sink_failed();
        if (!progress.add(entry.info.name, static_cast<int64_t>(size))) {
          *reason = "stopped while " + failures::quoted(entry.info.name) + " was read";
          *kind = failures::Kind::other;
          return false;
        }
        break;
    }
  }
}

// No byte past the declared size is passed on: the chunk that would pass it
// stops the entry, so a lie costs no more than its declared size (which the
// expansion budget has already admitted) and one chunk of the engine's. Data
// that ends short of the declared size is damage, whatever the engine thought
// of it.
ReadStatus ArchiveReader::checked_chunk(EntryDecoder& engine, const DirectoryEntry& entry,
                                        int64_t* produced, const char** data, size_t* size,
                                        std::string* reason, failures::Kind* kind) {
  const auto damaged = [&](const char* why) {
    *reason = failures::quoted(entry.info.name) + ": data damaged (" + why + ")";
    *kind = failures::Kind::damaged;
    return ReadStatus::failed;
  };
  switch (engine.read_chunk(data, size)) {
    case ReadStatus::end:
      if (*produced != entry.info.size) return damaged("its size differs from the central directory's");
      return ReadStatus::end;
    case ReadStatus::failed:
      *reason = reading_failure(entry, engine);
      *kind = kind_of(engine.failure());
      return ReadStatus::failed;
    case ReadStatus::data:
      break;
  }
  if (static_cast<int64_t>(*size) > entry.info.size - *produced) {
    return damaged("more data than its declared size");
  }
  *produced += static_cast<int64_t>(*size);
  return ReadStatus::data;
}
