// Parvox#add_file, Parvox#add_data, Parvox#unzip_file and Parvox#unzip_all:
// each checks its arguments and says what work it asks of the archive;
// run_operation (ext/operation.h) does the rest.
#include "ext/methods.h"
#include "ext/operation.h"

namespace {

// Data up to this size is added on the calling thread, straight from the
// String; larger data is copied and added on a thread of its own.
constexpr long kDataAddedHere = 1 << 20;

}  // namespace

VALUE parvox_add_file(VALUE self, VALUE source, VALUE name, VALUE folder, VALUE recursive) {
  check_string(source);
  check_string(name);
  return run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveWriter* writer = writer_for_adding(object);
    if (!writer) return false;
    operation->work = [writer, path = native_name_of(source), entry = native_name_of(name),
                       whole_folder = switch_on(folder),
                       sub_folders = switch_on(recursive)](Progress& progress) {
      return writer->add_file(path, entry, whole_folder, sub_folders, progress);
    };
    operation->reason = &writer->last_error();
    return true;
  });
}

VALUE parvox_add_data(VALUE self, VALUE data, VALUE name) {
  check_string(data);
  check_string(name);
  return run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveWriter* writer = writer_for_adding(object);
    if (!writer) return false;
    const char* bytes = RSTRING_PTR(data);
    const size_t size = static_cast<size_t>(RSTRING_LEN(data));
    operation->runs_here = RSTRING_LEN(data) <= kDataAddedHere;
    if (operation->runs_here) {
      operation->work = [writer, bytes, size, entry = native_name_of(name)](Progress&) {
        return writer->add_data(bytes, size, entry);
      };
    } else {
      operation->work = [writer, copy = std::string(bytes, size),
                         entry = native_name_of(name)](Progress&) {
        return writer->add_data(copy.data(), copy.size(), entry);
      };
    }
    operation->reason = &writer->last_error();
    return true;
  });
}

VALUE parvox_unzip_file(VALUE self, VALUE name, VALUE target) {
  check_string(name);
  check_string(target);
  return run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveReader* reader = reader_for_reading(object);
    if (!reader) return false;
    std::string entry = native_name_of(name);
    operation->runs_here = reader->unzip_file_answers_at_once(entry);
    operation->work = [reader, entry = std::move(entry),
                       path = native_name_of(target)](Progress& progress) {
      return reader->unzip_file(entry, path, progress);
    };
    operation->reason = &reader->last_error();
    return true;
  });
}

VALUE parvox_unzip_all(VALUE self, VALUE folder) {
  check_string(folder);
  return run_operation(self, [&](ParvoxObject& object, Operation* operation) {
    ArchiveReader* reader = reader_for_reading(object);
    if (!reader) return false;
    operation->work = [reader, path = native_name_of(folder)](Progress& progress) {
      return reader->unzip_all(path, progress);
    };
    operation->reason = &reader->last_error();
    return true;
  });
}
