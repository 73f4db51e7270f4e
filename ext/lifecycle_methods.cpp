// Parvox.new, Parvox.load, Parvox.get_version, Parvox.get_path,
// Parvox#initialize and Parvox#close.
#include <memory>
#include <new>

#include "ext/methods.h"
#include "ext/ruby_boundary.h"
#include "ext/string_conversion.h"
#include "fsutil/library_path.h"

namespace {

enum class OpenMode { create, load };

// A NativeArchive with its archive open, or null with `*reason` set. The
// path goes to the engine as the bytes Ruby gave; the password is converted,
// and reading also accepts its alternative form where the platform has one.
NativeArchive* open_archive(VALUE path, VALUE password, OpenMode mode, VALUE* reason,
                            int* state) noexcept {
  NativeArchive* opened = nullptr;
  guarded([&] {
    std::unique_ptr<NativeArchive> archive(new (std::nothrow) NativeArchive);
    if (!archive) return false;
    const std::string bytes = string_bytes(path);
    const std::string key = ansi_argument(password);
    const bool ok =
        mode == OpenMode::create
            ? archive->create(bytes.c_str(), key)
            : archive->load(bytes.c_str(), key,
                            utf8_password_alternative(string_bytes(password).c_str()));
    if (ok) opened = archive.release();
    if (!ok) *reason = protected_native_text(archive->last_error(), state);
    return ok;
  });
  return opened;
}

struct WrapRequest {
  VALUE klass;
  NativeArchive* archive;
  bool wrapped;  // the object owns the archive from then on
};

VALUE wrap_archive(VALUE request_address) {
  auto* request = reinterpret_cast<WrapRequest*>(request_address);
  VALUE object = TypedData_Wrap_Struct(request->klass, &parvox_archive_type, request->archive);
  request->wrapped = true;
  attach_archive_lock(object);
  return object;
}

// The instance is made only once its archive is open, so a failure leaves no
// object behind. `klass` is the receiver: a subclass gets instances of itself.
VALUE new_instance(VALUE klass, VALUE path, VALUE password, OpenMode mode) {
  check_string(path);
  check_string(password);
  set_thread_last_error(Qnil);
  VALUE reason = rb_utf8_str_new_cstr("out of memory");
  int state = 0;
  NativeArchive* archive = open_archive(path, password, mode, &reason, &state);
  if (state) rb_jump_tag(state);
  if (!archive) {
    set_thread_last_error(reason);
    return Qnil;
  }

  WrapRequest request{klass, archive, false};
  VALUE object = rb_protect(wrap_archive, reinterpret_cast<VALUE>(&request), &state);
  if (state) {
    if (!request.wrapped) delete archive;
    rb_jump_tag(state);
  }
  VALUE args[2] = {path, password};
  rb_obj_call_init(object, 2, args);
  return object;
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
      path = native_name_to_utf8(path.c_str());
      return true;
    });
    answer = protected_utf8_string(path, &state);
  }
  if (state) rb_jump_tag(state);
  return answer;
}

VALUE parvox_initialize(VALUE self, VALUE, VALUE) {
  get_archive(self);
  return Qnil;
}

namespace {

VALUE close_archive(VALUE archive) {
  reinterpret_cast<NativeArchive*>(archive)->close();
  return Qnil;
}

}  // namespace

// Waits for an operation running in another thread; from inside an
// operation's own progress block it does nothing.
VALUE parvox_close(VALUE self) {
  NativeArchive* archive = get_archive(self);
  return with_archive_lock(self, close_archive, reinterpret_cast<VALUE>(archive), Qnil);
}
