// Parvox#entries, Parvox#each_entry, Parvox#last_error, Parvox.last_error and
// the class Parvox::Entry.
#include <memory>
#include <new>
#include <string>

#include "ext/methods.h"
#include "ext/ruby_boundary.h"
#include "ext/string_conversion.h"

namespace {

VALUE entry_class = Qnil;

// A listing holds the directory it lists, so it stays valid whatever happens
// to the archive meanwhile. It belongs to a hidden Ruby object, so it is freed
// however the enumeration ends: at its end, by `break` or an exception in the
// block, or with an external enumerator that is dropped half-way.
using Listing = std::shared_ptr<const CentralDirectory>;

void free_listing(void* data) { delete static_cast<Listing*>(data); }

const rb_data_type_t listing_type = {
    "Parvox::Listing",
    {nullptr, free_listing, nullptr, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

VALUE native_text(const std::string& text) {
  int state = 0;
  VALUE answer = protected_native_text(text, &state);
  if (state) rb_jump_tag(state);
  if (NIL_P(answer)) rb_memerror();
  return answer;
}

// A name with no form in the locale's charset is nil: there is no String
// that unzip_file could be given for it.
VALUE entry_value(const zip_engine::EntryInfo& entry) {
  VALUE name = entry.name_ok ? native_text(entry.name) : Qnil;
  return rb_struct_new(entry_class, name, LL2NUM(entry.size), entry.is_folder ? Qtrue : Qfalse,
                       entry.is_encrypted ? Qtrue : Qfalse);
}

struct ListingRequest {
  NativeArchive* archive;
  Listing* listing;
};

VALUE take_directory(VALUE address) {
  auto* request = reinterpret_cast<ListingRequest*>(address);
  *request->listing = request->archive->directory();
  return Qtrue;
}

// Runs `each` on every entry of `self`'s archive in archive order; answers
// false when the archive cannot be listed, with the reason left in
// #last_error. The entries come from the archive's central directory (read
// once, off the global lock); the archive's lock is not held while they are
// listed, so the block may extract entries of the same object as they come.
template <typename Each>
bool list_entries(VALUE self, Each&& each) {
  ListingRequest request{get_archive(self), nullptr};
  VALUE holder = TypedData_Wrap_Struct(0, &listing_type, nullptr);
  if (!read_directory(self)) return false;
  request.listing = new (std::nothrow) Listing;
  if (!request.listing) rb_memerror();
  DATA_PTR(holder) = request.listing;
  const VALUE address = reinterpret_cast<VALUE>(&request);
  // From inside its own progress block the object is busy: nothing to list.
  if (!RTEST(with_archive_lock(self, take_directory, address, Qfalse))) return false;
  const CentralDirectory* directory = request.listing->get();
  if (!directory) return false;
  for (const DirectoryEntry& entry : directory->entries()) each(entry_value(entry.info));
  RB_GC_GUARD(holder);
  return true;
}

VALUE entry_folder_p(VALUE self) { return rb_struct_aref(self, INT2FIX(2)); }
VALUE entry_encrypted_p(VALUE self) { return rb_struct_aref(self, INT2FIX(3)); }

VALUE last_error_key() { return ID2SYM(rb_intern("parvox_last_error")); }

VALUE last_error_of(VALUE archive) {
  const std::string& reason = reinterpret_cast<NativeArchive*>(archive)->last_error();
  return reason.empty() ? Qnil : native_text(reason);
}

}  // namespace

void define_entry_class(VALUE parvox) {
  entry_class = rb_struct_define_under(parvox, "Entry", "name", "size", "folder", "encrypted",
                                       nullptr);
  rb_gc_register_mark_object(entry_class);
  rb_define_method(entry_class, "folder?", RUBY_METHOD_FUNC(entry_folder_p), 0);
  rb_define_method(entry_class, "encrypted?", RUBY_METHOD_FUNC(entry_encrypted_p), 0);
}

VALUE parvox_entries(VALUE self) {
  VALUE entries = rb_ary_new();
  const bool complete = list_entries(self, [entries](VALUE entry) { rb_ary_push(entries, entry); });
  return complete ? entries : Qnil;
}

VALUE parvox_each_entry(VALUE self) {
  RETURN_ENUMERATOR(self, 0, nullptr);
  return list_entries(self, [](VALUE entry) { rb_yield(entry); }) ? self : Qnil;
}

// From inside the object's own progress block the operation is still
// running: there is no reason yet, and nil answers.
VALUE parvox_last_error(VALUE self) {
  NativeArchive* archive = get_archive(self);
  return with_archive_lock(self, last_error_of, reinterpret_cast<VALUE>(archive), Qnil);
}

VALUE parvox_thread_last_error(VALUE) {
  return rb_funcall(rb_thread_current(), rb_intern("thread_variable_get"), 1, last_error_key());
}

void set_thread_last_error(VALUE reason) {
  rb_funcall(rb_thread_current(), rb_intern("thread_variable_set"), 2, last_error_key(), reason);
}
