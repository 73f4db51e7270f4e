// Parvox::Entry: a Struct of name, size, folder, encrypted and mtime, with
// folder? and encrypted? beside the members.
#include "ext/entry.h"

#include <ctime>

namespace {

VALUE entry_class = Qnil;

// call-seq: entry.folder? -> true or false
VALUE entry_folder_p(VALUE self) { return rb_struct_aref(self, INT2FIX(2)); }

// call-seq: entry.encrypted? -> true or false
VALUE entry_encrypted_p(VALUE self) { return rb_struct_aref(self, INT2FIX(3)); }

}  // namespace

namespace entry {

// The name is its text, as read and unzip_file take it; nil for a name with
// no form as text (no String could name it).
VALUE make(const DirectoryEntry& entry) {
  const auto& info = entry.info;
  VALUE name =
      info.name_ok ? rb_utf8_str_new(info.name.data(), static_cast<long>(info.name.size())) : Qnil;
  return rb_struct_new(entry_class, name, LL2NUM(info.size), info.is_folder ? Qtrue : Qfalse,
                       info.is_encrypted ? Qtrue : Qfalse,
                       rb_time_new(static_cast<time_t>(info.mtime), 0));
}

void define_class(VALUE parvox) {
  entry_class = rb_struct_define_under(parvox, "Entry", "name", "size", "folder", "encrypted",
                                       "mtime", nullptr);
  rb_gc_register_mark_object(entry_class);
  rb_define_method(entry_class, "folder?", RUBY_METHOD_FUNC(entry_folder_p), 0);
  rb_define_method(entry_class, "encrypted?", RUBY_METHOD_FUNC(entry_encrypted_p), 0);
}

}  // namespace entry
