// Parvox#add_file, Parvox#unzip_file and Parvox#unzip_all.
#include "ext/methods.h"
#include "ext/ruby_boundary.h"

VALUE parvox_add_file(VALUE self, VALUE source, VALUE name, VALUE folder, VALUE recursive) {
  NativeArchive* archive = get_archive(self);
  check_string(source);
  check_string(name);
  const bool answer = guarded([&] {
    return archive->add_file(name_argument(source), name_argument(name), switch_on(folder),
                             switch_on(recursive));
  });
  return bool_value(answer);
}

VALUE parvox_unzip_file(VALUE self, VALUE name, VALUE target) {
  NativeArchive* archive = get_archive(self);
  check_string(name);
  check_string(target);
  const bool answer = guarded(
      [&] { return archive->unzip_file(name_argument(name), name_argument(target)); });
  return bool_value(answer);
}

VALUE parvox_unzip_all(VALUE self, VALUE folder) {
  NativeArchive* archive = get_archive(self);
  check_string(folder);
  const bool answer = guarded([&] { return archive->unzip_all(name_argument(folder)); });
  return bool_value(answer);
}
