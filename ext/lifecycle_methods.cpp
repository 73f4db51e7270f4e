// Parvox.new, Parvox.load, Parvox.get_version, Parvox.get_path,
// Parvox#initialize and Parvox#close.
#include <memory>
#include <new>

#include "ext/methods.h"
#include "ext/parvox_object.h"
#include "ext/ruby_strings.h"
#include "ext/string_conversion.h"
#include "fsutil/library_path.h"

namespace {

enum class OpenMode { create, load };

// A ParvoxObject with its archive open, or null with `*reason` set. The path
// goes to the native layer as the bytes Ruby gave; the password (its UTF-8
// text) becomes its key, and reading also accepts its alternative form where
// there is one.
ParvoxObject* open_object(VALUE path, VALUE password_text, OpenMode mode, VALUE* reason,
                          int* state) noexcept {
  ParvoxObject* opened = nullptr;
  guarded([&] {
    std::unique_ptr<ParvoxObject> object(new (std::nothrow) ParvoxObject);
    if (!object) return false;
    const std::string file = bytes_of(path);
    const std::string password = all_bytes_of(password_text);
    std::string why;
    if (mode == OpenMode::create) {
      object->writer = ArchiveWriter::create(file, password_key(password), &why);
    } else {
      object->reader = ArchiveReader::load(file, password_key(password),
                                           password_alternative(password), &why);
    }
    const bool ok = object->writer || object->reader;
    if (ok) opened = object.release();
    if (!ok) *reason = protected_reason_string(why, state);
    return ok;
  });
  return opened;
}

struct WrapRequest {
  VALUE klass;
  ParvoxObject* object;
  bool wrapped;  // the Ruby object owns the native one from then on
};

VALUE wrap_object(VALUE request_address) {
  auto* request = reinterpret_cast<WrapRequest*>(request_address);
  VALUE wrapper = TypedData_Wrap_Struct(request->klass, &parvox_object_type, request->object);
  request->wrapped = true;
  return wrapper;
}

// The instance is made only once its archive is open, so a failure leaves no
// object behind. `klass` is the receiver: a subclass gets instances of itself.
VALUE new_instance(VALUE klass, VALUE path, VALUE password, OpenMode mode) {
  check_string(path);
  check_string(password);
  VALUE password_text = password_text_of(password);
  if (holds_nul(path)) {
    set_thread_last_error(rb_utf8_str_new_cstr("the archive path holds a NUL byte"));
    return Qnil;
  }
  set_thread_last_error(Qnil);
  VALUE reason = rb_utf8_str_new_cstr("out of memory");
  int state = 0;
  ParvoxObject* object = open_object(path, password_text, mode, &reason, &state);
  RB_GC_GUARD(password_text);
  if (state) rb_jump_tag(state);
  if (!object) {
    set_thread_last_error(reason);
    return Qnil;
  }

  WrapRequest request{klass, object, false};
  VALUE instance = rb_protect(wrap_object, reinterpret_cast<VALUE>(&request), &state);
  if (state) {
    if (!request.wrapped) delete object;
    rb_jump_tag(state);
  }
  VALUE args[2] = {path, password};
  rb_obj_call_init(instance, 2, args);
  return instance;
}

}  // namespace

VALUE parvox_new(VALUE klass, VALUE path, VALUE password) {
  return new_instance(klass, path, password, OpenMode::create);
}

VALUE parvox_load(VALUE klass, VALUE path, VALUE password) {
  return new_instance(klass, path, password, OpenMode::load);
}

VALUE parvox_get_version(VALUE) { return INT2FIX(1); }

VALUE parvox_get_path(VALUE) {
  int state = 0;
  VALUE answer = Qnil;
  {
    std::string path;
    guarded([&] {
      path = fsutil::library_path();
      replace_char(path, fsutil::kPathSeparator, '/');
      return true;
    });
    answer = protected_utf8_string(path, &state);
  }
  if (state) rb_jump_tag(state);
  return answer;
}

VALUE parvox_initialize(VALUE self, VALUE, VALUE) {
  get_object(self);
  return Qnil;
}

// Waits for a call running in another thread, then finishes the archive.
// From the thread whose call holds the object (its progress block, another
// of its fibers, a signal handler, or after that call was abandoned in a
// fiber), it ends that call's work first; the call then answers false.
// Answers false, with the reason in last_error, when the archive being
// written could not be finished.
VALUE parvox_close(VALUE self) {
  ParvoxObject* object = get_object(self);
  if (!object->owned_by_this_process()) {
    let_go_in_child(object);
    return Qnil;
  }
  const uint64_t claimed = claim_for_close(object);
  bool finished = true;
  if (claimed || object->held_by_this_thread()) finished = close_object(object);
  release(object, claimed);
  return finished ? Qnil : Qfalse;
}
