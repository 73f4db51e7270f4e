#include "archive/read/libarchive_decoder.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "archive/read/archive_bytes.h"
#include "archive/zip_format.h"
#include "fsutil/file.h"
#include "fsutil/thread_locale.h"

namespace {

using namespace zip_format;

constexpr size_t kReadBlockSize = 1 << 20;

bool succeeded(int status) { return status == ARCHIVE_OK || status == ARCHIVE_WARN; }

// libarchive converts names through the locale it finds when a handle first
// needs a conversion, and keeps that conversion: handles are made, and names
// read, under Utf8NamesOnThisThread, so that in the C locale names are taken
// as UTF-8.

bool mentions(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

// libarchive reads this much past an entry's data, where it looks for a data
// descriptor.
constexpr size_t kDescriptorReadAhead = 24;

bool is_zipcrypto(const EntryLayout& layout) {
  return (layout.flags & kFlagEncrypted) && layout.method != kMethodWinZipAes;
}

// ZipCrypto checks a password by one byte: the CRC's last, or the time's when
// a data descriptor follows. There the flag stays, with a descriptor after
// the data repeating the agreed values; elsewhere it goes.
bool keeps_descriptor(const EntryLayout& layout) {
  return (layout.flags & kFlagDescriptor) && is_zipcrypto(layout);
}

// libarchive lets its LZMA decoder write no more than the size the header
// declares: with room for nothing, the decoder cannot even read the end
// marker of an empty entry's stream (zipfile writes empty files so), and
// fails. Such an entry is declared a byte long to it, and is read as empty
// only when its stream ends there.
bool is_empty_lzma(const EntryLayout& layout) { return layout.method == kMethodLzma && layout.size == 0; }

int64_t engine_size(const EntryLayout& layout) { return is_empty_lzma(layout) ? 1 : layout.size; }

bool needs_zip64(const EntryLayout& layout) {
  return layout.size >= kMax32 || layout.compressed_size >= kMax32;
}

// The local header libarchive reads: the agreed values, a one-letter name, and
// only the extra fields that decoding needs (ZIP64 sizes, WinZip AES).
std::string engine_header(const EntryLayout& layout) {
  const bool zip64 = needs_zip64(layout);
  std::string extra;
  if (zip64) {
    put16(extra, kZip64Field);
    put16(extra, 16);
    put64(extra, static_cast<uint64_t>(layout.size));
    put64(extra, static_cast<uint64_t>(layout.compressed_size));
  }
  if (!layout.aes_field.empty()) {
    put16(extra, kWinZipAesField);
    put16(extra, static_cast<uint16_t>(layout.aes_field.size()));
    extra += layout.aes_field;
  }
  std::string header;
  put32(header, kLocalHeaderSignature);
  put16(header, zip64 ? kVersionNeededZip64 : kVersionNeeded);
  put16(header, static_cast<uint16_t>((layout.flags & (kFlagEncrypted | kFlagStrongEncryption)) |
                                      (keeps_descriptor(layout) ? kFlagDescriptor : 0)));
  put16(header, layout.method);
  put32(header, layout.dos_time);
  put32(header, layout.crc);
  put32(header, zip64 ? kMax32 : static_cast<uint32_t>(layout.compressed_size));
  put32(header, zip64 ? kMax32 : static_cast<uint32_t>(engine_size(layout)));
  put16(header, 1);
  put16(header, static_cast<uint16_t>(extra.size()));
  header += 'e';
  return header + extra;
}

// What follows the data: the descriptor keeps_descriptor() calls for, padded
// to what libarchive reads ahead there.
std::string engine_trailer(const EntryLayout& layout) {
  std::string trailer;
  if (!keeps_descriptor(layout)) return trailer;
  put32(trailer, kDataDescriptorSignature);
  put32(trailer, layout.crc);
  if (needs_zip64(layout)) {
    put64(trailer, static_cast<uint64_t>(layout.compressed_size));
    put64(trailer, static_cast<uint64_t>(layout.size));
  } else {
    put32(trailer, static_cast<uint32_t>(layout.compressed_size));
    put32(trailer, static_cast<uint32_t>(layout.size));
  }
  trailer.resize(kDescriptorReadAhead, '\0');
  return trailer;
}

}  // namespace

struct LibarchiveDecoder::Source {
  const ArchiveBytes& bytes;
  std::string header;     // first the built local header,
  int64_t data_begin;     // then the entry's data from the file,
  int64_t data_size;
  std::string trailer;    // then any built descriptor
  int64_t offset = 0;     // in all three
  std::unique_ptr<char[]> block;
  size_t block_size;

  // A small entry gets a block of its own size, not a whole kReadBlockSize.
  Source(const ArchiveBytes& bytes, const EntryLayout& layout)
      : bytes(bytes),
        header(engine_header(layout)),
        data_begin(layout.data),
        data_size(layout.compressed_size),
        trailer(engine_trailer(layout)),
        block_size(static_cast<size_t>(
            std::min<int64_t>(kReadBlockSize, std::max<int64_t>(data_size, 1)))) {
    block.reset(new (std::nothrow) char[block_size]);
  }
  int64_t header_size() const { return static_cast<int64_t>(header.size()); }
  int64_t size() const { return header_size() + data_size + static_cast<int64_t>(trailer.size()); }
  int64_t left() const { return std::max<int64_t>(size() - offset, 0); }
};

namespace {

// Hands out the next piece: of the header, of the data (one block at most),
// or of the trailer.
la_ssize_t read_source(archive* a, void* client, const void** buffer) {
  auto* source = static_cast<LibarchiveDecoder::Source*>(client);
  const int64_t data_end = source->header_size() + source->data_size;
  long long got = 0;
  if (source->offset < source->header_size()) {
    *buffer = source->header.data() + source->offset;
    got = source->header_size() - source->offset;
  } else if (source->offset < data_end) {
    const size_t wanted =
        static_cast<size_t>(std::min<int64_t>(data_end - source->offset, source->block_size));
    got = static_cast<long long>(wanted);
    if (!source->bytes.read(source->data_begin + source->offset - source->header_size(), wanted,
                            source->block.get())) {
      archive_set_error(a, EIO, "Read error");
      return ARCHIVE_FATAL;
    }
    *buffer = source->block.get();
  } else {
    *buffer = source->trailer.data() + (source->offset - data_end);
    got = source->left();
  }
  source->offset += got;
  return static_cast<la_ssize_t>(got);
}

la_int64_t skip_source(archive*, void* client, la_int64_t request) {
  auto* source = static_cast<LibarchiveDecoder::Source*>(client);
  const int64_t skipped = std::min<int64_t>(request, source->left());
  source->offset += skipped;
  return skipped;
}

// The streaming reader: it needs no central directory, and reads the entry
// from its local header on.
LibarchiveDecoder::ArchiveHandle new_reader(LibarchiveDecoder::Source* source, const std::vector<std::string>& passwords) {
  fsutil::Utf8NamesOnThisThread utf8_names;
  LibarchiveDecoder::ArchiveHandle handle(archive_read_new());
  archive* a = handle.get();
  if (!a || !source->block || archive_read_support_format_zip_streamable(a) != ARCHIVE_OK) {
    return nullptr;
  }
  for (const std::string& password : passwords) {
    if (archive_read_add_passphrase(a, password.c_str()) != ARCHIVE_OK) return nullptr;
  }
  if (archive_read_set_callback_data(a, source) != ARCHIVE_OK ||
      archive_read_set_read_callback(a, read_source) != ARCHIVE_OK ||
      archive_read_set_skip_callback(a, skip_source) != ARCHIVE_OK ||
      archive_read_open1(a) != ARCHIVE_OK) {
    return nullptr;
  }
  return handle;
}

}  // namespace

void LibarchiveDecoder::HandleDeleter::operator()(archive* handle) const {
  // A reader's handle: archive_free frees it as archive_read_free does.
  archive_free(handle);
}

// ---- LibarchiveDecoder -----------------------------------------------------

LibarchiveDecoder::LibarchiveDecoder(std::unique_ptr<Source> source, const EntryLayout& layout,
                                     bool has_password)
    : source_(std::move(source)),
      expected_crc_(layout.crc),
      checks_crc_(layout.method != kMethodWinZipAes),
      is_empty_lzma_(is_empty_lzma(layout)),
      is_zipcrypto_with_password_(is_zipcrypto(layout) && has_password) {}

LibarchiveDecoder::~LibarchiveDecoder() = default;

std::unique_ptr<LibarchiveDecoder> LibarchiveDecoder::open(const ArchiveBytes& bytes,
                                                           const EntryLayout& layout,
                                           const std::string& password,
                                           const std::string& alternative) {
  try {
    std::vector<std::string> passwords;
    for (const std::string* candidate : {&password, &alternative}) {
      if (!candidate->empty()) passwords.push_back(*candidate);
    }
    std::unique_ptr<Source> source(new Source(bytes, layout));
    std::unique_ptr<LibarchiveDecoder> reader(new LibarchiveDecoder(std::move(source), layout, !passwords.empty()));
    if (!reader->read_header(passwords)) return nullptr;
    return reader;
  } catch (...) {
    return nullptr;
  }
}

bool LibarchiveDecoder::read_header(const std::vector<std::string>& passwords) {
  handle_ = new_reader(source_.get(), passwords);
  if (!handle_) return false;
  fsutil::Utf8NamesOnThisThread utf8_names;
  archive_entry* header = nullptr;
  return succeeded(archive_read_next_header(handle_.get(), &header));
}

bool LibarchiveDecoder::open_entry() {
  if (data_touched_) return false;
  data_touched_ = true;
  failure_ = ReadFailure::none;
  failure_detail_.clear();
  return fetch_first_chunk() != ReadStatus::failed;
}

ReadStatus LibarchiveDecoder::fetch_chunk(const char** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  const void* block = nullptr;
  la_int64_t offset = 0;
  // A warning while reading data is a damaged entry: libarchive reports a bad
  // CRC, a bad authentication code or a size mismatch that way. One is not:
  // a compressed stream that ends before its compressed size (zipfile and
  // 7-Zip read the bytes after it as padding). libarchive then returns the
  // last data with the warning and skips its CRC check, which is made here.
  const int status = archive_read_data_block(handle_.get(), &block, size, &offset);
  if (status == ARCHIVE_EOF) return ReadStatus::end;
  if (is_empty_lzma_) {
    const ReadStatus empty = empty_lzma_status(status, *size);
    *size = 0;
    return empty;
  }
  const bool ended_early = status == ARCHIVE_WARN && ended_before_its_compressed_size();
  if ((status != ARCHIVE_OK && !ended_early) || offset != next_offset_) {
    *size = 0;
    note_failure();
    return ReadStatus::failed;
  }
  *data = static_cast<const char*>(block);
  next_offset_ += static_cast<int64_t>(*size);
  crc_ = zip_format::crc32(crc_, *data, *size);
  if (ended_early && crc_ != expected_crc_) {
    *size = 0;
    failure_ = is_zipcrypto_with_password_ ? ReadFailure::wrong_password : ReadFailure::damaged;
    failure_detail_ = "CRC mismatch";
    return ReadStatus::failed;
  }
  return ReadStatus::data;
}

// The one byte of room is_empty_lzma() gives: a stream that ends with none
// written into it (libarchive warns of the byte missing) is an empty entry's;
// a byte written there is damage.
ReadStatus LibarchiveDecoder::empty_lzma_status(int status, size_t size) {
  const char* text = archive_error_string(handle_.get());
  long long read = -1, expected = 0;
  const bool ended = status == ARCHIVE_WARN && size == 0 && text &&
                     std::sscanf(text, "ZIP uncompressed data is wrong size (read %lld, expected %lld)", &read,
                                 &expected) == 2 &&
                     read == 0;
  if (status == ARCHIVE_OK) {
    failure_ = ReadFailure::damaged;
    failure_detail_ = "more data than its size";
    return ReadStatus::failed;
  }
  if (!ended) {
    note_failure();
    return ReadStatus::failed;
  }
  if (expected_crc_ != 0 && checks_crc_) {
    failure_ = is_zipcrypto_with_password_ ? ReadFailure::wrong_password : ReadFailure::damaged;
    failure_detail_ = "CRC mismatch";
    return ReadStatus::failed;
  }
  return ReadStatus::end;
}

bool LibarchiveDecoder::ended_before_its_compressed_size() const {
  const char* text = archive_error_string(handle_.get());
  long long read = 0, expected = 0;
  return checks_crc_ && text &&
         std::sscanf(text, "ZIP compressed data is wrong size (read %lld, expected %lld)", &read,
                     &expected) == 2 &&
         read < expected;
}

// Sorts the engine's message into what a caller can act on.
void LibarchiveDecoder::note_failure() {
  const char* text = archive_error_string(handle_.get());
  failure_detail_ = text ? text : "data out of place";
  while (!failure_detail_.empty() && std::isspace(static_cast<unsigned char>(failure_detail_.back()))) {
    failure_detail_.pop_back();
  }
  if (mentions(failure_detail_.c_str(), "Incorrect passphrase")) {
    failure_ = ReadFailure::wrong_password;
  } else if (mentions(failure_detail_.c_str(), "Passphrase required")) {
    failure_ = ReadFailure::no_password;
  } else if (mentions(failure_detail_.c_str(), "Unsupported") ||
             mentions(failure_detail_.c_str(), "Unknown encryption") ||
             mentions(failure_detail_.c_str(), "not supported") ||
             mentions(failure_detail_.c_str(), "unsupported")) {
    failure_ = ReadFailure::unsupported;
  } else {
    failure_ = ReadFailure::damaged;
    if (mentions(failure_detail_.c_str(), "bad CRC")) failure_detail_ = "CRC mismatch";
    if (mentions(failure_detail_.c_str(), "decompression failed")) {
      failure_detail_ = "broken compressed data";
    }
    if (mentions(failure_detail_.c_str(), "Authentication")) {
      failure_detail_ = "authentication code mismatch";
    }
    // A wrong ZipCrypto password passes its one-byte check once in 256 times,
    // and then decrypts to garbage.
    if (is_zipcrypto_with_password_) failure_ = ReadFailure::wrong_password;
  }
}

