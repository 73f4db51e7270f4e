#include "archive/read/zip_entry_decoder.h"

#include <libdeflate.h>

#include <algorithm>
#include <new>

#include "archive/read/inflater.h"
#include "archive/zip_format.h"

namespace {

using zip_format::kMethodDeflated;
using zip_format::kMethodStored;
using zip_format::kMethodWinZipAes;

bool is_data_method(uint16_t method) {
  return method == kMethodStored || method == kMethodDeflated;
}

// Deflate grows data it cannot shrink by 5 bytes per 64 KiB stored block at
// most: an entry within kWholeEntryBytes has compressed data well within this
// margin over it.
constexpr int64_t kWholeCompressedMargin = ZipEntryDecoder::kWholeEntryBytes / 64;

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

bool ZipEntryDecoder::takes(const EntryLayout& layout) {
  if (layout.flags & zip_format::kFlagStrongEncryption) return false;
  const bool encrypted = (layout.flags & zip_format::kFlagEncrypted) != 0;
  if (layout.method != kMethodWinZipAes) return !encrypted && is_data_method(layout.method);
  winzip_aes::Field aes;
  return encrypted && winzip_aes::parse_field(layout.aes_field, &aes) && is_data_method(aes.method);
}

ZipEntryDecoder::ZipEntryDecoder(std::unique_ptr<const ArchiveBytes> bytes,
                                 const EntryLayout& layout)
    : bytes_(std::move(bytes)), layout_(layout) {}

ZipEntryDecoder::~ZipEntryDecoder() = default;

std::unique_ptr<ZipEntryDecoder> ZipEntryDecoder::open(std::unique_ptr<const ArchiveBytes> bytes,
                                                       const EntryLayout& layout,
                                                       const std::string& password,
                                                       const std::string& alternative) {
  std::unique_ptr<ZipEntryDecoder> decoder(new ZipEntryDecoder(std::move(bytes), layout));
  decoder->data_method_ = layout.method;
  winzip_aes::Field aes;
  if (layout.method == kMethodWinZipAes && winzip_aes::parse_field(layout.aes_field, &aes)) {
    decoder->data_method_ = aes.method;
    decoder->checks_crc_ = aes.version != winzip_aes::kAe2;
    decoder->password_ = password;
    decoder->alternative_ = alternative;
  }
  decoder->whole_ = layout.size <= kWholeEntryBytes &&
                    layout.compressed_size <= kWholeEntryBytes + kWholeCompressedMargin;
  decoder->next_read_ = layout.data;
  decoder->data_left_ = layout.compressed_size;
  return decoder;
}

bool ZipEntryDecoder::open_entry() {
  if (data_touched_) return false;
  data_touched_ = true;
  failure_ = ReadFailure::none;
  failure_detail_.clear();
  const bool encrypted = layout_.method == kMethodWinZipAes;
  const bool opened = !encrypted || start_decryption(password_, alternative_);
  password_.clear();
  alternative_.clear();
  // An entry that cannot be opened is passed over, one whose data fails ends
  // the extraction there.
  fetch_first_chunk(opened);
  return opened;
}

// A whole entry's one chunk stays until the decoder is gone; a large
// entry's go into `count` buffers in turn.
bool ZipEntryDecoder::keep_chunks(size_t count) {
  if (data_touched_) return false;
  if (count > 1) kept_.resize(count);
  return true;
}

ReadStatus ZipEntryDecoder::fail(ReadFailure why, std::string detail) {
  failure_ = why;
  failure_detail_ = std::move(detail);
  return ReadStatus::failed;
}

bool ZipEntryDecoder::read_data(char* out, size_t size) {
  if (static_cast<int64_t>(size) > data_left_ || !bytes_->read(next_read_, size, out)) return false;
  next_read_ += static_cast<int64_t>(size);
  data_left_ -= static_cast<int64_t>(size);
  return true;
}

// Reads the salt and password verifier before the encrypted data, and keeps
// the authentication code after it out of the data left to read. The keys
// are derived here, on the thread that decodes the entry.
bool ZipEntryDecoder::start_decryption(const std::string& password,
                                       const std::string& alternative) {
  winzip_aes::Field aes;
  winzip_aes::parse_field(layout_.aes_field, &aes);
  const size_t salt_size = winzip_aes::salt_size_of(aes.key_size);
  const int64_t framing = static_cast<int64_t>(salt_size + winzip_aes::kVerifierSize +
                                               winzip_aes::kCodeSize);
  if (password.empty() && alternative.empty()) {
    fail(ReadFailure::no_password, std::string());
    return false;
  }
  char header[winzip_aes::kKeySize / 2 + winzip_aes::kVerifierSize];
  if (data_left_ < framing || !read_data(header, salt_size + winzip_aes::kVerifierSize)) {
    damaged("its encryption header is cut short");
    return false;
  }
  data_left_ -= static_cast<int64_t>(winzip_aes::kCodeSize);
  const auto* salt = reinterpret_cast<const unsigned char*>(header);
  WinZipAesKeys keys;
  for (const std::string* candidate : {&password, &alternative}) {
    if (candidate->empty()) continue;
    if (!winzip_aes::derive_keys(*candidate, salt, aes.key_size, &keys)) {
      fail(ReadFailure::unsupported, "the system's cryptography failed");
      return false;
    }
    if (std::equal(keys.verifier, keys.verifier + winzip_aes::kVerifierSize,
                   reinterpret_cast<const unsigned char*>(header + salt_size))) {
      decryptor_ = WinZipAesDecryptor::start(keys);
      if (decryptor_) return true;
      fail(ReadFailure::unsupported, "the system's cryptography failed");
      return false;
    }
  }
  fail(ReadFailure::wrong_password, std::string());
  return false;
}

ReadStatus ZipEntryDecoder::fetch_chunk(const char** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  return whole_ ? decode_whole(data, size) : decode_next_chunk(data, size);
}

// The whole entry at once: read, authenticated and decrypted, then inflated
// into a buffer of its declared size, and checked before it is handed out.
ReadStatus ZipEntryDecoder::decode_whole(const char** data, size_t* size) {
  if (whole_done_) return ReadStatus::end;
  whole_done_ = true;
  whole_input_.allocate(static_cast<size_t>(data_left_));
  char* const input = whole_input_.data.get();
  if (!read_data(input, whole_input_.size)) return damaged("its data cannot be read");
  if (decryptor_) {
    decryptor_->decrypt(input, whole_input_.size);
    if (authenticate() != ReadStatus::end) return ReadStatus::failed;
  }
  const char* result = input;
  size_t result_size = whole_input_.size;
  if (data_method_ == kMethodDeflated && !(whole_input_.size == 0 && layout_.size == 0)) {
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    if (!decompressor) throw std::bad_alloc();
    // One byte more than declared tells a stream that goes on past it.
    whole_output_.allocate(static_cast<size_t>(layout_.size) + 1);
    size_t used = 0, made = 0;
    const libdeflate_result status = libdeflate_deflate_decompress_ex(
        decompressor.get(), input, whole_input_.size, whole_output_.data.get(), whole_output_.size,
        &used, &made);
    if (status == LIBDEFLATE_INSUFFICIENT_SPACE) {
      made = whole_output_.size;
    } else if (status != LIBDEFLATE_SUCCESS) {
      return damaged("broken compressed data");
    }
    whole_input_ = WholeBuffer();
    result = whole_output_.data.get();
    result_size = made;
  }
  produced_ = static_cast<int64_t>(result_size);
  crc_ = zip_format::crc32(0, result, result_size);
  if (check_data() != ReadStatus::end) return ReadStatus::failed;
  *data = result;
  *size = result_size;
  return ReadStatus::data;
}

// The next chunk of a large entry: at most kChunkBytes of data, read (and
// authenticated and decrypted) a chunk at a time as inflating needs it.
ReadStatus ZipEntryDecoder::decode_next_chunk(const char** data, size_t* size) {
  if (data_method_ == kMethodDeflated && !inflater_) inflater_ = Inflater::make();
  // One byte more than declared tells data that goes on past it.
  const size_t room = static_cast<size_t>(
      std::min<int64_t>(kChunkBytes, layout_.size - produced_ + 1));
  size_t made = 0;
  std::string& piece = next_piece();
  if (inflater_) {
    made = inflate_into(&piece[0], room);
    if (failure_ != ReadFailure::none) return ReadStatus::failed;
  } else if (data_left_ > 0) {
    made = static_cast<size_t>(std::min<int64_t>(data_left_, room));
    if (!read_data(&piece[0], made)) return damaged("its data cannot be read");
    if (decryptor_) decryptor_->decrypt(&piece[0], made);
  }
  const char* chunk = piece.data();
  if (made == 0) return finish();
  produced_ += static_cast<int64_t>(made);
  if (produced_ > layout_.size) return damaged("more data than its declared size");
  crc_ = zip_format::crc32(crc_, chunk, made);
  *data = chunk;
  *size = made;
  return ReadStatus::data;
}

// The buffer for the next chunk of a large entry: the one, or the next of
// those kept.
std::string& ZipEntryDecoder::next_piece() {
  std::string& piece = kept_.empty() ? output_ : kept_[next_kept_];
  if (!kept_.empty()) next_kept_ = (next_kept_ + 1) % kept_.size();
  if (piece.size() < kChunkBytes) piece.resize(kChunkBytes);
  return piece;
}

// Inflates into `out` until `room` bytes are made or the stream ends; reads
// more data when the stream needs it. Leaves a failure on broken data.
//
// Once all its input is taken, the inflater may still hold the end of the
// stream (bits of the last codes, a match not copied out yet) for want of
// room: it is asked for output until it can make no more, not only while
// data is left to read.
size_t ZipEntryDecoder::inflate_into(char* out, size_t room) {
  size_t made = 0;
  while (made < room && !stream_ended_) {
    if (inflater_->input_left() == 0 && data_left_ > 0) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(data_left_, kChunkBytes));
      input_.resize(n);
      if (!read_data(&input_[0], n)) {
        damaged("its data cannot be read");
        break;
      }
      if (decryptor_) decryptor_->decrypt(&input_[0], n);
      inflater_->give_input(input_.data(), n);
    }
    const size_t in_before = inflater_->input_left();
    size_t step_made = 0;
    const Inflater::Step step = inflater_->inflate(out + made, room - made, &step_made);
    made += step_made;
    if (step == Inflater::Step::ended) {
      stream_ended_ = true;
    } else if (step == Inflater::Step::damaged) {
      damaged("broken compressed data");
      break;
    }
    const bool stuck = inflater_->input_left() == in_before && step_made == 0;
    if (stuck && (in_before > 0 || data_left_ == 0)) break;  // the data ends before its stream does
  }
  return made;
}

// The data is all there: authenticates what is left of it, then checks its
// size and CRC against the agreed values.
ReadStatus ZipEntryDecoder::finish() {
  if (inflater_ && !stream_ended_) return damaged("broken compressed data");
  if (decryptor_ && authenticate() != ReadStatus::end) return ReadStatus::failed;
  return check_data();
}

// Authenticates the encrypted data not read yet (bytes after a deflate
// stream are padding, authenticated all the same) and compares the code.
ReadStatus ZipEntryDecoder::authenticate() {
  std::unique_ptr<WinZipAesDecryptor> decryptor = std::move(decryptor_);
  while (data_left_ > 0) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(data_left_, kChunkBytes));
    input_.resize(n);
    if (!read_data(&input_[0], n)) return damaged("its data cannot be read");
    decryptor->decrypt(&input_[0], n);
  }
  unsigned char code[winzip_aes::kCodeSize];
  data_left_ = winzip_aes::kCodeSize;
  if (!read_data(reinterpret_cast<char*>(code), sizeof code)) {
    return damaged("its data cannot be read");
  }
  return decryptor->authenticates(code) ? ReadStatus::end
                                        : damaged("authentication code mismatch");
}

ReadStatus ZipEntryDecoder::check_data() {
  if (produced_ > layout_.size) return damaged("more data than its declared size");
  if (produced_ != layout_.size) return damaged("its size differs from the central directory's");
  if (checks_crc_ && crc_ != layout_.crc) return damaged("CRC mismatch");
  return ReadStatus::end;
}

// Damage found in an encrypted entry before its end is forgery when the
// entry fails its authentication: that is the reason then.
ReadStatus ZipEntryDecoder::damaged(std::string detail) {
  if (decryptor_ && authenticate() == ReadStatus::failed) return ReadStatus::failed;
  return fail(ReadFailure::damaged, std::move(detail));
}
