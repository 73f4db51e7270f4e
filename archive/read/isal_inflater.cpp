// ISA-L's inflater, and the choice of the inflater large entries get: ISA-L's
// when the build found the library (PARVOX_HAVE_ISAL), else zlib's.
#include "archive/read/inflater.h"

#if PARVOX_HAVE_ISAL
#include <isa-l/igzip_lib.h>

namespace {

class IsalInflater final : public Inflater {
 public:
  IsalInflater() {
    isal_inflate_init(&state_);
    state_.crc_flag = ISAL_DEFLATE;  // a raw stream; the entry's CRC is checked by its decoder
  }

  void give_input(const char* data, size_t size) override {
    state_.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(data));
    state_.avail_in = static_cast<uint32_t>(size);
  }

  size_t input_left() const override { return state_.avail_in; }

  // isal_inflate answers a stream cut short as it answers one that goes on:
  // only the block state tells that the stream ended (and was all handed out).
  Step inflate(char* out, size_t room, size_t* made) override {
    state_.next_out = reinterpret_cast<uint8_t*>(out);
    state_.avail_out = static_cast<uint32_t>(room);
    const int status = isal_inflate(&state_);
    *made = room - state_.avail_out;
    if (status != ISAL_DECOMP_OK) return Step::damaged;
    return state_.block_state == ISAL_BLOCK_FINISH ? Step::ended : Step::going;
  }

 private:
  inflate_state state_{};  // about 87 KB, with the history window
};

}  // namespace

std::unique_ptr<Inflater> Inflater::make() { return std::unique_ptr<Inflater>(new IsalInflater()); }
#else
std::unique_ptr<Inflater> Inflater::make() { return make_zlib(); }
#endif
