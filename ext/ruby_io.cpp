#include "ext/ruby_io.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

#include "archive/write/stream_output.h"
#include "ext/ruby_strings.h"
#include "fsutil/file.h"
#include "fsutil/threads.h"

namespace {

constexpr char kNeedsSeekable[] =
    "the archive needs a seekable source: its directory is at its end, which a pipe or "
    "socket cannot go back to";

bool responds_to(VALUE value, const char* method) {
  return rb_respond_to(value, rb_intern(method)) != 0;
}

// The system's handle of the Ruby descriptor `fd`: on Windows Ruby keeps
// descriptors of its own (not the C runtime's this library uses), which
// rb_w32_get_osfhandle translates.
intptr_t system_handle_of(int fd) {
#ifdef _WIN32
  return static_cast<intptr_t>(rb_w32_get_osfhandle(fd));
#else
  return fd;
#endif
}

VALUE exception_message(VALUE exception) { return rb_funcall(exception, rb_intern("message"), 0); }

// "Class: message" of the exception that left `*state`, which stays.
std::string exception_text() noexcept {
  std::string text = "the IO failed";
  try {
    VALUE exception = rb_errinfo();
    if (!RB_TYPE_P(exception, T_OBJECT)) return text;
    int message_state = 0;
    VALUE message = rb_protect(exception_message, exception, &message_state);
    text = rb_obj_classname(exception);
    if (!message_state && RB_TYPE_P(message, T_STRING)) {
      text += ": ";
      text.append(RSTRING_PTR(message), static_cast<size_t>(RSTRING_LEN(message)));
    }
    if (message_state) rb_set_errinfo(exception);
  } catch (...) {
  }
  return text;
}

// As exception_text. A StandardError (EPIPE, IOError, a framework's
// disconnect error) is the IO's failure, which the call answers with false:
// it is cleared and `*state` becomes 0. Anything else (an interrupt, exit, a
// throw) stays in `*state` to go on to the caller; so does any but an
// IOError or a SystemCallError when `only_io_errors` (what IO's and
// StringIO's own methods raise: anything else came from elsewhere, such as a
// signal handler run as the method returned).
std::string take_exception(int* state, bool only_io_errors = false) noexcept {
  std::string text = exception_text();
  VALUE exception = rb_errinfo();
  const bool io_error =
      rb_obj_is_kind_of(exception, rb_eIOError) || rb_obj_is_kind_of(exception, rb_eSystemCallError);
  if (rb_obj_is_kind_of(exception, rb_eStandardError) && (io_error || !only_io_errors)) {
    rb_set_errinfo(Qnil);
    *state = 0;
  }
  return text;
}

// `value` as inspect shows it, cut short: for reasons that quote an answer.
std::string inspected(VALUE value) {
  int state = 0;
  VALUE text = rb_protect(rb_inspect, value, &state);
  if (state || !RB_TYPE_P(text, T_STRING)) {
    rb_set_errinfo(Qnil);
    return rb_obj_classname(value);
  }
  constexpr long kShown = 40;
  std::string shown(RSTRING_PTR(text), static_cast<size_t>(std::min(RSTRING_LEN(text), kShown)));
  return RSTRING_LEN(text) > kShown ? shown + "..." : shown;
}

// ---- Writing into an IO ----------------------------------------------------------

// An IO or StringIO is written in pieces of at most this size: all through
// one String filled anew for each when its write_nonblock is IO's or
// StringIO's own, which keep nothing of what they are given (see
// has_own_write_nonblock).
constexpr size_t kPieceSize = 128 << 10;

// How long one wait for an IO to take more lasts before writing is tried
// again: an IO closed by another thread meanwhile does not wake IO.select on
// every Ruby, but the next write finds it closed.
constexpr int kWaitSeconds = 1;

VALUE string_io_class() {
  ID name = rb_intern("StringIO");
  return rb_const_defined(rb_cObject, name) ? rb_const_get(rb_cObject, name) : Qnil;
}

bool is_string_io(VALUE value) {
  VALUE string_io = string_io_class();
  return !NIL_P(string_io) && rb_obj_is_kind_of(value, string_io);
}

VALUE owner_of_write_nonblock(VALUE io) {
  VALUE method = rb_obj_method(io, ID2SYM(rb_intern("write_nonblock")));
  return rb_funcall(method, rb_intern("owner"), 0);
}

// Whether the IO's write_nonblock is IO's or StringIO's own (StringIO has
// it from IO::generic_writable), which raises only IOError and
// SystemCallError. One of a subclass may keep the String it is given (a tee,
// a queue), or a copy that shares its bytes until the String changes, so it
// gets a String of its own for each piece.
bool has_own_write_nonblock(VALUE io) {
  int state = 0;
  VALUE owner = rb_protect(owner_of_write_nonblock, io, &state);
  if (state) {
    rb_set_errinfo(Qnil);
    return false;
  }
  const ID string_io_module = rb_intern("generic_writable");
  return owner == rb_cIO || owner == string_io_class() ||
         (rb_const_defined_at(rb_cIO, string_io_module) &&
          owner == rb_const_get_at(rb_cIO, string_io_module));
}

// Whether `io` is written with write_nonblock: a StringIO, or an IO where
// Ruby makes its writes non-blocking (on Windows only sockets, so an IO there
// is given whole blocks to `write`).
bool writes_without_blocking(VALUE io) {
#ifdef _WIN32
  constexpr bool io_can = false;
#else
  constexpr bool io_can = true;
#endif
  return is_string_io(io) || (io_can && rb_obj_is_kind_of(io, rb_cIO));
}

// One call of the IO's write_nonblock or write with `size` bytes at `data`.
struct WriteCall {
  VALUE io;
  const char* data;
  size_t size;
  bool nonblocking;       // written with write_nonblock
  VALUE piece;            // the String written through, or nil for a new one
  bool called = false;    // the IO's method was called
  bool returned = false;  // the IO's method returned `answer`
  VALUE answer = Qnil;
};

VALUE call_write_nonblock(RB_BLOCK_CALL_FUNC_ARGLIST(, address)) {
  auto* call = reinterpret_cast<WriteCall*>(address);
  VALUE piece = call->piece;
  if (NIL_P(piece)) {
    piece = rb_str_new(call->data, static_cast<long>(call->size));
  } else {
    rb_str_resize(piece, static_cast<long>(call->size));
    std::memcpy(RSTRING_PTR(piece), call->data, call->size);
  }
  VALUE options = rb_hash_new();
  rb_hash_aset(options, ID2SYM(rb_intern("exception")), Qfalse);
  VALUE args[2] = {piece, options};
  call->called = true;
  call->answer = rb_funcallv_kw(call->io, rb_intern("write_nonblock"), 2, args, RB_PASS_KEYWORDS);
  call->returned = true;
  return Qnil;
}

// Any other object gets a String of its own for each block: it may keep it
// (a response stream queues what it is given).
VALUE call_write(RB_BLOCK_CALL_FUNC_ARGLIST(, address)) {
  auto* call = reinterpret_cast<WriteCall*>(address);
  VALUE bytes = rb_str_new(call->data, static_cast<long>(call->size));
  call->called = true;
  call->answer = rb_funcall(call->io, rb_intern("write"), 1, bytes);
  return Qnil;
}

VALUE interruptible_write(RB_BLOCK_CALL_FUNC_ARGLIST(, address)) {
  VALUE mask = rb_hash_new();
  rb_hash_aset(mask, rb_cObject, ID2SYM(rb_intern("immediate")));
  rb_block_call(rb_cThread, rb_intern("handle_interrupt"), 1, &mask, call_write, address);
  reinterpret_cast<WriteCall*>(address)->returned = true;
  return Qnil;
}

// Calls `write` (the IO's write_nonblock, which never waits, or its write,
// which may) with interrupts held back until its answer is known, except
// inside a `write` that waits: an interrupt from another thread then lands
// after the answer, not between the bytes leaving and their count.
VALUE write_with_interrupts_held(VALUE address) {
  VALUE mask = rb_hash_new();
  rb_hash_aset(mask, rb_cObject, ID2SYM(rb_intern("never")));
  auto* write = reinterpret_cast<WriteCall*>(address);
  return rb_block_call(rb_cThread, rb_intern("handle_interrupt"), 1, &mask,
                       write->nonblocking ? call_write_nonblock : interruptible_write, address);
}

struct WaitCall {
  VALUE io;
  bool for_reading;
};

// Waits until the IO can take more (IO.select), at most kWaitSeconds:
// interruptible, with no byte in flight.
VALUE wait_for_io(VALUE address) {
  const auto* call = reinterpret_cast<const WaitCall*>(address);
  VALUE ios = rb_ary_new_from_args(1, call->io);
  return rb_funcall(rb_cIO, rb_intern("select"), 4, call->for_reading ? ios : Qnil,
                    call->for_reading ? Qnil : ios, Qnil, INT2FIX(kWaitSeconds));
}

VALUE is_closed(VALUE io) { return rb_funcall(io, rb_intern("closed?"), 0); }

bool closed(VALUE io) {
  int state = 0;
  VALUE answer = rb_protect(is_closed, io, &state);
  if (state) rb_set_errinfo(Qnil);
  return !state && RTEST(answer);
}

// How many of `size` bytes a write answered it took, or -1 for an answer no
// write can give. `whole_unless_count`: an answer that is no number at all
// (a response stream answers itself or its queue) means all were taken.
long taken_by(VALUE answer, size_t size, bool whole_unless_count) {
  if (FIXNUM_P(answer)) {
    const long count = FIX2LONG(answer);
    return count > 0 && static_cast<size_t>(count) <= size ? count : -1;
  }
  if (NIL_P(answer) || rb_obj_is_kind_of(answer, rb_cNumeric) || RB_TYPE_P(answer, T_STRING) ||
      !whole_unless_count) {
    return -1;
  }
  return static_cast<long>(size);
}

// Writes what the writer queued into the IO. An IO (a pipe, a socket, a file)
// or a StringIO is written with write_nonblock (see writes_without_blocking)
// and waited for with IO.select, so that an interrupt always finds the bytes
// that left counted; any other object is given whole blocks to `write`, and
// an interrupt inside it leaves unknown how much it took: the stream is
// broken then. What the IO answers is checked: a short count has the rest
// written again, an answer no write gives fails the stream.
class StreamLink final : public IoLink {
 public:
  StreamLink(VALUE io, std::shared_ptr<StreamOutput> stream)
      : io_(io),
        stream_(std::move(stream)),
        nonblocking_(writes_without_blocking(io)),
        own_write_nonblock_(nonblocking_ && has_own_write_nonblock(io)) {}
  void mark() const override {
    rb_gc_mark(io_);
    rb_gc_mark(spare_piece_);
  }
  bool serves_calls() const override { return true; }
  void begin(BackgroundRun* run) override {
    failed_before_ = stream_->failed();
    stream_->attach([run] { run->wake(); });
  }
  int serve() override {
    Serving serving(*this);
    std::string block;
    VALUE piece = own_write_nonblock_ ? take_piece() : Qnil;
    int state = 0;
    while (!state && !forked_away() && stream_->take(&block)) state = write_block(block, piece);
    spare_piece_ = piece;
    RB_GC_GUARD(piece);
    return state;
  }
  void stop() override { stream_->detach(); }
  bool end(std::string* reason, int* state) override {
    stream_->detach();
    // After an exception the queued bytes (whole entries) wait for the next
    // call, so that the exception is not held up by a slow IO.
    if (!*state) *state = serve();
    if (failed_before_ || !stream_->failed()) return true;
    *reason = "the archive could not be written to the stream: " + stream_->last_failure();
    return false;
  }
  bool holds_unsent() const override { return stream_->holds_unsent(); }

 private:
  // Writes `block`; answers the state of an exception that goes on.
  int write_block(const std::string& block, VALUE piece) {
    size_t done = 0;
    while (done < block.size()) {
      const size_t left = block.size() - done;
      WriteCall call{io_, block.data() + done, nonblocking_ ? std::min(kPieceSize, left) : left,
                     nonblocking_, piece};
      int state = 0;
      rb_protect(write_with_interrupts_held, reinterpret_cast<VALUE>(&call), &state);
      if (forked_away()) return state;
      if (state && !call.called) {
        // An interrupt on the way in, before interrupts were held: nothing
        // left, the block waits for the next call.
        stream_->give_back(block.substr(done));
        return state;
      }
      if (state && !call.returned) {
        // The IO's exception (or one raised as it returned): it failed, what
        // it took is unknown.
        stream_->fail(take_exception(&state, own_write_nonblock_), left);
        return state;
      }
      const bool waits = nonblocking_ && (call.answer == ID2SYM(rb_intern("wait_writable")) ||
                                          call.answer == ID2SYM(rb_intern("wait_readable")));
      const long taken = waits ? 0 : taken_by(call.answer, call.size, !nonblocking_);
      if (taken < 0) {
        stream_->fail(std::string(nonblocking_ ? "write_nonblock" : "write") + " answered " +
                          inspected(call.answer) + " for " + std::to_string(call.size) + " bytes",
                      left);
        return state;
      }
      done += static_cast<size_t>(taken);
      if (!state && waits) state = wait(call.answer == ID2SYM(rb_intern("wait_readable")), left);
      if (stream_->failed() || forked_away()) return state;
      if (state) {
        // Interrupted with what left counted: the rest waits for the next call.
        stream_->give_back(block.substr(done));
        return state;
      }
    }
    return 0;
  }
  // The String pieces are written through: one kept from serving to
  // serving, since a new one each time would leave the garbage collector
  // a piece for every chunk of a long entry. Taken while in use, so that a
  // serving nested in the IO's methods (a trap handler's) gets its own.
  VALUE take_piece() {
    VALUE piece = NIL_P(spare_piece_) ? rb_str_buf_new(kPieceSize) : spare_piece_;
    spare_piece_ = Qnil;
    return piece;
  }
  int wait(bool for_reading, size_t unsent) {
    WaitCall call{io_, for_reading};
    int state = 0;
    rb_protect(wait_for_io, reinterpret_cast<VALUE>(&call), &state);
    if (forked_away()) return state;
    // IO.select raises for an IO closed meanwhile: the IO's failure.
    if (state && closed(io_)) stream_->fail(take_exception(&state), unsent);
    return state;
  }

  const VALUE io_;
  const std::shared_ptr<StreamOutput> stream_;
  const bool nonblocking_;
  const bool own_write_nonblock_;  // IO's or StringIO's, which keep nothing given
  VALUE spare_piece_ = Qnil;
  bool failed_before_ = false;
};

// ---- Reading from an IO at offsets -------------------------------------------------

// Reads through an object with read and seek. A read on a Ruby thread (while
// Parvox.load finds the directory) calls it at once; one on the work's
// thread is asked of the thread serving the call, and waits for its answer.
struct IoReads {
  explicit IoReads(VALUE io) : io(io) {}
  const VALUE io;
  fsutil::Mutex mutex;
  fsutil::Condition changed;
  BackgroundRun* run = nullptr;  // while a call serves
  // The read asked for, and its answer.
  uint64_t asked = 0;     // the number of the read waiting, 0 for none
  uint64_t answered = 0;  // the number of the last read answered
  uint64_t count = 0;
  bool ok = false;
  int64_t offset = 0;
  size_t size = 0;
  char* out = nullptr;
  // Why the last read failed, and the state of an exception that must go on
  // to the caller (met while loading).
  std::string failure;
  int pending_state = 0;
};

struct ReadCall {
  VALUE io;
  int64_t offset;
  size_t size;
  VALUE data;
};

VALUE call_seek_and_read(VALUE address) {
  auto* call = reinterpret_cast<ReadCall*>(address);
  rb_funcall(call->io, rb_intern("seek"), 2, LL2NUM(call->offset), INT2FIX(SEEK_SET));
  call->data = rb_funcall(call->io, rb_intern("read"), 1, SIZET2NUM(call->size));
  return Qnil;
}

// Why an answer of read(size) at `offset` is not the bytes asked for, or
// empty when it is.
std::string wrong_read(VALUE data, int64_t offset, size_t size) {
  const std::string asked = "read(" + std::to_string(size) + ") at byte " + std::to_string(offset);
  if (NIL_P(data)) return "it ended early: " + asked + " answered nil";
  if (!RB_TYPE_P(data, T_STRING)) return asked + " answered " + inspected(data);
  const size_t got = static_cast<size_t>(RSTRING_LEN(data));
  if (got == size) return "";
  return (got < size ? "it ended early: " : "") + asked + " answered " + std::to_string(got) +
         " bytes";
}

// Seeks and reads on this Ruby thread: the data, or nil when the IO raised
// or answered anything but the bytes asked for, with `*why` saying why.
// Whatever the IO raises goes on to the caller (`*state`): an exception
// another thread raised into this one lands in the IO's methods as often as
// anywhere.
VALUE seek_and_read(VALUE io, int64_t offset, size_t size, int* state, std::string* why) {
  ReadCall call{io, offset, size, Qnil};
  rb_protect(call_seek_and_read, reinterpret_cast<VALUE>(&call), state);
  *why = *state ? exception_text() : wrong_read(call.data, offset, size);
  return why->empty() ? call.data : Qnil;
}

class IoBytes final : public ArchiveBytes {
 public:
  IoBytes(std::shared_ptr<IoReads> reads, int64_t size) : reads_(std::move(reads)), size_(size) {}
  int64_t size() const override { return size_; }
  bool read(int64_t offset, size_t n, char* out) const override {
    if (offset < 0 || offset > size_ || static_cast<uint64_t>(size_ - offset) < n) return false;
    if (n == 0) return true;
    return ruby_native_thread_p() ? read_here(offset, n, out) : ask_for(offset, n, out);
  }

 private:
  bool read_here(int64_t offset, size_t n, char* out) const {
    int state = 0;
    std::string why;
    VALUE data = seek_and_read(reads_->io, offset, n, &state, &why);
    if (state && !reads_->pending_state) reads_->pending_state = state;
    if (NIL_P(data)) {
      std::lock_guard<fsutil::Mutex> lock(reads_->mutex);
      reads_->failure = std::move(why);
      return false;
    }
    std::memcpy(out, RSTRING_PTR(data), n);
    RB_GC_GUARD(data);
    return true;
  }
  bool ask_for(int64_t offset, size_t n, char* out) const {
    IoReads& reads = *reads_;
    std::unique_lock<fsutil::Mutex> lock(reads.mutex);
    reads.changed.wait(lock, [&reads] { return !reads.asked || !reads.run; });
    if (!reads.run) return false;
    const uint64_t number = ++reads.count;
    reads.asked = number;
    reads.offset = offset;
    reads.size = n;
    reads.out = out;
    reads.run->wake();
    reads.changed.wait(lock, [&reads, number] { return reads.answered == number || !reads.run; });
    const bool ok = reads.answered == number && reads.ok;
    if (reads.asked == number) reads.asked = 0;
    reads.changed.notify_all();
    return ok;
  }

  const std::shared_ptr<IoReads> reads_;
  const int64_t size_;
};

class ReadLink final : public IoLink {
 public:
  explicit ReadLink(std::shared_ptr<IoReads> reads) : reads_(std::move(reads)) {}
  void mark() const override { rb_gc_mark(reads_->io); }
  bool serves_calls() const override { return true; }
  void begin(BackgroundRun* run) override {
    std::lock_guard<fsutil::Mutex> lock(reads_->mutex);
    reads_->run = run;
    reads_->failure.clear();
  }
  int serve() override {
    Serving serving(*this);
    IoReads& reads = *reads_;
    uint64_t number;
    int64_t offset;
    size_t size;
    {
      std::lock_guard<fsutil::Mutex> lock(reads.mutex);
      number = reads.asked;
      if (!number || reads.answered == number || !reads.run) return 0;
      offset = reads.offset;
      size = reads.size;
    }
    int state = 0;
    std::string why;
    VALUE data = seek_and_read(reads.io, offset, size, &state, &why);
    if (forked_away()) return state;
    {
      // The asker may have given up meanwhile (the call was stopped); then
      // its buffer is not touched.
      std::lock_guard<fsutil::Mutex> lock(reads.mutex);
      if (!why.empty()) reads.failure = std::move(why);
      if (reads.asked == number && reads.run) {
        reads.ok = !NIL_P(data);
        if (reads.ok) std::memcpy(reads.out, RSTRING_PTR(data), size);
        reads.answered = number;
        reads.changed.notify_all();
      }
    }
    RB_GC_GUARD(data);
    return state;
  }
  void stop() override {
    std::lock_guard<fsutil::Mutex> lock(reads_->mutex);
    reads_->run = nullptr;
    reads_->changed.notify_all();
  }
  bool end(std::string* reason, int*) override {
    stop();
    std::lock_guard<fsutil::Mutex> lock(reads_->mutex);
    if (reads_->failure.empty()) return true;
    *reason = "the archive could not be read: " + reads_->failure;
    return false;
  }

 private:
  const std::shared_ptr<IoReads> reads_;
};

// A StringIO's String, frozen and shared: kept alive (and, being marked,
// never moved) while the reader reads it.
class MemoryLink final : public IoLink {
 public:
  explicit MemoryLink(VALUE bytes) : bytes_(bytes) {}
  void mark() const override { rb_gc_mark(bytes_); }
  bool serves_calls() const override { return false; }
  void begin(BackgroundRun*) override {}
  int serve() override { return 0; }
  void stop() override {}
  bool end(std::string*, int*) override { return true; }

 private:
  const VALUE bytes_;
};

// A duplicate of the caller's descriptor, owned with the bytes read from it.
class DescriptorBytes final : public ArchiveBytes {
 public:
  explicit DescriptorBytes(fsutil::File file) : file_(std::move(file)), bytes_(file_.fd()) {}
  int64_t size() const override { return bytes_.size(); }
  bool read(int64_t offset, size_t n, char* out) const override {
    return bytes_.read(offset, n, out);
  }

 private:
  fsutil::File file_;
  FileBytes bytes_;
};

VALUE call_fileno(VALUE io) { return rb_funcall(io, rb_intern("fileno"), 0); }

VALUE read_nothing(VALUE io) { return rb_funcall(io, rb_intern("read"), 1, INT2FIX(0)); }

// Whether Ruby lets `io` be read: a File opened for writing only raises.
bool readable(VALUE io) {
  int state = 0;
  rb_protect(read_nothing, io, &state);
  if (state && !rb_obj_is_kind_of(rb_errinfo(), rb_eIOError)) rb_jump_tag(state);
  if (state) rb_set_errinfo(Qnil);
  return !state;
}

// Whether the Integer `value` fits in an int64_t, `*out`; without raising.
// (A Bignum is no rarity: on Windows, where a long has 32 bits, an Integer
// is one from 1 GiB on.)
bool fits_int64(VALUE value, int64_t* out) {
  uint64_t magnitude = 0;
  const int sign = rb_integer_pack(value, &magnitude, 1, sizeof(magnitude), 0,
                                   INTEGER_PACK_NATIVE_BYTE_ORDER);
  if (sign == 2 || sign == -2 || magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
  *out = sign < 0 ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

VALUE call_size(VALUE io) {
  if (responds_to(io, "size")) return rb_funcall(io, rb_intern("size"), 0);
  rb_funcall(io, rb_intern("seek"), 2, INT2FIX(0), INT2FIX(SEEK_END));
  return rb_funcall(io, rb_intern("tell"), 0);
}

}  // namespace

namespace ruby_io {

bool is_path(VALUE value) {
  return RB_TYPE_P(value, T_STRING) ||
         (!rb_obj_is_kind_of(value, rb_cIO) && !responds_to(value, "fileno") &&
          responds_to(value, "to_path"));
}

VALUE path_string(VALUE value) {
  if (!RB_TYPE_P(value, T_STRING) && is_path(value)) {
    value = rb_funcall(value, rb_intern("to_path"), 0);
  }
  Check_Type(value, T_STRING);
  return value;
}

void check_writable_io(VALUE io) {
  if (!responds_to(io, "write")) {
    rb_raise(rb_eTypeError, "wrong argument type %" PRIsVALUE " (expected a path or an IO)",
             rb_obj_class(io));
  }
}

intptr_t file_handle_of(VALUE io) {
  if (!responds_to(io, "fileno")) return -1;
  int state = 0;
  VALUE fd = rb_protect(call_fileno, io, &state);
  if (state) {
    take_exception(&state);
    if (state) rb_jump_tag(state);
    return -1;
  }
  return FIXNUM_P(fd) && FIX2LONG(fd) >= 0 && FIX2LONG(fd) <= INT_MAX
             ? system_handle_of(static_cast<int>(FIX2LONG(fd)))
             : -1;
}

std::unique_ptr<ArchiveWriter> create_writer_into(VALUE io, intptr_t handle,
                                                  const std::string& password,
                                                  const archive_writer::Options& options,
                                                  std::unique_ptr<IoLink>* link,
                                                  std::string* reason,
                                                  failures::Kind* kind) noexcept {
  *kind = failures::Kind::other;
  try {
    auto stream = std::make_shared<StreamOutput>();
    fsutil::FileId file;
    const bool in_file = handle != -1 && fsutil::identity_of_handle(handle, &file);
    std::unique_ptr<ArchiveWriter> writer =
        ArchiveWriter::create(stream, password, options, reason, kind, in_file ? &file : nullptr);
    if (writer) link->reset(new StreamLink(io, stream));
    return writer;
  } catch (...) {
    *reason = "out of memory";
    *kind = failures::Kind::other;
    return nullptr;
  }
}

IoSource io_source_of(VALUE io) {
  IoSource source;
  source.io = io;
  source.class_name = rb_class_name(rb_obj_class(io));
  if (is_string_io(io)) {
    VALUE bytes = rb_funcall(io, rb_intern("string"), 0);
    Check_Type(bytes, T_STRING);
    source.bytes = rb_str_new_frozen(bytes);
    source.kind = IoSource::Kind::memory;
    return source;
  }
  if (responds_to(io, "fileno")) {
    VALUE fd = rb_funcall(io, rb_intern("fileno"), 0);
    if (!NIL_P(fd)) {
      source.handle = system_handle_of(NUM2INT(fd));
      source.kind = IoSource::Kind::descriptor;
      if (!readable(io)) source.refusal = rb_str_new_cstr("it is not opened for reading");
      return source;
    }
  }
  if (!responds_to(io, "read")) {
    rb_raise(rb_eTypeError, "wrong argument type %" PRIsVALUE " (expected a path or an IO)",
             rb_obj_class(io));
  }
  if (!responds_to(io, "seek")) return source;
  int state = 0;
  VALUE size = rb_protect(call_size, io, &state);
  if (state) {
    // A seek the system refuses (ESPIPE) makes the object unseekable, not an
    // error; anything else goes on.
    if (!rb_obj_is_kind_of(rb_errinfo(), rb_eSystemCallError)) rb_jump_tag(state);
    rb_set_errinfo(Qnil);
    return source;
  }
  if (!RB_INTEGER_TYPE_P(size) || !fits_int64(size, &source.size)) {
    source.refusal = rb_sprintf("its size is %+" PRIsVALUE ", not a number of bytes", size);
    return source;
  }
  source.kind = source.size < 0 ? IoSource::Kind::unseekable : IoSource::Kind::readable;
  return source;
}

std::unique_ptr<ArchiveReader> load_reader_from(const IoSource& source, const std::string& password,
                                                const std::string& alternative,
                                                std::unique_ptr<IoLink>* link,
                                                std::string* reason, failures::Kind* kind,
                                                int* state) noexcept {
  try {
    const std::string shown = "the " + ruby_strings::all_bytes_of(source.class_name);
    // Every refusal here is a source that cannot be read as an archive needs.
    *kind = failures::Kind::read_failed;
    if (!NIL_P(source.refusal)) {
      *reason = shown + " cannot be read: " + ruby_strings::all_bytes_of(source.refusal);
      return nullptr;
    }
    std::unique_ptr<ArchiveReader> reader;
    switch (source.kind) {
      case IoSource::Kind::memory: {
        std::unique_ptr<ArchiveBytes> bytes(new MemoryBytes(
            RSTRING_PTR(source.bytes), static_cast<size_t>(RSTRING_LEN(source.bytes))));
        reader = ArchiveReader::load(std::move(bytes), shown, password, alternative, reason, kind);
        if (reader) link->reset(new MemoryLink(source.bytes));
        return reader;
      }
      case IoSource::Kind::descriptor: {
        fsutil::File file = fsutil::File::duplicate_regular(source.handle);
        if (!file.is_open()) {
          const std::string why = fsutil::last_error_text();
          *reason = why == "Not a regular file" ? kNeedsSeekable : shown + ": " + why;
          return nullptr;
        }
        std::unique_ptr<ArchiveBytes> bytes(new DescriptorBytes(std::move(file)));
        return ArchiveReader::load(std::move(bytes), shown, password, alternative, reason, kind);
      }
      case IoSource::Kind::readable: {
        auto reads = std::make_shared<IoReads>(source.io);
        std::unique_ptr<ArchiveBytes> bytes(new IoBytes(reads, source.size));
        reader = ArchiveReader::load(std::move(bytes), shown, password, alternative, reason, kind);
        *state = reads->pending_state;
        if (!reads->failure.empty()) {
          *reason = shown + " could not be read: " + reads->failure;
          *kind = failures::Kind::read_failed;
          reader.reset();
        }
        if (reader) link->reset(new ReadLink(reads));
        return reader;
      }
      case IoSource::Kind::unseekable:
        break;
    }
    *reason = kNeedsSeekable;
    return nullptr;
  } catch (...) {
    *reason = "out of memory";
    *kind = failures::Kind::other;
    return nullptr;
  }
}

}  // namespace ruby_io
