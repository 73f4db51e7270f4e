#include "ext/ruby_io.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

#include "archive/write/stream_output.h"
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

// "Class: message" of the exception that left `*state`. A StandardError
// (EPIPE, IOError, a framework's disconnect error) is the IO's failure, which
// the call answers with false: it is cleared and `*state` becomes 0. Anything
// else (an interrupt, exit, a throw) stays in `*state` to go on to the caller.
std::string take_exception(int* state) noexcept {
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
    if (rb_obj_is_kind_of(exception, rb_eStandardError)) {
      rb_set_errinfo(Qnil);
      *state = 0;
    }
  } catch (...) {
  }
  return text;
}

// ---- Writing into an IO ----------------------------------------------------------

// An IO or StringIO is written in pieces of at most this size, all through
// one String that is filled anew for each: they copy what they are given.
constexpr size_t kPieceSize = 128 << 10;

VALUE string_io_class() {
  ID name = rb_intern("StringIO");
  return rb_const_defined(rb_cObject, name) ? rb_const_get(rb_cObject, name) : Qnil;
}

bool is_string_io(VALUE value) {
  VALUE string_io = string_io_class();
  return !NIL_P(string_io) && rb_obj_is_kind_of(value, string_io);
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

struct WriteCall {
  VALUE io;
  const std::string* block;
  size_t done;   // bytes of the block that have left
  VALUE piece;   // the String written through
  VALUE answer;  // write_nonblock's
};

// Any other object gets a String of its own for each block: it may keep it
// (a response stream queues what it is given).
VALUE call_write(VALUE address) {
  const auto* call = reinterpret_cast<const WriteCall*>(address);
  VALUE bytes = rb_str_new(call->block->data(), static_cast<long>(call->block->size()));
  return rb_funcall(call->io, rb_intern("write"), 1, bytes);
}

VALUE call_write_nonblock(VALUE address) {
  auto* call = reinterpret_cast<WriteCall*>(address);
  const size_t size = std::min(kPieceSize, call->block->size() - call->done);
  rb_str_resize(call->piece, static_cast<long>(size));
  std::memcpy(RSTRING_PTR(call->piece), call->block->data() + call->done, size);
  VALUE options = rb_hash_new();
  rb_hash_aset(options, ID2SYM(rb_intern("exception")), Qfalse);
  VALUE args[2] = {call->piece, options};
  call->answer = rb_funcallv_kw(call->io, rb_intern("write_nonblock"), 2, args, RB_PASS_KEYWORDS);
  return Qnil;
}

// Waits until the IO can take more (IO.select): interruptible, with no byte
// in flight.
VALUE wait_for_io(VALUE address) {
  const auto* call = reinterpret_cast<const WriteCall*>(address);
  VALUE ios = rb_ary_new_from_args(1, call->io);
  const bool reading = call->answer == ID2SYM(rb_intern("wait_readable"));
  return rb_funcall(rb_cIO, rb_intern("select"), 2, reading ? ios : Qnil, reading ? Qnil : ios);
}

// Writes what the writer queued into the IO. An IO (a pipe, a socket, a file)
// or a StringIO is written with write_nonblock (see writes_without_blocking)
// and waited for with
// IO.select, so that an interrupt always finds the bytes that left counted;
// any other object is given whole blocks to `write`, and an interrupt inside
// it leaves unknown how much it took: the stream is broken then.
class StreamLink final : public IoLink {
 public:
  StreamLink(VALUE io, std::shared_ptr<StreamOutput> stream)
      : io_(io),
        stream_(std::move(stream)),
        nonblocking_(writes_without_blocking(io)) {}
  void mark() const override { rb_gc_mark(io_); }
  bool serves_calls() const override { return true; }
  void begin(BackgroundRun* run) override {
    failed_before_ = stream_->failed();
    stream_->attach([run] { run->wake(); });
  }
  int serve() override {
    std::string block;
    VALUE piece = nonblocking_ ? rb_str_buf_new(kPieceSize) : Qnil;
    int state = 0;
    while (!state && stream_->take(&block)) {
      WriteCall call{io_, &block, 0, piece, Qnil};
      state = nonblocking_ ? write_without_blocking(call) : write_whole(call);
    }
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

 private:
  // The IO's exception while it wrote: it failed, and the stream is broken.
  int fail_writing(int state) {
    stream_->fail(take_exception(&state));
    return state;
  }
  int write_whole(WriteCall& call) {
    int state = 0;
    rb_protect(call_write, reinterpret_cast<VALUE>(&call), &state);
    return state ? fail_writing(state) : 0;
  }
  int write_without_blocking(WriteCall& call) {
    while (call.done < call.block->size()) {
      int state = 0;
      rb_protect(call_write_nonblock, reinterpret_cast<VALUE>(&call), &state);
      if (state) return fail_writing(state);
      if (RB_INTEGER_TYPE_P(call.answer)) {
        call.done += NUM2SIZET(call.answer);
        continue;
      }
      rb_protect(wait_for_io, reinterpret_cast<VALUE>(&call), &state);
      if (state) {
        // Interrupted while waiting: what is left waits for the next call.
        stream_->give_back(call.block->substr(call.done));
        return state;
      }
    }
    return 0;
  }

  const VALUE io_;
  const std::shared_ptr<StreamOutput> stream_;
  const bool nonblocking_;
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
  // The text of the last exception the IO raised, and the state of one that
  // must go on to the caller (met while loading).
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

// Seeks and reads on this Ruby thread: the data, or nil when the IO gave
// less (or raised, leaving `*state` as take_exception does).
VALUE seek_and_read(IoReads& reads, int64_t offset, size_t size, int* state) {
  ReadCall call{reads.io, offset, size, Qnil};
  rb_protect(call_seek_and_read, reinterpret_cast<VALUE>(&call), state);
  if (*state) {
    std::string text = take_exception(state);
    std::lock_guard<fsutil::Mutex> lock(reads.mutex);
    reads.failure = std::move(text);
    return Qnil;
  }
  const bool whole = RB_TYPE_P(call.data, T_STRING) &&
                     static_cast<size_t>(RSTRING_LEN(call.data)) == size;
  return whole ? call.data : Qnil;
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
    VALUE data = seek_and_read(*reads_, offset, n, &state);
    if (state && !reads_->pending_state) reads_->pending_state = state;
    if (NIL_P(data)) return false;
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
    VALUE data = seek_and_read(reads, offset, size, &state);
    {
      // The asker may have given up meanwhile (the call was stopped); then
      // its buffer is not touched.
      std::lock_guard<fsutil::Mutex> lock(reads.mutex);
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
                                                  std::unique_ptr<IoLink>* link,
                                                  std::string* reason) noexcept {
  try {
    auto stream = std::make_shared<StreamOutput>();
    fsutil::FileId file;
    const bool in_file = handle != -1 && fsutil::identity_of_handle(handle, &file);
    std::unique_ptr<ArchiveWriter> writer =
        ArchiveWriter::create(stream, password, reason, in_file ? &file : nullptr);
    if (writer) link->reset(new StreamLink(io, stream));
    return writer;
  } catch (...) {
    *reason = "out of memory";
    return nullptr;
  }
}

IoSource io_source_of(VALUE io) {
  IoSource source;
  source.io = io;
  source.class_name = rb_obj_classname(io);
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
    // A seek that fails (ESPIPE) makes the object unseekable, not an error.
    take_exception(&state);
    if (state) rb_jump_tag(state);
    return source;
  }
  source.size = NUM2LL(size);
  source.kind = source.size < 0 ? IoSource::Kind::unseekable : IoSource::Kind::readable;
  return source;
}

std::unique_ptr<ArchiveReader> load_reader_from(const IoSource& source, const std::string& password,
                                                const std::string& alternative,
                                                std::unique_ptr<IoLink>* link,
                                                std::string* reason, int* state) noexcept {
  try {
    const std::string shown = std::string("the ") + source.class_name;
    std::unique_ptr<ArchiveReader> reader;
    switch (source.kind) {
      case IoSource::Kind::memory: {
        std::unique_ptr<ArchiveBytes> bytes(new MemoryBytes(
            RSTRING_PTR(source.bytes), static_cast<size_t>(RSTRING_LEN(source.bytes))));
        reader = ArchiveReader::load(std::move(bytes), shown, password, alternative, reason);
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
        return ArchiveReader::load(std::move(bytes), shown, password, alternative, reason);
      }
      case IoSource::Kind::readable: {
        auto reads = std::make_shared<IoReads>(source.io);
        std::unique_ptr<ArchiveBytes> bytes(new IoBytes(reads, source.size));
        reader = ArchiveReader::load(std::move(bytes), shown, password, alternative, reason);
        *state = reads->pending_state;
        if (!reads->failure.empty()) {
          *reason = shown + " could not be read: " + reads->failure;
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
    return nullptr;
  }
}

}  // namespace ruby_io
