// Parvox's own entry decoder, for the data real archives hold: stored and
// deflated entries, plain or encrypted with WinZip AES (AE-1 and AE-2, keys
// of 128, 192 or 256 bits). It reads only the entry's data, at the offsets
// its layout gives, and checks it against the values the local header and
// central directory agree on:
// - an encrypted entry's password by its verifier, and its authentication
//   code (HMAC-SHA1 over the encrypted data) before the entry ends as a
//   success; an entry no larger than kWholeEntryBytes is authenticated before
//   any byte of it is inflated or handed out;
// - never more data than the declared size (inflating stops one byte past
//   it), and exactly that size at the end;
// - the CRC-32, but for AE-2 entries, which authenticate instead.
// Entries within kWholeEntryBytes are inflated whole by libdeflate, larger
// ones in pieces by an Inflater (ISA-L's, or zlib's: inflater.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/read/archive_bytes.h"
#include "archive/read/central_directory.h"
#include "archive/read/entry_decoder.h"
#include "archive/winzip_aes.h"

class Inflater;

class ZipEntryDecoder final : public EntryDecoder {
 public:
  // Entries whose declared and compressed sizes are both within this (and a
  // deflate stream's worst-case overhead) are decoded in one buffer: the
  // bound the writer compresses whole within.
  static constexpr int64_t kWholeEntryBytes = 4 << 20;
  // Larger entries are read and handed out this much at a time: little
  // enough to be still in the CPU's cache when it is checked and written (at
  // 1 MiB, copying it into the file cost three times the system time).
  static constexpr size_t kChunkBytes = 128 << 10;

  // Whether it decodes entries laid out so; libarchive takes the rest.
  static bool takes(const EntryLayout& layout);
  // Reads the entry from `bytes`. Encrypted entries are read with `password`
  // or, when it is not empty, with `alternative`. Throws std::bad_alloc.
  static std::unique_ptr<ZipEntryDecoder> open(std::unique_ptr<const ArchiveBytes> bytes,
                                               const EntryLayout& layout,
                                               const std::string& password,
                                               const std::string& alternative);
  ~ZipEntryDecoder() override;

  bool open_entry() override;
  bool keep_chunks(size_t count) override;
  ReadFailure failure() const override { return failure_; }
  const std::string& failure_detail() const override { return failure_detail_; }

 private:
  ZipEntryDecoder(std::unique_ptr<const ArchiveBytes> bytes, const EntryLayout& layout);

  ReadStatus fetch_chunk(const char** data, size_t* size) override;
  bool start_decryption(const std::string& password, const std::string& alternative);
  ReadStatus decode_whole(const char** data, size_t* size);
  ReadStatus decode_next_chunk(const char** data, size_t* size);
  std::string& next_piece();
  size_t inflate_into(char* out, size_t room);
  bool read_data(char* out, size_t size);
  ReadStatus finish();
  ReadStatus authenticate();
  ReadStatus check_data();
  ReadStatus fail(ReadFailure why, std::string detail);
  ReadStatus damaged(std::string detail);

  std::unique_ptr<const ArchiveBytes> bytes_;
  const EntryLayout layout_;
  uint16_t data_method_ = 0;  // stored or deflated, beneath any encryption
  bool checks_crc_ = true;    // not for AE-2 entries
  bool whole_ = false;
  bool whole_done_ = false;  // a whole entry's data handed out
  std::string password_, alternative_;
  std::unique_ptr<WinZipAesDecryptor> decryptor_;
  int64_t next_read_ = 0;  // file offset of the data not read yet
  int64_t data_left_ = 0;  // bytes of (encrypted) data not read yet
  int64_t produced_ = 0;
  uint32_t crc_ = 0;
  // A whole entry's bytes, left uninitialised: every byte is written before
  // it is read, and zeroing them first cost as much as copying them.
  struct WholeBuffer {
    std::unique_ptr<char[]> data;
    size_t size = 0;
    void allocate(size_t bytes) {
      data.reset(new char[bytes > 0 ? bytes : 1]);
      size = bytes;
    }
  };
  WholeBuffer whole_input_;   // read, decrypted
  WholeBuffer whole_output_;  // inflated
  std::string input_;   // a large entry's data read, decrypted
  std::string output_;  // a large entry's piece
  // A large entry's chunks, used in turn when they are to be kept.
  std::vector<std::string> kept_;
  size_t next_kept_ = 0;
  std::unique_ptr<Inflater> inflater_;  // a large deflated entry's
  bool stream_ended_ = false;
  ReadFailure failure_ = ReadFailure::none;
  std::string failure_detail_;
  bool data_touched_ = false;
};
