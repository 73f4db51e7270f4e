// What decodes one entry's data, laid out as CentralDirectory::locate_entry
// found it: Parvox's own decoder for stored and deflated data, with or
// without WinZip AES (zip_entry_decoder.h), and libarchive for every other
// method and encryption (libarchive_decoder.h).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct EntryLayout;
class ArchiveBytes;

enum class ReadStatus { data, end, failed };

// Why an entry's data could not be read.
enum class ReadFailure { none, wrong_password, no_password, unsupported, damaged };

class EntryDecoder {
 public:
  virtual ~EntryDecoder() = default;

  // Starts reading the entry's data. Fails when it cannot be read at all
  // (wrong or missing password, unsupported method, damaged header), so a
  // caller learns that before it creates anything for the entry.
  virtual bool open_entry() = 0;
  // Next chunk of the open entry's data; the chunk stays valid until the next
  // call. A damaged entry (bad CRC, bad authentication code, truncated data)
  // ends in `failed`, never in `end`, and nothing is read after the end.
  ReadStatus read_chunk(const char** data, size_t* size);

  // Asks the decoder, before it is opened, to keep each chunk valid until
  // `count` more calls of read_chunk, not only until the next; false when it
  // cannot (its chunks are then copied to be kept).
  virtual bool keep_chunks(size_t count) {
    static_cast<void>(count);
    return false;
  }

  // Why open_entry or read_chunk failed last, and the decoder's words for it.
  virtual ReadFailure failure() const = 0;
  virtual const std::string& failure_detail() const = 0;

 protected:
  // Decodes the next chunk, as read_chunk hands it out.
  virtual ReadStatus fetch_chunk(const char** data, size_t* size) = 0;
  // Decodes the first chunk at opening, for the next read_chunk to hand out
  // (a failure when the entry was not `started`): damaged data shows at the
  // first read, as from a decoder that streams. Answers its status.
  ReadStatus fetch_first_chunk(bool started = true);

 private:
  ReadStatus pending_status_ = ReadStatus::end;
  const char* pending_data_ = nullptr;
  size_t pending_size_ = 0;
  bool has_pending_ = false;
};

// The decoder for the entry laid out as `layout` in `bytes` (which outlive
// it): Parvox's own when it takes the entry, else libarchive's. Encrypted
// entries are read with `password` or, when it is not empty, with
// `alternative`, another form of the same password. Decoders read at offsets
// of their own, so several may work on one archive side by side. Null when
// neither can start on it. Throws std::bad_alloc.
std::unique_ptr<EntryDecoder> open_entry_decoder(const ArchiveBytes& bytes,
                                                 const EntryLayout& layout,
                                                 const std::string& password,
                                                 const std::string& alternative);
