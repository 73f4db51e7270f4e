// What every method adapter shares: the wrapped NativeArchive, argument
// checks and answers.
//
// Adapters call everything that may raise a Ruby exception (argument checks,
// fetching the archive) before they create any C++ object with a destructor,
// and build their std::strings in an inner block that ends before the next
// such call, so a Ruby exception never skips a C++ destructor. Native code
// below them is noexcept.
#pragma once

#include <ruby.h>

#include <string>

#include "archive/native_archive.h"

extern const rb_data_type_t parvox_archive_type;

// The NativeArchive behind `self`; raises TypeError for anything that is not
// a Parvox instance made by Parvox.new or Parvox.load.
NativeArchive* get_archive(VALUE self);

// Gives a new Parvox object the lock that with_archive_lock takes.
void attach_archive_lock(VALUE object);
// Runs `body(arg)` holding the object's lock, so one Parvox object never runs
// two operations at once: a call from another thread waits until the running
// one is done. A call made from inside the running operation's own progress
// block answers `busy_answer` at once instead of waiting for itself.
VALUE with_archive_lock(VALUE self, VALUE (*body)(VALUE), VALUE arg, VALUE busy_answer);

// Raises TypeError unless `value` is a String.
void check_string(VALUE value);
// A checked String's bytes up to its first NUL.
std::string string_bytes(VALUE checked);
// A checked String's text as a name or path for the native layer.
std::string name_argument(VALUE checked);
// A checked String's text converted to the narrow charset: a password's key
// material.
std::string ansi_argument(VALUE checked);

// Runs native work that must not let a C++ exception reach Ruby: any
// exception becomes the answer false.
template <typename Work>
bool guarded(Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    return false;
  }
}

// A switch is on only for `true`.
inline bool switch_on(VALUE value) { return value == Qtrue; }
inline VALUE bool_value(bool answer) { return answer ? Qtrue : Qfalse; }

// A new String of `text` tagged with `encoding`, or UTF-8 when it is nil.
VALUE new_utf8_string(const char* text, VALUE encoding);
// new_utf8_string(text, nil) with any Ruby exception caught: `*state` is then
// non-zero and the caller re-raises it with rb_jump_tag once its C++ objects
// are gone.
VALUE protected_utf8_string(const std::string& text, int* state);
// A native reason (in the locale's charset) as a UTF-8 String; never raises:
// a Ruby exception leaves `*state` non-zero for rb_jump_tag, and nil answers
// when the text could not be converted.
VALUE protected_native_text(const std::string& text, int* state) noexcept;
