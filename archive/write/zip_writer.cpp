#include "archive/write/zip_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "archive/write/compressors.h"
#include "archive/zip_format.h"
#include "archive/names.h"
#include "archive/entry_time.h"
#include "archive/failures.h"
#include "archive/unix_mode.h"
#include "archive/utf8.h"
#include "archive/winzip_aes.h"
#include "archive/worker_pool.h"
#include "fsutil/file.h"
#include "fsutil/threads.h"

namespace {

using namespace zip_format;

// Entries given but not yet written hold at most about this much memory
// (their data and what it becomes); the oldest is written before more is read.
constexpr size_t kQueuedBytesBound = 24 << 20;
// Bytes of a task besides its data, counted against that bound.
constexpr size_t kTaskOverhead = 1024;
// An entry whose data comes near 4 GiB gets ZIP64 sizes from its local
// header on: its compressed size is known only once written, and deflate and
// encryption add at most about 0.03 % to it.
constexpr int64_t kZip64EntrySize = 0xFF000000;
// Below this size an encrypted entry's CRC would tell too much about its
// data: it is stored as AE-2, without its CRC.
constexpr int64_t kAe2Below = 20;

constexpr uint16_t kVersionMadeBy = (unix_mode::kMadeOnUnix << 8) | 20;  // Unix, 2.0
constexpr size_t kAesFraming =
    winzip_aes::kSaltSize + winzip_aes::kVerifierSize + winzip_aes::kCodeSize;

uint64_t capped32(uint64_t value) { return std::min<uint64_t>(value, kMax32); }

// Whether data that begins with `sample` is deflated rather than stored: deflate
// must shrink the sample by at least 1/32. Data that deflate shrinks by less
// (JPEG, MP4, compressed archives, whose headers alone shrink a little) would
// cost all the time deflating takes for next to nothing.
constexpr size_t kSampleSize = 64 << 10;

bool is_worth_deflating(WholeBufferCompressor& compressor, const char* sample,
                        size_t size, std::string* scratch) {
  // A compressor without memory answers false; deflating anew reports that.
  if (!compressor.compress(sample, size, scratch)) return true;
  return scratch->size() <= size - size / 32;
}

class SystemSalts final : public SaltSource {
 public:
  bool fill(unsigned char* salt, size_t size) override {
    return winzip_aes::random_salt(salt, size);
  }
};

}  // namespace

SaltSource& zip_writer::system_salts() {
  static SystemSalts salts;
  return salts;
}

bool zip_writer::configured_latest_time(int64_t* latest, std::string* reason) {
  const char* setting = std::getenv("SOURCE_DATE_EPOCH");
  *latest = kNoLatestTime;
  if (!setting) return true;
  int64_t seconds = 0;
  const char* digit = setting;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    const int value = *digit - '0';
    if (seconds > (INT64_MAX - value) / 10) break;
    seconds = seconds * 10 + value;
  }
  if (digit == setting || *digit != '\0') {
    *reason = std::string("SOURCE_DATE_EPOCH is ") + failures::quoted(setting) +
              ", not a number of seconds in plain digits";
    return false;
  }
  *latest = seconds;
  return true;
}

namespace {

std::string length_refusal(const std::string& comment) {
  if (comment.size() <= kMaxCommentSize) return std::string();
  return "the comment is longer than " + std::to_string(kMaxCommentSize) + " bytes";
}

bool holds_signature(const std::string& comment, uint32_t signature) {
  std::string bytes;
  put32(bytes, signature);
  return comment.find(bytes) != std::string::npos;
}

}  // namespace

std::string zip_writer::entry_comment_refusal(const std::string& comment) {
  if (!holds_signature(comment, kZip64LocatorSignature)) return length_refusal(comment);
  return "the comment holds the signature of the ZIP64 locator (PK\\6\\7), which readers would "
         "take for one where it ends the last entry's record";
}

std::string zip_writer::archive_comment_refusal(const std::string& comment) {
  if (!holds_signature(comment, kEndRecordSignature)) return length_refusal(comment);
  return "the comment holds the signature of the end record (PK\\5\\6), which readers would take "
         "for the archive's end";
}

// ---- Entries and the work on them --------------------------------------------

struct ZipWriter::Entry {
  std::string stored_name;  // UTF-8, as it stands in the archive
  bool folder = false;
  int64_t size = 0;          // kUnknownSize until its data is given whole
  bool size_known = true;    // when the entry was started
  int64_t mtime = 0;  // as recorded, SOURCE_DATE_EPOCH applied
  DosTime dos_time;
  uint32_t permissions = 0;
  int level = compressors::kDefaultLevel;
  std::string comment;
  bool encrypted = false;
  bool ae2 = false;      // encrypted without its CRC
  bool chunked = false;  // compressed in chunks, sizes in a data descriptor
  bool zip64 = false;    // ZIP64 sizes from the local header on
  // Its data as it is, not deflated: a chunked entry's from its first chunk
  // on, a whole one's once its task is done.
  bool stored = false;
  unsigned char salt[winzip_aes::kSaltSize] = {};
  // Known once written.
  int64_t header_offset = -1;
  uint32_t crc = 0;
  int64_t compressed = 0;
  std::unique_ptr<WinZipAesEncryptor> encryptor;  // a chunked entry's, while written

  uint16_t flags() const {
    uint16_t flags = utf8::is_ascii(stored_name) && utf8::is_ascii(comment) ? 0 : kFlagUtf8;
    if (encrypted) flags |= kFlagEncrypted;
    if (chunked) flags |= kFlagDescriptor;
    return flags;
  }
  // The method of the data; the headers name AES instead when encrypted.
  uint16_t data_method() const { return folder || stored ? kMethodStored : kMethodDeflated; }
  uint16_t method() const { return encrypted ? kMethodWinZipAes : data_method(); }
  uint32_t stored_crc() const { return encrypted && ae2 ? 0 : crc; }
};

// What each thread keeps from one task to the next.
struct ZipWriter::Workshop {
  Workshop(size_t threads, std::string password)
      : pool(threads > 1 ? threads - 1 : 0), password(std::move(password)) {
    whole.resize(pool.threads());
    chunks.resize(pool.threads());
  }
  WorkerPool pool;
  const std::string password;
  std::vector<std::unique_ptr<WholeBufferCompressor>> whole;
  std::vector<std::unique_ptr<ChunkCompressor>> chunks;

  // The compressors of `thread` at `level`: kept from one task to the next,
  // made anew when the level changes.
  WholeBufferCompressor& whole_at(size_t thread, int level) {
    return compressor_at(whole[thread], level);
  }
  ChunkCompressor& chunks_at(size_t thread, int level) {
    return compressor_at(chunks[thread], level);
  }

 private:
  template <typename Compressor>
  static Compressor& compressor_at(std::unique_ptr<Compressor>& kept, int level) {
    if (!kept || kept->level() != level) kept.reset(new Compressor(level));
    return *kept;
  }
};

// One piece of work in the archive's order: a folder entry (nothing to do), a
// whole file entry, or one chunk of a large one.
struct ZipWriter::Task final : WorkerPool::Job {
  std::shared_ptr<Entry> entry;
  Workshop* workshop = nullptr;
  std::string input;
  std::string dictionary;  // a chunk's: the data before it
  bool first = true;       // a chunk's: the entry's first
  bool last = true;        // a chunk's: the entry's last
  size_t data_size = 0;    // the input's, which is freed once worked on
  // Results.
  std::string output;  // for an encrypted whole entry, with the AES framing
  uint32_t crc = 0;
  WinZipAesKeys keys;  // an encrypted entry's, from its first task
  bool stored = false;    // a whole entry's: the output is its data as it is
  bool ok = false;

  size_t queued_bytes() const { return 2 * data_size + kTaskOverhead; }

  void run(size_t thread) override {
    try {
      ok = entry->folder || (entry->chunked ? compress_chunk(thread) : compress_whole(thread));
    } catch (const std::bad_alloc&) {
      ok = false;
    }
    std::string().swap(input);
    std::string().swap(dictionary);
  }

  // Stored when its first 64 KiB are not worth deflating, or when deflating
  // it whole does not make it smaller.
  bool compress_whole(size_t thread) {
    crc = zip_format::crc32(0, input.data(), input.size());
    stored = entry->level == compressors::kStoredLevel;
    if (!stored) {
      WholeBufferCompressor& compressor = workshop->whole_at(thread, entry->level);
      stored = input.size() > kSampleSize &&
               !is_worth_deflating(compressor, input.data(), kSampleSize, &output);
      if (!stored && !compressor.compress(input.data(), input.size(), &output)) return false;
      stored = stored || output.size() >= input.size();
    }
    if (stored) output.assign(input);
    return !entry->encrypted || encrypt_whole();
  }

  bool encrypt_whole() {
    if (!winzip_aes::derive_keys(workshop->password, entry->salt, &keys)) return false;
    std::unique_ptr<WinZipAesEncryptor> encryptor = WinZipAesEncryptor::start(keys);
    if (!encryptor) return false;
    encryptor->encrypt(&output[0], output.size());
    unsigned char code[winzip_aes::kCodeSize];
    encryptor->finish(code);
    std::string header(reinterpret_cast<const char*>(entry->salt), winzip_aes::kSaltSize);
    header.append(reinterpret_cast<const char*>(keys.verifier), winzip_aes::kVerifierSize);
    output.insert(0, header);
    output.append(reinterpret_cast<const char*>(code), winzip_aes::kCodeSize);
    return true;
  }

  bool compress_chunk(size_t thread) {
    crc = zip_format::crc32(0, input.data(), input.size());
    if (first && entry->encrypted &&
        !winzip_aes::derive_keys(workshop->password, entry->salt, &keys)) {
      return false;
    }
    if (entry->stored) {
      output.assign(input);
      return true;
    }
    return workshop->chunks_at(thread, entry->level)
        .compress(dictionary, input.data(), input.size(), last, &output);
  }
};

// ---- Starting and giving entries -----------------------------------------------

ZipWriter::ZipWriter(ArchiveOutput& output, const Settings& settings)
    : sink_(&output), settings_(settings) {}

ZipWriter::~ZipWriter() {
  if (abandoned_) return;
  finish();
}

std::unique_ptr<ZipWriter> ZipWriter::start(fsutil::File& file, const Settings& settings) {
  std::unique_ptr<ArchiveOutput> output(new (std::nothrow) FileOutput(file));
  if (!output) return nullptr;
  std::unique_ptr<ZipWriter> writer = start(*output, settings);
  if (writer) writer->owned_sink_ = std::move(output);
  return writer;
}

std::unique_ptr<ZipWriter> ZipWriter::start(ArchiveOutput& output, const Settings& settings) {
  if (!zip_writer::archive_comment_refusal(settings.comment).empty()) return nullptr;
  std::unique_ptr<ZipWriter> writer(new (std::nothrow) ZipWriter(output, settings));
  if (!writer) return nullptr;
  writer->workshop_.reset(new (std::nothrow) Workshop(settings.threads, settings.password));
  if (!writer->workshop_) return nullptr;
  writer->output_.reserve(output.block_size());
  return writer;
}

void ZipWriter::report_to(Progress& progress) {
  progress_ = &progress;
  stopped_ = false;
  lost_entries_ = false;
}

// Breaks the writer (the first failure is the one kept): `entry` could not
// be written, and the archive goes back to the entries whole in the file.
bool ZipWriter::fail(std::string why, const std::string& entry) {
  if (!failure_.empty()) return false;
  failure_ = std::move(why);
  failed_entry_ = entry;
  cut_back_to_whole_entries();
  return false;
}

bool ZipWriter::accepts_entries() {
  refusal_.clear();
  if (finished_ || abandoned_) {
    refusal_ = "the archive is already finished";
    return false;
  }
  return failure_.empty();
}

bool ZipWriter::start_entry(const std::string& name, bool folder, int64_t size,
                            const fsutil::FileStatus& status,
                            const zip_writer::EntryOptions& options) {
  refusal_ = names::refusal(name, folder);
  if (refusal_.empty()) refusal_ = zip_writer::entry_comment_refusal(options.comment);
  if (!refusal_.empty()) return false;
  auto entry = std::make_shared<Entry>();
  entry->stored_name = name;
  entry->folder = folder;
  entry->size = size;
  entry->mtime = std::min(status.mtime, settings_.latest_time);
  entry->dos_time = entry_time::dos_time_of(entry->mtime);
  entry->permissions = status.permissions & unix_mode::kPermissionBits;
  entry->level = std::clamp(options.level.value_or(settings_.level), compressors::kStoredLevel,
                            compressors::kMaxLevel);
  entry->comment = options.comment;
  entry->size_known = size != zip_writer::kUnknownSize;
  entry->encrypted = !folder && size != 0 && !settings_.password.empty();
  entry->ae2 = entry->size_known && size < kAe2Below;
  // Data of unknown size may come near 4 GiB as well.
  entry->chunked = !entry->size_known || size > static_cast<int64_t>(compressors::kWholeBufferBound);
  entry->zip64 = !entry->size_known || size >= kZip64EntrySize;
  if (entry->encrypted && !settings_.salts->fill(entry->salt, sizeof entry->salt)) {
    return fail("no random salt for the encryption", name);
  }
  open_entry_ = std::move(entry);
  pending_.clear();
  dictionary_.clear();
  given_ = 0;
  return true;
}

bool ZipWriter::add_folder(const std::string& name, const fsutil::FileStatus& status) {
  if (!accepts_entries()) return false;
  if (stopped_) return true;
  if (progress_->stopped()) return stop_now();
  if (!start_entry(name, true, 0, status, {})) return false;
  return submit_pending(true);
}

bool ZipWriter::open_file(const std::string& name, int64_t size,
                          const fsutil::FileStatus& status,
                          const zip_writer::EntryOptions& options) {
  if (!accepts_entries()) return false;
  if (stopped_) return true;
  if (progress_->stopped()) return stop_now();
  if (!start_entry(name, false, size, status, options)) return false;
  if (!open_entry_->chunked) pending_.reserve(static_cast<size_t>(size));
  return true;
}

bool ZipWriter::write(const char* data, size_t size) {
  if (!failure_.empty()) return false;
  if (stopped_ || !open_entry_) return true;
  if (progress_->stopped()) return stop_now();
  if (open_entry_->size_known && static_cast<int64_t>(size) > open_entry_->size - given_) {
    return fail("more data than the entry's size", open_entry_->stored_name);
  }
  given_ += static_cast<int64_t>(size);
  if (!open_entry_->chunked) {
    pending_.append(data, size);
    return true;
  }
  while (size > 0) {
    const size_t taken = std::min(size, compressors::kChunkSize - pending_.size());
    pending_.append(data, taken);
    data += taken;
    size -= taken;
    const bool last = given_ == open_entry_->size && size == 0;
    if ((pending_.size() == compressors::kChunkSize || last) && !submit_pending(last)) return false;
    if (stopped_) return true;
  }
  return true;
}

bool ZipWriter::close_file() {
  if (!failure_.empty()) return false;
  if (stopped_ || !open_entry_) return true;
  if (progress_->stopped()) return stop_now();
  if (!open_entry_->size_known) {
    open_entry_->size = given_;
    return submit_pending(true);
  }
  if (given_ != open_entry_->size) {
    return fail("less data than the entry's size", open_entry_->stored_name);
  }
  // A chunked entry's last chunk went with its last bytes.
  const bool done = open_entry_->chunked || submit_pending(true);
  open_entry_.reset();
  return done;
}

// Hands the open entry's pending data (all of it, or its next chunk) to the
// workers.
bool ZipWriter::submit_pending(bool last) {
  std::unique_ptr<Task> task(new Task);
  task->entry = open_entry_;
  task->workshop = workshop_.get();
  task->first = dictionary_.empty();
  task->last = last;
  if (open_entry_->chunked && task->first) open_entry_->stored = !is_open_entry_worth_deflating();
  if (open_entry_->chunked) {
    if (!open_entry_->stored) task->dictionary = dictionary_;
    const size_t kept = std::min(pending_.size(), compressors::kDictionarySize);
    dictionary_.assign(pending_, pending_.size() - kept, kept);
  }
  task->input.swap(pending_);
  task->data_size = task->input.size();
  // The result's room is taken here, so that workers allocate no large
  // buffers: glibc keeps what a thread allocated in that thread's own arena
  // once it is freed, and with many workers that memory would add up.
  task->output.reserve(compressors::output_room(task->data_size) + kAesFraming);
  pending_.clear();
  if (open_entry_->chunked && !last) pending_.reserve(compressors::kChunkSize);
  if (last) open_entry_.reset();
  return submit(std::move(task));
}

// Whether the open entry, a chunked one, is deflated: decided from its first
// chunk on this thread, before any of its chunks goes to the workers.
bool ZipWriter::is_open_entry_worth_deflating() {
  if (open_entry_->level == compressors::kStoredLevel) return false;
  WholeBufferCompressor& compressor =
      workshop_->whole_at(workshop_->pool.workers(), open_entry_->level);
  std::string scratch;
  return is_worth_deflating(compressor, pending_.data(), std::min(pending_.size(), kSampleSize),
                            &scratch);
}

bool ZipWriter::submit(std::unique_ptr<Task> task) {
  Task& submitted = *task;
  queued_bytes_ += submitted.queued_bytes();
  queue_.push_back(std::move(task));
  workshop_->pool.submit(submitted);
  // Bounded by bytes only: behind one large entry many small ones may wait,
  // and every thread should have one to work on meanwhile.
  return write_finished(kQueuedBytesBound);
}

bool ZipWriter::flush() {
  if (!failure_.empty() || abandoned_) return false;
  const bool written = write_finished(0) && flush_output();
  progress_ = &idle_progress_;
  return written;
}

// Writes finished tasks from the front of the queue, and waits for the front
// one while the queue holds more than `max_bytes` bytes (0: until it is empty).
bool ZipWriter::write_finished(size_t max_bytes) {
  while (!queue_.empty()) {
    Task& front = *queue_.front();
    if (queued_bytes_ > max_bytes) {
      workshop_->pool.wait_for(front);
    } else if (!workshop_->pool.is_done(front)) {
      return true;
    }
    const bool written = commit(front);
    queued_bytes_ -= front.queued_bytes();
    queue_.pop_front();
    if (!written) {
      drop_pending();
      return false;
    }
    if (stopped_) {
      drop_pending();
      return true;
    }
  }
  return true;
}

// Stops at once: the open entry, as far as it is written, is taken back out
// and nothing given is written any more. Answers whether the archive could be
// cut back; when not (a device, a stream that failed meanwhile) the writer is
// broken, and the step that met the stop answers false.
bool ZipWriter::stop_now() {
  stopped_ = true;
  // Only a chunked entry is ever partly written: the oldest one given.
  std::shared_ptr<Entry> oldest = !queue_.empty() ? queue_.front()->entry : open_entry_;
  drop_pending();
  return !oldest || oldest->header_offset < 0 || take_back(*oldest);
}

void ZipWriter::drop_pending() {
  if (!queue_.empty() || open_entry_) lost_entries_ = true;
  for (const std::unique_ptr<Task>& task : queue_) workshop_->pool.withdraw(*task);
  queue_.clear();
  queued_bytes_ = 0;
  open_entry_.reset();
  pending_.clear();
  dictionary_.clear();
}

// ---- Writing entries -----------------------------------------------------------

namespace {

// The extended timestamp, where the entry's time fits it, and the Unix owner
// fields every entry carries.
void put_common_fields(std::string& out, const ZipWriter::Entry& entry) {
  if (entry_time::has_extended_timestamp(entry.mtime)) {
    put16(out, kExtendedTimestampField);
    put16(out, 5);
    out.push_back(1);  // the modification time only
    put32(out, static_cast<uint64_t>(entry.mtime));
  }
  put16(out, kUnixOwnerField);
  put16(out, 11);
  out.push_back(1);  // version
  out.push_back(4);
  put32(out, 0);  // owner
  out.push_back(4);
  put32(out, 0);  // group
}

void put_aes_field(std::string& out, const ZipWriter::Entry& entry) {
  put16(out, kWinZipAesField);
  put16(out, 7);
  put16(out, entry.ae2 ? 2 : 1);
  out.append("AE");
  out.push_back(3);  // AES-256
  put16(out, entry.data_method());
}

// The fields of the local and central headers from the version needed on.
void put_entry_fields(std::string& out, const ZipWriter::Entry& entry, uint16_t flags,
                      uint32_t crc, uint64_t compressed, uint64_t size, bool zip64) {
  put16(out, zip64 ? kVersionNeededZip64 : kVersionNeeded);
  put16(out, flags);
  put16(out, entry.method());
  put16(out, entry.dos_time.time);
  put16(out, entry.dos_time.date);
  put32(out, crc);
  put32(out, compressed);
  put32(out, size);
}

}  // namespace

bool ZipWriter::commit(Task& task) {
  Entry& entry = *task.entry;
  putting_ = entry.stored_name;
  if (!task.ok) return fail("out of memory, or the system's cryptography failed", putting_);
  if (entry.chunked) return commit_chunk(task);

  entry.header_offset = in_file_ + static_cast<int64_t>(output_.size());
  entry.stored = task.stored;
  entry.crc = task.crc;
  entry.compressed = static_cast<int64_t>(task.output.size());
  std::string header;
  put32(header, kLocalHeaderSignature);
  put_entry_fields(header, entry, entry.flags(), entry.stored_crc(), entry.compressed,
                   entry.size, false);
  std::string fields;
  put_common_fields(fields, entry);
  if (entry.encrypted) put_aes_field(fields, entry);
  put16(header, entry.stored_name.size());
  put16(header, fields.size());
  header += entry.stored_name;
  header += fields;
  if (!put(header) || !put(task.output)) return false;
  commit_central(entry, entry.compressed);
  return report(entry, entry.size, true);
}

bool ZipWriter::commit_chunk(Task& task) {
  Entry& entry = *task.entry;
  if (task.first) {
    entry.header_offset = in_file_ + static_cast<int64_t>(output_.size());
    std::string header;
    put32(header, kLocalHeaderSignature);
    put_entry_fields(header, entry, entry.flags(), 0, entry.zip64 ? kMax32 : 0,
                     entry.zip64 ? kMax32 : entry.size, entry.zip64);
    std::string fields;
    put_common_fields(fields, entry);
    if (entry.zip64) {
      put16(fields, kZip64Field);
      put16(fields, 16);
      put64(fields, entry.size_known ? entry.size : 0);
      put64(fields, 0);  // in the data descriptor
    }
    if (entry.encrypted) put_aes_field(fields, entry);
    put16(header, entry.stored_name.size());
    put16(header, fields.size());
    header += entry.stored_name;
    header += fields;
    if (!put(header)) return false;
    if (entry.encrypted) {
      entry.encryptor = WinZipAesEncryptor::start(task.keys);
      if (!entry.encryptor) return fail("the system's cryptography failed", putting_);
      if (!put(reinterpret_cast<const char*>(entry.salt), winzip_aes::kSaltSize) ||
          !put(reinterpret_cast<const char*>(task.keys.verifier), winzip_aes::kVerifierSize)) {
        return false;
      }
    }
  }
  if (entry.encryptor) entry.encryptor->encrypt(&task.output[0], task.output.size());
  if (!put(task.output)) return false;
  entry.compressed += static_cast<int64_t>(task.output.size());
  entry.crc = task.first ? task.crc : zip_format::crc32_combine(entry.crc, task.crc, task.data_size);
  if (!task.last) return report(entry, task.data_size, false);

  if (entry.encryptor) {
    unsigned char code[winzip_aes::kCodeSize];
    entry.encryptor->finish(code);
    entry.encryptor.reset();
    if (!put(reinterpret_cast<const char*>(code), sizeof code)) return false;
    entry.compressed += kAesFraming;
  }
  std::string descriptor;
  put32(descriptor, kDataDescriptorSignature);
  put32(descriptor, entry.stored_crc());
  if (entry.zip64) {
    put64(descriptor, entry.compressed);
    put64(descriptor, entry.size);
  } else {
    put32(descriptor, entry.compressed);
    put32(descriptor, entry.size);
  }
  if (!put(descriptor)) return false;
  commit_central(entry, entry.compressed);
  return report(entry, task.data_size, true);
}

void ZipWriter::commit_central(Entry& entry, int64_t compressed) {
  const bool large = entry.zip64 || static_cast<uint64_t>(compressed) >= kMax32 ||
                     static_cast<uint64_t>(entry.size) >= kMax32;
  const bool far = static_cast<uint64_t>(entry.header_offset) >= kMax32;
  std::string fields;
  put_common_fields(fields, entry);
  if (large || far) {
    put16(fields, kZip64Field);
    put16(fields, (large ? 16 : 0) + (far ? 8 : 0));
    if (large) {
      put64(fields, entry.size);
      put64(fields, compressed);
    }
    if (far) put64(fields, entry.header_offset);
  }
  if (entry.encrypted) put_aes_field(fields, entry);
  put32(central_, kCentralRecordSignature);
  put16(central_, kVersionMadeBy);
  put_entry_fields(central_, entry, entry.flags(), entry.stored_crc(),
                   large ? kMax32 : compressed, large ? kMax32 : entry.size, large || far);
  put16(central_, entry.stored_name.size());
  put16(central_, fields.size());
  put16(central_, entry.comment.size());
  put16(central_, 0);  // disk
  put16(central_, 0);  // internal attributes
  const uint32_t type = entry.folder ? unix_mode::kFolder : unix_mode::kRegularFile;
  put32(central_, (type | entry.permissions) << 16);
  put32(central_, capped32(entry.header_offset));
  central_ += entry.stored_name;
  central_ += fields;
  central_ += entry.comment;
  ++entries_;
  not_in_file_.push_back({in_file_ + static_cast<int64_t>(output_.size()), central_.size(),
                          entries_, entry.stored_name});
  note_in_file();
}

// Reports `bytes` more of the entry's data, and with `done` the entry whole.
// A stop asked for before the entry is whole takes it back out.
bool ZipWriter::report(Entry& entry, int64_t bytes, bool done) {
  const bool go_on = progress_->add(entry.stored_name, bytes) &&
                     (!done || progress_->finish_entry(entry.stored_name));
  if (go_on) return true;
  stopped_ = true;
  if (done) return true;
  lost_entries_ = true;
  return take_back(entry);
}

// ---- Entries copied as they are --------------------------------------------------

namespace {

void patch16(std::string& bytes, size_t at, uint64_t value) {
  std::string field;
  put16(field, value);
  bytes.replace(at, 2, field);
}

void patch32(std::string& bytes, size_t at, uint64_t value) {
  std::string field;
  put32(field, value);
  bytes.replace(at, 4, field);
}

// Pieces of raw data between progress reports and stop checks.
constexpr int64_t kRawPiece = 64 << 20;

}  // namespace

bool zip_writer::relocated_record(const std::string& record, uint64_t offset,
                                  std::string* relocated) {
  if (record.size() < kCentralRecordSize || !has_signature(record.data(), kCentralRecordSignature)) {
    return false;
  }
  const size_t name_size = le16(&record[28]), extra_size = le16(&record[30]);
  if (kCentralRecordSize + name_size + extra_size > record.size()) return false;
  const std::string extra = record.substr(kCentralRecordSize + name_size, extra_size);
  // The sizes the record leaves to its ZIP64 field stay there; the offset
  // goes there only when it needs to, and a disk number never (one disk).
  std::string field, values;
  find_extra_field(extra, kZip64Field, &field);
  for (size_t size_at : {24, 20}) {
    if (le32(&record[size_at]) != kMax32) continue;
    if (values.size() + 8 > field.size()) return false;
    values.append(field, values.size(), 8);
  }
  const bool far = offset >= kMax32;
  if (far) put64(values, offset);
  std::string fields;
  if (!values.empty()) {
    put16(fields, kZip64Field);
    put16(fields, values.size());
    fields += values;
  }
  fields += without_extra_field(extra, kZip64Field);
  if (fields.size() > kMax16) return false;
  *relocated = record.substr(0, kCentralRecordSize + name_size) + fields +
               record.substr(kCentralRecordSize + name_size + extra_size);
  patch16(*relocated, 30, fields.size());
  patch16(*relocated, 34, 0);
  patch32(*relocated, 42, far ? kMax32 : offset);
  if (!values.empty() && le16(&record[6]) < kVersionNeededZip64) {
    patch16(*relocated, 6, kVersionNeededZip64);
  }
  return true;
}

bool ZipWriter::add_raw_prefix(int source, int64_t offset, int64_t size) {
  if (!accepts_entries()) return false;
  if (entries_ != 0 || !queue_.empty() || open_entry_) {
    refusal_ = "bytes before the first entry come before it";
    return false;
  }
  if (!copy_raw(std::string(), -1, source, offset, size)) return false;
  last_in_file_.offset = in_file_;
  return true;
}

bool ZipWriter::add_raw_entry(const zip_writer::RawEntry& raw) {
  if (!accepts_entries()) return false;
  if (stopped_) return true;
  if (progress_->stopped()) return stop_now();
  if (!write_finished(0)) return false;
  const int64_t offset = in_file_ + static_cast<int64_t>(output_.size());
  std::string record;
  if (!zip_writer::relocated_record(raw.central_record, static_cast<uint64_t>(offset), &record)) {
    refusal_ = "its central directory record is damaged, or too long for a ZIP64 field";
    return false;
  }
  putting_ = raw.name;
  if (!put(raw.local_header) || !copy_raw(raw.name, offset, raw.source, raw.data_at, raw.data_size)) {
    return false;
  }
  if (stopped_) return true;
  central_ += record;
  ++entries_;
  not_in_file_.push_back({in_file_ + static_cast<int64_t>(output_.size()), central_.size(),
                          entries_, raw.name});
  note_in_file();
  if (!progress_->finish_entry(raw.name)) stopped_ = true;
  return true;
}

// Copies raw bytes into the archive in pieces, reporting each; a stop takes
// the entry begun at `header_offset` back out (none for a prefix: -1).
bool ZipWriter::copy_raw(const std::string& name, int64_t header_offset, int source,
                         int64_t offset, int64_t size) {
  if (!flush_output()) return false;
  while (size > 0) {
    const int64_t piece = std::min(size, kRawPiece);
    if (!sink_->copy_from(source, offset, piece)) return write_failed();
    in_file_ += piece;
    offset += piece;
    size -= piece;
    if (header_offset >= 0 && !progress_->add(name, piece)) {
      stopped_ = true;
      lost_entries_ = true;
      Entry taken;
      taken.stored_name = name;
      taken.header_offset = header_offset;
      return take_back(taken);
    }
  }
  return true;
}

std::vector<std::string> ZipWriter::names_since(uint64_t first) {
  if (named_entries_ > first || named_bytes_ > central_.size()) {
    named_entries_ = 0;
    named_bytes_ = 0;
  }
  std::vector<std::string> names;
  while (named_entries_ < entries_ && named_bytes_ + kCentralRecordSize <= central_.size()) {
    const char* record = &central_[named_bytes_];
    const size_t name_size = le16(record + 28);
    if (named_entries_ >= first) names.emplace_back(record + kCentralRecordSize, name_size);
    named_bytes_ += kCentralRecordSize + name_size + le16(record + 30) + le16(record + 32);
    ++named_entries_;
  }
  return names;
}

// ---- The archive file ------------------------------------------------------------

bool ZipWriter::put(const char* data, size_t size) {
  if (!failure_.empty() || abandoned_) return false;
  const size_t block = sink_->block_size();
  if (output_.size() + size > block && !flush_output()) return false;
  if (size >= block) return write_to_file(data, size);
  output_.append(data, size);
  return true;
}

bool ZipWriter::flush_output() {
  if (output_.empty()) return true;
  if (!write_to_file(output_.data(), output_.size())) return false;
  output_.clear();
  return true;
}

bool ZipWriter::write_to_file(const char* data, size_t size) {
  if (!sink_->write_all(data, size)) return write_failed();
  in_file_ += static_cast<int64_t>(size);
  note_in_file();
  return true;
}

// Moves the whole entries whose bytes have all reached the file (for a
// stream: have left) from not_in_file_ to last_in_file_.
void ZipWriter::note_in_file() {
  const int64_t reached = std::min(in_file_, sink_->delivered());
  while (!not_in_file_.empty() && not_in_file_.front().offset <= reached) {
    last_in_file_ = std::move(not_in_file_.front());
    not_in_file_.pop_front();
  }
}

// The bytes that did not reach the file belong to the oldest entry not all
// in it.
bool ZipWriter::write_failed() {
  std::string why = sink_->last_failure();
  return fail(std::move(why), not_in_file_.empty() ? putting_ : not_in_file_.front().name);
}

// After a failure the archive keeps the entries whole in the file and
// nothing after them (a stream keeps what has left of the next). A file
// that cannot be cut (a device), or a stream that failed, cannot be
// finished.
void ZipWriter::cut_back_to_whole_entries() {
  const std::string cut = not_in_file_.empty() ? putting_ : not_in_file_.front().name;
  output_.clear();
  not_in_file_.clear();
  central_.resize(last_in_file_.central_size);
  entries_ = last_in_file_.entries;
  in_file_ = last_in_file_.offset;
  cut_back_ = !abandoned_ && sink_->take_back_to(last_in_file_.offset, &in_file_);
  note_lost_at_start(cut);
}

std::string ZipWriter::take_back_undelivered() {
  if (!failure_.empty() || finished_ || abandoned_) return "";
  note_in_file();
  if (not_in_file_.empty()) return "";
  std::string first = not_in_file_.front().name;
  lost_entries_ = true;
  cut_back_to_whole_entries();
  return first;
}

void ZipWriter::stream_failed() {
  if (!failure_.empty() || finished_ || abandoned_) return;
  note_in_file();
  write_failed();
}

// Takes `entry`, and everything after it, back out of the archive.
bool ZipWriter::take_back(const Entry& entry) {
  const int64_t offset = entry.header_offset;
  if (offset >= in_file_) {
    output_.resize(static_cast<size_t>(offset - in_file_));
    return true;
  }
  output_.clear();
  if (!sink_->take_back_to(offset, &in_file_)) return write_failed();
  note_lost_at_start(entry.stored_name);
  return true;
}

// After a take-back: with no entry left in the directory, any byte still in
// the archive is one that had left a stream, of the entry `name`.
void ZipWriter::note_lost_at_start(const std::string& name) {
  if (entries_ == 0 && in_file_ > 0 && lost_at_start_.empty()) lost_at_start_ = name;
}

bool ZipWriter::finish() {
  if (finished_ || abandoned_) return complete_;
  report_to(idle_progress_);
  if (failure_.empty() && write_finished(0)) flush_output();
  drop_pending();
  finished_ = true;
  complete_ = cut_back_ && write_directory() && lost_at_start_.empty();
  if (!lost_at_start_.empty() && failure_.empty()) {
    failure_ = "it begins with bytes of " + failures::quoted(lost_at_start_) +
               ", stopped part-way, which readers that read an archive from its start take "
               "for a damaged entry";
  }
  std::string().swap(central_);
  return complete_;
}

// Writes the central directory and the end records after the entries in
// the file. A failure here is the archive's, not an entry's.
bool ZipWriter::write_directory() {
  const uint64_t central_offset = static_cast<uint64_t>(in_file_);
  const uint64_t central_size = central_.size();
  std::string end;
  const bool zip64 =
      entries_ >= kMax16 || central_offset >= kMax32 || central_size >= kMax32;
  if (zip64) {
    const uint64_t record_offset = central_offset + central_size;
    put32(end, kZip64EndRecordSignature);
    put64(end, 44);  // the record's size after this field
    put16(end, (unix_mode::kMadeOnUnix << 8) | kVersionNeededZip64);
    put16(end, kVersionNeededZip64);
    put32(end, 0);
    put32(end, 0);
    put64(end, entries_);
    put64(end, entries_);
    put64(end, central_size);
    put64(end, central_offset);
    put32(end, kZip64LocatorSignature);  // the locator
    put32(end, 0);
    put64(end, record_offset);
    put32(end, 1);
  }
  put32(end, kEndRecordSignature);
  put16(end, 0);
  put16(end, 0);
  put16(end, std::min<uint64_t>(entries_, kMax16));
  put16(end, std::min<uint64_t>(entries_, kMax16));
  put32(end, capped32(central_size));
  put32(end, capped32(central_offset));
  put16(end, settings_.comment.size());
  end += settings_.comment;
  if (sink_->write_all(central_.data(), central_.size()) && sink_->write_all(end.data(), end.size())) {
    return true;
  }
  failure_ = sink_->last_failure();
  failed_entry_.clear();
  return false;
}

void ZipWriter::abandon() {
  abandoned_ = true;
  // The workers' threads do not exist in a forked child: neither the pool
  // nor the tasks it might still hold are touched again.
  for (std::unique_ptr<Task>& task : queue_) task.release();
  workshop_.release();
  output_.clear();
}

