// Parvox#add_file, Parvox#add_data, Parvox#unzip_file, Parvox#read and
// Parvox#unzip_all, and reading the directory for Parvox#entries: each checks
// its arguments and says what work it asks of the archive; run_operation
// (ext/operation.h) does the rest.
#include "ext/methods.h"
#include "ext/operation.h"

#include <algorithm>
#include <cstring>
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
// one report's worth of data and one chunk of the engine's.
struct ReadBuffer final : EntrySink {
  std::string data;
  bool take(const char* bytes, size_t size, std::string*) override {
    data.append(bytes, size);
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

// The system would end a name or path at a NUL ("a\0/../x" is "a"): one
// holding NUL names no entry and no file. Leaves the reason in the object.
bool refuses_nul(ParvoxObject& object, VALUE name, const char* reason) {
  if (!std::memchr(RSTRING_PTR(name), '\0', static_cast<size_t>(RSTRING_LEN(name)))) return false;
  object.last_error = reason;
  return true;
}

constexpr char kNameHoldsNul[] = "the entry name holds a NUL byte";
constexpr char kPathHoldsNul[] = "the target path holds a NUL byte";

VALUE release_read_buffer(VALUE holder) {
  free_read_buffer(DATA_PTR(holder));
  DATA_PTR(holder) = nullptr;
  return Qnil;
}

}  // namespace

VALUE parvox_add_file(VALUE self, VALUE source, VALUE name, VALUE folder, VALUE recursive) {
  check_string(source);
  check_string(name);
  return run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveWriter* writer = writer_for_adding(object);
    if (!writer) return false;
    operation->work = [writer, path = native_name_of(source), entry = native_name_of(name),
                       whole_folder = switch_on(folder),
                       sub_folders = switch_on(recursive)](Progress& progress) {
      return writer->add_file(path, entry, whole_folder, sub_folders, progress);
    };
    operation->reason = &writer->last_error();
    return true;
  });
}

VALUE parvox_add_data(VALUE self, VALUE data, VALUE name) {
  check_string(data);
  check_string(name);
  return run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveWriter* writer = writer_for_adding(object);
    if (!writer) return false;
    const char* bytes = RSTRING_PTR(data);
    const size_t size = static_cast<size_t>(RSTRING_LEN(data));
    operation->runs_here = RSTRING_LEN(data) <= kDataAddedHere;
    if (operation->runs_here) {
      operation->work = [writer, bytes, size, entry = native_name_of(name)](Progress&) {
        return writer->add_data(bytes, size, entry);
      };
    } else {
      operation->work = [writer, copy = std::string(bytes, size),
                         entry = native_name_of(name)](Progress&) {
        return writer->add_data(copy.data(), copy.size(), entry);
      };
    }
    operation->reason = &writer->last_error();
    return true;
  });
}

VALUE parvox_unzip_file(VALUE self, VALUE name, VALUE target) {
  check_string(name);
  check_string(target);
  return run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveReader* reader = reader_for_reading(object);
    if (!reader || refuses_nul(object, name, kNameHoldsNul) ||
        refuses_nul(object, target, kPathHoldsNul)) {
      return false;
    }
    std::string entry = native_name_of(name);
    operation->runs_here = reader->is_small_read(entry);
    operation->work = [reader, entry = std::move(entry),
                       path = native_name_of(target)](Progress& progress) {
      return reader->unzip_file(entry, path, progress);
    };
    operation->reason = &reader->last_error();
    return true;
  });
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

// Without a block the data is built in native memory and copied into the
// String once the read has succeeded; with one, chunks are yielded as they
// come (memory stays bounded by about two chunks whatever the entry's size).
VALUE parvox_read(VALUE self, VALUE name) {
  check_string(name);
  const bool in_chunks = rb_block_given_p() != 0;
  VALUE holder = TypedData_Wrap_Struct(0, &read_buffer_type, nullptr);
  auto* buffer = new (std::nothrow) ReadBuffer;
  if (!buffer) rb_memerror();
  DATA_PTR(holder) = buffer;
  const VALUE answer = run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveReader* reader = reader_for_reading(object);
    if (!reader || refuses_nul(object, name, kNameHoldsNul)) return false;
    std::string entry = native_name_of(name);
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
  if (!in_chunks) {
    const std::string& data = buffer->data;
    result = RTEST(answer) ? rb_str_new(data.data(), static_cast<long>(data.size())) : Qnil;
  }
  release_read_buffer(holder);
  RB_GC_GUARD(holder);
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
