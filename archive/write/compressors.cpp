#include "archive/write/compressors.h"

#include <libdeflate.h>
#include <zlib.h>

#include <new>

namespace {

// A sync flush adds an empty stored block (5 bytes) and possibly a partial
// byte; the end of a stream a few more.
constexpr size_t kFlushMargin = 16;

}  // namespace

WholeBufferCompressor::WholeBufferCompressor(int level)
    : compressor_(libdeflate_alloc_compressor(level)), small_(level) {}

WholeBufferCompressor::~WholeBufferCompressor() { libdeflate_free_compressor(compressor_); }

bool WholeBufferCompressor::compress(const char* data, size_t size, std::string* out) {
  if (size < compressors::kLibdeflateFrom) return small_.compress(std::string(), data, size, true, out);
  if (!compressor_) return false;
  out->resize(libdeflate_deflate_compress_bound(compressor_, size));
  const size_t written = libdeflate_deflate_compress(compressor_, data, size, &(*out)[0], out->size());
  out->resize(written);
  return written > 0;
}

ChunkCompressor::ChunkCompressor(int level) : level_(level) {
  stream_ = new (std::nothrow) z_stream_s();
  if (stream_ &&
      deflateInit2(stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    delete stream_;
    stream_ = nullptr;
  }
}

ChunkCompressor::~ChunkCompressor() {
  if (!stream_) return;
  deflateEnd(stream_);
  delete stream_;
}

bool ChunkCompressor::compress(const std::string& dictionary, const char* data, size_t size,
                               bool last, std::string* out) {
  if (!stream_ || deflateReset(stream_) != Z_OK) return false;
  if (!dictionary.empty() &&
      deflateSetDictionary(stream_, reinterpret_cast<const Bytef*>(dictionary.data()),
                           static_cast<uInt>(dictionary.size())) != Z_OK) {
    return false;
  }
  out->resize(deflateBound(stream_, static_cast<uLong>(size)) + kFlushMargin);
  stream_->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  stream_->avail_in = static_cast<uInt>(size);
  stream_->next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
  stream_->avail_out = static_cast<uInt>(out->size());
  const int status = ::deflate(stream_, last ? Z_FINISH : Z_SYNC_FLUSH);
  const bool complete = last ? status == Z_STREAM_END : status == Z_OK && stream_->avail_in == 0;
  out->resize(out->size() - stream_->avail_out);
  return complete;
}

