// The extension's entry point: defines the class Parvox and binds its methods.
#include "ext/methods.h"

extern "C" void Init_parvox() {
  VALUE parvox = rb_define_class("Parvox", rb_cObject);
  // Instances come only from Parvox.new and Parvox.load, each with its
  // archive. Without an allocator, Parvox.allocate raises TypeError instead of
  // making an object with no archive behind it.
  rb_undef_alloc_func(parvox);

  rb_define_singleton_method(parvox, "new", RUBY_METHOD_FUNC(parvox_new), 2);
  rb_define_singleton_method(parvox, "load", RUBY_METHOD_FUNC(parvox_load), 2);
  rb_define_singleton_method(parvox, "get_version", RUBY_METHOD_FUNC(parvox_get_version), 0);
  rb_define_singleton_method(parvox, "get_path", RUBY_METHOD_FUNC(parvox_get_path), 0);
  rb_define_method(parvox, "initialize", RUBY_METHOD_FUNC(parvox_initialize), 2);
  rb_define_method(parvox, "add_file", RUBY_METHOD_FUNC(parvox_add_file), 4);
  rb_define_method(parvox, "unzip_file", RUBY_METHOD_FUNC(parvox_unzip_file), 2);
  rb_define_method(parvox, "unzip_all", RUBY_METHOD_FUNC(parvox_unzip_all), 1);
  rb_define_method(parvox, "close", RUBY_METHOD_FUNC(parvox_close), 0);

  // Beyond the nine: entries from and to memory, the listing and the reasons of
  // failures.
  rb_define_method(parvox, "add_data", RUBY_METHOD_FUNC(parvox_add_data), -1);
  rb_define_method(parvox, "read", RUBY_METHOD_FUNC(parvox_read), 1);
  define_entry_class(parvox);
  rb_define_singleton_method(parvox, "last_error", RUBY_METHOD_FUNC(parvox_thread_last_error), 0);
  rb_define_method(parvox, "entries", RUBY_METHOD_FUNC(parvox_entries), 0);
  rb_define_method(parvox, "each_entry", RUBY_METHOD_FUNC(parvox_each_entry), 0);
  rb_define_method(parvox, "last_error", RUBY_METHOD_FUNC(parvox_last_error), 0);
}
