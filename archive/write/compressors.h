// DEFLATE at a level from 1 to 9, in the two forms the writer needs: a whole
// entry in one buffer (libdeflate, fastest and smallest, but only on whole
// buffers), and a
// large entry as a run of chunks that can be compressed side by side (zlib):
// each chunk is primed with the 32 KiB before it as its dictionary and ends
// in a sync flush, so that the chunks joined in order are one DEFLATE stream.
// Both give the same bytes for the same input wherever they run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct libdeflate_compressor;
struct z_stream_s;

namespace compressors {

// Levels as archivers give them: 0 stores, 1 is fastest, 9 smallest.
constexpr int kStoredLevel = 0;
constexpr int kDefaultLevel = 6;
constexpr int kMaxLevel = 9;

// Entries up to this size are compressed whole; larger ones in chunks.
constexpr size_t kWholeBufferBound = 4 << 20;
constexpr size_t kChunkSize = 1 << 20;
constexpr size_t kDictionarySize = 32 << 10;

// Room for the compressed form of `size` bytes, from either compressor
// below: an `out` of this capacity is filled without being reallocated.
constexpr size_t output_room(size_t size) { return size + size / 64 + 256; }

// libdeflate stores inputs below this size as they are, 5 bytes longer;
// zlib compresses them, and is as fast there.
constexpr size_t kLibdeflateFrom = 32;

}  // namespace compressors

class ChunkCompressor {
 public:
  explicit ChunkCompressor(int level);
  ~ChunkCompressor();
  ChunkCompressor(const ChunkCompressor&) = delete;
  ChunkCompressor& operator=(const ChunkCompressor&) = delete;

  // Replaces `out` with one chunk of the stream: `data` compressed after the
  // `dictionary` that precedes it, ended by a sync flush, or by the stream's
  // end when `last`. False when memory ran out.
  bool compress(const std::string& dictionary, const char* data, size_t size, bool last,
                std::string* out);
  int level() const { return level_; }

 private:
  int level_;
  z_stream_s* stream_ = nullptr;
};

class WholeBufferCompressor {
 public:
  explicit WholeBufferCompressor(int level);
  ~WholeBufferCompressor();
  WholeBufferCompressor(const WholeBufferCompressor&) = delete;
  WholeBufferCompressor& operator=(const WholeBufferCompressor&) = delete;

  // Replaces `out` with the compressed form of the data; false when memory ran out.
  bool compress(const char* data, size_t size, std::string* out);
  int level() const { return small_.level(); }

 private:
  libdeflate_compressor* compressor_;
  ChunkCompressor small_;  // below compressors::kLibdeflateFrom
};
