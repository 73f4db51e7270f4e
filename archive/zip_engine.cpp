#include "archive/zip_engine.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "archive/zip_engine_platform.h"
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

uint16_t little16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// An archive without entries is its end record alone (plus its comment):
// no entries, an empty central directory at offset 0.
bool is_empty_archive(int fd) {
  unsigned char record[22];
  if (fsutil::read_at(fd, reinterpret_cast<char*>(record), sizeof record, 0) != sizeof record) {
    return false;
  }
  static const unsigned char kEndSignature[4] = {'P', 'K', 5, 6};
  const bool all_zero = std::all_of(record + 4, record + 20, [](unsigned char b) { return b == 0; });
  return std::equal(kEndSignature, kEndSignature + 4, record) && all_zero &&
         fsutil::file_size(fd) == static_cast<int64_t>(sizeof record + little16(record + 20));
}

bool mentions(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

}  // namespace

struct ZipReader::Source {
  int fd;
  int64_t offset = 0;
  std::unique_ptr<char[]> block{new (std::nothrow) char[kReadBlockSize]};
};

namespace {

la_ssize_t read_source(archive* a, void* client, const void** buffer) {
  auto* source = static_cast<ZipReader::Source*>(client);
  const long long got =
      fsutil::read_at(source->fd, source->block.get(), kReadBlockSize, source->offset);
  if (got < 0) {
    archive_set_error(a, errno, "Read error");
    return ARCHIVE_FATAL;
  }
  source->offset += got;
  *buffer = source->block.get();
  return static_cast<la_ssize_t>(got);
}

la_int64_t skip_source(archive*, void* client, la_int64_t request) {
  static_cast<ZipReader::Source*>(client)->offset += request;
  return request;
}

la_int64_t seek_source(archive*, void* client, la_int64_t offset, int whence) {
  auto* source = static_cast<ZipReader::Source*>(client);
  int64_t base = 0;
  if (whence == SEEK_CUR) base = source->offset;
  if (whence == SEEK_END) base = fsutil::file_size(source->fd);
  if (base < 0 || base + offset < 0) return ARCHIVE_FATAL;
  source->offset = base + offset;
  return source->offset;
}

ArchiveHandle new_reader(ZipReader::Source* source, const std::vector<std::string>& passwords,
                         bool streamable) {
  source->offset = 0;
  fsutil::Utf8NamesOnThisThread utf8_names;
  ArchiveHandle handle(archive_read_new());
  archive* a = handle.get();
  if (!a || !source->block) return nullptr;
  int supported = streamable ? archive_read_support_format_zip_streamable(a)
                             : archive_read_support_format_zip_seekable(a);
  if (supported != ARCHIVE_OK) return nullptr;
  for (const std::string& password : passwords) {
    if (archive_read_add_passphrase(a, password.c_str()) != ARCHIVE_OK) return nullptr;
  }
  const std::string options = platform::name_read_options();
  if ((!options.empty() && archive_read_set_options(a, options.c_str()) != ARCHIVE_OK) ||
      archive_read_set_callback_data(a, source) != ARCHIVE_OK ||
      archive_read_set_read_callback(a, read_source) != ARCHIVE_OK ||
      archive_read_set_skip_callback(a, skip_source) != ARCHIVE_OK ||
      archive_read_set_seek_callback(a, seek_source) != ARCHIVE_OK ||
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

ZipReader::ZipReader(int fd, std::vector<std::string> passwords)
    : fd_(fd), passwords_(std::move(passwords)), source_(new (std::nothrow) Source{fd}) {}

ZipReader::~ZipReader() = default;

std::unique_ptr<ZipReader> ZipReader::open(int fd, const std::string& password,
                                           const std::string& alternative) {
  std::vector<std::string> passwords;
  for (const std::string* candidate : {&password, &alternative}) {
    if (!candidate->empty()) passwords.push_back(*candidate);
  }
  std::unique_ptr<ZipReader> reader(new (std::nothrow) ZipReader(fd, std::move(passwords)));
  if (!reader || !reader->source_ || !reader->start()) return nullptr;
  return reader;
}

bool ZipReader::start() {
  next_position_ = 0;
  handle_ = new_reader(source_.get(), passwords_, false);
  // The seekable reader does not recognise an archive without entries, which
  // is the end record alone; the streaming reader does, and still refuses
  // anything that is not a zip archive.
  if (!handle_ && is_empty_archive(fd_)) handle_ = new_reader(source_.get(), passwords_, true);
  if (!handle_) return false;
  position_ = -1;
  next_header();
  return !damaged_;
}

bool ZipReader::next_header() {
  fsutil::Utf8NamesOnThisThread utf8_names;
  archive_entry* header = nullptr;
  int status = archive_read_next_header(handle_.get(), &header);
  has_entry_ = succeeded(status);
  damaged_ = !has_entry_ && status != ARCHIVE_EOF;
  data_touched_ = false;
  has_pending_ = false;
  next_offset_ = 0;
  failure_ = ReadFailure::none;
  failure_detail_.clear();
  if (!has_entry_) {
    info_ = EntryInfo();
    return false;
  }
  ++position_;
  info_.name_ok = platform::entry_name(header, &info_.name);
  info_.is_folder = archive_entry_filetype(header) == AE_IFDIR;
  info_.is_encrypted = archive_entry_is_encrypted(header) != 0;
  info_.position = next_position_++;
  is_link_ = archive_entry_filetype(header) == AE_IFLNK;
  // The engine consumes a link's stored data (its target) while reading the
  // header; it is handed out as the entry's data all the same.
  const char* target = is_link_ ? archive_entry_symlink(header) : nullptr;
  link_text_ = target ? target : "";
  info_.size = is_link_ ? static_cast<int64_t>(link_text_.size()) : archive_entry_size(header);
  return true;
}

bool ZipReader::goto_first_entry() {
  handle_.reset();
  has_entry_ = false;
  return start() && has_entry_;
}

bool ZipReader::goto_next_entry() { return has_entry_ && next_header(); }

bool ZipReader::goto_position(int64_t position) {
  if (position < 0) return false;
  const bool ahead =
      has_entry_ && (position > position_ || (position == position_ && !data_touched_));
  if (!ahead && !goto_first_entry()) return false;
  while (position_ < position) {
    if (!goto_next_entry()) return false;
  }
  return true;
}

bool ZipReader::locate_entry(const std::function<bool(const EntryInfo&)>& matches) {
  if (has_entry_ && !data_touched_ && matches(info_)) return true;
  for (bool positioned = goto_first_entry(); positioned; positioned = goto_next_entry()) {
    if (matches(info_)) return true;
  }
  return false;
}

bool ZipReader::open_entry() {
  if (!has_entry_ || data_touched_) return false;
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
