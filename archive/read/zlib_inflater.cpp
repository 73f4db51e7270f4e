#include <zlib.h>

#include <new>

#include "archive/read/inflater.h"

namespace {

class ZlibInflater final : public Inflater {
 public:
  ZlibInflater() {
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~ZlibInflater() override { inflateEnd(&stream_); }
  ZlibInflater(const ZlibInflater&) = delete;  // zlib's state points back at its stream
  ZlibInflater& operator=(const ZlibInflater&) = delete;

  void give_input(const char* data, size_t size) override {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = static_cast<uInt>(size);
  }

  size_t input_left() const override { return stream_.avail_in; }

  Step inflate(char* out, size_t room, size_t* made) override {
    stream_.next_out = reinterpret_cast<Bytef*>(out);
    stream_.avail_out = static_cast<uInt>(room);
    const int status = ::inflate(&stream_, Z_NO_FLUSH);
    *made = room - stream_.avail_out;
    if (status == Z_STREAM_END) return Step::ended;
    if (status == Z_OK || status == Z_BUF_ERROR) return Step::going;
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    return Step::damaged;
  }

 private:
  z_stream stream_{};
};

}  // namespace

std::unique_ptr<Inflater> Inflater::make_zlib() {
  return std::unique_ptr<Inflater>(new ZlibInflater());
}
