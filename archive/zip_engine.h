// The zip engine: every call into libarchive lives behind this interface.
// Archives are read through libarchive; they are written by zip_writer.h.
//
// ZipReader works on a file the caller opened (and keeps owning); it never
// opens or closes it itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct archive;
struct archive_entry;

namespace zip_engine {

struct ArchiveDeleter {
  void operator()(archive* handle) const;
};
using ArchiveHandle = std::unique_ptr<archive, ArchiveDeleter>;

enum class ReadStatus { data, end, failed };

struct EntryInfo {
  // In the locale's charset: a name stored as UTF-8 (flagged so) is converted,
  // any other name is the bytes as stored.
  std::string name;
  // False when the stored name has no form in the locale's charset (or is not
  // the UTF-8 it is flagged as); `name` is then empty.
  bool name_ok = false;
  int64_t size = 0;  // as declared; the data may turn out otherwise
  bool is_folder = false;
  bool is_encrypted = false;
  size_t position = 0;  // 0 for the first entry, 1 for the next, ...
};

// Why an entry's data could not be read.
enum class ReadFailure { none, wrong_password, no_password, unsupported, damaged };

// Reads an existing archive entry by entry, in the order of its central
// directory.
class ZipReader {
 public:
  // Opens the archive in `fd` (a readable file) and goes to its first entry.
  // Fails for anything that is not a zip archive; an archive without entries
  // opens. Encrypted entries are read with `password` or, when it is not
  // empty, with `alternative`, another form of the same password. The reader
  // reads at offsets of its own, so several readers may work on one
  // descriptor side by side.
  static std::unique_ptr<ZipReader> open(int fd, const std::string& password,
                                         const std::string& alternative = std::string());
  ~ZipReader();

  bool has_entry() const { return has_entry_; }
  // True once positioning failed on a damaged archive (rather than at its end).
  bool damaged() const { return damaged_; }
  const EntryInfo& entry() const { return info_; }
  // The current entry's place in the archive's order, counting from 0.
  int64_t position() const { return position_; }
  // Whether the current entry's data was (partly) read.
  bool data_touched() const { return data_touched_; }

  bool goto_first_entry();
  bool goto_next_entry();
  // Goes to the entry at `position`: forward from the current entry, or again
  // from the first when it lies behind (entries can only be read in order).
  bool goto_position(int64_t position);
  // Goes to the entry that `matches`, trying the current entry first and then
  // every entry from the first.
  bool locate_entry(const std::function<bool(const EntryInfo&)>& matches);

  // Starts reading the current entry's data. Fails when it cannot be read at
  // all (wrong or missing password, unsupported method, damaged header), so a
  // caller learns that before it creates anything for the entry.
  bool open_entry();
  // Next chunk of the open entry's data; the chunk stays valid until the next
  // call. A damaged entry (bad CRC, bad authentication code, truncated data)
  // ends in `failed`, never in `end`.
  ReadStatus read_chunk(const char** data, size_t* size);

  // Why open_entry or read_chunk failed last, and the engine's words for it.
  ReadFailure failure() const { return failure_; }
  const std::string& failure_detail() const { return failure_detail_; }

  // Where a reader takes its bytes from: the descriptor at an offset of its
  // own. Defined with the engine's callbacks.
  struct Source;

 private:
  ReadStatus fetch_chunk(const char** data, size_t* size);
  void note_failure();

  ZipReader(int fd, std::vector<std::string> passwords);
  bool start();
  bool next_header();

  int fd_;
  std::vector<std::string> passwords_;
  std::unique_ptr<Source> source_;
  ArchiveHandle handle_;
  EntryInfo info_;
  int64_t position_ = -1;
  ReadFailure failure_ = ReadFailure::none;
  std::string failure_detail_;
  bool has_entry_ = false;
  bool damaged_ = false;
  bool data_touched_ = false;  // the current entry's data was (partly) consumed
  // A chunk read ahead by open_entry, handed out by the next read_chunk.
  ReadStatus pending_status_ = ReadStatus::end;
  const char* pending_data_ = nullptr;
  size_t pending_size_ = 0;
  bool has_pending_ = false;
  int64_t next_offset_ = 0;
  size_t next_position_ = 0;
  std::string link_text_;  // a link entry's stored data: the link's target
  bool is_link_ = false;
};

}  // namespace zip_engine
