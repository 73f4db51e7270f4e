// Parvox#add_file, Parvox#add_data, Parvox#unzip_file, Parvox#read and
// Parvox#unzip_all, and reading the directory for Parvox#entries: each checks
// its arguments and says what work it asks of the archive; run_operation
// (ext/operation.h) does the rest.
#include "ext/methods.h"
#include "ext/operation.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <new>

namespace {

// Data up to this size is added on the calling thread, straight from the
// String; larger data is copied and added on a thread of its own.
constexpr long kDataAddedHere = 1 << 20;

// Parvox#read with a block hands the data over in chunks of at most this size.
constexpr size_t kChunkBytes = 4 << 20;

// Collects an entry's data for Parvox#read. With a block, the work's
// progress reports (every Progress::kReportInterval bytes, and at the end)
// hand what has come so far to the block and empty it, so it holds at most
// one report's worth of data and one chunk of the engine's. Without one, the
// data goes straight into the String made for it at the entry's declared
// size (`target`), when it has one.
struct ReadBuffer final : EntrySink {
  std::string data;
  char* target = nullptr;
  size_t capacity = 0;
  size_t filled = 0;
  std::shared_ptr<const CentralDirectory> directory;  // while the String is sized
  bool take(const char* bytes, size_t size, std::string* reason) override {
    if (!target) {
      data.append(bytes, size);
      return true;
    }
    // The reader never hands out more than the declared size.
    if (size > capacity - filled) {
      *reason = "more data than the entry's declared size";
      return false;
    }
    std::memcpy(target + filled, bytes, size);
    filled += size;
    return true;
  }
  bool finish(std::string*) override { return true; }
};

// What a report finds is at most kReportInterval plus one engine chunk.
static_assert(Progress::kReportInterval <= kChunkBytes, "a report's data takes one or two chunks");

void free_read_buffer(void* buffer) { delete static_cast<ReadBuffer*>(buffer); }

// The buffer belongs to a hidden Ruby object, so a Ruby exception on the way
// (an interrupt, one from the block) never skips its destructor.
const rb_data_type_t read_buffer_type = {
    "Parvox::ReadBuffer",
    {nullptr, free_read_buffer, nullptr, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

struct Chunk {
  const char* data;
  size_t size;
};

VALUE yield_chunk(VALUE address) {
  const auto* chunk = reinterpret_cast<const Chunk*>(address);
  return rb_yield(rb_str_new(chunk->data, static_cast<long>(chunk->size)));
}

// Yields the buffer's data in chunks and empties it; answers the state of
// any exception or break.
int yield_chunks(ReadBuffer* buffer) {
  int state = 0;
  const std::string& data = buffer->data;
  for (size_t at = 0; at < data.size() && !state; at += kChunkBytes) {
    Chunk chunk{data.data() + at, std::min(kChunkBytes, data.size() - at)};
    rb_protect(yield_chunk, reinterpret_cast<VALUE>(&chunk), &state);
  }
  buffer->data.clear();
  return state;
}

// The time add_data records: its `mtime:` keyword, which must be a Time, or
// the time of the call.
int64_t data_time_of(VALUE options) {
  VALUE mtime = Qundef;
  if (!NIL_P(options)) {
    ID keys[1] = {rb_intern("mtime")};
    rb_get_kwargs(options, keys, 0, 1, &mtime);
  }
  if (mtime == Qundef) return static_cast<int64_t>(std::time(nullptr));
  if (!rb_obj_is_kind_of(mtime, rb_cTime)) {
    rb_raise(rb_eTypeError, "mtime must be a Time, not %" PRIsVALUE, rb_obj_class(mtime));
  }
  return NUM2LL(rb_funcall(mtime, rb_intern("to_i"), 0));
}

// A name or path holding NUL names no entry and no file (see holds_nul).
// Leaves the reason in the object.
bool refuses_nul(ParvoxObject& object, VALUE name, const char* reason) {
  if (!holds_nul(name)) return false;
  object.last_error = reason;
  return true;
}

constexpr char kNameHoldsNul[] = "the entry name holds a NUL byte";
constexpr char kPathHoldsNul[] = "the target path holds a NUL byte";
constexpr char kSourceHoldsNul[] = "the source path holds a NUL byte";

// Whether the entry name `utf8_name` (utf8_text_of of `given`: nil when it had
// no UTF-8 form) cannot be looked up; the object's last_error then says why.
bool refuses_lookup(ParvoxObject& object, VALUE utf8_name, VALUE given) {
  if (!NIL_P(utf8_name)) return refuses_nul(object, utf8_name, kNameHoldsNul);
  object.last_error = unconvertible_name_reason(given);
  return true;
}

// The size the entry `utf8_name` declares, when a String of that size can be
// made for its data up front: an entry that is there, and declares no more
// than its compressed data could hold (deflate expands at most 1,032 times;
// an entry declaring more fails anyway). -1 otherwise.
int64_t size_to_read_in_place(const CentralDirectory& directory, VALUE utf8_name) {
  const int64_t position = directory.find(all_bytes_of(utf8_name));
  if (position < 0) return -1;
  const DirectoryEntry& entry = directory.entries()[static_cast<size_t>(position)];
  const int64_t most = entry.compressed_size > INT64_MAX / 1032 ? INT64_MAX : entry.compressed_size * 1032;
  if (entry.info.is_folder || entry.info.size > most || entry.info.size >= LONG_MAX) return -1;
  return entry.info.size;
}

VALUE new_buffer_string(VALUE size) { return rb_str_buf_new(NUM2LONG(size)); }

// Makes the String that `buffer` fills in place, when the entry's size is
// known; answers it, or nil. A String too large to make is no failure here:
// the data then comes into native memory first, as with an unknown size.
VALUE string_to_fill(VALUE self, VALUE utf8_name, ReadBuffer* buffer) {
  if (NIL_P(utf8_name) || holds_nul(utf8_name) || !read_directory(self, &buffer->directory)) {
    return Qnil;
  }
  const int64_t size = size_to_read_in_place(*buffer->directory, utf8_name);
  buffer->directory.reset();
  if (size < 0) return Qnil;
  int state = 0;
  VALUE string = rb_protect(new_buffer_string, LONG2NUM(static_cast<long>(size)), &state);
  if (state) {
    rb_set_errinfo(Qnil);
    return Qnil;
  }
  buffer->target = RSTRING_PTR(string);
  buffer->capacity = static_cast<size_t>(size);
  return string;
}

VALUE release_read_buffer(VALUE holder) {
  free_read_buffer(DATA_PTR(holder));
  DATA_PTR(holder) = nullptr;
  return Qnil;
}

// The writer of the object, for adding the entry `name` (a UTF-8 String, or
// nil when the name given had no UTF-8 form); null, with the object's
// last_error saying why, when there is none or the name is refused.
ArchiveWriter* writer_for_entry(ParvoxObject& object, VALUE name, VALUE given_name,
                                Operation* operation) {
  ArchiveWriter* writer = writer_for_adding(object);
  if (writer && NIL_P(name)) {
    object.last_error = unconvertible_name_reason(given_name);
    return nullptr;
  }
  return writer;
}

}  // namespace

VALUE parvox_add_file(VALUE self, VALUE source, VALUE name, VALUE folder, VALUE recursive) {
  check_string(source);
  check_string(name);
  VALUE utf8_name = utf8_text_of(name);
  const VALUE answer = run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveWriter* writer = writer_for_entry(object, utf8_name, name, operation);
    if (!writer || refuses_nul(object, source, kSourceHoldsNul)) return false;
    operation->work = [writer, path = native_name_of(source), entry = all_bytes_of(utf8_name),
                       whole_folder = switch_on(folder),
                       sub_folders = switch_on(recursive)](Progress& progress) {
      return writer->add_file(path, entry, whole_folder, sub_folders, progress);
    };
    operation->reason = &writer->last_error();
    return true;
  });
  RB_GC_GUARD(utf8_name);
  return answer;
}

// A block given to add_data is not called: it reports nothing.
VALUE parvox_add_data(int argc, VALUE* argv, VALUE self) {
  VALUE data, name, options;
  rb_scan_args(argc, argv, "2:", &data, &name, &options);
  check_string(data);
  check_string(name);
  const int64_t mtime = data_time_of(options);
  VALUE utf8_name = utf8_text_of(name);
  const VALUE answer = run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveWriter* writer = writer_for_entry(object, utf8_name, name, operation);
    if (!writer) return false;
    const char* bytes = RSTRING_PTR(data);
    const size_t size = static_cast<size_t>(RSTRING_LEN(data));
    operation->runs_here = RSTRING_LEN(data) <= kDataAddedHere;
    if (operation->runs_here) {
      operation->work = [writer, bytes, size, entry = all_bytes_of(utf8_name),
                         mtime](Progress& progress) {
        return writer->add_data(bytes, size, entry, mtime, progress);
      };
    } else {
      operation->work = [writer, copy = std::string(bytes, size),
                         entry = all_bytes_of(utf8_name), mtime](Progress& progress) {
        return writer->add_data(copy.data(), copy.size(), entry, mtime, progress);
      };
    }
    operation->reason = &writer->last_error();
    return true;
  }, false);
  RB_GC_GUARD(utf8_name);
  return answer;
}

// The entry name is looked up as UTF-8 text; only the target is a path.
VALUE parvox_unzip_file(VALUE self, VALUE name, VALUE target) {
  check_string(name);
  check_string(target);
  VALUE utf8_name = utf8_text_of(name);
  const VALUE answer = run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveReader* reader = reader_for_reading(object);
    if (!reader || refuses_lookup(object, utf8_name, name) ||
        refuses_nul(object, target, kPathHoldsNul)) {
      return false;
    }
    std::string entry = all_bytes_of(utf8_name);
    operation->runs_here = reader->is_small_read(entry);
    operation->work = [reader, entry = std::move(entry),
                       path = native_name_of(target)](Progress& progress) {
      return reader->unzip_file(entry, path, progress);
    };
    operation->reason = &reader->last_error();
    return true;
  });
  RB_GC_GUARD(utf8_name);
  return answer;
}

VALUE parvox_unzip_all(VALUE self, VALUE folder) {
  check_string(folder);
  return run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveReader* reader = reader_for_reading(object);
    if (!reader || refuses_nul(object, folder, kPathHoldsNul)) return false;
    operation->work = [reader, path = native_name_of(folder)](Progress& progress) {
      return reader->unzip_all(path, progress);
    };
    operation->reason = &reader->last_error();
    return true;
  });
}

// Without a block the data goes straight into a String made at the entry's
// declared size (one allocation, no copy); with one, chunks are yielded as
// they come (memory stays bounded by about two chunks whatever the entry's
// size).
VALUE parvox_read(VALUE self, VALUE name) {
  check_string(name);
  VALUE utf8_name = utf8_text_of(name);
  const bool in_chunks = rb_block_given_p() != 0;
  VALUE holder = TypedData_Wrap_Struct(0, &read_buffer_type, nullptr);
  auto* buffer = new (std::nothrow) ReadBuffer;
  if (!buffer) rb_memerror();
  DATA_PTR(holder) = buffer;
  // Not seen by Ruby until the read is over; on the stack, it is not moved.
  VALUE string = in_chunks ? Qnil : string_to_fill(self, utf8_name, buffer);
  const VALUE answer = run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveReader* reader = reader_for_reading(object);
    if (!reader || refuses_lookup(object, utf8_name, name)) return false;
    std::string entry = all_bytes_of(utf8_name);
    operation->runs_here = reader->is_small_read(entry);
    operation->work = [reader, buffer, entry = std::move(entry)](Progress& progress) {
      return reader->read_entry(entry, *buffer, progress);
    };
    if (in_chunks) {
      operation->serve_report = [buffer](const BackgroundRun::Report&) {
        return yield_chunks(buffer);
      };
    }
    operation->reason = &reader->last_error();
    return true;
  });
  VALUE result = answer;
  if (!in_chunks && !RTEST(answer)) {
    result = Qnil;
  } else if (!in_chunks && buffer->target) {
    rb_str_set_len(string, static_cast<long>(buffer->filled));
    result = string;
  } else if (!in_chunks) {
    const std::string& data = buffer->data;
    result = rb_str_new(data.data(), static_cast<long>(data.size()));
  }
  release_read_buffer(holder);
  RB_GC_GUARD(holder);
  RB_GC_GUARD(string);
  RB_GC_GUARD(utf8_name);
  return result;
}

bool read_directory(VALUE self, std::shared_ptr<const CentralDirectory>* directory) {
  return RTEST(run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveReader* reader = reader_for_reading(object);
    if (!reader) return false;
    operation->runs_here = reader->has_directory();
    operation->work = [reader, directory](Progress&) {
      *directory = reader->directory();
      return *directory != nullptr;
    };
    operation->reason = &reader->last_error();
    return true;
  }, false));
}
