// The zip writer: local headers, entry data, the central directory and the
// end records, written by us into a file the caller opened (and keeps owning)
// or any other ArchiveOutput, in order and never seeking back: the same bytes
// whichever it is.
//
// Entries are deflated at the level asked (write/compressors.h; 0 stores
// them) and, with a password,
// every file entry of at least one byte is WinZip AES-256 encrypted. The work
// on entry data runs on a pool of workers, while the calling thread reads,
// writes finished entries into the archive in the order they were given, and
// reports them; when it is ahead, it works on entry data too. The archive's
// bytes do not depend on the number of threads: only the salts of encrypted
// entries differ from one archive to the next.
//
// Names are UTF-8, as they are stored (see archive/names.h). Each entry records
// the modification time and permission bits it is given (see entry_time.h
// for the fields), made by Unix, owner and group 0, and any comment given,
// the UTF-8 flag on entries whose name or comment is not ASCII. Data that deflate cannot shrink is stored as it is (see
// is_worth_deflating in zip_writer.cpp); the choice depends on the data
// alone, never on the threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/write/archive_output.h"
#include "archive/write/compressors.h"
#include "archive/progress.h"
#include "archive/worker_pool.h"
#include "fsutil/file_status.h"

namespace fsutil {
class File;
}

// Where the salts of encrypted entries come from: the system's random bytes,
// or in tests a source that makes archives repeatable.
class SaltSource {
 public:
  // False when no salt could be had.
  virtual bool fill(unsigned char* salt, size_t size) = 0;

 protected:
  ~SaltSource() = default;
};

namespace zip_writer {

SaltSource& system_salts();

// The size of a file entry whose data is known only once given whole.
constexpr int64_t kUnknownSize = -1;

// The latest time entries record: SOURCE_DATE_EPOCH, so that a tree gives
// the same archive whenever it is zipped; kNoLatestTime when it is not set.
// False, with `*reason` naming it, when it is set to anything but a number
// of seconds in plain digits that 64 bits hold: a value mistyped must not
// quietly leave the times as they are.
constexpr int64_t kNoLatestTime = INT64_MAX;
bool configured_latest_time(int64_t* latest, std::string* reason);

// What entries given without a status of their own record (1980-01-01
// 00:00 UTC).
constexpr fsutil::FileStatus kUndatedFile{315532800, 0644};
constexpr fsutil::FileStatus kUndatedFolder{315532800, 0755};

// What a file entry may have besides its name, size and status.
struct EntryOptions {
  std::optional<int> level;  // compressors' 0 to 9; the archive's when not given
  std::string comment;       // UTF-8
};

// Why `comment` (UTF-8) cannot be an entry's comment, or empty: longer than
// its length field holds, or holding the ZIP64 locator's signature (the last
// record's comment ends right before the end record, where readers look for
// a locator).
std::string entry_comment_refusal(const std::string& comment);
// Why `comment` cannot be the archive's comment, or empty: longer than its
// length field holds, or holding the end record's signature, which readers
// looking for that record from the archive's end would take for it.
std::string archive_comment_refusal(const std::string& comment);

// An entry taken as it stands in another archive: its bytes are copied,
// never decoded, so it needs no password and keeps everything it records.
struct RawEntry {
  std::string name;          // as stored, for reports and failures
  std::string local_header;  // whole: with its name and extra fields
  int source = -1;           // the open file its data is copied from
  int64_t data_at = 0;       // its data and any data descriptor there
  int64_t data_size = 0;
  // Its central directory record, whose place of the local header the
  // writer sets.
  std::string central_record;
};

// `record`, a central directory record, with its local header at `offset`:
// its ZIP64 field added, changed or dropped as that offset and its sizes
// need. False when the record is damaged or the field no longer fits it.
bool relocated_record(const std::string& record, uint64_t offset, std::string* relocated);

}  // namespace zip_writer

class ZipWriter {
 public:
  struct Settings {
    std::string password;
    size_t threads = worker_pool::configured_threads();
    SaltSource* salts = &zip_writer::system_salts();
    int64_t latest_time = zip_writer::kNoLatestTime;
    int level = compressors::kDefaultLevel;  // of entries given no level of their own
    std::string comment;  // the archive's: no archive_comment_refusal
  };

  // Starts an empty archive in `file`, empty and open for writing, which
  // the caller keeps open while the writer lives; null without memory, or
  // for a comment refused.
  static std::unique_ptr<ZipWriter> start(fsutil::File& file, const Settings& settings);
  // The same into `output`, which the caller keeps while the writer lives.
  // An output that cannot take back what has left (a stream) keeps an entry
  // stopped part-way as far as it left, outside the central directory; when
  // that is the stream's first entry, finish() answers false.
  static std::unique_ptr<ZipWriter> start(ArchiveOutput& output, const Settings& settings);
  // Finishes the archive unless finish() or abandon() came first.
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Entries report to `progress` once they are in the archive, in the
  // archive's order, until the next flush(). Once it says stop, the entry
  // being written is taken out of the archive again (nothing of it stays),
  // entries given but not yet written are dropped, and everything given
  // afterwards is ignored until report_to() is called again.
  void report_to(Progress& progress);
  // Whether a stop came since report_to(), and whether it took an entry
  // back out or dropped any.
  bool stopped() const { return stopped_; }
  bool lost_entries() const { return lost_entries_; }

  // A folder entry: `name` ends in '/'. False when the name cannot be stored
  // (names::refusal; nothing of the entry is written) or the writer
  // is broken.
  bool add_folder(const std::string& name, const fsutil::FileStatus& status = zip_writer::kUndatedFolder);
  // A file entry of exactly `size` bytes, or of zip_writer::kUnknownSize: then write()
  // them all and close_file(). Same answers as add_folder; a comment refused
  // (entry_comment_refusal) is refused like a name.
  bool open_file(const std::string& name, int64_t size,
                 const fsutil::FileStatus& status = zip_writer::kUndatedFile,
                 const zip_writer::EntryOptions& options = {});
  bool write(const char* data, size_t size);
  bool close_file();
  // Bytes copied from the file `source` at `offset` before the first entry
  // (a self-extractor's program); false once an entry was given.
  bool add_raw_prefix(int source, int64_t offset, int64_t size);
  // An entry copied as it is, after every entry given before it; false,
  // with the refusal, for a record relocated_record refuses.
  bool add_raw_entry(const zip_writer::RawEntry& entry);
  // The stored names of the entries in the directory from its `first` on:
  // what the last calls added.
  std::vector<std::string> names_since(uint64_t first);

  // Waits until every entry given so far is in the file (or dropped);
  // nothing more is reported until report_to().
  bool flush();

  // Writes the central directory and end records; the writer is done after
  // it. After a failure, the directory lists the entries that were whole in
  // the file; false when even that could not be written.
  bool finish();
  // For a stream: takes the entries whose bytes have not all left back out
  // of the directory (what has left stays in the stream, outside it), as
  // for a call stopped while its entries were still on their way. Answers
  // the first of them, or nothing when there were none.
  std::string take_back_undelivered();
  // The stream failed while its bytes were written outside the writer: the
  // writer is broken, failed_entry() the first entry not all sent.
  void stream_failed();
  // Drops everything not yet written and never writes another byte: for a
  // process that must leave the archive to the one that made it (a forked
  // child). Worker threads are left alone, as a forked child has none.
  void abandon();

  // Once a write into the file (or the work on an entry) has failed, the
  // writer is broken: the file is cut back to the end of the last entry
  // that was whole in it, nothing more is added, and finish() writes the
  // directory of the entries left. failed_entry() is the entry that could
  // not be written (empty for the directory itself).
  bool broken() const { return !failure_.empty(); }
  const std::string& failed_entry() const { return failed_entry_; }
  const std::string& failure() const { return failure_; }
  // Why the last call refused its entry: its name, or the archive being
  // finished already.
  const std::string& refusal() const { return refusal_; }
  bool finished() const { return finished_ || abandoned_; }

  // Workers and the entries they work on; defined with the writer.
  struct Entry;
  struct Task;
  struct Workshop;

 private:
  ZipWriter(ArchiveOutput& output, const Settings& settings);
  bool accepts_entries();
  bool start_entry(const std::string& name, bool folder, int64_t size,
                   const fsutil::FileStatus& status, const zip_writer::EntryOptions& options);
  bool submit_pending(bool last);
  bool is_open_entry_worth_deflating();
  bool submit(std::unique_ptr<Task> task);
  bool write_finished(size_t max_bytes);
  bool commit(Task& task);
  bool commit_chunk(Task& task);
  void commit_central(Entry& entry, int64_t compressed);
  bool report(Entry& entry, int64_t bytes, bool done);
  bool stop_now();
  void drop_pending();
  bool put(const char* data, size_t size);
  bool put(const std::string& bytes) { return put(bytes.data(), bytes.size()); }
  bool flush_output();
  bool copy_raw(const std::string& name, int64_t header_offset, int source, int64_t offset,
                int64_t size);
  bool write_to_file(const char* data, size_t size);
  void note_in_file();
  bool take_back(const Entry& entry);
  void note_lost_at_start(const std::string& name);
  bool fail(std::string why, const std::string& entry);
  bool write_failed();
  void cut_back_to_whole_entries();
  bool write_directory();

  std::unique_ptr<ArchiveOutput> owned_sink_;
  ArchiveOutput* sink_;
  Settings settings_;
  std::unique_ptr<Workshop> workshop_;
  std::deque<std::unique_ptr<Task>> queue_;
  size_t queued_bytes_ = 0;
  // The file entry being given: its data so far, and what comes before it
  // (the dictionary of its next chunk).
  std::shared_ptr<Entry> open_entry_;
  std::string pending_;
  std::string dictionary_;
  int64_t given_ = 0;

  Progress idle_progress_;
  Progress* progress_ = &idle_progress_;
  bool stopped_ = false;
  bool lost_entries_ = false;

  std::string output_;       // bytes not yet in the file
  int64_t in_file_ = 0;      // bytes already in the file
  std::string central_;      // the central directory so far
  uint64_t entries_ = 0;
  // Where names_since last stopped: an entry's number and its record.
  uint64_t named_entries_ = 0;
  size_t named_bytes_ = 0;
  // Where the archive ends after an entry, and its directory then.
  struct EntryEnd {
    int64_t offset = 0;
    size_t central_size = 0;
    uint64_t entries = 0;
    std::string name;
  };
  EntryEnd last_in_file_;           // the last entry whose bytes are all in the file
  std::deque<EntryEnd> not_in_file_;  // whole entries after it, oldest first
  std::string putting_;             // the entry whose bytes are being put
  // The entry stopped part-way whose bytes that had left a stream begin it,
  // before any entry of the directory: readers that read an archive from
  // its start take them for a damaged entry, so the archive is not whole.
  std::string lost_at_start_;
  bool finished_ = false;
  bool abandoned_ = false;
  std::string failure_;      // the writer is broken once set
  std::string failed_entry_;
  bool cut_back_ = true;     // the file holds whole entries only, after a failure
  bool complete_ = false;    // the directory is written
  std::string refusal_;      // the last call's reason, when only that call failed
};

