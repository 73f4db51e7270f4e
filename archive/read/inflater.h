// A raw deflate stream inflated piece by piece, its input and output split
// anywhere: how entries too large to inflate whole are inflated. One class
// per library, each owning its library's state: ISA-L's (about twice as fast
// as zlib's) where the build has it, zlib's in every build.
#pragma once

#include <cstddef>
#include <memory>

class Inflater {
 public:
  enum class Step { going, ended, damaged };

  // ISA-L's inflater where the build has ISA-L, else zlib's. Throws
  // std::bad_alloc.
  static std::unique_ptr<Inflater> make();
  // zlib's. Throws std::bad_alloc.
  static std::unique_ptr<Inflater> make_zlib();

  virtual ~Inflater() = default;

  // The next `size` bytes of the stream, which stay valid until they are
  // taken (input_left() is 0).
  virtual void give_input(const char* data, size_t size) = 0;
  virtual size_t input_left() const = 0;
  // Inflates into `out`, at most `room` bytes, as far as the input given
  // goes, and puts the number of bytes made in `*made`: `ended` once the
  // stream's last block is out, `damaged` on data that is no deflate stream.
  virtual Step inflate(char* out, size_t room, size_t* made) = 0;
};
