#include "ext/update.h"  // ruby.h first: Ruby 2.7's ruby/thread.h needs it

#include <ruby/thread.h>

#include <atomic>
#include <string>
#include <vector>

#include "archive/names.h"
#include "archive/update/archive_update.h"
#include "ext/call.h"
#include "ext/parvox_object.h"
#include "ext/ruby_strings.h"

namespace {

struct Applying {
  const archive_update::Plan* plan = nullptr;
  std::atomic<bool> stop{false};
  std::string reason;
  failures::Kind kind = failures::Kind::other;
  bool done = false;
};

void* apply_without_gvl(void* data) {
  auto* applying = static_cast<Applying*>(data);
  Progress progress(Progress::Listener(), &applying->stop);
  applying->done =
      archive_update::apply(*applying->plan, progress, &applying->reason, &applying->kind);
  return nullptr;
}

void ask_to_stop(void* data) { static_cast<Applying*>(data)->stop = true; }

// Raises TypeError for a plan of another shape than the face makes:
// [[added, position, new name or nil], ...].
void check_plan(VALUE plan) {
  Check_Type(plan, T_ARRAY);
  for (long i = 0; i < RARRAY_LEN(plan); ++i) {
    VALUE item = RARRAY_AREF(plan, i);
    Check_Type(item, T_ARRAY);
    if (RARRAY_LEN(item) != 3 || !FIXNUM_P(RARRAY_AREF(item, 1)) ||
        FIX2LONG(RARRAY_AREF(item, 1)) < 0) {
      rb_raise(rb_eTypeError, "an update's plan holds [added, position, name] items");
    }
    if (!NIL_P(RARRAY_AREF(item, 2))) ruby_strings::check_string(RARRAY_AREF(item, 2));
  }
}

// Builds the plan from checked values: nothing here raises.
void fill_plan(VALUE path, VALUE entries, VALUE fingerprint, VALUE added_path, VALUE plan, VALUE comment,
               archive_update::Plan* filled) {
  filled->path = ruby_strings::native_name_of(path);
  filled->entries = static_cast<size_t>(FIX2LONG(entries));
  filled->fingerprint = ruby_strings::all_bytes_of(fingerprint);
  if (!NIL_P(added_path)) filled->added_path = ruby_strings::native_name_of(added_path);
  filled->comment_changed = !NIL_P(comment);
  if (filled->comment_changed) filled->comment = ruby_strings::all_bytes_of(comment);
  filled->entries_kept.reserve(static_cast<size_t>(RARRAY_LEN(plan)));
  for (long i = 0; i < RARRAY_LEN(plan); ++i) {
    VALUE item = RARRAY_AREF(plan, i);
    archive_update::PlannedEntry planned;
    planned.added = RTEST(RARRAY_AREF(item, 0));
    planned.position = static_cast<size_t>(FIX2LONG(RARRAY_AREF(item, 1)));
    planned.renamed = !NIL_P(RARRAY_AREF(item, 2));
    if (planned.renamed) planned.name = names::from_given(ruby_strings::all_bytes_of(RARRAY_AREF(item, 2)));
    filled->entries_kept.push_back(std::move(planned));
  }
}

// call-seq:
//   Parvox.apply_update(path, entries, fingerprint, added_path, plan, comment) -> nil or [kind, reason]  (private)
//
// Puts the new archive together from the archive at `path` (holding
// `entries` entries, its archive_fingerprint `fingerprint` when opened) and the one of added entries at `added_path` (or nil),
// as `plan` lists them, with `comment` (nil: the old one's), and puts it in
// place of the old one. An interrupt stops it, the old archive left as it
// was, and raises once everything native is gone.
VALUE parvox_apply_update(VALUE, VALUE path, VALUE entries, VALUE fingerprint, VALUE added_path,
                          VALUE plan, VALUE comment) {
  ruby_strings::check_string(path);
  ruby_strings::check_string(fingerprint);
  if (!NIL_P(added_path)) ruby_strings::check_string(added_path);
  if (!NIL_P(comment)) ruby_strings::check_string(comment);
  if (!FIXNUM_P(entries)) rb_raise(rb_eTypeError, "the count of entries is no Integer");
  check_plan(plan);
  bool done = false;
  failures::Kind kind = failures::Kind::other;
  VALUE reason = Qnil;
  int state = 0;
  {
    archive_update::Plan filled;
    Applying applying;
    const bool planned = call::guarded([&] {
      fill_plan(path, entries, fingerprint, added_path, plan, comment, &filled);
      return true;
    });
    if (planned) {
      applying.plan = &filled;
      rb_thread_call_without_gvl(apply_without_gvl, &applying, ask_to_stop, &applying);
      done = applying.done;
      kind = applying.kind;
      if (!done) reason = ruby_strings::protected_reason_string(applying.reason, &state);
    } else {
      reason = ruby_strings::protected_reason_string("out of memory", &state);
    }
  }
  if (state) rb_jump_tag(state);
  rb_thread_check_ints();
  RB_GC_GUARD(path);
  RB_GC_GUARD(fingerprint);
  RB_GC_GUARD(added_path);
  RB_GC_GUARD(plan);
  RB_GC_GUARD(comment);
  return done ? Qnil : rb_assoc_new(call::kind_symbol(kind), reason);
}

// call-seq: Parvox.archive_fingerprint(path) -> String  (private)
//
// What tells the archive at `path` from one put in its place later (empty
// when it cannot be opened): taken before an update reads it.
VALUE parvox_archive_fingerprint(VALUE, VALUE path) {
  ruby_strings::check_string(path);
  VALUE fingerprint = Qnil;
  int state = 0;
  {
    std::string bytes;
    call::guarded([&] {
      bytes = archive_update::fingerprint(ruby_strings::native_name_of(path));
      return true;
    });
    fingerprint = ruby_strings::protected_reason_string(bytes, &state);
  }
  if (state) rb_jump_tag(state);
  RB_GC_GUARD(path);
  return fingerprint;
}

// call-seq: Parvox.stored_name(name, folder) -> [stored, refusal or nil]  (private)
//
// The name as an entry stores it, and why it cannot be stored.
VALUE parvox_stored_name(VALUE, VALUE name, VALUE folder) {
  ruby_strings::check_string(name);
  VALUE utf8_name = ruby_strings::utf8_text_of(name);
  if (NIL_P(utf8_name)) {
    return rb_assoc_new(Qnil, ruby_strings::reason_string(ruby_strings::unconvertible_name_reason(name)));
  }
  VALUE stored = Qnil, refusal = Qnil;
  int state = 0;
  {
    std::string stored_bytes, refused;
    call::guarded([&] {
      stored_bytes = names::from_given(ruby_strings::all_bytes_of(utf8_name));
      refused = names::refusal(stored_bytes, RTEST(folder));
      return true;
    });
    stored = ruby_strings::protected_utf8_string(stored_bytes, &state);
    if (!state && !refused.empty()) refusal = ruby_strings::protected_reason_string(refused, &state);
  }
  if (state) rb_jump_tag(state);
  RB_GC_GUARD(utf8_name);
  return rb_assoc_new(stored, refusal);
}

// call-seq: parvox.names_written_since(first) -> [name, ...]  (private)
//
// The stored names of the entries of the archive being written from its
// `first` on: what the calls since added.
VALUE parvox_names_written_since(VALUE self, VALUE first) {
  const long from = NUM2LONG(first);
  ParvoxObject* object = parvox_object::of(self);
  const uint64_t claimed = parvox_object::claim(object);
  VALUE names = rb_ary_new();
  int state = 0;
  {
    std::vector<std::string> written;
    if (claimed && object->writer) {
      call::guarded([&] {
        written = object->writer->names_written_since(static_cast<uint64_t>(from < 0 ? 0 : from));
        return true;
      });
    }
    parvox_object::release(object, claimed);
    for (const std::string& name : written) {
      VALUE text = ruby_strings::protected_utf8_string(name, &state);
      if (state) break;
      rb_ary_push(names, text);
    }
  }
  if (state) rb_jump_tag(state);
  return names;
}

}  // namespace

void update::define_methods(VALUE parvox) {
  VALUE singleton = rb_singleton_class(parvox);
  rb_define_private_method(singleton, "apply_update", RUBY_METHOD_FUNC(parvox_apply_update), 6);
  rb_define_private_method(singleton, "archive_fingerprint",
                           RUBY_METHOD_FUNC(parvox_archive_fingerprint), 1);
  rb_define_private_method(singleton, "stored_name", RUBY_METHOD_FUNC(parvox_stored_name), 2);
  rb_define_private_method(parvox, "names_written_since",
                           RUBY_METHOD_FUNC(parvox_names_written_since), 1);
}
