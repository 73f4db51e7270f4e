// Parvox#entries, Parvox#each_entry, Parvox#last_error, Parvox.last_error and
// the class Parvox::Entry.
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "ext/methods.h"
#include "ext/call.h"

namespace {

VALUE entry_class = Qnil;

// Interrupts are looked for every this many entries of a listing.
constexpr int64_t kEntriesBetweenInterruptChecks = 1024;

// A listing holds the directory it lists, so it stays valid whatever happens
// to the archive meanwhile. It belongs to a hidden Ruby object: an external
// enumerator dropped half-way leaves it to the collector. Every other way a
// listing ends frees it at once.
using Listing = std::shared_ptr<const CentralDirectory>;

void free_listing_data(void* data) { delete static_cast<Listing*>(data); }

const rb_data_type_t listing_type = {
    "Parvox::Listing",
    {nullptr, free_listing_data, nullptr, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

// The name is its text, as read and unzip_file take it; nil for a name with
// no form as text (no String could name it).
VALUE entry_value(const zip_engine::EntryInfo& entry) {
  VALUE name =
      entry.name_ok ? rb_utf8_str_new(entry.name.data(), static_cast<long>(entry.name.size())) : Qnil;
  return rb_struct_new(entry_class, name, LL2NUM(entry.size), entry.is_folder ? Qtrue : Qfalse,
                       entry.is_encrypted ? Qtrue : Qfalse,
                       rb_time_new(static_cast<time_t>(entry.mtime), 0));
}

template <typename Each>
struct ListingCall {
  VALUE holder;
  Each* each;
};

template <typename Each>
VALUE list_all(VALUE address) {
  auto* call = reinterpret_cast<ListingCall<Each>*>(address);
  const auto* listing = static_cast<const Listing*>(DATA_PTR(call->holder));
  int64_t count = 0;
  for (const DirectoryEntry& entry : (*listing)->entries()) {
    (*call->each)(entry_value(entry.info));
    if (++count % kEntriesBetweenInterruptChecks == 0) rb_thread_check_ints();
  }
  return Qnil;
}

VALUE free_listing(VALUE holder) {
  free_listing_data(DATA_PTR(holder));
  DATA_PTR(holder) = nullptr;
  return Qnil;
}

// Runs `each` on every entry of `self`'s archive in archive order; answers
// false when the archive cannot be listed, with the reason left in
// #last_error. The entries come from the archive's central directory, read
// once; the object is not held while they are listed, so the block may
// extract entries of the same object as they come.
template <typename Each>
bool list_entries(VALUE self, Each each) {
  VALUE holder = TypedData_Wrap_Struct(0, &listing_type, nullptr);
  auto* listing = new (std::nothrow) Listing;
  if (!listing) rb_memerror();
  DATA_PTR(holder) = listing;
  if (!read_directory(self, listing)) {
    free_listing(holder);
    return false;
  }
  ListingCall<Each> call{holder, &each};
  rb_ensure(list_all<Each>, reinterpret_cast<VALUE>(&call), free_listing, holder);
  return true;
}

VALUE entry_folder_p(VALUE self) { return rb_struct_aref(self, INT2FIX(2)); }
VALUE entry_encrypted_p(VALUE self) { return rb_struct_aref(self, INT2FIX(3)); }

VALUE last_error_key() { return ID2SYM(rb_intern("parvox_last_error")); }

struct ArrayAppender {
  VALUE array;
  void operator()(VALUE entry) const { rb_ary_push(array, entry); }
};

struct Yielder {
  void operator()(VALUE entry) const { rb_yield(entry); }
};

}  // namespace

void define_entry_class(VALUE parvox) {
  entry_class = rb_struct_define_under(parvox, "Entry", "name", "size", "folder", "encrypted",
                                       "mtime", nullptr);
  rb_gc_register_mark_object(entry_class);
  rb_define_method(entry_class, "folder?", RUBY_METHOD_FUNC(entry_folder_p), 0);
  rb_define_method(entry_class, "encrypted?", RUBY_METHOD_FUNC(entry_encrypted_p), 0);
}

VALUE parvox_entries(VALUE self) {
  VALUE entries = rb_ary_new();
  return list_entries(self, ArrayAppender{entries}) ? entries : Qnil;
}

VALUE parvox_each_entry(VALUE self) {
  RETURN_ENUMERATOR(self, 0, nullptr);
  return list_entries(self, Yielder{}) ? self : Qnil;
}

// From inside the object's own call (its progress block) the call is still
// running: there is no reason yet, and nil answers.
VALUE parvox_last_error(VALUE self) {
  ParvoxObject* object = get_object(self);
  if (object->held_by_this_thread() || object->last_error.empty()) return Qnil;
  return reason_string(object->last_error);
}

VALUE parvox_thread_last_error(VALUE) {
  return rb_funcall(rb_thread_current(), rb_intern("thread_variable_get"), 1, last_error_key());
}

void set_thread_last_error(VALUE reason) {
  rb_funcall(rb_thread_current(), rb_intern("thread_variable_set"), 2, last_error_key(), reason);
}
