// Parvox::EntryReader: each of its methods, and define_class at the bottom.
//
// The reader holds the piece the decoder handed out last and copies from it;
// when it is used up, the next is fetched as a call on the archive. Methods
// that read run no C++ object of their own: whatever they meet may raise.
#include "ext/entry_reader.h"  // ruby.h first

#include <ruby/encoding.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "archive/read/archive_reader.h"
#include "ext/call.h"
#include "ext/parvox_object.h"
#include "ext/ruby_strings.h"
#include "fsutil/process.h"

struct OpenEntry {
  VALUE archive = Qnil;  // the Parvox instance, kept alive by the reader
  VALUE name = Qnil;     // as given, for the exceptions
  // The archive's native state while it keeps this entry open.
  ParvoxObject* object = nullptr;
  std::unique_ptr<EntryStream> stream;
  const int64_t owner_process = fsutil::current_process_id();
  // The rest of the piece fetched last: the decoder's until the next fetch.
  const char* piece = nullptr;
  size_t left = 0;
  int64_t size = 0;  // declared
  // The decoder's memory as the collector was told of it: a reader let go
  // without a close is collected as soon as its memory counts.
  size_t memory_told = 0;
  int64_t pos = 0;
  // Bytes getc read past a piece's end and gave back: while they are read
  // (piece points into them), the rest of the piece waits here.
  char given_back[32];
  bool giving_back = false;
  const char* held_piece = nullptr;
  size_t held_left = 0;
  bool ended = false;     // the data ended whole
  bool fetching = false;  // a fetch runs, maybe without the global lock
  bool closed = false;
  bool binmode = false;
  // Why the data failed its checks: every later read says it again.
  std::string failure;
  failures::Kind failure_kind = failures::Kind::other;
};

namespace {

VALUE entry_reader_class = Qnil;

bool owned_here(const OpenEntry& entry) {
  return entry.owner_process == fsutil::current_process_id();
}

// Lets go of the decoder. In a child forked from the process that opened it,
// its memory and its worker are the parent's: nothing of it is touched.
void drop_stream(OpenEntry* entry) noexcept {
  entry->piece = nullptr;
  entry->left = 0;
  entry->giving_back = false;
  rb_gc_adjust_memory_usage(-static_cast<ssize_t>(entry->memory_told));
  entry->memory_told = 0;
  if (owned_here(*entry)) {
    entry->stream.reset();
  } else {
    static_cast<void>(entry->stream.release());
  }
}

void forget_archive(OpenEntry* entry) noexcept {
  if (!entry->object) return;
  std::vector<OpenEntry*>& open = entry->object->open_entries;
  open.erase(std::remove(open.begin(), open.end(), entry), open.end());
  entry->object = nullptr;
}

void close_entry(OpenEntry* entry) noexcept {
  entry->closed = true;
  forget_archive(entry);
  drop_stream(entry);
}

void mark_entry(void* data) {
  const auto* entry = static_cast<const OpenEntry*>(data);
  rb_gc_mark(entry->archive);
  rb_gc_mark(entry->name);
}

// Either the archive or its readers may be collected first: the one that
// goes first lets go of the other.
void free_entry(void* data) {
  auto* entry = static_cast<OpenEntry*>(data);
  close_entry(entry);
  delete entry;
}

size_t entry_memsize(const void* data) {
  const auto* entry = static_cast<const OpenEntry*>(data);
  return sizeof(*entry) + entry->failure.capacity() + entry->memory_told;
}

const rb_data_type_t entry_reader_type = {
    "Parvox::EntryReader",
    {mark_entry, free_entry, entry_memsize, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

OpenEntry* entry_of(VALUE self) {
  auto* entry = static_cast<OpenEntry*>(rb_check_typeddata(self, &entry_reader_type));
  if (!entry) rb_raise(rb_eTypeError, "uninitialized Parvox::EntryReader");
  return entry;
}

// Raises a failure of the entry's as its archive's face does: IOError, or
// the Parvox::Error of `kind` for an archive of Parvox.open.
void raise_failure(OpenEntry* entry, VALUE kind, VALUE reason) {
  rb_funcall(entry->archive, rb_intern("entry_read_failed"), 3, kind, reason, entry->name);
  rb_exc_raise(rb_exc_new_str(rb_eIOError, reason));
}

// Raises unless the reader may read: open, and checked whole so far. (In a
// child forked from the process that opened it, the piece at hand is the
// child's copy; the claim refuses any fetch.)
void check_readable(OpenEntry* entry) {
  if (entry->closed) rb_raise(rb_eIOError, "closed stream");
  if (!entry->failure.empty()) {
    raise_failure(entry, call::kind_symbol(entry->failure_kind),
                  ruby_strings::reason_string(entry->failure));
  }
}

struct Fetched {
  const char* data = nullptr;
  size_t size = 0;
  bool ended = false;
  bool ok = false;
};

// The next piece, fetched as a call on the claimed archive.
Fetched fetch_piece(ParvoxObject* object, OpenEntry* entry, int* state) noexcept {
  Fetched fetched;
  EntryStream* stream = entry->stream.get();
  auto build = [stream, &fetched](ArchiveReader& reader, Call* call) {
    call->runs_here = reader.is_small_piece(*stream);
    call->work = [reader = &reader, stream, out = &fetched](Progress&) {
      return reader->next_piece(*stream, &out->data, &out->size, &out->ended);
    };
    return true;
  };
  fetched.ok = call::build_and_run(object, call::reader_for_reading, build, false, state);
  return fetched;
}

void keep_failure(OpenEntry* entry, const ParvoxObject& object) noexcept {
  call::guarded([&] {
    entry->failure = object.last_error.empty() ? "the entry could not be read" : object.last_error;
    entry->failure_kind = object.failure_kind;
    return true;
  });
}

// What a fetch leaves: the piece; or the entry's failure kept (the decoder
// let go); or, when an exception stopped the fetch before it had the piece,
// the reader closed, its decoder's state unknown. Then the exception goes on.
void settle_fetch(OpenEntry* entry, const ParvoxObject& object, const Fetched& fetched, int state) {
  if (entry->closed) {
    close_entry(entry);  // closed meanwhile, from another thread or a signal handler
  } else if (fetched.ok) {
    entry->piece = fetched.data;
    entry->left = fetched.size;
    entry->ended = fetched.ended;
  } else if (state) {
    close_entry(entry);
  } else {
    keep_failure(entry, object);
    drop_stream(entry);
  }
  if (state) rb_jump_tag(state);
}

void fetch(OpenEntry* entry) {
  ParvoxObject* object = entry->object;
  const uint64_t claimed = parvox_object::claim(object);
  if (!claimed) {
    raise_failure(entry, call::kind_symbol(object->failure_kind),
                  ruby_strings::reason_string(object->last_error));
  }
  // Another thread's fetch may have done it meanwhile.
  if (entry->closed || entry->left > 0 || entry->giving_back || entry->ended || !entry->failure.empty()) {
    parvox_object::release(object, claimed);
    return;
  }
  entry->fetching = true;
  int state = 0;
  const Fetched fetched = fetch_piece(object, entry, &state);
  entry->fetching = false;
  parvox_object::release(object, claimed);
  settle_fetch(entry, *object, fetched, state);
}

VALUE fetch_body(VALUE entry) {
  fetch(reinterpret_cast<OpenEntry*>(entry));
  return Qnil;
}

// A fetch with `buffer`, the String the read hands back, locked as IO#read
// locks its buffer: another thread or a signal handler that runs while the
// fetch waits raises on changing it, rather than having the read's bytes
// lost, mixed with its own or sent past the length asked.
void fetch_into(OpenEntry* entry, VALUE buffer) {
  if (NIL_P(buffer)) return fetch(entry);
  rb_str_locktmp(buffer);
  rb_ensure(fetch_body, reinterpret_cast<VALUE>(entry), rb_str_unlocktmp, buffer);
}

// Whether there are bytes to read in the piece, fetching pieces (into
// `buffer`, when the read has one) while there are none and the data has
// not ended; raises what check_readable raises, and what a fetch meets.
bool has_bytes(OpenEntry* entry, VALUE buffer = Qnil) {
  for (;;) {
    check_readable(entry);
    if (!entry->fetching && entry->left > 0) return true;
    if (!entry->fetching && entry->giving_back) {
      entry->piece = entry->held_piece;
      entry->left = entry->held_left;
      entry->giving_back = false;
      continue;
    }
    if (!entry->fetching && entry->ended) return false;
    fetch_into(entry, buffer);
  }
}

// Moves up to `most` bytes of the piece to the end of `out`; answers how many.
size_t take(OpenEntry* entry, VALUE out, size_t most) {
  const size_t count = std::min(most, entry->left);
  rb_str_cat(out, entry->piece, static_cast<long>(count));
  entry->piece += count;
  entry->left -= count;
  entry->pos += static_cast<int64_t>(count);
  return count;
}

void skip_byte(OpenEntry* entry) {
  ++entry->piece;
  --entry->left;
  ++entry->pos;
}

// Puts `count` bytes just read back before the rest; at most a character's.
void give_back(OpenEntry* entry, const char* bytes, size_t count) {
  if (!entry->giving_back) {
    entry->held_piece = entry->piece;
    entry->held_left = entry->left;
    entry->left = 0;
    entry->giving_back = true;
  }
  char* into = entry->given_back;
  if (count + entry->left > sizeof(entry->given_back)) rb_raise(rb_eRuntimeError, "a character too long to give back");
  std::memmove(into + count, entry->piece, entry->left);
  std::memcpy(into, bytes, count);
  entry->piece = into;
  entry->left += count;
  entry->pos -= static_cast<int64_t>(count);
}

// Text reads are tagged as File's are in "r" mode; binmode makes them binary.
rb_encoding* text_encoding(const OpenEntry* entry) {
  return entry->binmode ? rb_ascii8bit_encoding() : rb_default_external_encoding();
}

// `outbuf` emptied for the data, or a new String.
VALUE buffer_for(VALUE outbuf) {
  if (NIL_P(outbuf)) return rb_str_new(nullptr, 0);
  StringValue(outbuf);
  rb_str_modify(outbuf);
  rb_str_set_len(outbuf, 0);
  return outbuf;
}

void raise_eof() { rb_raise(rb_eEOFError, "end of file reached"); }

long length_of(VALUE length) {
  const long count = NUM2LONG(length);
  if (count < 0) rb_raise(rb_eArgError, "negative length %ld given", count);
  return count;
}

// call-seq: entry_io.read(length = nil, outbuf = nil) -> String or nil
//
// Without a length, the rest of the data as text ("" at the end); with one,
// up to that many bytes, binary, or nil at the end.
VALUE reader_read(int argc, VALUE* argv, VALUE self) {
  VALUE length = Qnil, outbuf = Qnil;
  // Called without arguments, a method may get no argv at all, which
  // rb_scan_args would hand on as a source to copy from.
  if (argc > 0) rb_scan_args(argc, argv, "02", &length, &outbuf);
  OpenEntry* entry = entry_of(self);
  check_readable(entry);
  const long wanted = NIL_P(length) ? -1 : length_of(length);
  VALUE data = buffer_for(outbuf);
  if (wanted < 0) {
    while (has_bytes(entry, data)) take(entry, data, entry->left);
    rb_enc_associate(data, text_encoding(entry));
    return data;
  }
  rb_enc_associate(data, rb_ascii8bit_encoding());
  while (RSTRING_LEN(data) < wanted && has_bytes(entry, data)) {
    take(entry, data, static_cast<size_t>(wanted - RSTRING_LEN(data)));
  }
  return RSTRING_LEN(data) == 0 && wanted > 0 ? Qnil : data;
}

// call-seq: entry_io.readpartial(maxlen, outbuf = nil) -> String
//
// What the piece at hand holds, up to `maxlen` bytes; EOFError at the end.
VALUE reader_readpartial(int argc, VALUE* argv, VALUE self) {
  VALUE length, outbuf;
  rb_scan_args(argc, argv, "11", &length, &outbuf);
  OpenEntry* entry = entry_of(self);
  const long wanted = length_of(length);
  VALUE data = buffer_for(outbuf);
  rb_enc_associate(data, rb_ascii8bit_encoding());
  if (wanted == 0) return data;
  if (!has_bytes(entry, data)) raise_eof();
  take(entry, data, static_cast<size_t>(wanted));
  return data;
}

// ---- Lines --------------------------------------------------------------------

// gets' arguments, as IO takes them.
struct LineArgs {
  VALUE separator = Qnil;  // a String, or nil for the rest of the data
  bool paragraph = false;  // "" given: paragraphs, blank lines between them
  long limit = -1;         // bytes, completed to a whole character; -1 for none
  bool chomp = false;
};

// The separator as IO takes it for data in `encoding`: one of another
// encoding only when ASCII and the data's is ASCII-compatible; $/ left as
// Ruby set it is a newline in the data's encoding.
VALUE separator_for(VALUE separator, rb_encoding* encoding) {
  if (NIL_P(separator)) return Qnil;
  rb_encoding* own = rb_enc_get(separator);
  if (own == encoding || (rb_enc_str_coderange(separator) == ENC_CODERANGE_7BIT &&
                          (RSTRING_LEN(separator) == 0 || rb_enc_asciicompat(encoding)))) {
    return separator;
  }
  if (separator != rb_default_rs) {
    rb_raise(rb_eArgError, "encoding mismatch: %s IO with %s RS", rb_enc_name(encoding), rb_enc_name(own));
  }
  VALUE newline = rb_enc_str_new(nullptr, 0, encoding);
  rb_str_buf_cat_ascii(newline, "\n");
  return newline;
}

LineArgs line_args_of(int argc, VALUE* argv, rb_encoding* encoding) {
  VALUE first = Qnil, second = Qnil, options = Qnil;
  if (argc > 0) rb_scan_args(argc, argv, "02:", &first, &second, &options);  // see reader_read
  LineArgs args;
  args.separator = rb_rs;
  if (argc - (NIL_P(options) ? 0 : 1) == 1 && !NIL_P(first) && NIL_P(rb_check_string_type(first))) {
    args.limit = NUM2LONG(first);
  } else if (argc - (NIL_P(options) ? 0 : 1) >= 1) {
    args.separator = NIL_P(first) ? Qnil : rb_str_to_str(first);
    if (!NIL_P(second)) args.limit = NUM2LONG(second);
  }
  if (args.limit < 0) args.limit = -1;
  if (!NIL_P(options)) {
    ID chomp = rb_intern("chomp");
    VALUE value = Qundef;
    rb_get_kwargs(options, &chomp, 0, 1, &value);
    args.chomp = value != Qundef && RTEST(value);
  }
  args.separator = separator_for(args.separator, encoding);
  // A frozen copy: the caller's String (or $/) may change while a fetch waits.
  if (!NIL_P(args.separator)) args.separator = rb_str_new_frozen(args.separator);
  if (!NIL_P(args.separator) && RSTRING_LEN(args.separator) == 0) {
    args.paragraph = true;
    args.separator = rb_str_new_cstr("\n\n");
  }
  return args;
}

void skip_newlines(OpenEntry* entry) {
  while (has_bytes(entry) && *entry->piece == '\n') skip_byte(entry);
}

// The last byte of a line: what takes_line stops after.
constexpr int kNoDelimiter = -1;

// Moves bytes to `*line` (made when there are some) as IO does: through the
// first byte `delimiter`, or until `*room` comes to 0 (no bound while it is
// not above 0). Answers the delimiter, the last byte taken at the limit, or
// kNoDelimiter at the end. kNoDelimiter as `delimiter` stops after a 0xFF
// byte as at the end, as IO's line reader does without a separator.
int takes_line(OpenEntry* entry, VALUE* line, int delimiter, long* room) {
  while (has_bytes(entry)) {
    size_t count = entry->left;
    if (*room > 0 && count > static_cast<size_t>(*room)) count = static_cast<size_t>(*room);
    const void* found = std::memchr(entry->piece, delimiter & 0xFF, count);
    if (found) count = static_cast<size_t>(static_cast<const char*>(found) - entry->piece) + 1;
    if (NIL_P(*line)) *line = rb_str_buf_new(static_cast<long>(count));
    take(entry, *line, count);
    *room -= static_cast<long>(count);
    if (found) return delimiter;
    if (*room == 0) return static_cast<unsigned char>(RSTRING_PTR(*line)[RSTRING_LEN(*line) - 1]);
  }
  return kNoDelimiter;
}

// Whether the separator could end `line`: it is that long, and would begin
// at a character's head.
bool separator_fits(VALUE line, VALUE separator, rb_encoding* encoding) {
  if (RSTRING_LEN(line) < RSTRING_LEN(separator)) return false;
  const char* at = RSTRING_END(line) - RSTRING_LEN(separator);
  return rb_enc_left_char_head(RSTRING_PTR(line), at, RSTRING_END(line), encoding) == at;
}

bool ends_in(VALUE line, VALUE separator) {
  const long size = RSTRING_LEN(separator);
  return std::memcmp(RSTRING_END(line) - size, RSTRING_PTR(separator), static_cast<size_t>(size)) == 0;
}

bool ends_in_cut_character(VALUE line, rb_encoding* encoding) {
  const char* start = RSTRING_PTR(line);
  const char* end = RSTRING_END(line);
  const char* head = rb_enc_left_char_head(start, end - 1, end, encoding);
  return MBCLEN_NEEDMORE_P(rb_enc_precise_mbclen(head, end, encoding));
}

void chomp_line(VALUE line, const LineArgs& args) {
  const long size = RSTRING_LEN(args.separator);
  long length = RSTRING_LEN(line) - size;
  if (size == 1 && RSTRING_PTR(args.separator)[0] == '\n' && length > 0 &&
      RSTRING_PTR(line)[length - 1] == '\r') {
    --length;
  }
  rb_str_set_len(line, length);
}

VALUE rest_of_data(OpenEntry* entry) {
  VALUE rest = rb_str_new(nullptr, 0);
  while (has_bytes(entry)) take(entry, rest, entry->left);
  return RSTRING_LEN(rest) == 0 ? Qnil : rest;
}

// The next line, or nil at the end, as IO reads it: a separator is looked
// for where a byte the same as its last is read, and a limit stretched by up
// to 16 bytes to finish a character the limit cut. A limit met while a
// separator's end is read or where it cannot begin is not met again.
VALUE next_line(OpenEntry* entry, const LineArgs& args) {
  check_readable(entry);
  rb_encoding* encoding = text_encoding(entry);
  if (args.limit == 0) return rb_enc_str_new(nullptr, 0, encoding);
  VALUE line = Qnil;
  if (NIL_P(args.separator) && args.limit < 0) {
    line = rest_of_data(entry);
  } else {
    if (args.paragraph) skip_newlines(entry);
    const VALUE separator = args.separator;
    const int delimiter =
        NIL_P(separator) ? kNoDelimiter : static_cast<unsigned char>(RSTRING_END(separator)[-1]);
    long room = args.limit;
    int stretch = 16;
    int last;
    while ((last = takes_line(entry, &line, delimiter, &room)) != kNoDelimiter) {
      if (last == delimiter) {
        if (!separator_fits(line, separator, encoding)) continue;
        if (ends_in(line, separator)) {
          if (args.chomp) chomp_line(line, args);
          break;
        }
      }
      if (room == 0) {
        if (stretch == 0 || !ends_in_cut_character(line, encoding)) break;
        room = 1;
        --stretch;
      }
    }
    if (args.paragraph && last != kNoDelimiter) skip_newlines(entry);
  }
  if (!NIL_P(line)) rb_enc_associate(line, encoding);
  return line;
}

// call-seq: entry_io.gets(sep = $/, limit = nil, chomp: false) -> String or nil
//
// The next line as IO#gets reads it: up to and with `sep` (nil: the rest of
// the data; "": a paragraph), at most `limit` bytes completed to a whole
// character.
VALUE reader_gets(int argc, VALUE* argv, VALUE self) {
  OpenEntry* entry = entry_of(self);
  const LineArgs args = line_args_of(argc, argv, text_encoding(entry));
  VALUE line = next_line(entry, args);
  rb_lastline_set(line);
  return line;
}

// call-seq: entry_io.readline(sep = $/, limit = nil, chomp: false) -> String
//
// gets, but EOFError at the end.
VALUE reader_readline(int argc, VALUE* argv, VALUE self) {
  VALUE line = reader_gets(argc, argv, self);
  if (NIL_P(line)) raise_eof();
  return line;
}

LineArgs checked_line_args(int argc, VALUE* argv, VALUE self, const char* method) {
  const LineArgs args = line_args_of(argc, argv, text_encoding(entry_of(self)));
  if (args.limit == 0) rb_raise(rb_eArgError, "invalid limit: 0 for %s", method);
  return args;
}

// call-seq:
//   entry_io.each_line(sep = $/, limit = nil, chomp: false) { |line| } -> entry_io
//   entry_io.each_line(...) -> Enumerator
//
// Also each.
VALUE reader_each_line(int argc, VALUE* argv, VALUE self) {
#ifdef RETURN_ENUMERATOR_KW
  RETURN_ENUMERATOR_KW(self, argc, argv, rb_keyword_given_p());
#else
  RETURN_ENUMERATOR(self, argc, argv);
#endif
  const LineArgs args = checked_line_args(argc, argv, self, "each_line");
  OpenEntry* entry = entry_of(self);
  for (VALUE line; !NIL_P(line = next_line(entry, args));) rb_yield(line);
  return self;
}

// call-seq: entry_io.readlines(sep = $/, limit = nil, chomp: false) -> [String, ...]
VALUE reader_readlines(int argc, VALUE* argv, VALUE self) {
  const LineArgs args = checked_line_args(argc, argv, self, "readlines");
  OpenEntry* entry = entry_of(self);
  VALUE lines = rb_ary_new();
  for (VALUE line; !NIL_P(line = next_line(entry, args));) rb_ary_push(lines, line);
  return lines;
}

// A character the piece's end cut: its bytes taken one by one from the
// next pieces until it is whole or cannot be; those past the first byte of
// one that cannot be are given back.
VALUE character_across_pieces(OpenEntry* entry, rb_encoding* encoding) {
  char bytes[16];
  size_t count = entry->left;
  std::memcpy(bytes, entry->piece, count);
  entry->piece += count;
  entry->left = 0;
  entry->pos += static_cast<int64_t>(count);
  bool invalid = false;
  while (count < sizeof(bytes) && has_bytes(entry)) {
    bytes[count++] = *entry->piece;
    skip_byte(entry);
    const int found = rb_enc_precise_mbclen(bytes, bytes + count, encoding);
    if (MBCLEN_NEEDMORE_P(found)) continue;
    invalid = MBCLEN_INVALID_P(found);
    break;
  }
  if (invalid) {
    give_back(entry, bytes + 1, count - 1);
    count = 1;
  }
  return rb_enc_str_new(bytes, static_cast<long>(count), encoding);
}

// call-seq: entry_io.getc -> String or nil
//
// The next character; an invalid byte alone.
VALUE reader_getc(VALUE self) {
  OpenEntry* entry = entry_of(self);
  if (!has_bytes(entry)) return Qnil;
  rb_encoding* encoding = text_encoding(entry);
  const char* at = entry->piece;
  const int found = rb_enc_precise_mbclen(at, at + entry->left, encoding);
  if (MBCLEN_NEEDMORE_P(found)) return character_across_pieces(entry, encoding);
  const long size = MBCLEN_CHARFOUND_P(found) ? MBCLEN_CHARFOUND_LEN(found) : 1;
  entry->piece += size;
  entry->left -= static_cast<size_t>(size);
  entry->pos += size;
  return rb_enc_str_new(at, size, encoding);
}

// call-seq: entry_io.readchar -> String
VALUE reader_readchar(VALUE self) {
  VALUE character = reader_getc(self);
  if (NIL_P(character)) raise_eof();
  return character;
}

// call-seq:
//   entry_io.each_byte { |byte| } -> entry_io
//   entry_io.each_byte -> Enumerator
VALUE reader_each_byte(VALUE self) {
  RETURN_ENUMERATOR(self, 0, nullptr);
  OpenEntry* entry = entry_of(self);
  while (has_bytes(entry)) {
    const unsigned char byte = static_cast<unsigned char>(*entry->piece);
    skip_byte(entry);
    rb_yield(INT2FIX(byte));
  }
  return self;
}

// ---- The rest -----------------------------------------------------------------------

// call-seq: entry_io.eof? -> true or false
//
// Fetches the next piece when the one at hand is used up: the end of the
// data is known only once it is checked whole.
VALUE reader_eof_p(VALUE self) { return has_bytes(entry_of(self)) ? Qfalse : Qtrue; }

// call-seq: entry_io.close -> nil
//
// Closed from another thread while that one's read fetches, the read raises
// IOError once its fetch is over.
VALUE reader_close(VALUE self) {
  OpenEntry* entry = entry_of(self);
  if (entry->fetching) {
    entry->closed = true;
  } else {
    close_entry(entry);
  }
  return Qnil;
}

// call-seq: entry_io.closed? -> true or false
VALUE reader_closed_p(VALUE self) { return entry_of(self)->closed ? Qtrue : Qfalse; }

// call-seq: entry_io.size -> Integer
//
// The size the entry declares (which reading it whole checks).
VALUE reader_size(VALUE self) { return LL2NUM(entry_of(self)->size); }

// call-seq: entry_io.pos -> Integer
//
// The bytes read so far; also tell.
VALUE reader_pos(VALUE self) { return LL2NUM(entry_of(self)->pos); }

// call-seq: entry_io.binmode -> entry_io
VALUE reader_binmode(VALUE self) {
  entry_of(self)->binmode = true;
  return self;
}

// call-seq: entry_io.binmode? -> true or false
VALUE reader_binmode_p(VALUE self) { return entry_of(self)->binmode ? Qtrue : Qfalse; }

// call-seq: entry_io.external_encoding -> Encoding
VALUE reader_external_encoding(VALUE self) {
  return rb_enc_from_encoding(text_encoding(entry_of(self)));
}

// call-seq: entry_io.internal_encoding -> nil
VALUE reader_internal_encoding(VALUE self) {
  entry_of(self);
  return Qnil;
}

// call-seq: entry_io.rewind -> raises Errno::ESPIPE
//
// Data decoded in pieces is read once, as from a pipe.
VALUE reader_rewind(VALUE self) {
  entry_of(self);
  rb_syserr_fail(ESPIPE, nullptr);
  return Qnil;
}

// call-seq: parvox.open_entry_reader(name) -> Parvox::EntryReader or nil (private)
//
// Opens the entry for Parvox#open_entry; nil, with the reason in last_error,
// when it cannot be read.
VALUE parvox_open_entry_reader(VALUE self, VALUE name) {
  ruby_strings::check_string(name);
  VALUE utf8_name = ruby_strings::utf8_text_of(name);
  ParvoxObject* object = parvox_object::of(self);
  VALUE reader = TypedData_Wrap_Struct(entry_reader_class, &entry_reader_type, nullptr);
  auto* entry = new (std::nothrow) OpenEntry;
  if (!entry) rb_memerror();
  RTYPEDDATA_DATA(reader) = entry;
  entry->archive = self;
  entry->name = rb_str_new_frozen(name);
  // Kept among the archive's before the work can open it: a close meanwhile
  // closes it.
  if (!call::guarded([&] {
        object->open_entries.push_back(entry);
        return true;
      })) {
    rb_memerror();
  }
  entry->object = object;
  const bool decodes_ahead = !(object->io && object->io->serves_calls());
  const VALUE answer = call::run_on_reader(self, [&](ArchiveReader& archive, Call* call) {
    if (NIL_P(utf8_name) || ruby_strings::holds_nul(utf8_name)) {
      call->refusal = NIL_P(utf8_name) ? ruby_strings::unconvertible_name_reason(name)
                                       : "the entry name holds a NUL byte";
      call->refusal_kind = failures::Kind::invalid_name;
      return false;
    }
    std::string wanted = ruby_strings::all_bytes_of(utf8_name);
    call->runs_here = archive.is_small_read(wanted);
    call->work = [archive = &archive, wanted = std::move(wanted), decodes_ahead,
                  stream = &entry->stream](Progress&) {
      *stream = archive->open_stream(wanted, decodes_ahead);
      return *stream != nullptr;
    };
    return true;
  }, false);
  RB_GC_GUARD(utf8_name);
  if (!RTEST(answer) || entry->closed || !entry->stream) {
    close_entry(entry);
    return Qnil;
  }
  entry->size = entry->stream->size();
  entry->memory_told = entry->stream->memory_bound();
  rb_gc_adjust_memory_usage(static_cast<ssize_t>(entry->memory_told));
  // The collector weighs memory it was told of only at its next allocation
  // of its own, which a loop of readers let go may never make (Ruby 3.4 keeps
  // their small strings inside the objects): one makes it weigh now.
  ruby_xfree(ruby_xmalloc(1));
  return reader;
}

}  // namespace

namespace entry_reader {

void define_class(VALUE parvox) {
  entry_reader_class = rb_define_class_under(parvox, "EntryReader", rb_cObject);
  rb_undef_alloc_func(entry_reader_class);
  rb_include_module(entry_reader_class, rb_mEnumerable);
  const VALUE klass = entry_reader_class;
  rb_define_method(klass, "read", RUBY_METHOD_FUNC(reader_read), -1);
  rb_define_method(klass, "readpartial", RUBY_METHOD_FUNC(reader_readpartial), -1);
  rb_define_method(klass, "gets", RUBY_METHOD_FUNC(reader_gets), -1);
  rb_define_method(klass, "readline", RUBY_METHOD_FUNC(reader_readline), -1);
  rb_define_method(klass, "readlines", RUBY_METHOD_FUNC(reader_readlines), -1);
  rb_define_method(klass, "each_line", RUBY_METHOD_FUNC(reader_each_line), -1);
  rb_define_method(klass, "each", RUBY_METHOD_FUNC(reader_each_line), -1);
  rb_define_method(klass, "getc", RUBY_METHOD_FUNC(reader_getc), 0);
  rb_define_method(klass, "readchar", RUBY_METHOD_FUNC(reader_readchar), 0);
  rb_define_method(klass, "each_byte", RUBY_METHOD_FUNC(reader_each_byte), 0);
  rb_define_method(klass, "eof?", RUBY_METHOD_FUNC(reader_eof_p), 0);
  rb_define_method(klass, "eof", RUBY_METHOD_FUNC(reader_eof_p), 0);
  rb_define_method(klass, "close", RUBY_METHOD_FUNC(reader_close), 0);
  rb_define_method(klass, "closed?", RUBY_METHOD_FUNC(reader_closed_p), 0);
  rb_define_method(klass, "size", RUBY_METHOD_FUNC(reader_size), 0);
  rb_define_method(klass, "pos", RUBY_METHOD_FUNC(reader_pos), 0);
  rb_define_method(klass, "tell", RUBY_METHOD_FUNC(reader_pos), 0);
  rb_define_method(klass, "binmode", RUBY_METHOD_FUNC(reader_binmode), 0);
  rb_define_method(klass, "binmode?", RUBY_METHOD_FUNC(reader_binmode_p), 0);
  rb_define_method(klass, "external_encoding", RUBY_METHOD_FUNC(reader_external_encoding), 0);
  rb_define_method(klass, "internal_encoding", RUBY_METHOD_FUNC(reader_internal_encoding), 0);
  rb_define_method(klass, "rewind", RUBY_METHOD_FUNC(reader_rewind), 0);
  rb_define_private_method(parvox, "open_entry_reader", RUBY_METHOD_FUNC(parvox_open_entry_reader), 1);
}

void close_all(ParvoxObject& object) noexcept {
  for (OpenEntry* entry : object.open_entries) {
    entry->object = nullptr;
    entry->closed = true;
    drop_stream(entry);
  }
  object.open_entries.clear();
}

}  // namespace entry_reader
