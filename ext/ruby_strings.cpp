#include "ext/ruby_strings.h"

#include <ruby/encoding.h>
#include <ruby/thread.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "archive/names.h"

namespace {

VALUE utf8_string_of(VALUE text) {
  return rb_utf8_str_new_cstr(reinterpret_cast<const std::string*>(text)->c_str());
}

VALUE scrubbed_utf8_string_of(VALUE text) {
  const auto* reason = reinterpret_cast<const std::string*>(text);
  VALUE string = rb_utf8_str_new(reason->data(), static_cast<long>(reason->size()));
  VALUE scrubbed = rb_str_scrub(string, Qnil);
  return NIL_P(scrubbed) ? string : scrubbed;
}

// A copy is made this much at a time, each piece without the global lock.
constexpr size_t kCopyPiece = 4 << 20;

struct DataCopy {
  std::unique_ptr<char[]> bytes;
  size_t size;
};

void free_data_copy(void* copy) { delete static_cast<DataCopy*>(copy); }

const rb_data_type_t data_copy_type = {
    "Parvox::DataCopy",
    {nullptr, free_data_copy, nullptr, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

struct Piece {
  char* to;
  const char* from;
  size_t size;
};

void* copy_piece(void* address) {
  const auto* piece = static_cast<const Piece*>(address);
  std::memcpy(piece->to, piece->from, piece->size);
  return nullptr;
}

VALUE raise_unless_made(VALUE answer, int state) {
  if (state) rb_jump_tag(state);
  if (NIL_P(answer)) rb_memerror();
  return answer;
}

}  // namespace

namespace ruby_strings {

void check_string(VALUE value) { Check_Type(value, T_STRING); }

bool holds_nul(VALUE checked) {
  return std::memchr(RSTRING_PTR(checked), '\0', static_cast<size_t>(RSTRING_LEN(checked))) !=
         nullptr;
}

std::string bytes_of(VALUE checked) {
  const char* bytes = RSTRING_PTR(checked);
  const size_t length = static_cast<size_t>(RSTRING_LEN(checked));
  const void* nul = std::memchr(bytes, '\0', length);
  return std::string(bytes, nul ? static_cast<const char*>(nul) - bytes : length);
}

std::string native_name_of(VALUE checked) { return names::utf8_to_native_name(bytes_of(checked).c_str()); }

std::string all_bytes_of(VALUE checked) {
  return std::string(RSTRING_PTR(checked), static_cast<size_t>(RSTRING_LEN(checked)));
}

VALUE copy_without_gvl(VALUE checked) {
  // Frozen, the bytes stay where they are, whatever other threads do to the
  // String while they are copied (it shares them until it changes).
  VALUE frozen = rb_str_new_frozen(checked);
  const size_t size = static_cast<size_t>(RSTRING_LEN(frozen));
  VALUE holder = TypedData_Wrap_Struct(0, &data_copy_type, nullptr);
  auto* copy = new (std::nothrow) DataCopy{nullptr, size};
  if (!copy) return Qnil;
  RTYPEDDATA_DATA(holder) = copy;
  copy->bytes.reset(new (std::nothrow) char[size]);
  if (!copy->bytes) return Qnil;
  for (size_t at = 0; at < size; at += kCopyPiece) {
    Piece piece{copy->bytes.get() + at, RSTRING_PTR(frozen) + at, std::min(kCopyPiece, size - at)};
    rb_thread_call_without_gvl(copy_piece, &piece, nullptr, nullptr);
  }
  RB_GC_GUARD(frozen);
  return holder;
}

std::shared_ptr<const char[]> take_copy(VALUE holder, size_t* size) {
  std::unique_ptr<DataCopy> copy(static_cast<DataCopy*>(RTYPEDDATA_DATA(holder)));
  RTYPEDDATA_DATA(holder) = nullptr;
  *size = copy->size;
  return std::shared_ptr<const char[]>(std::move(copy->bytes));
}

void free_copy(VALUE holder) {
  free_data_copy(RTYPEDDATA_DATA(holder));
  RTYPEDDATA_DATA(holder) = nullptr;
}

VALUE utf8_text_of(VALUE checked) {
  rb_encoding* from = rb_enc_get(checked);
  rb_encoding* utf8 = rb_utf8_encoding();
  if (from == utf8 || from == rb_ascii8bit_encoding() || from == rb_usascii_encoding()) {
    return checked;
  }
  // Answers the String itself, in its own encoding, when it cannot convert it.
  VALUE converted = rb_str_conv_enc(checked, from, utf8);
  return rb_enc_get(converted) == utf8 ? converted : Qnil;
}

VALUE utf8_text_argument(VALUE value, const char* what) {
  check_string(value);
  VALUE text = utf8_text_of(value);
  if (NIL_P(text)) {
    rb_raise(rb_eArgError, "%s cannot be converted from %s to UTF-8", what,
             rb_enc_name(rb_enc_get(value)));
  }
  // Binary and ASCII Strings are taken as the UTF-8 they hold.
  text = rb_enc_associate(rb_str_dup(text), rb_utf8_encoding());
  if (rb_enc_str_coderange(text) == ENC_CODERANGE_BROKEN) {
    rb_raise(rb_eArgError, "%s is not valid UTF-8", what);
  }
  return rb_obj_freeze(text);
}

std::string unconvertible_name_reason(VALUE name) {
  return std::string("the entry name cannot be converted from ") + rb_enc_name(rb_enc_get(name)) +
         " to UTF-8";
}

VALUE password_text_of(VALUE checked) {
  VALUE text = utf8_text_of(checked);
  if (NIL_P(text)) {
    rb_raise(rb_eArgError, "the password cannot be converted from %s to UTF-8",
             rb_enc_name(rb_enc_get(checked)));
  }
  if (std::memchr(RSTRING_PTR(text), '\0', static_cast<size_t>(RSTRING_LEN(text)))) {
    rb_raise(rb_eArgError, "password contains null byte");
  }
  return text;
}

VALUE protected_utf8_string(const std::string& native_text, int* state) noexcept {
  try {
    const std::string text = names::native_name_to_utf8(native_text.c_str());
    return rb_protect(utf8_string_of, reinterpret_cast<VALUE>(&text), state);
  } catch (...) {
    return Qnil;
  }
}

VALUE protected_reason_string(const std::string& reason, int* state) noexcept {
  return rb_protect(scrubbed_utf8_string_of, reinterpret_cast<VALUE>(&reason), state);
}

VALUE reason_string(const std::string& reason) {
  int state = 0;
  VALUE answer = protected_reason_string(reason, &state);
  return raise_unless_made(answer, state);
}

}  // namespace ruby_strings
