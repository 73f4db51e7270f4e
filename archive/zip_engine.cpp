#include "archive/zip_engine.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "fsutil/file.h"
#include "fsutil/thread_locale.h"

namespace zip_engine {

namespace {

constexpr size_t kReadBlockSize = 1 << 20;

bool succeeded(int status) { return status == ARCHIVE_OK || status == ARCHIVE_WARN; }

// libarchive converts names through the locale it finds when a handle first
// needs a conversion, and keeps that conversion: handles are made, and names
// read, under Utf8NamesOnThisThread, so that in the C locale names are taken
// as UTF-8.

bool mentions(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

}  // namespace

struct ZipReader::Source {
  int fd;
  int64_t begin;  // the window of the file the reader sees
  int64_t end;
  int64_t offset = 0;  // within the window
  std::unique_ptr<char[]> block;
  size_t block_size;

  // A small entry gets a block of its own size, not a whole kReadBlockSize.
  Source(int fd, int64_t begin, int64_t end)
      : fd(fd), begin(begin), end(end), block_size(block_size_for(end - begin)) {
    block.reset(new (std::nothrow) char[block_size]);
  }
  int64_t size() const { return end - begin; }
  int64_t left() const { return std::max<int64_t>(size() - offset, 0); }
  static size_t block_size_for(int64_t window) {
    return static_cast<size_t>(std::min<int64_t>(kReadBlockSize, std::max<int64_t>(window, 1)));
  }
};

namespace {

la_ssize_t read_source(archive* a, void* client, const void** buffer) {
  auto* source = static_cast<ZipReader::Source*>(client);
  const size_t wanted = static_cast<size_t>(std::min<int64_t>(source->left(), source->block_size));
  const long long got = wanted == 0 ? 0
                                    : fsutil::read_at(source->fd, source->block.get(), wanted,
                                                      source->begin + source->offset);
  if (got < 0) {
    archive_set_error(a, errno, "Read error");
    return ARCHIVE_FATAL;
  }
  source->offset += got;
  *buffer = source->block.get();
  return static_cast<la_ssize_t>(got);
}

la_int64_t skip_source(archive*, void* client, la_int64_t request) {
  auto* source = static_cast<ZipReader::Source*>(client);
  const int64_t skipped = std::min<int64_t>(request, source->left());
  source->offset += skipped;
  return skipped;
}

// The streaming reader: it needs no central directory, and reads the entry
// from its local header on.
ArchiveHandle new_reader(ZipReader::Source* source, const std::vector<std::string>& passwords) {
  fsutil::Utf8NamesOnThisThread utf8_names;
  ArchiveHandle handle(archive_read_new());
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

void ArchiveDeleter::operator()(archive* handle) const {
  // archive_read_free and archive_write_free both dispatch on the handle's kind.
  archive_free(handle);
}

// ---- ZipReader -------------------------------------------------------------

ZipReader::ZipReader(std::unique_ptr<Source> source) : source_(std::move(source)) {}

ZipReader::~ZipReader() = default;

std::unique_ptr<ZipReader> ZipReader::open(int fd, int64_t begin, int64_t end,
                                           const std::string& password,
                                           const std::string& alternative) {
  std::vector<std::string> passwords;
  for (const std::string* candidate : {&password, &alternative}) {
    if (!candidate->empty()) passwords.push_back(*candidate);
  }
  std::unique_ptr<Source> source(new (std::nothrow) Source(fd, begin, end));
  if (!source) return nullptr;
  std::unique_ptr<ZipReader> reader(new (std::nothrow) ZipReader(std::move(source)));
  if (!reader || !reader->read_header(passwords)) return nullptr;
  return reader;
}

bool ZipReader::read_header(const std::vector<std::string>& passwords) {
  handle_ = new_reader(source_.get(), passwords);
  if (!handle_) return false;
  fsutil::Utf8NamesOnThisThread utf8_names;
  archive_entry* header = nullptr;
  // A name the locale cannot hold is only a warning: the caller names the
  // entry from the central directory.
  if (!succeeded(archive_read_next_header(handle_.get(), &header))) return false;
  is_link_ = archive_entry_filetype(header) == AE_IFLNK;
  // The engine consumes a link's stored data (its target) while reading the
  // header; it is handed out as the entry's data all the same.
  const char* target = is_link_ ? archive_entry_symlink(header) : nullptr;
  link_text_ = target ? target : "";
  return true;
}

bool ZipReader::open_entry() {
  if (data_touched_) return false;
  data_touched_ = true;
  failure_ = ReadFailure::none;
  failure_detail_.clear();
  pending_status_ = fetch_chunk(&pending_data_, &pending_size_);
  has_pending_ = true;
  return pending_status_ != ReadStatus::failed;
}

ReadStatus ZipReader::read_chunk(const char** data, size_t* size) {
  if (has_pending_) {
    has_pending_ = false;
    *data = pending_data_;
    *size = pending_size_;
    return pending_status_;
  }
  if (pending_status_ != ReadStatus::data) return pending_status_;
  pending_status_ = fetch_chunk(data, size);
  return pending_status_;
}

ReadStatus ZipReader::fetch_chunk(const char** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  if (is_link_) {
    if (next_offset_ > 0 || link_text_.empty()) return ReadStatus::end;
    *data = link_text_.data();
    *size = link_text_.size();
    next_offset_ = static_cast<int64_t>(link_text_.size());
    return ReadStatus::data;
  }
  const void* block = nullptr;
  la_int64_t offset = 0;
  // A warning while reading data is a damaged entry: libarchive reports a bad
  // CRC, a bad authentication code or a size mismatch that way.
  int status = archive_read_data_block(handle_.get(), &block, size, &offset);
  if (status == ARCHIVE_EOF) return ReadStatus::end;
  if (status != ARCHIVE_OK || offset != next_offset_) {
    *size = 0;
    note_failure();
    return ReadStatus::failed;
  }
  *data = static_cast<const char*>(block);
  next_offset_ += static_cast<int64_t>(*size);
  return ReadStatus::data;
}

// Sorts the engine's message into what a caller can act on.
void ZipReader::note_failure() {
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
  }
}

}  // namespace zip_engine
