#include "ext/ruby_boundary.h"

#include <ruby/encoding.h>

#include <cstring>

#include "ext/string_conversion.h"

namespace {

void free_archive(void* data) { delete static_cast<NativeArchive*>(data); }

VALUE utf8_string_of(VALUE text) {
  return new_utf8_string(reinterpret_cast<const std::string*>(text)->c_str(), Qnil);
}

size_t archive_memsize(const void* data) {
  return data ? static_cast<const NativeArchive*>(data)->memory_size() : 0;
}

}  // namespace

// Freeing never calls back into Ruby, so it may run immediately.
const rb_data_type_t parvox_archive_type = {
    "Parvox",
    {nullptr, free_archive, archive_memsize, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

NativeArchive* get_archive(VALUE self) {
  auto* archive = static_cast<NativeArchive*>(rb_check_typeddata(self, &parvox_archive_type));
  if (!archive) rb_raise(rb_eTypeError, "uninitialized Parvox");
  return archive;
}

namespace {

// A name without '@' keeps the instance variable hidden from Ruby code.
ID lock_id() { return rb_intern("parvox_lock"); }

}  // namespace

void attach_archive_lock(VALUE object) { rb_ivar_set(object, lock_id(), rb_mutex_new()); }

VALUE with_archive_lock(VALUE self, VALUE (*body)(VALUE), VALUE arg, VALUE busy_answer) {
  VALUE lock = rb_ivar_get(self, lock_id());
  if (NIL_P(lock)) return body(arg);
  if (RTEST(rb_funcall(lock, rb_intern("owned?"), 0))) return busy_answer;
  return rb_mutex_synchronize(lock, body, arg);
}

void check_string(VALUE value) { Check_Type(value, T_STRING); }

std::string string_bytes(VALUE checked) {
  const char* bytes = RSTRING_PTR(checked);
  const size_t length = static_cast<size_t>(RSTRING_LEN(checked));
  const void* nul = std::memchr(bytes, '\0', length);
  return std::string(bytes, nul ? static_cast<const char*>(nul) - bytes : length);
}

VALUE new_utf8_string(const char* text, VALUE encoding) {
  if (NIL_P(encoding)) return rb_utf8_str_new_cstr(text);
  VALUE string = rb_str_new_cstr(text);
  rb_enc_associate(string, rb_to_encoding(encoding));
  return string;
}

std::string name_argument(VALUE checked) {
  return utf8_to_native_name(string_bytes(checked).c_str());
}

std::string ansi_argument(VALUE checked) { return utf8_to_ansi(string_bytes(checked).c_str()); }

VALUE protected_utf8_string(const std::string& text, int* state) {
  return rb_protect(utf8_string_of, reinterpret_cast<VALUE>(&text), state);
}

VALUE protected_native_text(const std::string& text, int* state) noexcept {
  try {
    return protected_utf8_string(ansi_to_utf8(text.c_str()), state);
  } catch (...) {
    return Qnil;
  }
}
