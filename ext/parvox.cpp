// The class Parvox: each of its methods, and Init_parvox at the bottom, which
// binds them. A method checks its arguments and says what work it asks of
// the archive; call::run_on_writer or call::run_on_reader (ext/call.h) does
// the rest.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ext/call.h"
#include "ext/entry.h"
#include "ext/entry_reader.h"
#include "ext/entry_writer.h"
#include "ext/parvox_object.h"
#include "ext/ruby_io.h"
#include "ext/ruby_strings.h"
#include "ext/update.h"
#include "archive/names.h"
#include "archive/read/expansion_budget.h"
#include "archive/write/compressors.h"
#include "archive/write/path_pattern.h"
#include "archive/write/zip_writer.h"
#include "fsutil/library_path.h"

namespace {

// Data up to this size is added on the calling thread; larger data is
// copied (interruptibly, before anything else) and added on a thread of its
// own.
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
    memcpy(target + filled, bytes, size);
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

// ---- Keywords --------------------------------------------------------------
//
// Read, checked and converted to what the work takes before any C++ object
// with a destructor is made: they raise. Strings among them become frozen
// UTF-8 Strings of their own, turned into native strings by the builder.

// Fills `values` with the keywords `names` of the Hash `options` (nil when
// none were given): Qundef for each one absent; ArgumentError for any other.
template <size_t N>
void keywords_of(VALUE options, const char* const (&names)[N], VALUE (&values)[N]) {
  std::fill(values, values + N, Qundef);
  if (NIL_P(options)) return;
  ID keys[N];
  for (size_t i = 0; i < N; ++i) keys[i] = rb_intern(names[i]);
  rb_get_kwargs(options, keys, 0, static_cast<int>(N), values);
}

bool given(VALUE keyword) { return keyword != Qundef && !NIL_P(keyword); }

// No `level:` given: the archive's.
constexpr int kNoLevel = -1;

int level_of(VALUE level) {
  if (!given(level)) return kNoLevel;
  if (!rb_obj_is_kind_of(level, rb_cInteger)) {
    rb_raise(rb_eTypeError, "level must be an Integer, not %" PRIsVALUE, rb_obj_class(level));
  }
  const bool fits = FIXNUM_P(level) && FIX2LONG(level) >= compressors::kStoredLevel &&
                    FIX2LONG(level) <= compressors::kMaxLevel;
  if (!fits) {
    rb_raise(rb_eArgError, "level must be from %d to %d, not %" PRIsVALUE,
             compressors::kStoredLevel, compressors::kMaxLevel, level);
  }
  return static_cast<int>(FIX2LONG(level));
}

std::optional<int> entry_level(int level) {
  return level == kNoLevel ? std::nullopt : std::optional<int>(level);
}

int64_t seconds_of(VALUE time) {
  if (!rb_obj_is_kind_of(time, rb_cTime)) {
    rb_raise(rb_eTypeError, "mtime must be a Time, not %" PRIsVALUE, rb_obj_class(time));
  }
  return NUM2LL(rb_funcall(time, rb_intern("to_i"), 0));
}

// A `comment:` as a frozen UTF-8 String, or nil; ArgumentError when
// `refusal` (one of zip_writer's) refuses it.
VALUE comment_of(VALUE comment, std::string (*refusal)(const std::string&)) {
  if (!given(comment)) return Qnil;
  comment = ruby_strings::utf8_text_argument(comment, "the comment");
  int state = 0;
  VALUE why = Qnil;
  {
    std::string refused;
    call::guarded([&] {
      refused = refusal(ruby_strings::all_bytes_of(comment));
      return true;
    });
    if (!refused.empty()) why = ruby_strings::protected_reason_string(refused, &state);
  }
  if (state) rb_jump_tag(state);
  if (!NIL_P(why)) rb_exc_raise(rb_exc_new_str(rb_eArgError, why));
  return comment;
}

std::string text_of(VALUE frozen_or_nil) {
  return NIL_P(frozen_or_nil) ? std::string() : ruby_strings::all_bytes_of(frozen_or_nil);
}

// new's: `level:` (the archive's, 6 when not given) and `comment:` (the
// archive's).
struct ArchiveKeywords {
  int level = compressors::kDefaultLevel;
  VALUE comment = Qnil;

  archive_writer::Options options() const { return {level, text_of(comment)}; }
};

ArchiveKeywords archive_keywords_of(VALUE options) {
  static const char* const kNames[] = {"level", "comment"};
  VALUE values[2];
  keywords_of(options, kNames, values);
  ArchiveKeywords keywords;
  const int level = level_of(values[0]);
  if (level != kNoLevel) keywords.level = level;
  keywords.comment = comment_of(values[1], zip_writer::archive_comment_refusal);
  return keywords;
}

// add_data's: `mtime:` (the time of the call when not given), `level:` and
// `comment:` (the entry's).
struct DataKeywords {
  int64_t mtime = 0;
  int level = kNoLevel;
  VALUE comment = Qnil;

  zip_writer::EntryOptions entry_options() const { return {entry_level(level), text_of(comment)}; }
};

DataKeywords data_keywords_of(VALUE options) {
  static const char* const kNames[] = {"mtime", "level", "comment"};
  VALUE values[3];
  keywords_of(options, kNames, values);
  DataKeywords keywords;
  // nil is no time: only an absent mtime: is the time of the call.
  keywords.mtime =
      values[0] != Qundef ? seconds_of(values[0]) : static_cast<int64_t>(std::time(nullptr));
  keywords.level = level_of(values[1]);
  keywords.comment = comment_of(values[2], zip_writer::entry_comment_refusal);
  return keywords;
}

// add_file's: `level:`, and for a single file `mtime:` and `comment:`; for
// a folder `hidden:` (whether files and folders beneath it whose names begin
// with '.', or which the system marks hidden, are added: true when not
// given) and `exclude:` (an Array of File.fnmatch patterns, matched against
// paths beneath it with File::FNM_PATHNAME | File::FNM_EXTGLOB, and
// File::FNM_DOTMATCH when hidden ones are added).
struct AddKeywords {
  int level = kNoLevel;
  bool has_mtime = false;
  int64_t mtime = 0;
  VALUE comment = Qnil;
  bool hidden = true;
  VALUE exclude = Qnil;  // an Array of frozen UTF-8 Strings, or nil

  archive_writer::AddOptions add_options() const {
    archive_writer::AddOptions options;
    options.entry = {entry_level(level), text_of(comment)};
    if (has_mtime) options.mtime = mtime;
    options.hidden = hidden;
    for (long i = 0; !NIL_P(exclude) && i < RARRAY_LEN(exclude); ++i) {
      options.exclude.push_back(ruby_strings::all_bytes_of(RARRAY_AREF(exclude, i)));
    }
    return options;
  }
};

// Why path_pattern refuses the exclude pattern `pattern` (a checked String),
// as a String; nil when it takes it.
VALUE pattern_refusal(VALUE pattern) {
  int state = 0;
  VALUE why = Qnil;
  {
    std::string refused;
    call::guarded([&] {
      std::vector<std::string> alternatives;
      path_pattern::expand(ruby_strings::all_bytes_of(pattern), &alternatives, &refused);
      return true;
    });
    if (!refused.empty()) {
      why = ruby_strings::protected_reason_string("an exclude pattern cannot be used: " + refused, &state);
    }
  }
  if (state) rb_jump_tag(state);
  return why;
}

VALUE patterns_of(VALUE exclude) {
  if (!given(exclude)) return Qnil;
  if (!RB_TYPE_P(exclude, T_ARRAY)) {
    rb_raise(rb_eTypeError, "exclude must be an Array of Strings, not %" PRIsVALUE,
             rb_obj_class(exclude));
  }
  VALUE patterns = rb_ary_new();
  for (long i = 0; i < RARRAY_LEN(exclude); ++i) {
    VALUE pattern = ruby_strings::utf8_text_argument(RARRAY_AREF(exclude, i), "an exclude pattern");
    if (ruby_strings::holds_nul(pattern)) {
      rb_raise(rb_eArgError, "an exclude pattern holds a NUL byte");
    }
    const VALUE refusal = pattern_refusal(pattern);
    if (!NIL_P(refusal)) rb_exc_raise(rb_exc_new_str(rb_eArgError, refusal));
    rb_ary_push(patterns, pattern);
  }
  return patterns;
}

AddKeywords add_keywords_of(VALUE options, bool folder) {
  static const char* const kNames[] = {"level", "mtime", "comment", "hidden", "exclude"};
  VALUE values[5];
  keywords_of(options, kNames, values);
  if (folder && (given(values[1]) || given(values[2]))) {
    rb_raise(rb_eArgError, "mtime: and comment: are for a single file, not a folder");
  }
  AddKeywords keywords;
  keywords.level = level_of(values[0]);
  keywords.has_mtime = given(values[1]);
  if (keywords.has_mtime) keywords.mtime = seconds_of(values[1]);
  keywords.comment = comment_of(values[2], zip_writer::entry_comment_refusal);
  keywords.hidden = values[3] == Qundef || RTEST(values[3]);
  keywords.exclude = patterns_of(values[4]);
  return keywords;
}

// ---- The methods -------------------------------------------------------------

// A name or path holding NUL names no entry and no file (see holds_nul).
// Leaves the reason in the call.
bool refuses_nul(Call* call, VALUE name, const char* reason) {
  if (!ruby_strings::holds_nul(name)) return false;
  call->refusal = reason;
  call->refusal_kind = failures::Kind::invalid_name;
  return true;
}

constexpr char kNameHoldsNul[] = "the entry name holds a NUL byte";
constexpr char kPathHoldsNul[] = "the target path holds a NUL byte";
constexpr char kSourceHoldsNul[] = "the source path holds a NUL byte";

// Whether the entry name `utf8_name` (utf8_text_of of `given`: nil when it had
// no UTF-8 form) cannot be looked up; the call's refusal then says why.
bool refuses_lookup(Call* call, VALUE utf8_name, VALUE given) {
  if (!NIL_P(utf8_name)) return refuses_nul(call, utf8_name, kNameHoldsNul);
  call->refusal = ruby_strings::unconvertible_name_reason(given);
  call->refusal_kind = failures::Kind::invalid_name;
  return true;
}

// Whether the entry name to add, `utf8_name` (as above), has no UTF-8 form;
// the call's refusal then says why.
bool refuses_addition(Call* call, VALUE utf8_name, VALUE given) {
  if (!NIL_P(utf8_name)) return false;
  call->refusal = ruby_strings::unconvertible_name_reason(given);
  call->refusal_kind = failures::Kind::invalid_name;
  return true;
}

bool read_directory(VALUE self, std::shared_ptr<const CentralDirectory>* directory);

// The size the entry `utf8_name` declares, when a String of that size can be
// made for its data up front: an entry that is there, and declares no more
// than its compressed data could hold (deflate expands at most 1,032 times;
// an entry declaring more fails anyway). -1 otherwise.
int64_t size_to_read_in_place(const CentralDirectory& directory, VALUE utf8_name) {
  const int64_t position = directory.find(ruby_strings::all_bytes_of(utf8_name));
  if (position < 0) return -1;
  const DirectoryEntry& entry = directory.entries()[static_cast<size_t>(position)];
  const int64_t most = entry.compressed_size > INT64_MAX / ExpansionBudget::kMaxRatio
                           ? INT64_MAX
                           : entry.compressed_size * ExpansionBudget::kMaxRatio;
  if (entry.info.is_folder || entry.info.size > most || entry.info.size >= LONG_MAX) return -1;
  return entry.info.size;
}

VALUE new_buffer_string(VALUE size) { return rb_str_buf_new(NUM2LONG(size)); }

// Makes the String that `buffer` fills in place, when the entry's size is
// known; answers it, or nil. A String too large to make is no failure here:
// the data then comes into native memory first, as with an unknown size.
VALUE string_to_fill(VALUE self, VALUE utf8_name, ReadBuffer* buffer) {
  if (NIL_P(utf8_name) || ruby_strings::holds_nul(utf8_name) ||
      !read_directory(self, &buffer->directory)) {
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
  free_read_buffer(RTYPEDDATA_DATA(holder));
  RTYPEDDATA_DATA(holder) = nullptr;
  return Qnil;
}

// A switch is on only for `true`.
bool switch_on(VALUE value) { return value == Qtrue; }

// call-seq:
//   parvox.add_file(source, name, folder, recursive, level: nil, mtime: nil, comment: nil,
//                   hidden: true, exclude: nil) {|entry, done, total| } -> true or false
//
// The keywords are those of AddKeywords.
VALUE parvox_add_file(int argc, VALUE* argv, VALUE self) {
  VALUE source, name, folder, recursive, options;
  rb_scan_args(argc, argv, "4:", &source, &name, &folder, &recursive, &options);
  source = ruby_io::path_string(source);
  ruby_strings::check_string(name);
  const bool whole_folder = switch_on(folder);
  AddKeywords keywords = add_keywords_of(options, whole_folder);
  VALUE utf8_name = ruby_strings::utf8_text_of(name);
  const VALUE answer = call::run_on_writer(self, [&](ArchiveWriter& writer, Call* call) {
    if (refuses_addition(call, utf8_name, name) || refuses_nul(call, source, kSourceHoldsNul)) {
      return false;
    }
    call->work = [writer = &writer, path = ruby_strings::native_name_of(source),
                  entry = ruby_strings::all_bytes_of(utf8_name), whole_folder,
                  sub_folders = switch_on(recursive),
                  add_options = keywords.add_options()](Progress& progress) {
      return writer->add_file(path, entry, whole_folder, sub_folders, progress, add_options);
    };
    return true;
  });
  RB_GC_GUARD(utf8_name);
  RB_GC_GUARD(source);
  RB_GC_GUARD(keywords.comment);
  RB_GC_GUARD(keywords.exclude);
  return answer;
}

// call-seq: parvox.add_data(data, name, mtime: Time.now, level: nil, comment: nil) -> true or false
//
// A block given to add_data is not called: it reports nothing.
VALUE parvox_add_data(int argc, VALUE* argv, VALUE self) {
  VALUE data, name, options;
  rb_scan_args(argc, argv, "2:", &data, &name, &options);
  ruby_strings::check_string(data);
  ruby_strings::check_string(name);
  DataKeywords keywords = data_keywords_of(options);
  const int64_t mtime = keywords.mtime;
  VALUE utf8_name = ruby_strings::utf8_text_of(name);
  const bool here = RSTRING_LEN(data) <= kDataAddedHere;
  VALUE copy = here ? Qnil : ruby_strings::copy_without_gvl(data);
  const VALUE answer = call::run_on_writer(self, [&](ArchiveWriter& writer, Call* call) {
    if (refuses_addition(call, utf8_name, name)) return false;
    call->runs_here = here;
    if (here) {
      // Copied all the same: into an IO the work runs on a thread of its own
      // while this one serves the IO, and other threads may change the String.
      call->work = [writer = &writer, bytes = ruby_strings::all_bytes_of(data),
                    entry = ruby_strings::all_bytes_of(utf8_name), mtime,
                    entry_options = keywords.entry_options()](Progress& progress) {
        return writer->add_data(bytes.data(), bytes.size(), entry, mtime, progress, entry_options);
      };
      return true;
    }
    if (NIL_P(copy)) {
      call->refusal = "out of memory";
      return false;
    }
    // Shared, not copied again when the work goes to its thread.
    size_t size = 0;
    std::shared_ptr<const char[]> bytes = ruby_strings::take_copy(copy, &size);
    call->work = [writer = &writer, bytes = std::move(bytes), size,
                  entry = ruby_strings::all_bytes_of(utf8_name), mtime,
                  entry_options = keywords.entry_options()](Progress& progress) {
      return writer->add_data(bytes.get(), size, entry, mtime, progress, entry_options);
    };
    return true;
  }, false);
  if (!NIL_P(copy)) ruby_strings::free_copy(copy);
  RB_GC_GUARD(utf8_name);
  RB_GC_GUARD(keywords.comment);
  return answer;
}

// call-seq:
//   parvox.write_entry(name, mtime: Time.now, level: nil, comment: nil) { |io| ... } -> true or false
//
// The block writes the entry's data into `io` (a Parvox::EntryWriter) as it
// makes it; the work deflates and writes it meanwhile. When the block
// raises (or breaks, or an interrupt comes) the entry is left out and the
// exception goes on.
VALUE parvox_write_entry(int argc, VALUE* argv, VALUE self) {
  VALUE name, options;
  rb_scan_args(argc, argv, "1:", &name, &options);
  ruby_strings::check_string(name);
  if (!rb_block_given_p()) rb_raise(rb_eArgError, "write_entry needs a block that writes the data");
  DataKeywords keywords = data_keywords_of(options);
  const int64_t mtime = keywords.mtime;
  VALUE utf8_name = ruby_strings::utf8_text_of(name);
  VALUE sink = entry_writer::make(self);
  const VALUE answer = call::run_on_writer(self, [&](ArchiveWriter& writer, Call* call) {
    if (refuses_addition(call, utf8_name, name)) return false;
    std::string entry = ruby_strings::all_bytes_of(utf8_name);
    if (!writer.accepts_entry(entry)) {
      call->refusal = writer.last_error();
      call->refusal_kind = writer.failure_kind();
      return false;
    }
    call->work = [writer = &writer, pipe = entry_writer::pipe_of(sink), entry = std::move(entry),
                  mtime, entry_options = keywords.entry_options()](Progress& progress) {
      return writer->add_stream(*pipe, entry, mtime, progress, entry_options);
    };
    call->feed = [sink](BackgroundRun* run) { return entry_writer::feed(sink, run); };
    return true;
  }, false);
  RB_GC_GUARD(sink);
  RB_GC_GUARD(utf8_name);
  RB_GC_GUARD(keywords.comment);
  return answer;
}

// call-seq: parvox.unzip_file(name, target) {|entry, done, total| } -> true or false
//
// The entry name is looked up as UTF-8 text; only the target is a path.
VALUE parvox_unzip_file(VALUE self, VALUE name, VALUE target) {
  ruby_strings::check_string(name);
  target = ruby_io::path_string(target);
  VALUE utf8_name = ruby_strings::utf8_text_of(name);
  const VALUE answer = call::run_on_reader(self, [&](ArchiveReader& reader, Call* call) {
    if (refuses_lookup(call, utf8_name, name) || refuses_nul(call, target, kPathHoldsNul)) {
      return false;
    }
    std::string entry = ruby_strings::all_bytes_of(utf8_name);
    call->runs_here = reader.is_small_read(entry);
    call->work = [reader = &reader, entry = std::move(entry),
                  path = ruby_strings::native_name_of(target)](Progress& progress) {
      return reader->unzip_file(entry, path, progress);
    };
    return true;
  });
  RB_GC_GUARD(utf8_name);
  RB_GC_GUARD(target);
  return answer;
}

// call-seq: parvox.unzip_all(folder) {|entry, done, total| } -> true or false
VALUE parvox_unzip_all(VALUE self, VALUE folder) {
  folder = ruby_io::path_string(folder);
  const VALUE answer = call::run_on_reader(self, [&](ArchiveReader& reader, Call* call) {
    if (refuses_nul(call, folder, kPathHoldsNul)) return false;
    call->work = [reader = &reader, path = ruby_strings::native_name_of(folder)](Progress& progress) {
      return reader->unzip_all(path, progress);
    };
    return true;
  });
  RB_GC_GUARD(folder);
  return answer;
}

// call-seq: parvox.read(name) -> String or nil; parvox.read(name) {|chunk| } -> true or false
//
// Without a block the data goes straight into a String made at the entry's
// declared size (one allocation, no copy); with one, chunks are yielded as
// they come (memory stays bounded by about two chunks whatever the entry's
// size).
VALUE parvox_read(VALUE self, VALUE name) {
  ruby_strings::check_string(name);
  VALUE utf8_name = ruby_strings::utf8_text_of(name);
  const bool in_chunks = rb_block_given_p() != 0;
  VALUE holder = TypedData_Wrap_Struct(0, &read_buffer_type, nullptr);
  auto* buffer = new (std::nothrow) ReadBuffer;
  if (!buffer) rb_memerror();
  RTYPEDDATA_DATA(holder) = buffer;
  // Not seen by Ruby until the read is over; on the stack, it is not moved.
  VALUE string = in_chunks ? Qnil : string_to_fill(self, utf8_name, buffer);
  const VALUE answer = call::run_on_reader(self, [&](ArchiveReader& reader, Call* call) {
    if (refuses_lookup(call, utf8_name, name)) return false;
    std::string entry = ruby_strings::all_bytes_of(utf8_name);
    call->runs_here = reader.is_small_read(entry);
    call->work = [reader = &reader, buffer, entry = std::move(entry)](Progress& progress) {
      return reader->read_entry(entry, *buffer, progress);
    };
    if (in_chunks) {
      call->serve_report = [buffer](const BackgroundRun::Report&) {
        return yield_chunks(buffer);
      };
    }
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

// Reads the central directory of `self`'s archive into `*directory`, off the
// global lock unless it is read already; false, with the reason in
// #last_error, when it cannot.
bool read_directory(VALUE self, std::shared_ptr<const CentralDirectory>* directory) {
  return RTEST(call::run_on_reader(self, [&](ArchiveReader& reader, Call* call) {
    call->runs_here = reader.has_directory();
    call->work = [reader = &reader, directory](Progress&) {
      *directory = reader->directory();
      return *directory != nullptr;
    };
    return true;
  }, false));
}

// Interrupts are looked for every this many entries of a listing.
constexpr int64_t kEntriesBetweenInterruptChecks = 1024;

// A listing holds the directory it lists, so it stays valid whatever happens
// to the archive meanwhile. It belongs to a hidden Ruby object: an external
// enumerator dropped half-way leaves it to the collector. Every other way a
// listing ends frees it at once.
using Listing = std::shared_ptr<const CentralDirectory>;

void free_listing_data(void* data) { delete static_cast<Listing*>(data); }

const rb_data_type_t listing_type = {
    "Parvox::Listing",
    {nullptr, free_listing_data, nullptr, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

template <typename Each>
struct ListingCall {
  VALUE holder;
  Each* each;
};

template <typename Each>
VALUE list_all(VALUE address) {
  auto* call = reinterpret_cast<ListingCall<Each>*>(address);
  const auto* listing = static_cast<const Listing*>(RTYPEDDATA_DATA(call->holder));
  int64_t count = 0;
  for (const DirectoryEntry& record : (*listing)->entries()) {
    (*call->each)(entry::make(record));
    if (++count % kEntriesBetweenInterruptChecks == 0) rb_thread_check_ints();
  }
  return Qnil;
}

VALUE free_listing(VALUE holder) {
  free_listing_data(RTYPEDDATA_DATA(holder));
  RTYPEDDATA_DATA(holder) = nullptr;
  return Qnil;
}

// A hidden object holding the directory of `self`'s archive; nil when the
// archive cannot be read, with the reason left in #last_error.
VALUE directory_holder(VALUE self) {
  VALUE holder = TypedData_Wrap_Struct(0, &listing_type, nullptr);
  auto* listing = new (std::nothrow) Listing;
  if (!listing) rb_memerror();
  RTYPEDDATA_DATA(holder) = listing;
  if (read_directory(self, listing)) return holder;
  free_listing(holder);
  return Qnil;
}

// Runs `each` on every entry of `self`'s archive in archive order; answers
// false when the archive cannot be listed, with the reason left in
// #last_error. The entries come from the archive's central directory, read
// once; the object is not held while they are listed, so the block may
// extract entries of the same object as they come.
template <typename Each>
bool list_entries(VALUE self, Each each) {
  VALUE holder = directory_holder(self);
  if (NIL_P(holder)) return false;
  ListingCall<Each> call{holder, &each};
  rb_ensure(list_all<Each>, reinterpret_cast<VALUE>(&call), free_listing, holder);
  return true;
}

struct ArrayAppender {
  VALUE array;
  void operator()(VALUE entry) const { rb_ary_push(array, entry); }
};

struct Yielder {
  void operator()(VALUE entry) const { rb_yield(entry); }
};

// call-seq: parvox.entries -> [Parvox::Entry, ...] or nil
VALUE parvox_entries(VALUE self) {
  VALUE entries = rb_ary_new();
  return list_entries(self, ArrayAppender{entries}) ? entries : Qnil;
}

// call-seq: parvox.each_entry {|entry| } -> parvox or nil; parvox.each_entry -> Enumerator
VALUE parvox_each_entry(VALUE self) {
  RETURN_ENUMERATOR(self, 0, nullptr);
  return list_entries(self, Yielder{}) ? self : Qnil;
}

// call-seq: parvox[name] -> Parvox::Entry or nil
//
// The entry that read and unzip_file find by `name` (letter case and the
// separator aside), or nil; nil too when the archive cannot be listed, with
// the reason in #last_error.
VALUE parvox_entry_named(VALUE self, VALUE name) {
  ruby_strings::check_string(name);
  VALUE utf8_name = ruby_strings::utf8_text_of(name);
  if (NIL_P(utf8_name) || ruby_strings::holds_nul(utf8_name)) return Qnil;
  VALUE holder = directory_holder(self);
  if (NIL_P(holder)) return Qnil;
  const Listing& listing = *static_cast<const Listing*>(RTYPEDDATA_DATA(holder));
  int64_t position = -1;
  call::guarded([&] {
    position = listing->find(ruby_strings::all_bytes_of(utf8_name));
    return true;
  });
  VALUE entry = position < 0 ? Qnil : entry::make(listing->entries()[static_cast<size_t>(position)]);
  free_listing(holder);
  RB_GC_GUARD(utf8_name);
  return entry;
}

VALUE comment_of(VALUE holder) {
  const std::string& comment = (*static_cast<const Listing*>(RTYPEDDATA_DATA(holder)))->comment();
  return rb_utf8_str_new(comment.data(), static_cast<long>(comment.size()));
}

// call-seq: parvox.comment -> String or nil
//
// The archive's comment, "" when it has none; nil when the archive cannot be
// read (or is being written).
VALUE parvox_comment(VALUE self) {
  VALUE holder = directory_holder(self);
  return NIL_P(holder) ? Qnil : rb_ensure(comment_of, holder, free_listing, holder);
}

// call-seq: parvox.last_error -> String or nil
//
// From inside the object's own call (its progress block) the call is still
// running: there is no reason yet, and nil answers. A child forked there has
// no such call, only the refusals of its own.
VALUE parvox_last_error(VALUE self) {
  ParvoxObject* object = parvox_object::of(self);
  const bool inside_own_call = object->owned_by_this_process() && object->held_by_this_thread();
  if (inside_own_call || object->last_error.empty()) return Qnil;
  return ruby_strings::reason_string(object->last_error);
}

// call-seq: parvox.last_failure -> [kind, reason] or nil (private)
//
// The failure of the calling fiber's last call that failed (see
// call::note_failure), also from inside the object's own call: for the face
// that raises, which asks right after the call that failed.
VALUE parvox_last_failure(VALUE self) {
  parvox_object::of(self);
  return call::noted_failure();
}

VALUE last_error_key() { return ID2SYM(rb_intern("parvox_last_error")); }
VALUE failure_kind_key() { return ID2SYM(rb_intern("parvox_failure_kind")); }

// call-seq: Parvox.last_failure -> [kind, reason] or nil (private)
//
// The calling thread's last new or load, as Parvox.last_error and its kind.
VALUE parvox_thread_last_failure(VALUE) {
  VALUE thread = rb_thread_current();
  VALUE reason = rb_funcall(thread, rb_intern("thread_variable_get"), 1, last_error_key());
  if (NIL_P(reason)) return Qnil;
  return rb_assoc_new(rb_funcall(thread, rb_intern("thread_variable_get"), 1, failure_kind_key()), reason);
}

// call-seq: Parvox.last_error -> String or nil
//
// The reason of the calling thread's last new or load.
VALUE parvox_thread_last_error(VALUE) {
  return rb_funcall(rb_thread_current(), rb_intern("thread_variable_get"), 1, last_error_key());
}

// What Parvox.last_error answers on the calling thread from now on, and the
// kind of that failure.
void set_thread_last_error(VALUE reason, failures::Kind kind = failures::Kind::other) {
  VALUE thread = rb_thread_current();
  rb_funcall(thread, rb_intern("thread_variable_set"), 2, last_error_key(), reason);
  rb_funcall(thread, rb_intern("thread_variable_set"), 2, failure_kind_key(), call::kind_symbol(kind));
}

enum class OpenMode { create, load };

// What the archive is written into or read from: a path, or an IO.
struct Target {
  VALUE path;       // a String, or nil for an IO
  VALUE io;         // new: the IO written into
  intptr_t handle;  // new: the system's handle of the IO's file, or -1
  IoSource source;  // load: what the IO read from is
};

// A ParvoxObject with its archive open, or null with `*reason` and `*kind`
// set (and `*state` for an exception of the IO's that goes on). The path goes to the
// native layer as the bytes Ruby gave; the password (its UTF-8 text) becomes
// its key, and reading also accepts its alternative form where there is one.
ParvoxObject* open_object(const Target& target, VALUE password_text, OpenMode mode,
                          const ArchiveKeywords& keywords, VALUE* reason, failures::Kind* kind,
                          int* state) noexcept {
  ParvoxObject* opened = nullptr;
  call::guarded([&] {
    std::unique_ptr<ParvoxObject> object(new (std::nothrow) ParvoxObject);
    if (!object) return false;
    const std::string password = ruby_strings::all_bytes_of(password_text);
    const std::string key = names::password_key(password);
    std::string why;
    if (mode == OpenMode::create && NIL_P(target.path)) {
      object->writer = ruby_io::create_writer_into(target.io, target.handle, key,
                                                   keywords.options(), &object->io, &why, kind);
    } else if (mode == OpenMode::create) {
      object->writer = ArchiveWriter::create(ruby_strings::bytes_of(target.path), key,
                                             keywords.options(), &why, kind);
    } else if (NIL_P(target.path)) {
      object->reader = ruby_io::load_reader_from(target.source, key,
                                                 names::password_alternative(password),
                                                 &object->io, &why, kind, state);
    } else {
      object->reader = ArchiveReader::load(ruby_strings::bytes_of(target.path), key,
                                           names::password_alternative(password), &why, kind);
    }
    const bool ok = object->writer || object->reader;
    if (ok) opened = object.release();
    if (!ok && !*state) *reason = ruby_strings::protected_reason_string(why, state);
    return ok;
  });
  return opened;
}

// The instance is made only once its archive is open, so a failure leaves no
// object behind. `klass` is the receiver: a subclass gets instances of itself.
// `given` is a path (a String or Pathname) or an IO.
VALUE new_instance(VALUE klass, VALUE given, VALUE password, OpenMode mode,
                   const ArchiveKeywords& keywords = {}) {
  Target target{Qnil, Qnil, -1, IoSource()};
  if (ruby_io::is_path(given)) {
    target.path = ruby_io::path_string(given);
  } else if (mode == OpenMode::create) {
    ruby_io::check_writable_io(given);
    target.io = given;
    target.handle = ruby_io::file_handle_of(given);
  } else {
    target.source = ruby_io::io_source_of(given);
  }
  ruby_strings::check_string(password);
  VALUE password_text = ruby_strings::password_text_of(password);
  if (!NIL_P(target.path) && ruby_strings::holds_nul(target.path)) {
    set_thread_last_error(rb_utf8_str_new_cstr("the archive path holds a NUL byte"),
                          failures::Kind::invalid_name);
    return Qnil;
  }
  set_thread_last_error(Qnil);
  VALUE reason = rb_utf8_str_new_cstr("out of memory");
  int state = 0;
  failures::Kind kind = failures::Kind::other;
  ParvoxObject* object = open_object(target, password_text, mode, keywords, &reason, &kind, &state);
  RB_GC_GUARD(password_text);
  RB_GC_GUARD(target.path);
  RB_GC_GUARD(target.source.bytes);
  RB_GC_GUARD(target.source.refusal);
  RB_GC_GUARD(target.source.class_name);
  if (state) rb_jump_tag(state);
  if (!object) {
    set_thread_last_error(reason, kind);
    return Qnil;
  }

  VALUE instance = parvox_object::wrap(klass, object);
  VALUE args[2] = {given, password};
  rb_obj_call_init(instance, 2, args);
  return instance;
}

// call-seq: Parvox.new(path_or_io, password, level: 6, comment: nil) -> parvox or nil
//
// `level:` is that of the entries added without one (0 stores them);
// `comment:` the archive's, written when it is finished.
VALUE parvox_new(int argc, VALUE* argv, VALUE klass) {
  VALUE path, password, options;
  rb_scan_args(argc, argv, "2:", &path, &password, &options);
  ArchiveKeywords keywords = archive_keywords_of(options);
  const VALUE instance = new_instance(klass, path, password, OpenMode::create, keywords);
  RB_GC_GUARD(keywords.comment);
  return instance;
}

// call-seq: Parvox.load(path_or_io, password) -> parvox or nil
VALUE parvox_load(VALUE klass, VALUE path, VALUE password) {
  return new_instance(klass, path, password, OpenMode::load);
}

// call-seq: Parvox.get_version -> 1
VALUE parvox_get_version(VALUE) { return INT2FIX(1); }

// call-seq: Parvox.get_path -> String
VALUE parvox_get_path(VALUE) {
  int state = 0;
  VALUE answer = Qnil;
  {
    std::string path;
    call::guarded([&] {
      path = fsutil::library_path();
      names::replace_char(path, fsutil::kPathSeparator, '/');
      return true;
    });
    answer = ruby_strings::protected_utf8_string(path, &state);
  }
  if (state) rb_jump_tag(state);
  return answer;
}

// call-seq: initialize(path, password) -> nil
//
// Runs once new or load has opened the archive; a subclass may override it.
VALUE parvox_initialize(VALUE self, VALUE, VALUE) {
  parvox_object::of(self);
  return Qnil;
}

// Once the archive is finished, what it wrote into its IO (the end of the
// archive) goes there; the IO is let go, left open. False, with last_error
// set, when the IO failed.
// Interrupted before the end of the archive was all written, the IO is kept
// with the bytes left for a close called again.
bool finish_io(ParvoxObject* object, int* state) noexcept {
  if (!object->io) return true;
  std::string failure;
  const bool finished = object->io->end(&failure, state);
  if (!finished) {
    try {
      object->last_error = failure;
      object->failure_kind = failures::Kind::write_failed;
    } catch (...) {
    }
  }
  if (!*state || !object->io->holds_unsent()) object->io.reset();
  return finished;
}

// Answers whether the archive was finished, by this close or the first: a
// close after one that failed fails again, for the same reason.
bool remember_close(ParvoxObject* object, bool finished) noexcept {
  try {
    if (!object->close_failure.empty()) {
      object->last_error = object->close_failure;
      object->failure_kind = failures::Kind::write_failed;
      return false;
    }
    if (finished) {
      object->last_error.clear();
    } else {
      object->close_failure = object->last_error;
    }
  } catch (...) {
  }
  return finished;
}

constexpr char kClosedWhileServing[] =
    "close is refused while the archive's IO is being served by this thread's call "
    "(from the IO's own methods, or a signal handler meanwhile)";

// call-seq: parvox.close -> nil or false
//
// Waits for a call running in another thread, then finishes the archive.
// From the thread whose call holds the object (its progress block, another
// of its fibers, a signal handler, or after that call was abandoned in a
// fiber), it ends that call's work first; the call then answers false.
// Answers false, with the reason in last_error, when the archive being
// written could not be finished.
VALUE parvox_close(VALUE self) {
  ParvoxObject* object = parvox_object::of(self);
  if (!object->owned_by_this_process()) {
    parvox_object::let_go_in_child(object);
    return Qnil;
  }
  const uint64_t claimed = parvox_object::claim_for_close(object);
  if (!claimed && object->held_by_this_thread() && object->io && object->io->serving()) {
    object->last_error = kClosedWhileServing;
    object->failure_kind = failures::Kind::busy;
    call::note_failure(*object);
    return Qfalse;
  }
  bool finished = true;
  int state = 0;
  if (claimed || object->held_by_this_thread()) {
    finished = parvox_object::close_object(object);
    // Held while the end of the archive goes into the IO: a close from
    // there, or from another thread meanwhile, must not end the link.
    finished = remember_close(object, finish_io(object, &state) && finished);
    parvox_object::let_go(object);
  }
  parvox_object::release(object, claimed);
  if (state) rb_jump_tag(state);
  if (finished) return Qnil;
  call::note_failure(*object);
  return Qfalse;
}

}  // namespace

extern "C" void Init_parvox() {
  VALUE parvox = rb_define_class("Parvox", rb_cObject);
  // Instances come only from Parvox.new and Parvox.load, each with its
  // archive. Without an allocator, Parvox.allocate raises TypeError instead of
  // making an object with no archive behind it.
  rb_undef_alloc_func(parvox);

  rb_define_singleton_method(parvox, "new", RUBY_METHOD_FUNC(parvox_new), -1);
  rb_define_singleton_method(parvox, "load", RUBY_METHOD_FUNC(parvox_load), 2);
  rb_define_singleton_method(parvox, "get_version", RUBY_METHOD_FUNC(parvox_get_version), 0);
  rb_define_singleton_method(parvox, "get_path", RUBY_METHOD_FUNC(parvox_get_path), 0);
  rb_define_method(parvox, "initialize", RUBY_METHOD_FUNC(parvox_initialize), 2);
  rb_define_method(parvox, "add_file", RUBY_METHOD_FUNC(parvox_add_file), -1);
  rb_define_method(parvox, "unzip_file", RUBY_METHOD_FUNC(parvox_unzip_file), 2);
  rb_define_method(parvox, "unzip_all", RUBY_METHOD_FUNC(parvox_unzip_all), 1);
  rb_define_method(parvox, "close", RUBY_METHOD_FUNC(parvox_close), 0);

  // Beyond the nine: entries from and to memory, the listing and the reasons of
  // failures.
  rb_define_method(parvox, "add_data", RUBY_METHOD_FUNC(parvox_add_data), -1);
  rb_define_method(parvox, "read", RUBY_METHOD_FUNC(parvox_read), 1);
  rb_define_method(parvox, "write_entry", RUBY_METHOD_FUNC(parvox_write_entry), -1);
  entry_writer::define_class(parvox);
  entry::define_class(parvox);
  entry_reader::define_class(parvox);
  rb_define_singleton_method(parvox, "last_error", RUBY_METHOD_FUNC(parvox_thread_last_error), 0);
  rb_define_method(parvox, "entries", RUBY_METHOD_FUNC(parvox_entries), 0);
  rb_define_method(parvox, "each_entry", RUBY_METHOD_FUNC(parvox_each_entry), 0);
  rb_define_method(parvox, "[]", RUBY_METHOD_FUNC(parvox_entry_named), 1);
  rb_define_method(parvox, "comment", RUBY_METHOD_FUNC(parvox_comment), 0);
  rb_define_method(parvox, "last_error", RUBY_METHOD_FUNC(parvox_last_error), 0);
  rb_define_private_method(parvox, "last_failure", RUBY_METHOD_FUNC(parvox_last_failure), 0);
  rb_define_private_method(rb_singleton_class(parvox), "last_failure",
                           RUBY_METHOD_FUNC(parvox_thread_last_failure), 0);
  update::define_methods(parvox);
}
