// The Ruby methods of Parvox, bound by Init_parvox.
#pragma once

#include <ruby.h>

#include <memory>
#include <string>

#include "archive/read/central_directory.h"

VALUE parvox_new(VALUE klass, VALUE path, VALUE password);
VALUE parvox_load(VALUE klass, VALUE path, VALUE password);
VALUE parvox_get_version(VALUE klass);
VALUE parvox_get_path(VALUE klass);
VALUE parvox_initialize(VALUE self, VALUE path, VALUE password);
VALUE parvox_add_file(VALUE self, VALUE source, VALUE name, VALUE folder, VALUE recursive);
VALUE parvox_add_data(int argc, VALUE* argv, VALUE self);
VALUE parvox_unzip_file(VALUE self, VALUE name, VALUE target);
VALUE parvox_unzip_all(VALUE self, VALUE folder);
VALUE parvox_read(VALUE self, VALUE name);
VALUE parvox_read(VALUE self, VALUE name);
VALUE parvox_close(VALUE self);
VALUE parvox_entries(VALUE self);
VALUE parvox_each_entry(VALUE self);
VALUE parvox_last_error(VALUE self);
VALUE parvox_thread_last_error(VALUE klass);

// Reads the central directory of `self`'s archive, off the global lock unless
// it is already read; false, with the reason in #last_error, when it cannot.
bool read_directory(VALUE self);
// Reads the central directory of `self`'s archive into `*directory`, off the
// global lock unless it is read already; false, with the reason in
// #last_error, when it cannot.
bool read_directory(VALUE self, std::shared_ptr<const CentralDirectory>* directory);
// Defines Parvox::Entry, the record that #entries and #each_entry answer.
void define_entry_class(VALUE parvox);
// What Parvox.last_error answers on the calling thread from now on.
void set_thread_last_error(VALUE reason);
