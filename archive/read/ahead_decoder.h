// An entry decoded ahead on a worker of a pool while the thread that reads it
// uses what was decoded already (writes it into a file, copies it into a
// String): inflating, the one stage that cannot be split, runs on one core,
// and what is done with its output on another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "archive/read/entry_decoder.h"
#include "archive/worker_pool.h"

class AheadDecoder final : public EntryDecoder {
 public:
  // Chunks decoded and not used yet, the one handed out counting: with 128
  // KiB chunks, well under a MiB.
  static constexpr size_t kChunksAhead = 4;

  // Whether an entry of this declared size is worth it: one decoded in
  // pieces, not whole.
  static bool is_worth_it(int64_t declared_size);

  // Decodes `inner`, not opened yet, on a worker of `pool`, which must have
  // one. The worker takes the job before any queued one.
  AheadDecoder(std::unique_ptr<EntryDecoder> inner, WorkerPool& pool);
  // Stops the worker's decoding within a chunk and waits for it.
  ~AheadDecoder() override;
  AheadDecoder(const AheadDecoder&) = delete;
  AheadDecoder& operator=(const AheadDecoder&) = delete;

  // Opens the entry on the calling thread (deriving an encrypted entry's
  // keys there), then starts decoding ahead.
  bool open_entry() override;
  ReadFailure failure() const override { return inner_->failure(); }
  const std::string& failure_detail() const override { return inner_->failure_detail(); }

 protected:
  // Throws std::bad_alloc when the worker ran out of memory.
  ReadStatus fetch_chunk(const char** data, size_t* size) override;

 private:
  struct Chunk {
    const char* data = nullptr;
    size_t size = 0;
    ReadStatus status = ReadStatus::data;
    std::string copy;  // of the data, when the decoder does not keep it
  };
  struct Decoding final : WorkerPool::Job {
    AheadDecoder* owner = nullptr;
    void run(size_t) override { owner->decode_ahead(); }
  };

  void decode_ahead();
  bool decode_one();
  void stop_decoding();

  std::unique_ptr<EntryDecoder> inner_;  // the worker's while it decodes
  WorkerPool& pool_;
  Decoding decoding_;
  bool submitted_ = false;
  bool keeps_chunks_ = false;  // the inner decoder's chunks stay while in the ring

  fsutil::Mutex mutex_;
  fsutil::Condition changed_;
  // A ring: chunks_[first_] is the oldest decoded, `decoded_` of them
  // follow; the worker fills the one after them, outside the lock.
  Chunk chunks_[kChunksAhead];
  size_t first_ = 0;
  size_t decoded_ = 0;
  bool handed_out_ = false;  // chunks_[first_] is the reader's
  bool stopping_ = false;
  bool out_of_memory_ = false;
};
