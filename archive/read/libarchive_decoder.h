// LibarchiveDecoder: every call into libarchive lives behind this interface.
// It decodes the data of one entry (inflating, decrypting, checking); the
// container itself is read by central_directory.h and written by
// write/zip_writer.h.
//
// A decoder works on the bytes of an archive the caller opened (and keeps
// owning); it never opens or closes anything itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/read/central_directory.h"
#include "archive/read/entry_decoder.h"

struct archive;
struct archive_entry;
class ArchiveBytes;


// Reads the data of one entry with libarchive's streaming zip reader. The
// reader sees a local header built from the entry's layout, then the entry's
// data from the file and nothing else: every check of the engine (CRC, AES
// authentication, sizes) is made against the agreed values, and nothing
// else an archive's own header might say (a Unix mode making the entry a
// link, a data descriptor without its signature) changes how the data is
// read. No other entry is walked.
class LibarchiveDecoder final : public EntryDecoder {
 public:
  struct HandleDeleter {
    void operator()(archive* handle) const;
  };
  using ArchiveHandle = std::unique_ptr<archive, HandleDeleter>;

  // Opens the entry laid out as `layout` in `bytes`.
  // Encrypted entries are read with `password` or, when it is not empty,
  // with `alternative`, another form of the same password. The reader reads
  // at offsets of its own, so several readers may work on one archive side
  // by side. Null when the engine cannot start on it.
  static std::unique_ptr<LibarchiveDecoder> open(const ArchiveBytes& bytes, const EntryLayout& layout,
                                         const std::string& password,
                                         const std::string& alternative = std::string());
  ~LibarchiveDecoder() override;

  bool open_entry() override;
  ReadFailure failure() const override { return failure_; }
  const std::string& failure_detail() const override { return failure_detail_; }

  // Where a reader takes its bytes from: the built header, then the entry's
  // data read from the descriptor at offsets of its own. Defined with the
  // engine's callbacks.
  struct Source;

 private:
  ReadStatus fetch_chunk(const char** data, size_t* size) override;
  bool ended_before_its_compressed_size() const;
  ReadStatus empty_lzma_status(int status, size_t size);
  void note_failure();

  LibarchiveDecoder(std::unique_ptr<Source> source, const EntryLayout& layout, bool has_password);
  bool read_header(const std::vector<std::string>& passwords);

  std::unique_ptr<Source> source_;
  uint32_t expected_crc_;
  bool checks_crc_ = false;  // not for WinZip AES entries, which authenticate instead
  bool is_empty_lzma_ = false;
  bool is_zipcrypto_with_password_ = false;
  uint32_t crc_ = 0;  // of the data handed out so far
  ArchiveHandle handle_;
  ReadFailure failure_ = ReadFailure::none;
  std::string failure_detail_;
  bool data_touched_ = false;
  int64_t next_offset_ = 0;
};
