// Parvox#entries, Parvox#each_entry, Parvox#last_error, Parvox.last_error and
// the class Parvox::Entry.
#include <string>

#include "ext/methods.h"
#include "ext/operation.h"

namespace {

VALUE entry_class = Qnil;

// Interrupts are looked for every this many entries of a listing.
constexpr int64_t kEntriesBetweenInterruptChecks = 1024;

void free_lister(void* data) { delete static_cast<EntryLister*>(data); }

// A listing in progress belongs to a hidden Ruby object: an external
// enumerator dropped half-way leaves it to the collector. Every other way a
// listing ends frees it at once.
const rb_data_type_t lister_type = {
    "Parvox::EntryLister",
    {nullptr, free_lister, nullptr, nullptr, {nullptr}},
    nullptr,
    nullptr,
    RUBY_TYPED_FREE_IMMEDIATELY,
};

// A name with no form in the locale's charset is nil: there is no String
// that unzip_file could be given for it.
VALUE entry_value(const zip_engine::EntryInfo& entry) {
  VALUE name = entry.name_ok ? utf8_string(entry.name) : Qnil;
  return rb_struct_new(entry_class, name, LL2NUM(entry.size), entry.is_folder ? Qtrue : Qfalse,
                       entry.is_encrypted ? Qtrue : Qfalse);
}

// Starts a listing of `self`'s archive in a new holder; null when the object
// cannot be listed, with the reason in its last_error.
EntryLister* start_listing(VALUE self, VALUE holder) {
  ParvoxObject* object = get_object(self);
  const uint64_t claimed = claim(object);
  if (!claimed) return nullptr;
  guarded([&] {
    ArchiveReader* reader = reader_for_reading(*object);
    if (reader) DATA_PTR(holder) = reader->list_entries().release();
    if (reader && !DATA_PTR(holder)) object->last_error = reader->last_error();
    return true;
  });
  release(object, claimed);
  return static_cast<EntryLister*>(DATA_PTR(holder));
}

// Ends a listing that ran to its end (or broke off there); answers whether
// it was complete. The archive may have been closed meanwhile: the lister
// reads through a descriptor of its own.
bool finish_listing(VALUE self, EntryLister* lister) {
  ParvoxObject* object = get_object(self);
  const uint64_t claimed = claim(object);
  if (!claimed) return false;
  const bool complete = guarded([&] {
    if (!object->reader) return !lister->damaged();
    const bool whole = object->reader->finish_listing(*lister);
    object->last_error = object->reader->last_error();
    return whole;
  });
  release(object, claimed);
  return complete;
}

template <typename Each>
struct Listing {
  VALUE self;
  VALUE holder;
  Each* each;
  bool complete;
};

template <typename Each>
VALUE list_all(VALUE address) {
  auto* listing = reinterpret_cast<Listing<Each>*>(address);
  auto* lister = static_cast<EntryLister*>(DATA_PTR(listing->holder));
  while (lister->next()) {
    (*listing->each)(entry_value(lister->entry()));
    if (lister->count() % kEntriesBetweenInterruptChecks == 0) rb_thread_check_ints();
  }
  listing->complete = finish_listing(listing->self, lister);
  return Qnil;
}

VALUE free_listing(VALUE holder) {
  delete static_cast<EntryLister*>(DATA_PTR(holder));
  DATA_PTR(holder) = nullptr;
  return Qnil;
}

// Runs `each` on every entry of `self`'s archive in archive order; answers
// false when the archive cannot be listed or is damaged part-way, with the
// reason left in #last_error. The object is held only to start and end the
// listing: the lister reads on its own, so the block may extract entries of
// the same object as they come. However the block ends (break, an exception,
// throw), the listing's descriptor is closed at once.
template <typename Each>
bool list_entries(VALUE self, Each each) {
  VALUE holder = TypedData_Wrap_Struct(0, &lister_type, nullptr);
  if (!start_listing(self, holder)) return false;
  Listing<Each> listing{self, holder, &each, false};
  rb_ensure(list_all<Each>, reinterpret_cast<VALUE>(&listing), free_listing, holder);
  return listing.complete;
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
                                       nullptr);
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
  return utf8_string(object->last_error);
}

VALUE parvox_thread_last_error(VALUE) {
  return rb_funcall(rb_thread_current(), rb_intern("thread_variable_get"), 1, last_error_key());
}

void set_thread_last_error(VALUE reason) {
  rb_funcall(rb_thread_current(), rb_intern("thread_variable_set"), 2, last_error_key(), reason);
}
