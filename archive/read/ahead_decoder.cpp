#include "archive/read/ahead_decoder.h"

#include <new>

#include "archive/read/zip_entry_decoder.h"

bool AheadDecoder::is_worth_it(int64_t declared_size) {
  return declared_size > ZipEntryDecoder::kWholeEntryBytes;
}

AheadDecoder::AheadDecoder(std::unique_ptr<EntryDecoder> inner, WorkerPool& pool)
    : inner_(std::move(inner)), pool_(pool) {
  decoding_.owner = this;
}

AheadDecoder::~AheadDecoder() { stop_decoding(); }

void AheadDecoder::stop_decoding() {
  if (!submitted_) return;
  {
    std::lock_guard<fsutil::Mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  pool_.withdraw(decoding_);
  submitted_ = false;
}

bool AheadDecoder::open_entry() {
  if (submitted_) return false;
  // The worker decodes the next while the ring is full and one is in use.
  keeps_chunks_ = inner_->keep_chunks(kChunksAhead + 1);
  if (!inner_->open_entry()) return false;
  pool_.submit_first(decoding_);
  submitted_ = true;
  fetch_first_chunk();
  return true;
}

// On the worker: decodes until the entry ends or fails, or the reader stops.
void AheadDecoder::decode_ahead() {
  bool more = true;
  while (more) {
    try {
      more = decode_one();
    } catch (...) {  // nothing thrown leaves the worker; the reader throws it again
      std::lock_guard<fsutil::Mutex> lock(mutex_);
      out_of_memory_ = true;
      Chunk& chunk = chunks_[(first_ + decoded_) % kChunksAhead];
      chunk.status = ReadStatus::failed;
      chunk.size = 0;
      ++decoded_;
      more = false;
    }
    changed_.notify_all();
  }
}

// Decodes the next chunk into the ring once it has room; false when it was
// the last or the reader stopped.
bool AheadDecoder::decode_one() {
  size_t next;
  {
    std::unique_lock<fsutil::Mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || decoded_ < kChunksAhead; });
    if (stopping_) return false;
    next = (first_ + decoded_) % kChunksAhead;
  }
  Chunk& chunk = chunks_[next];
  chunk.status = inner_->read_chunk(&chunk.data, &chunk.size);
  if (!keeps_chunks_) {
    chunk.copy.assign(chunk.data, chunk.size);
    chunk.data = chunk.copy.data();
  }
  std::lock_guard<fsutil::Mutex> lock(mutex_);
  ++decoded_;
  return chunk.status == ReadStatus::data;
}

// On the reader's thread: gives back the chunk handed out last, and takes the
// next one once it is decoded.
ReadStatus AheadDecoder::fetch_chunk(const char** data, size_t* size) {
  std::unique_lock<fsutil::Mutex> lock(mutex_);
  if (handed_out_) {
    handed_out_ = false;
    first_ = (first_ + 1) % kChunksAhead;
    --decoded_;
    changed_.notify_all();
  }
  changed_.wait(lock, [&] { return decoded_ > 0; });
  const Chunk& chunk = chunks_[first_];
  handed_out_ = true;
  if (out_of_memory_ && chunk.status == ReadStatus::failed) throw std::bad_alloc();
  *data = chunk.data;
  *size = chunk.size;
  return chunk.status;
}
