// Strings at the boundary: the checks of String arguments and the
// conversions between Ruby's strings and the native layer's.
//
// Methods call everything that may raise a Ruby exception (argument checks,
// fetching the object, waiting for it) before they create any C++ object with
// a destructor, and build their std::strings in an inner block that ends
// before the next such call, so a Ruby exception never skips a C++
// destructor. Native code below them is noexcept.
#pragma once

#include <ruby.h>

#include <cstddef>
#include <memory>
#include <string>

namespace ruby_strings {

// Raises TypeError unless `value` is a String.
void check_string(VALUE value);

// Whether a checked String holds a NUL byte: as a path or name the system
// would end it there ("a\0/../x" is "a"), so it names no file and no entry.
bool holds_nul(VALUE checked);

// Conversions of checked Strings, one for each form the native layer takes.
// The bytes as given, up to the first NUL: the archive path of new and load.
std::string bytes_of(VALUE checked);
// A path on disk in the native layer's form (up to the first NUL).
std::string native_name_of(VALUE checked);
// Every byte of the String, NUL included.
std::string all_bytes_of(VALUE checked);

// Every byte of the String for work on a thread of its own, copied a piece
// at a time without the global lock: other threads run meanwhile, and an
// interrupt raises between pieces. The copy belongs to the hidden object
// answered (nil when there is no memory for it) until take_copy takes it;
// what becomes of the String meanwhile does not reach it.
VALUE copy_without_gvl(VALUE checked);
// The copy `holder` held, of `*size` bytes, owned by the answer from now on.
std::shared_ptr<const char[]> take_copy(VALUE holder, size_t* size);
// Frees the copy `holder` holds, if take_copy did not take it.
void free_copy(VALUE holder);

// The String's text as a UTF-8 String, converted from its encoding (a
// binary or ASCII String is taken as the UTF-8 bytes it holds); nil when its
// encoding has no conversion to UTF-8 for it. Entry names, added or looked
// up, are taken this way, never through the locale. It allocates, so it may
// raise.
VALUE utf8_text_of(VALUE checked);
// A String given as text to store (a comment, a pattern) as a frozen UTF-8
// String of its own; raises TypeError for anything but a String, and
// ArgumentError (naming it `what`) when it has no valid UTF-8 form.
VALUE utf8_text_argument(VALUE value, const char* what);
// What an add answers for a name utf8_text_of could not convert.
std::string unconvertible_name_reason(VALUE name);
// A password as a UTF-8 String (binary: its bytes), the key material's
// source; raises ArgumentError when it holds NUL or cannot be converted.
VALUE password_text_of(VALUE checked);

// A path of the native layer as a UTF-8 String. Never raises: a Ruby
// exception leaves `*state` non-zero for rb_jump_tag, and nil answers when
// the text could not be converted.
VALUE protected_utf8_string(const std::string& native_text, int* state) noexcept;
// A reason (UTF-8) as a String that is always valid UTF-8: bytes that are
// not become U+FFFD. Never raises (as above), or, for callers with no C++
// object alive, raises what it meets.
VALUE protected_reason_string(const std::string& reason, int* state) noexcept;
VALUE reason_string(const std::string& reason);

}  // namespace ruby_strings
